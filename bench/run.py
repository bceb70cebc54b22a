"""Benchmarks of the API-key gate and the scenario router: `make bench`, or
`.venv/bin/python bench/run.py [--only inproc,router,e2e] [--instructions]`.

Writes one Markdown report to stdout and to bench/results.md (bench/instructions.md for
--instructions); progress goes to stderr. See bench/README.md for what each table measures.
"""
import argparse
import asyncio
import datetime
import gc
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import cases  # noqa: E402

SECTIONS = ("inproc", "router", "e2e")
MAX_REQUESTS = 20_000
MIN_REQUESTS = 500
STAMP = "%Y-%m-%dT%H:%M:%S"


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


# --- machine -----------------------------------------------------------------------------------

def cpu_model():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine_lines():
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE.parent,
                                capture_output=True, text=True, timeout=5).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--", "src"], cwd=HERE.parent,
                               capture_output=True, text=True, timeout=5).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        commit, dirty = "", ""
    import vexlo.mcp.wardgate as wardgate
    built = datetime.datetime.fromtimestamp(os.path.getmtime(wardgate.__file__)).strftime(STAMP)
    affinity = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return [
        f"- CPU: {cpu_model()}, {os.cpu_count()} logical cores ({affinity} usable)",
        f"- Python: {platform.python_implementation()} {platform.python_version()} ({sys.executable})",
        f"- Native gate module built {built}; commit {commit or 'unknown'}"
        + (" with uncommitted changes under src/" if dirty else ""),
        f"- Run at {datetime.datetime.now().strftime(STAMP)}; load average "
        + load_average(),
    ]


def load_average():
    try:
        return ", ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "unknown"


# --- interleaved timing ------------------------------------------------------------------------

def size_runs(workload, budget_ns):
    """Warms every implementation up, then picks a request count that keeps the slowest one's
    run near the budget (bounded to [MIN_REQUESTS, MAX_REQUESTS])."""
    for run in workload.runs.values():
        run(200)
    slowest = max(run(300) / 300 for run in workload.runs.values())
    return max(MIN_REQUESTS, min(MAX_REQUESTS, int(budget_ns / max(slowest, 1.0))))


def interleave(workload, rounds, n):
    """ns per request of each implementation, one value per round. Each round runs every
    implementation once, in an order that rotates between rounds; the collector is off during a
    round and runs between rounds."""
    impls = list(workload.runs)
    per_round = {impl: [] for impl in impls}
    for r in range(rounds):
        order = impls[r % len(impls):] + impls[:r % len(impls)]
        gc.collect()
        gc.disable()
        try:
            for impl in order:
                per_round[impl].append(workload.runs[impl](n) / n)
        finally:
            gc.enable()
    gc.collect()
    return per_round


def summarise(per_round):
    """Medians, and the gates' added cost (gate - bare of the same round) with its spread."""
    out = {impl: statistics.median(v) for impl, v in per_round.items()}
    for impl in ("native", "baseline"):
        added = [g - b for g, b in zip(per_round[impl], per_round["bare"])]
        out[impl + "+"] = statistics.median(added)
        q = statistics.quantiles(added, n=4) if len(added) >= 2 else [added[0]] * 3
        out[impl + "+iqr"] = q[2] - q[0]
    out["ratio"] = out["native+"] / out["baseline+"] if out["baseline+"] > 0 else float("nan")
    return out


def fmt_ns(value):
    return f"{value:,.0f}"


def fmt_ratio(value):
    return "n/a" if value != value else f"{value:.2f}"


def timed_table(rows, first_col, what):
    head = (f"| {first_col} | driver | native/baseline | native +{what} | baseline +{what} "
            f"| bare {what} | native {what} | baseline {what} | native +{what} IQR | requests x rounds |")
    lines = [head, "|" + "---|" * 10]
    for workload, n, rounds, s in rows:
        lines.append(
            f"| {workload.name} | {workload.driver} | {fmt_ratio(s['ratio'])} | {fmt_ns(s['native+'])} "
            f"| {fmt_ns(s['baseline+'])} | {fmt_ns(s['bare'])} | {fmt_ns(s['native'])} "
            f"| {fmt_ns(s['baseline'])} | {fmt_ns(s['native+iqr'])} | {n:,} x {rounds} |")
    return lines


