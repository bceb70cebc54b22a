"""Server CPU per request of the whole service, through its real HTTP server on loopback:
`.venv/bin/python bench/service.py [--baseline CHECKOUT] [--rounds 5] [--only whoami,run,mcp,workers]`.

Each configuration is a server started as `python -m vexlo.server` starts it (see service_server.py),
with the interpreter of its checkout: this tree, and with --baseline another checkout with its own
`make build` (e.g. `git worktree add /tmp/base 56bf3fc && make -C /tmp/base build`), so today's and
the new code are measured in the same run. Besides the service itself (SQLite or Redis counters),
every section has its limit: no gate, the in-process store. The CPU of a request is what the
server's processes spent (user + system, from /proc) over a block of requests, divided by their
number; Redis's own CPU is shown apart. Blocks run in interleaved rounds (the order rotates), and
every ratio is taken within a round, then summarised over the rounds: median and interquartile
range. The workers section measures requests per second instead, with several connections.

Everything is bounded: request counts, a time limit per request, and servers that stop by
themselves after --max-seconds or when this process dies.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import pathlib
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

from procs import stop_group

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
KEY = "vx_bench_" + "0123456789abcdef" * 2
TICK = 1.0 / os.sysconf("SC_CLK_TCK")
REQUEST_TIMEOUT = 30.0
STARTUP_TIMEOUT = 40.0
LOTS = "1000000000"
RUN_BODY = json.dumps({"scenario": "traffic_overview"}).encode()
MCP_BODY = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                       "params": {"name": "quillon_run", "arguments": {"scenario": "traffic_overview"}}}).encode()


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@dataclass
class Cpu:
    ticks: float             # user + system of the processes, in seconds (clock-tick resolution)
    threads: dict[int, int]  # thread id -> nanoseconds run (scheduler statistics)


def cpu_snapshot(pid: int) -> Cpu:
    """CPU of a process and its running descendants, all threads."""
    ticks, threads = 0.0, {}
    stack = [pid]
    while stack:
        p = stack.pop()
        try:
            stat = pathlib.Path(f"/proc/{p}/stat").read_text()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        ticks += (int(fields[11]) + int(fields[12])) * TICK
        for task in pathlib.Path(f"/proc/{p}/task").iterdir():
            try:
                threads[int(task.name)] = int((task / "schedstat").read_text().split()[0])
                stack += [int(c) for c in (task / "children").read_text().split()]
            except (OSError, ValueError):
                pass
    return Cpu(ticks, threads)


def cpu_between(a: Cpu, b: Cpu) -> float:
    """Seconds of CPU from a to b: nanosecond scheduler figures while no thread has ended in
    between (an ended thread takes its figure with it), else the process totals in clock ticks."""
    if a.threads and a.threads.keys() <= b.threads.keys():
        return sum(ns - a.threads.get(tid, 0) for tid, ns in b.threads.items()) / 1e9
    return b.ticks - a.ticks


# ---------------------------------------------------------------- HTTP/1.1 keep-alive client

class Connection:
    """One keep-alive HTTP/1.1 connection: a client library would cost more than the server's
    parser and skew the workers section."""

    def __init__(self, port: int):
        self.port = port
        self.reader: asyncio.StreamReader | None = None
        self.writer: asyncio.StreamWriter | None = None

    async def request(self, method: str, path: str, body: bytes = b"", headers: dict[str, str] | None = None):
        if self.writer is None:
            self.reader, self.writer = await asyncio.open_connection("127.0.0.1", self.port)
        head = [f"{method} {path} HTTP/1.1", f"Host: 127.0.0.1:{self.port}", f"Content-Length: {len(body)}"]
        head += [f"{k}: {v}" for k, v in (headers or {}).items()]
        self.writer.write(("\r\n".join(head) + "\r\n\r\n").encode() + body)
        return await asyncio.wait_for(self._response(), REQUEST_TIMEOUT)

    async def _response(self):
        assert self.reader is not None
        status = int((await self.reader.readuntil(b"\r\n")).split()[1])
        length, chunked, close = None, False, False
        while (line := await self.reader.readuntil(b"\r\n")) != b"\r\n":
            name, _, value = line.decode("latin-1").partition(":")
            name, value = name.strip().lower(), value.strip().lower()
            if name == "content-length":
                length = int(value)
            elif name == "transfer-encoding" and "chunked" in value:
                chunked = True
            elif name == "connection" and value == "close":
                close = True
        if chunked:
            body = b""
            while size := int((await self.reader.readuntil(b"\r\n")).split(b";")[0], 16):
                body += (await self.reader.readexactly(size + 2))[:-2]
            await self.reader.readuntil(b"\r\n")
        elif length is not None:
            body = await self.reader.readexactly(length)
        else:
            body = await self.reader.read()
            close = True
        if close:
            self.close()
        return status, body

    def close(self):
        if self.writer is not None:
            self.writer.close()
        self.reader = self.writer = None


AUTH = {"Authorization": f"Bearer {KEY}"}
KINDS = {
    "whoami": ("GET", "/api/v1/whoami", b"", AUTH),
    "run": ("POST", "/api/v1/quillon/run", RUN_BODY, {**AUTH, "Content-Type": "application/json"}),
    "mcp": ("POST", "/mcp", MCP_BODY, {**AUTH, "Content-Type": "application/json",
                                       "Accept": "application/json, text/event-stream"}),
}


def check_answer(kind: str, status: int, body: bytes) -> None:
    if status != 200:
        raise RuntimeError(f"{kind}: status {status}: {body[:300]!r}")
    if kind == "run" and b'"success":true' not in body.replace(b" ", b""):
        raise RuntimeError(f"run failed: {body[:300]!r}")
    if kind == "mcp":
        text = body.decode("utf-8", "replace")
        data = text if text.lstrip().startswith("{") else "".join(
            line[5:].strip() for line in text.splitlines() if line.startswith("data:"))
        reply = json.loads(data)
        if "result" not in reply or reply["result"].get("isError"):
            raise RuntimeError(f"mcp call failed: {text[:300]}")


async def sequential(port: int, kind: str, n: int, check: bool = False) -> None:
    method, path, body, headers = KINDS[kind]
    conn = Connection(port)
    try:
        for _ in range(n):
            status, answer = await conn.request(method, path, body, headers)
            if check or status != 200:
                check_answer(kind, status, answer)
    finally:
        conn.close()


async def concurrent(port: int, kind: str, n: int, connections: int) -> float:
    """Wall seconds for n requests over `connections` keep-alive connections."""
    method, path, body, headers = KINDS[kind]
    left = n

    async def worker():
        nonlocal left
        conn = Connection(port)
        try:
            while left > 0:
                left -= 1
                status, answer = await conn.request(method, path, body, headers)
                if status != 200:
                    check_answer(kind, status, answer)
        finally:
            conn.close()

    started = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(connections)))
    return time.perf_counter() - started


# ---------------------------------------------------------------- servers

@dataclass
class Checkout:
    label: str
    path: pathlib.Path

    @property
    def python(self) -> pathlib.Path:
        return self.path / ".venv" / "bin" / "python"


class Redis:
    def __init__(self, folder: pathlib.Path):
        self.port = free_port()
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.proc = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--dir", str(folder), "--databases", "64"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        deadline = time.monotonic() + 10
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    s.sendall(b"PING\r\n")
                    if s.recv(16).startswith(b"+PONG"):
                        return
            except OSError:
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("redis-server did not start")
            time.sleep(0.05)

    def url(self, db: int) -> str:
        return f"redis://127.0.0.1:{self.port}/{db}"

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


@dataclass
class Config:
    label: str
    checkout: Checkout
    shape: str = "service"   # service, memory, limit
    store: str = "sqlite"    # sqlite or redis (service only)
    workers: int = 1
    port: int = 0
    proc: subprocess.Popen | None = None
    folder: pathlib.Path | None = None
    samples: list[float] = field(default_factory=list)
    redis_samples: list[float] = field(default_factory=list)

    def start(self, root: pathlib.Path, redis: Redis | None, db: int, max_seconds: float) -> None:
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="srv-", dir=root))
        self.port = free_port()
        env = {k: v for k, v in os.environ.items() if not k.startswith("VEXLO_") and k != "PYTHONPATH"}
        env.update(VEXLO_DEMO_KEY=KEY, VEXLO_QUILLON_DAILY_QUOTA=LOTS, VEXLO_QUILLON_RATE_PER_MINUTE=LOTS)
        if self.store == "redis":
            assert redis is not None
            env["VEXLO_REDIS_URL"] = redis.url(db)
        argv = [str(self.checkout.python), str(HERE / "service_server.py"), self.shape,
                "--max-seconds", str(max_seconds), "--",
                "--port", str(self.port), "--data-dir", str(self.folder / "data"), "--workers", str(self.workers)]
        with open(self.folder / "out.log", "wb") as out, open(self.folder / "err.log", "wb") as err:
            self.proc = subprocess.Popen(argv, cwd=self.folder, env=env, stdout=out, stderr=err,
                                         start_new_session=True)

    async def wait_ready(self) -> None:
        deadline = time.monotonic() + STARTUP_TIMEOUT
        while time.monotonic() < deadline:
            if self.proc is not None and self.proc.poll() is not None:
                break
            try:
                conn = Connection(self.port)
                status, _ = await conn.request("GET", "/healthz")
                conn.close()
                if status == 200:
                    return
            except (OSError, asyncio.IncompleteReadError, ValueError):
                pass
            await asyncio.sleep(0.1)
        err = (self.folder / "err.log").read_text(errors="replace")[-2000:] if self.folder else ""
        raise RuntimeError(f"{self.label}: the server did not come up\n{err}")

    def stop(self) -> None:
        if self.proc is not None:
            stop_group(self.proc, 15)


# ---------------------------------------------------------------- statistics and report

def quartiles(values: list[float]) -> tuple[float, float, float]:
    if len(values) == 1:
        return values[0], values[0], values[0]
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], statistics.median(values), q[2]


def fmt_spread(values: list[float], unit: str = "", digits: int = 0) -> str:
    lo, mid, hi = quartiles(values)
    return f"{mid:.{digits}f}{unit} ({lo:.{digits}f}-{hi:.{digits}f})"


def paired(a: Config, b: Config, op) -> list[float]:
    return [op(x, y) for x, y in zip(a.samples, b.samples)]


# ---------------------------------------------------------------- sections

def section_configs(kind: str, checkouts: list[Checkout], with_redis: bool) -> list[Config]:
    configs = []
    for c in checkouts:
        configs.append(Config(f"{c.label} sqlite", c))
        if kind in ("run", "mcp"):
            if with_redis:
                configs.append(Config(f"{c.label} redis", c, store="redis"))
            configs.append(Config(f"{c.label} memory", c, shape="memory"))
        configs.append(Config(f"{c.label} limit", c, shape="limit"))
    if kind == "whoami":
        # The store plays no part in whoami.
        for cfg in configs:
            cfg.label = cfg.label.replace(" sqlite", "")
    return configs


async def measure_cpu(kind: str, configs: list[Config], rounds: int, target_cpu: float,
                      redis: Redis | None) -> None:
    for cfg in configs:
        await sequential(cfg.port, kind, 5, check=True)
        await sequential(cfg.port, kind, 60)
    # Block size from the most expensive configuration's warm-up cost.
    costs = []
    for cfg in configs:
        before = cpu_snapshot(cfg.proc.pid)
        await sequential(cfg.port, kind, 40)
        costs.append(cpu_between(before, cpu_snapshot(cfg.proc.pid)) / 40)
    n = int(min(3000, max(100, target_cpu / max(max(costs), 1e-5))))
    log(f"  {kind}: {n} requests per block, {rounds} rounds, {len(configs)} configurations")
    for r in range(rounds):
        order = configs[r % len(configs):] + configs[:r % len(configs)]
        for cfg in order:
            watch_redis = redis is not None and cfg.store == "redis"
            before = cpu_snapshot(cfg.proc.pid)
            redis_before = cpu_snapshot(redis.proc.pid) if watch_redis else None
            await sequential(cfg.port, kind, n)
            cfg.samples.append(cpu_between(before, cpu_snapshot(cfg.proc.pid)) / n * 1e6)
            if watch_redis:
                cfg.redis_samples.append(cpu_between(redis_before, cpu_snapshot(redis.proc.pid)) / n * 1e6)
        log(f"  round {r + 1}/{rounds}: " + ", ".join(f"{c.label} {c.samples[-1]:.0f}" for c in configs))


def report_cpu(kind: str, configs: list[Config], checkouts: list[Checkout]) -> list[str]:
    title = {"whoami": "`GET /api/v1/whoami`", "run": "`POST /api/v1/quillon/run`",
             "mcp": "MCP `tools/call` of `quillon_run` over `/mcp`"}[kind]
    by = {c.label: c for c in configs}
    lines = [f"### {title}", "", "| configuration | server CPU per request, µs | Redis CPU, µs | x limit |",
             "|---|---|---|---|"]
    for cfg in configs:
        limit = by[f"{cfg.checkout.label} limit"]
        ratio = fmt_spread(paired(cfg, limit, lambda a, b: a / b), "x", 2)
        redis_cpu = fmt_spread(cfg.redis_samples) if cfg.redis_samples else ""
        lines.append(f"| {cfg.label} | {fmt_spread(cfg.samples)} | {redis_cpu} | {ratio} |")
    if kind in ("run", "mcp"):
        lines += ["", "| store overhead over the in-process store, µs per request | " +
                  " | ".join(c.label for c in checkouts) + " |", "|---|" + "---|" * len(checkouts)]
        for store in ("sqlite", "redis"):
            cells = []
            for c in checkouts:
                cfg, mem = by.get(f"{c.label} {store}"), by.get(f"{c.label} memory")
                cells.append(fmt_spread(paired(cfg, mem, lambda a, b: a - b)) if cfg and mem else "")
            lines.append(f"| {store} | " + " | ".join(cells) + " |")
    if len(checkouts) == 2:
        new, old = checkouts
        lines += ["", f"| ratio {new.label} / {old.label} (per round) | value |", "|---|---|"]
        suffixes = ["limit"] + (["sqlite", "redis", "memory"] if kind != "whoami" else [""])
        for suffix in suffixes:
            a = by.get(f"{new.label} {suffix}".strip())
            b = by.get(f"{old.label} {suffix}".strip())
            if a and b:
                lines.append(f"| {suffix or 'service'} | {fmt_spread(paired(a, b, lambda x, y: x / y), 'x', 2)} |")
    return lines + [""]


async def measure_workers(checkouts: list[Checkout], rounds: int, root: pathlib.Path, max_seconds: float,
                          requests: int, connections: int) -> list[str]:
    configs = [Config(f"{c.label} {w} worker(s)", c, workers=w) for c in checkouts for w in (1, 2)]
    for cfg in configs:
        cfg.start(root, None, 0, max_seconds)
    try:
        for cfg in configs:
            await cfg.wait_ready()
            # Every worker warmed: more requests than one worker takes alone.
            await concurrent(cfg.port, "run", 200, connections)
        log(f"  workers: {requests} requests over {connections} connections per block, {rounds} rounds")
        for r in range(rounds):
            order = configs[r % len(configs):] + configs[:r % len(configs)]
            for cfg in order:
                wall = await concurrent(cfg.port, "run", requests, connections)
                cfg.samples.append(requests / wall)
            log(f"  round {r + 1}/{rounds}: " + ", ".join(f"{c.label} {c.samples[-1]:.0f}/s" for c in configs))
    finally:
        for cfg in configs:
            cfg.stop()
    lines = ["### Two workers against one on the run route (SQLite)", "",
             f"{requests} runs per block over {connections} connections; the load generator shares the machine.", "",
             "| checkout | 1 worker, runs/s | 2 workers, runs/s | 2 / 1 |", "|---|---|---|---|"]
    for i, c in enumerate(checkouts):
        one, two = configs[2 * i], configs[2 * i + 1]
        lines.append(f"| {c.label} | {fmt_spread(one.samples)} | {fmt_spread(two.samples)} | "
                     f"{fmt_spread(paired(two, one, lambda a, b: a / b), 'x', 2)} |")
    return lines + [""]


async def main_async(args) -> str:
    checkouts = [Checkout(args.label, ROOT)]
    if args.baseline:
        checkouts.append(Checkout(args.baseline_label, pathlib.Path(args.baseline).resolve()))
    for c in checkouts:
        if not c.python.exists():
            raise SystemExit(f"{c.python} is missing: run `make build` in {c.path}")
    sections = args.only.split(",")
    with_redis = shutil.which("redis-server") is not None and not args.no_redis
    root = pathlib.Path(tempfile.mkdtemp(prefix="vexlo-service-bench-"))
    redis = Redis(root) if with_redis else None
    load = os.getloadavg()[0]
    out = ["## Service: server CPU per request", "",
           f"{len(os.sched_getaffinity(0))} CPUs, load average {load:.2f} at the start; checkouts: " +
           ", ".join(f"{c.label} = {c.path}" for c in checkouts) + f"; {args.rounds} rounds. Cells: median "
           "over rounds (interquartile range); ratios are taken within each round.", ""]
    try:
        for kind in ("whoami", "run", "mcp"):
            if kind not in sections:
                continue
            configs = section_configs(kind, checkouts, with_redis)
            for i, cfg in enumerate(configs):
                cfg.start(root, redis, i + 1, args.max_seconds)
            try:
                for cfg in configs:
                    await cfg.wait_ready()
                await measure_cpu(kind, configs, args.rounds, args.block_cpu_ms / 1000, redis)
            finally:
                for cfg in configs:
                    cfg.stop()
            out += report_cpu(kind, configs, checkouts)
        if "workers" in sections:
            out += await measure_workers(checkouts, args.rounds, root, args.max_seconds, args.worker_requests,
                                         args.connections)
    finally:
        if redis is not None:
            redis.stop()
        shutil.rmtree(root, ignore_errors=True)
    out.append(f"Load average at the end: {os.getloadavg()[0]:.2f}.")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="another checkout (with its own .venv from `make build`) to compare")
    parser.add_argument("--label", default="new")
    parser.add_argument("--baseline-label", default="today")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", default="whoami,run,mcp,workers")
    parser.add_argument("--block-cpu-ms", type=float, default=400.0,
                        help="server CPU each block should take in the costliest configuration")
    parser.add_argument("--worker-requests", type=int, default=600)
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--max-seconds", type=float, default=900.0, help="each server's lifetime at most")
    parser.add_argument("--no-redis", action="store_true")
    parser.add_argument("--out", help="also write the report to this file")
    args = parser.parse_args()
    report = asyncio.run(main_async(args))
    print(report)
    if args.out:
        pathlib.Path(args.out).write_text(report)


if __name__ == "__main__":
    main()
