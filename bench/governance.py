"""Cost of one governed scenario run for each counter store:
`.venv/bin/python bench/governance.py [--runs N] [--rounds R]`.

A governed run is what the run route awaits: telemetry_wrap(quota_wrap(quillon_run)), which takes a
quota unit and a rate slot. The tool itself is replaced by one that returns a fixed envelope and
takes its rate slot, so that the numbers are the governance's own. The runs rotate over USERS
callers, so each holds about as many run starts in its window as the default rate lets it (10). Runs go one after another on
one event loop; the stores are the ones the server installs (SQLite in a temporary data folder, a
redis-server started here on a loopback port). Prints a Markdown table: median over rounds of the
mean time per run, and what each shared store adds to the in-memory one.
"""
import argparse
import asyncio
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from vexlo.mcp import counters, instrumentation
from vexlo.mcp.context import mcp_request_ctx
from vexlo.mcp.tools import quillon as tool
from vexlo.quillon.api.scenarios import telemetry_dimensions

OK = {"success": True, "data": {}, "error": None, "quota": {"cost": 1}}
USERS = 200


async def _tool(**kwargs):
    from vexlo.mcp.context import current_principal

    await tool._take_rate_slot(current_principal())
    return OK


async def _runs(governed, n):
    contexts = [{"email": f"bench{i}@example.com"} for i in range(USERS)]
    started = time.perf_counter()
    for i in range(n):
        token = mcp_request_ctx.set(contexts[i % USERS])
        try:
            result = await governed(scenario="traffic_overview", session_id=None, jwt=None)
        finally:
            mcp_request_ctx.reset(token)
        assert result["success"] is True, result
    return (time.perf_counter() - started) / n


def _measure(store, runs, rounds):
    counters.install(store)
    governed = instrumentation.telemetry_wrap(instrumentation.quota_wrap(_tool), module="quillon",
                                              dimension_resolver=telemetry_dimensions)
    times = []
    for _ in range(rounds):
        store.reset()
        times.append(asyncio.run(_runs(governed, runs)))
    return statistics.median(times)


def _redis(folder):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([shutil.which("redis-server") or "redis-server", "--port", str(port), "--bind",
                             "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", str(folder)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}/0"
    deadline = time.monotonic() + 10
    while True:
        try:
            store = counters.RedisCounters(url)
            store.initialise()
            return proc, store
        except counters.CounterStoreUnavailable:
            if time.monotonic() > deadline:
                proc.terminate()
                raise
            time.sleep(0.05)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2000, help="runs per round (default 2000)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds per store (default 5)")
    args = parser.parse_args()
    # Enough for every run of a round: refusals would measure another path.
    import os
    os.environ[instrumentation.QUOTA_ENV] = str(args.runs)
    os.environ[tool.RATE_ENV] = str(args.runs)
    with tempfile.TemporaryDirectory() as tmp:
        sqlite = counters.SqliteCounters(Path(tmp))
        sqlite.initialise()
        proc, redis = _redis(tmp)
        try:
            results = {}
            for name, store in (("memory", counters.MemoryCounters()), ("SQLite (data folder)", sqlite),
                                ("Redis (loopback)", redis)):
                print(f"measuring {name}", file=sys.stderr)
                results[name] = _measure(store, args.runs, args.rounds)
        finally:
            sqlite.close()
            redis.close()
            proc.terminate()
            proc.wait(10)
    base = results["memory"]
    print(f"| store | per governed run | added to memory |  ({args.runs} runs x {args.rounds} rounds, medians)")
    print("|---|---|---|")
    for name, seconds in results.items():
        print(f"| {name} | {seconds * 1e6:.0f} us | {(seconds - base) * 1e6:+.0f} us |")


if __name__ == "__main__":
    main()