def run_workloads(workloads, rounds, budget_ns):
    rows = []
    for i, workload in enumerate(workloads, 1):
        n = size_runs(workload, budget_ns)
        log(f"  [{i}/{len(workloads)}] {workload.name} ({workload.driver}): {n} requests x {rounds} rounds")
        rows.append((workload, n, rounds, summarise(interleave(workload, rounds, n))))
    return rows


def section_inproc(args, trace_dir):
    log("in-process gate paths")
    gates = cases.load_gates()
    cases.redirect_trace(gates, trace_dir)
    try:
        rows = run_workloads(cases.gate_workloads(gates), args.rounds, args.budget_ms * 1e6)
    finally:
        cases.close_runner()
    lines = [
        "## Gate, in process: added cost per request",
        "",
        "`+ns` is the gate's added cost per request (gate minus bare app, paired per round, median "
        "over rounds); `native/baseline` divides the two added costs (lower is better). `send` drives "
        "each request with `coro.send(None)` (pure CPU), `asyncio` awaits it inside one task. The "
        "scope copy per request is in every column, so it cancels in the difference. Clock: "
        + ("`time.perf_counter_ns`." if args.clock == "wall" else "`time.thread_time_ns` (CPU time)."),
        "",
        *timed_table(rows, "path", "ns"),
    ]
    return lines


# --- router ------------------------------------------------------------------------------------

class StandInGate:
    """What the gate hands the app for an accepted remote-mode request: the user's e-mail in
    the scope and the request context set around the call."""

    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        from vexlo.mcp.context import mcp_request_ctx
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        scope["mcp_user_email"] = "ada@example.com"
        token = mcp_request_ctx.set({"api_key": cases.KEY, "auth_mode": "remote", "user_id": "u-42",
                                     "email": "ada@example.com", "allowed_tools": ["quillon_run"],
                                     "permission_enabled": True})
        try:
            await self.app(scope, receive, send)
        finally:
            mcp_request_ctx.reset(token)


RUN_BODY = {"scenario": "traffic_overview", "site": "eu-1", "export_format": "json", "wait": True}


def _floor_app():
    """Same body model and identity dependency, constant answer: what FastAPI and httpx cost
    on their own for this request."""
    from fastapi import Depends, FastAPI
    from fastapi.responses import JSONResponse

    from vexlo.api.deps import require_authenticated_user
    from vexlo.api.schemas.quillon import QuillonRunRequest

    app = FastAPI()

    @app.post("/api/v1/quillon/run")
    async def run(payload: QuillonRunRequest, email: str = Depends(require_authenticated_user)):
        return JSONResponse({"success": True, "data": {"scenario": payload.scenario}, "error": None})
    return app


def router_rps(rounds, seconds):
    """POST /api/v1/quillon/run through FastAPI over httpx.ASGITransport: requests/s, for the
    real router and for the constant-answer floor, interleaved."""
    import httpx
    from fastapi import FastAPI

    from vexlo.mcp import instrumentation
    from vexlo.mcp.tools import quillon as tool_module
    quillon = __import__("vexlo.api.routers.quillon", fromlist=["router"])

    router_app = FastAPI()
    router_app.include_router(quillon.router)
    apps = {"router": StandInGate(router_app), "floor": StandInGate(_floor_app())}

    def reset():
        instrumentation.reset_quota()
        instrumentation.reset_telemetry()
        tool_module.reset_rate_limits()

    async def measure(client, limit):
        statuses = {}
        count = 0
        t0 = time.perf_counter()
        while (elapsed := time.perf_counter() - t0) < limit:
            response = await client.post("/api/v1/quillon/run", json=RUN_BODY)
            statuses[response.status_code] = statuses.get(response.status_code, 0) + 1
            count += 1
        return count / elapsed, statuses

    async def main():
        clients = {name: httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://bench")
                   for name, app in apps.items()}
        try:
            for name, client in clients.items():
                response = await client.post("/api/v1/quillon/run", json=RUN_BODY)
                if response.status_code != 200 or response.json().get("success") is not True:
                    raise RuntimeError(f"POST /run ({name}) answered {response.status_code}: {response.text[:200]}")
                await measure(client, 0.3)
            results = {name: [] for name in clients}
            for r in range(rounds):
                for name in (list(clients) if r % 2 == 0 else list(clients)[::-1]):
                    reset()
                    rps, statuses = await measure(clients[name], seconds)
                    if set(statuses) != {200}:
                        raise RuntimeError(f"POST /run ({name}) statuses {statuses}")
                    results[name].append(rps)
            return results
        finally:
            for client in clients.values():
                await client.aclose()

    saved = {k: os.environ.get(k) for k in (instrumentation.QUOTA_ENV, tool_module.RATE_ENV)}
    os.environ[instrumentation.QUOTA_ENV] = str(10**9)
    os.environ[tool_module.RATE_ENV] = str(10**9)
    try:
        reset()
        with cases.StdoutSink():
            return asyncio.run(main())
    finally:
        reset()
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def section_router(args, trace_dir):
    log("router: result mapping")
    gates = cases.load_gates()
    cases.redirect_trace(gates, trace_dir)  # the router's trace lines go through the gate module
    rows = run_workloads(cases.mapping_workloads(), args.rounds, args.budget_ms * 1e6)
    log("router: POST /api/v1/quillon/run over httpx.ASGITransport")
    rps = router_rps(args.router_rounds, args.router_seconds)
    med = {name: statistics.median(v) for name, v in rps.items()}
    share = 1e6 / med["router"] - 1e6 / med["floor"]
    return [
        "## Router",
        "",
        "`_quillon_result_response` per call. \"bare\" builds the same `JSONResponse` directly "
        "(so `+ns` is the mapping alone); \"baseline\" is the same mapping in plain Python.",
        "",
        *timed_table(rows, "envelope", "ns"),
        "",
        "POST /api/v1/quillon/run through FastAPI via `httpx.ASGITransport` (one client, sequential "
        "requests, a stand-in gate that sets the e-mail and the request context; quota and rate "
        "limit raised and reset per run). \"floor\" is a constant-answer route with the same body "
        "model and identity dependency.",
        "",
        "| app | requests/s (median) | runs | us/request |",
        "|---|---|---|---|",
        *(f"| {name} | {med[name]:,.0f} | {', '.join(f'{x:,.0f}' for x in rps[name])} | {1e6 / med[name]:,.1f} |"
          for name in rps),
        "",
        f"The router's part above the floor: {share:,.1f} us per request.",
    ]


