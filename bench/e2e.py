"""Requests per second through real uvicorn (one worker, loopback): the tiny app bare, behind
the native gate and behind the baseline gate (fixed key, key in the "authorization" header).

Load comes from wrk when it is installed, otherwise from a small asyncio client in this process
(raw HTTP/1.1 keep-alive; a full client library costs more per request than the server under
test and would measure itself). Every run is bounded in time; the servers are stopped at the end,
and stop by themselves after a deadline if this process dies first.
"""
import asyncio
import os
import pathlib
import re
import select
import shutil
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import cases  # noqa: E402

PATH = "/api/v1/ping"
STARTUP_TIMEOUT = 15.0
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def _cpu_split():
    """CPUs for the server and for the load generator: apart when there are two or more, so
    that the load generator competes for the server's core as little as possible."""
    try:
        cpus = sorted(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return None, None
    if len(cpus) < 2:
        return None, None
    return {cpus[0]}, set(cpus[1:])


SERVER_CPUS, LOAD_CPUS = _cpu_split()


def _pinned(cpus):
    if cpus is None:
        return None
    return lambda: os.sched_setaffinity(0, cpus)


class Server:
    def __init__(self, impl, max_seconds):
        self.impl = impl
        self.proc = subprocess.Popen(
            [sys.executable, str(HERE / "serve.py"), impl, "--max-seconds", str(max_seconds)],
            stdout=subprocess.PIPE, text=True, preexec_fn=_pinned(SERVER_CPUS))
        ready, _, _ = select.select([self.proc.stdout], [], [], STARTUP_TIMEOUT)
        line = self.proc.stdout.readline() if ready else ""
        if not line.strip().isdigit():
            self.stop()
            raise RuntimeError(f"uvicorn ({impl}) did not announce its port")
        self.port = int(line)

    def cpu_seconds(self):
        """User + system CPU time the server process has used so far."""
        fields = pathlib.Path(f"/proc/{self.proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}{PATH}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        if self.proc.stdout:
            self.proc.stdout.close()


# --- load generators -------------------------------------------------------------------------

def wrk_run(server, seconds, connections):
    cmd = ["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--timeout", "2s",
           "-H", f"Authorization: Bearer {cases.KEY}", server.url]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 30,
                         preexec_fn=_pinned(LOAD_CPUS)).stdout
    found = re.search(r"Requests/sec:\s+([\d.]+)", out)
    total = re.search(r"(\d+) requests in", out)
    if not found or not total:
        raise RuntimeError("wrk printed no rate:\n" + out)
    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    errors = re.search(r"Socket errors:(.*)", out)
    problems = []
    if bad:
        problems.append(f"{bad.group(1)} non-2xx")
    if errors:
        problems.append("socket errors:" + errors.group(1).strip())
    return float(found.group(1)), int(total.group(1)), problems


class _Client(asyncio.Protocol):
    """One keep-alive connection: sends the next request as soon as a response is complete.
    A protocol rather than streams: no task switch per response, so the client stays cheaper
    than the server it loads."""

    def __init__(self, request, deadline, tally, done):
        self.request = request
        self.deadline = deadline
        self.tally = tally
        self.done = done
        self.buffer = b""
        self.transport = None

    def connection_made(self, transport):
        self.transport = transport
        transport.write(self.request)

    def data_received(self, data):
        self.buffer += data
        while True:
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                return
            head = self.buffer[:end]
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
            if len(self.buffer) < end + 4 + length:
                return
            self.buffer = self.buffer[end + 4 + length:]
            key = "ok" if head[9:10] == b"2" else "bad"
            self.tally[key] = self.tally.get(key, 0) + 1
            if time.monotonic() < self.deadline:
                self.transport.write(self.request)
            else:
                self.transport.close()
                return

    def connection_lost(self, exc):
        if not self.done.done():
            self.done.set_result(exc)


async def _python_load(port, seconds, connections):
    request = (f"GET {PATH} HTTP/1.1\r\nhost: 127.0.0.1:{port}\r\n"
               f"authorization: Bearer {cases.KEY}\r\n\r\n").encode()
    loop = asyncio.get_running_loop()
    tally = {}
    started = time.monotonic()
    deadline = started + seconds
    finished = []
    for _ in range(connections):
        done = loop.create_future()
        await loop.create_connection(lambda done=done: _Client(request, deadline, tally, done),
                                     "127.0.0.1", port)
        finished.append(done)
    await asyncio.wait_for(asyncio.gather(*finished), seconds + 10)
    elapsed = time.monotonic() - started
    return tally, elapsed


def python_run(server, seconds, connections):
    saved = os.sched_getaffinity(0) if LOAD_CPUS else None
    if LOAD_CPUS:
        os.sched_setaffinity(0, LOAD_CPUS)
    try:
        tally, elapsed = asyncio.run(_python_load(server.port, seconds, connections))
    finally:
        if saved:
            os.sched_setaffinity(0, saved)
    problems = [f"{tally['bad']} non-2xx"] if tally.get("bad") else []
    total = tally.get("ok", 0) + tally.get("bad", 0)
    return total / elapsed, total, problems


# --- driver ----------------------------------------------------------------------------------

def run(seconds=5, runs=5, connections=16, loadgen="auto", log=print):
    if loadgen == "auto":
        loadgen = "wrk" if shutil.which("wrk") else "python"
    if loadgen == "wrk" and not shutil.which("wrk"):
        raise RuntimeError("wrk is not installed")
    one = wrk_run if loadgen == "wrk" else python_run
    impls = list(cases.IMPLS)
    budget = len(impls) * (runs + 1) * (seconds + 30) + 60
    servers = {}
    try:
        for impl in impls:
            servers[impl] = Server(impl, max_seconds=budget)
        for impl in impls:
            log(f"  warm-up {impl}")
            one(servers[impl], 1, connections)
        rates = {impl: [] for impl in impls}
        cpu_us = {impl: [] for impl in impls}
        problems = {impl: [] for impl in impls}
        for r in range(runs):
            order = impls[r % len(impls):] + impls[:r % len(impls)]
            for impl in order:
                cpu_before = servers[impl].cpu_seconds()
                rps, total, trouble = one(servers[impl], seconds, connections)
                cpu = (servers[impl].cpu_seconds() - cpu_before) * 1e6 / max(total, 1)
                log(f"  run {r + 1}/{runs} {impl}: {rps:,.0f} req/s, server CPU {cpu:.1f} us/request"
                    + (f" ({'; '.join(trouble)})" if trouble else ""))
                rates[impl].append(rps)
                cpu_us[impl].append(cpu)
                problems[impl] += trouble
    finally:
        for server in servers.values():
            server.stop()
    return {"loadgen": loadgen, "seconds": seconds, "runs": runs, "connections": connections,
            "rates": rates, "cpu_us": cpu_us, "problems": problems}


def report(result):
    rates, cpu_us = result["rates"], result["cpu_us"]
    med = {impl: statistics.median(v) for impl, v in rates.items()}
    cpu = {impl: statistics.median(v) for impl, v in cpu_us.items()}
    gen = ("wrk -t1" if result["loadgen"] == "wrk" else "the built-in asyncio client")
    lines = [
        "## End to end: uvicorn, one worker, loopback",
        "",
        f"GET {PATH} with the key in the \"authorization\" header; load from {gen}, "
        f"{result['connections']} keep-alive connections, {result['runs']} runs of {result['seconds']} s "
        "per server, interleaved"
        + (f"; servers pinned to CPU {sorted(SERVER_CPUS)[0]}, the load generator to the other CPUs"
           if SERVER_CPUS else "")
        + ". \"cost\" is the drop in requests/s against the bare app. Server CPU "
        "is the server process's user+system time per completed request (from /proc), which other "
        "load on the machine disturbs less than the rate; \"added CPU\" is gate minus bare.",
        "",
        "| app | requests/s (median) | cost vs bare | server CPU us/request | added CPU us/request "
        "| CPU cost vs bare | runs (req/s) |",
        "|---|---|---|---|---|---|---|",
    ]
    for impl in rates:
        runs = ", ".join(f"{x:,.0f}" for x in rates[impl])
        if impl == "bare":
            lines.append(f"| bare app | {med[impl]:,.0f} | - | {cpu[impl]:.1f} | - | - | {runs} |")
            continue
        cost = (med["bare"] - med[impl]) / med["bare"] * 100
        added = cpu[impl] - cpu["bare"]
        lines.append(f"| {impl} gate | {med[impl]:,.0f} | {cost:.1f} % | {cpu[impl]:.1f} | {added:.1f} "
                     f"| {added / cpu['bare'] * 100:.1f} % | {runs} |")
    spread = max((max(v) - min(v)) / statistics.median(v) * 100 for v in rates.values())
    cpu_spread = max((max(v) - min(v)) / statistics.median(v) * 100 for v in cpu_us.values())
    lines += ["", f"Largest spread between runs of one server: {spread:.1f} % of its median rate, "
              f"{cpu_spread:.1f} % of its median CPU per request."]
    for impl, trouble in result["problems"].items():
        if trouble:
            lines.append(f"Warning: {impl}: {'; '.join(trouble)}")
    return lines
