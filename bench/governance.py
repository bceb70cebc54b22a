"""Cost of one governed scenario run for each counter store:
`.venv/bin/python bench/governance.py [--runs N] [--rounds R] [--against DIR]`.

A governed run is what the run route awaits: telemetry_wrap(quota_wrap(quillon_run)), which takes a
quota unit and a rate slot. The tool itself is replaced by one that returns a fixed envelope after
taking its rate slot the way the real tool does, so that the numbers are the governance's own. The
runs rotate over USERS callers, so each holds about as many run starts in its window as the default
rate lets it (10). Runs go one after another on one event loop; the stores are the ones the server
installs (SQLite in a temporary data folder, a redis-server started here on a loopback port).

Each round runs in a fresh process per code base, rounds interleaved, so the machine's load falls on
both alike. Measured per run: CPU time of the process (all its threads), CPU time redis-server spent,
and wall time. ``--against DIR`` names the `python/` folder of another checkout (say one made with
`git worktree add /tmp/base <commit>`) whose governance is measured in the same rounds.
Prints a Markdown table of medians over rounds, with the spread (min-max) of the CPU time.
"""
import argparse
import asyncio
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

USERS = 200
STORES = ("memory", "sqlite", "redis")


def _proc_cpu(pid):
    """Seconds of CPU that process ``pid`` used so far (user + system)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _child(store_name, runs, folder, redis_url, redis_pid, code_path):
    """One round for one store, in this process: prints a JSON line of per-run seconds."""
    # The editable install's finder would serve this checkout whatever the path says.
    sys.meta_path[:] = [f for f in sys.meta_path if not type(f).__module__.startswith("_editable")]
    sys.path.insert(0, code_path)
    from vexlo.mcp import counters, instrumentation
    from vexlo.mcp.context import current_principal, mcp_request_ctx
    from vexlo.mcp.tools import quillon as tool
    from vexlo.quillon.api.scenarios import telemetry_dimensions

    ok = {"success": True, "data": {}, "error": None, "quota": {"cost": 1}}
    if hasattr(instrumentation, "decide_run"):
        async def fake_tool(**kwargs):
            refused, retry = await instrumentation.decide_run(current_principal(), rate_limit=tool._rate_per_minute(),
                                                              window=tool._RATE_WINDOW_SECONDS, now=tool._clock())
            assert refused is None and retry is None
            return ok
        fake_tool.takes_rate_slot = True
    else:  # the code before one decision per run: a rate slot, then the quota unit, apart
        async def fake_tool(**kwargs):
            await tool._take_rate_slot(current_principal())
            return ok

    if store_name == "sqlite":
        store = counters.SqliteCounters(Path(folder))
        store.initialise()
    elif store_name == "redis":
        store = counters.RedisCounters(redis_url)
        store.initialise()
    else:
        store = counters.MemoryCounters()
    counters.install(store)
    store.reset()
    governed = instrumentation.telemetry_wrap(instrumentation.quota_wrap(fake_tool), module="quillon",
                                              dimension_resolver=telemetry_dimensions)
    contexts = [{"email": f"bench{i}@example.com"} for i in range(USERS)]

    async def loop(n):
        for i in range(n):
            token = mcp_request_ctx.set(contexts[i % USERS])
            try:
                result = await governed(scenario="traffic_overview", session_id=None, jwt=None)
            finally:
                mcp_request_ctx.reset(token)
            assert result["success"] is True, result

    async def measured():
        await loop(min(200, runs))  # connections, scripts and caches warm
        redis_before = _proc_cpu(redis_pid) if store_name == "redis" else 0.0
        cpu, wall = time.process_time(), time.perf_counter()
        await loop(runs)
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        redis_cpu = (_proc_cpu(redis_pid) - redis_before) if store_name == "redis" else 0.0
        if hasattr(store, "aclose"):
            await store.aclose()
        return cpu, wall, redis_cpu

    cpu, wall, redis_cpu = asyncio.run(measured())
    store.close()
    assert counters.__file__.startswith(code_path), counters.__file__
    print(json.dumps({"cpu": cpu / runs, "wall": wall / runs, "redis": redis_cpu / runs}))


def _redis(folder):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([shutil.which("redis-server") or "redis-server", "--port", str(port), "--bind",
                             "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", str(folder)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.sendall(b"PING\r\n")
                if s.recv(16).startswith(b"+PONG"):
                    return proc, f"redis://127.0.0.1:{port}/0"
        except OSError:
            pass
        if time.monotonic() > deadline or proc.poll() is not None:
            proc.terminate()
            raise SystemExit("redis-server did not start")
        time.sleep(0.05)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2000, help="runs per round (default 2000)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds per store (default 5)")
    parser.add_argument("--against", help="python/ folder of another checkout to measure alongside")
    parser.add_argument("--child", nargs=5, metavar=("STORE", "FOLDER", "URL", "PID", "CODE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        store, folder, url, pid, code = args.child
        _child(store, args.runs, folder, url, int(pid), code)
        return
    codes = {"this": str(Path(__file__).resolve().parents[1] / "python")}
    if args.against:
        codes["against"] = str(Path(args.against).resolve())
    results = {(code, store): [] for code in codes for store in STORES}
    with tempfile.TemporaryDirectory() as tmp:
        proc, url = _redis(tmp)
        try:
            for round_no in range(args.rounds):
                print(f"round {round_no + 1}/{args.rounds}", file=sys.stderr)
                for store in STORES:
                    for code, path in codes.items():
                        folder = Path(tmp) / f"{code}-{store}-{round_no}"
                        folder.mkdir()
                        # Enough for every run of a round: refusals would measure another path.
                        env = {**os.environ, "VEXLO_QUILLON_DAILY_QUOTA": str(args.runs * 2),
                               "VEXLO_QUILLON_RATE_PER_MINUTE": str(args.runs * 2)}
                        out = subprocess.run([sys.executable, __file__, "--runs", str(args.runs), "--child", store,
                                              str(folder), url, str(proc.pid), path], env=env, check=True,
                                             capture_output=True, text=True, timeout=600).stdout
                        results[(code, store)].append(json.loads(out.strip().splitlines()[-1]))
        finally:
            proc.terminate()
            proc.wait(10)

    def med(code, store, key):
        return statistics.median(r[key] for r in results[(code, store)])

    print(f"({args.runs} runs x {args.rounds} rounds, interleaved; medians, CPU spread min-max; us per run)\n")
    print("| code | store | CPU (process) | CPU spread | + redis-server CPU | wall | CPU over memory | wall over memory |")
    print("|---|---|---|---|---|---|---|---|")
    for code in codes:
        base, base_wall = med(code, "memory", "cpu"), med(code, "memory", "wall")
        for store in STORES:
            cpus = [r["cpu"] for r in results[(code, store)]]
            print(f"| {code} | {store} | {med(code, store, 'cpu') * 1e6:.0f} | {min(cpus) * 1e6:.0f}-{max(cpus) * 1e6:.0f}"
                  f" | {med(code, store, 'redis') * 1e6:.0f} | {med(code, store, 'wall') * 1e6:.0f}"
                  f" | {(med(code, store, 'cpu') - base) * 1e6:+.0f} | {(med(code, store, 'wall') - base_wall) * 1e6:+.0f} |")


if __name__ == "__main__":
    main()