# --- end to end --------------------------------------------------------------------------------

def section_e2e(args):
    import e2e
    log("end to end: uvicorn on 127.0.0.1")
    result = e2e.run(seconds=args.e2e_seconds, runs=args.e2e_runs, connections=args.connections,
                     loadgen=args.loadgen, log=log)
    return e2e.report(result)


# --- main --------------------------------------------------------------------------------------

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help="comma-separated sections to run: " + ", ".join(SECTIONS))
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds per in-process row")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="wall: time.perf_counter_ns; cpu: time.thread_time_ns (in-process runs)")
    parser.add_argument("--budget-ms", type=float, default=100.0,
                        help="target duration of the slowest implementation's run, per round")
    parser.add_argument("--router-rounds", type=int, default=3)
    parser.add_argument("--router-seconds", type=float, default=2.0)
    parser.add_argument("--e2e-seconds", type=int, default=5)
    parser.add_argument("--e2e-runs", type=int, default=5)
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--loadgen", choices=("auto", "wrk", "python"), default="auto")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions per request under callgrind instead (slow)")
    parser.add_argument("--output", type=pathlib.Path, default=None)
    args = parser.parse_args(argv)
    if args.clock == "cpu":
        cases.now_ns = time.thread_time_ns

    header = ["# Benchmark results", "", *machine_lines()]
    if args.instructions:
        import instructions
        body = ["", *instructions.run(log=log)]
        output = args.output or HERE / "instructions.md"
    else:
        chosen = [s.strip() for s in args.only.split(",") if s.strip()]
        unknown = set(chosen) - set(SECTIONS)
        if unknown:
            parser.error("unknown section(s): " + ", ".join(sorted(unknown)))
        body = []
        started = time.monotonic()
        with tempfile.TemporaryDirectory(prefix="vexlo-bench-") as tmp:
            trace_dir = pathlib.Path(tmp)
            if "inproc" in chosen:
                body += ["", *section_inproc(args, trace_dir)]
            if "router" in chosen:
                body += ["", *section_router(args, trace_dir)]
            if "e2e" in chosen:
                body += ["", *section_e2e(args)]
        body += ["", f"Total benchmark time: {time.monotonic() - started:.0f} s; load average at the end "
                 f"{load_average()} (other processes on the machine disturb wall-clock numbers)."]
        output = args.output or HERE / "results.md"

    text = "\n".join([*header, *body]) + "\n"
    sys.stdout.write(text)
    sys.stdout.flush()
    output.write_text(text, encoding="utf-8")
    log(f"written to {output}")


if __name__ == "__main__":
    main()
