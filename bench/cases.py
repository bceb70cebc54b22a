"""Workloads shared by the timed runs (run.py) and the instruction counts (instructions.py).

A workload is one request path driven one way; for each implementation it offers `run(n)`,
which performs n requests and returns the nanoseconds spent in the request loop alone.
Everything a run needs around the loop (planting a cache entry, swapping stdout, emptying the
trace file) happens outside the timed region, and costs the same for every n, so it also drops
out of the instruction-count difference.
"""
from __future__ import annotations

import asyncio
import functools
import importlib
import io
import pathlib
import sys
import time
from dataclasses import dataclass
from typing import Callable

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

KEY = "vk_bench_3f9a1c07d2e84b65"
VERIFY_URL = "http://127.0.0.1:9/v1/mcp/verify-key"  # never contacted: the cache answers
CACHED_USER = {"valid": True, "user_id": "u-42", "email": "ada@example.com",
               "allowed_tools": ["quillon_run"], "permission_enabled": True}

IMPLS = ("bare", "native", "baseline")

# The loops read the clock through this name; run.py --clock cpu swaps in the thread's CPU
# time, which other processes on a shared machine disturb less than wall time.
now_ns = time.perf_counter_ns

REQUEST = {"type": "http.request", "body": b"", "more_body": False}
START = {"type": "http.response.start", "status": 200,
         "headers": [(b"content-type", b"text/plain"), (b"content-length", b"2")]}
BODY = {"type": "http.response.body", "body": b"ok"}


async def tiny_app(scope, receive, send):
    """The smallest app that behaves like one: reads the request, sends a complete reply."""
    if scope["type"] != "http":
        return
    await receive()
    await send(START)
    await send(BODY)


async def server_receive():
    return REQUEST


async def server_send(message):
    return None


def no_cors(scope):
    return []


def load_gates():
    """The two gate modules: the native one and the plain-Python baseline.

    Both call the host's CORS policy for every refusal; the stand-in's policy reads the
    environment at each call, which costs far more than either gate's own work and is the
    host's, not the gate's, so both get the same trivial policy here.
    """
    native = importlib.import_module("vexlo.mcp.wardgate")
    baseline = importlib.import_module("baseline_gate")
    native.cors_headers_for_scope = baseline.cors_headers_for_scope = no_cors
    return {"native": native, "baseline": baseline}


def http_scope(method, path, headers=(), query=b""):
    # Shaped like what uvicorn hands over, so the copy per request costs what it would.
    return {
        "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
        "server": ("127.0.0.1", 8000), "client": ("127.0.0.1", 51234), "scheme": "http",
        "method": method, "root_path": "", "path": path, "raw_path": path.encode(),
        "query_string": query,
        "headers": [(b"host", b"127.0.0.1:8000"), (b"user-agent", b"bench/1.0"),
                    (b"accept", b"*/*"), *headers],
        "state": {},
    }


BEARER = (b"authorization", b"Bearer " + KEY.encode())


@dataclass(frozen=True)
class GatePath:
    name: str
    scope: dict
    settings: dict
    expect: int | None  # status the client gets; None: no reply at all (lifespan)
    traced: bool = False
    cached: bool = False


GATE_PATHS = [
    GatePath("pass-through: unprotected path",
             http_scope("GET", "/health", [BEARER]),
             {"api_key": KEY, "protected_path_prefixes": ("/api/", "/sse")}, 200),
    GatePath("pass-through: OPTIONS",
             http_scope("OPTIONS", "/api/v1/items", [(b"origin", b"http://localhost:5173")]),
             {"api_key": KEY}, 200),
    GatePath("pass-through: lifespan scope",
             {"type": "lifespan", "asgi": {"version": "3.0"}, "state": {}},
             {"api_key": KEY}, None),
    GatePath("fixed key, header", http_scope("GET", "/api/v1/items", [BEARER]), {"api_key": KEY}, 200),
    GatePath("fixed key, query",
             http_scope("GET", "/api/v1/items", query=b"api_key=" + KEY.encode() + b"&page=2"),
             {"api_key": KEY}, 200),
    GatePath("401, no key", http_scope("GET", "/api/v1/items"), {"api_key": KEY}, 401),
    GatePath("remote, cached answer", http_scope("GET", "/api/v1/items", [BEARER]),
             {"auth_verify_url": VERIFY_URL}, 200, cached=True),
    GatePath("trusted internal identity",
             http_scope("GET", "/api/v1/items", [(b"x-corvane-user-email", b"Ada@Example.com"),
                                                 (b"x-corvane-user-id", b"u-42")]),
             {"api_key": KEY, "trust_upstream_corvane_identity": True}, 200),
    GatePath("traced (/api/v1/quillon), fixed key",
             http_scope("POST", "/api/v1/quillon/run", [BEARER, (b"content-type", b"application/json")]),
             {"api_key": KEY}, 200, traced=True),
]


# --- request loops ---------------------------------------------------------------------------

def send_loop(call, scope, n):
    """Drives each request with coro.send(None): pure CPU cost, no event loop."""
    copy = scope.copy
    receive, send = server_receive, server_send
    perf = now_ns
    t0 = perf()
    for _ in range(n):
        coro = call(copy(), receive, send)
        try:
            coro.send(None)
        except StopIteration:
            continue
        coro.close()
        raise RuntimeError("a request suspended; nothing on this path should wait")
    return perf() - t0


async def await_loop(call, scope, n):
    """Awaits each request in turn inside one asyncio task."""
    copy = scope.copy
    receive, send = server_receive, server_send
    perf = now_ns
    t0 = perf()
    for _ in range(n):
        await call(copy(), receive, send)
    return perf() - t0


_runner: asyncio.Runner | None = None


def runner() -> asyncio.Runner:
    global _runner
    if _runner is None:
        _runner = asyncio.Runner()
    return _runner


def close_runner():
    global _runner
    if _runner is not None:
        _runner.close()
        _runner = None


DRIVERS = {
    "send": lambda call, scope, n: send_loop(call, scope, n),
    "asyncio": lambda call, scope, n: runner().run(await_loop(call, scope, n)),
}


# --- workloads -------------------------------------------------------------------------------

@dataclass
class Workload:
    group: str
    name: str
    driver: str
    runs: dict[str, Callable[[int], int]]


class StdoutSink:
    """Every traced line is also printed; this keeps those prints in memory, emptied per run."""

    def __init__(self):
        self.buffer = io.StringIO()
        self.saved = None

    def __enter__(self):
        self.saved, sys.stdout = sys.stdout, self.buffer
        return self.buffer

    def __exit__(self, *exc):
        sys.stdout = self.saved
        self.buffer.seek(0)
        self.buffer.truncate()


def redirect_trace(gates, folder: pathlib.Path):
    for mod in gates.values():
        mod._QUILLON_TRACE_FILE = folder / ".tmp" / "quillon-trace.log"


def _gate_run(call, path: GatePath, driver, gate=None, trace_file=None):
    drive = DRIVERS[driver]
    sink = StdoutSink() if path.traced else None

    def run(n):
        if path.cached and gate is not None:
            # Fresh for 60 s from now: every run stays within the cache's lifetime.
            gate._verify_cache[KEY] = (time.time(), dict(CACHED_USER))
        if sink is None:
            return drive(call, path.scope, n)
        with sink:
            ns = drive(call, path.scope, n)
        if trace_file is not None and trace_file.exists():
            trace_file.unlink()
        return ns
    return run


def probe(call, scope):
    """One request with a recording server: (status or None, number of messages sent)."""
    sent = []

    async def send(message):
        sent.append(message)

    coro = call(scope.copy(), server_receive, send)
    try:
        coro.send(None)
    except StopIteration:
        pass
    else:
        coro.close()
        raise RuntimeError("probe request suspended")
    starts = [m for m in sent if m["type"] == "http.response.start"]
    return (starts[0]["status"] if starts else None), len(sent)


def gate_workloads(gates, drivers=("send", "asyncio"), paths=GATE_PATHS):
    """One workload per (path, driver); checks first that every implementation answers the
    path as expected, so a broken path is never timed."""
    out = []
    for path in paths:
        instances = {impl: mod.ApiKeyWardgate(tiny_app, **path.settings) for impl, mod in gates.items()}
        calls = {"bare": tiny_app, **instances}
        for impl, call in calls.items():
            gate = instances.get(impl)
            if path.cached:
                gate_cache_plant(gate)
            with StdoutSink() as printed:
                status, _ = probe(call, path.scope)
                lines = printed.getvalue().count("[QUILLON-TRACE]")
            want = path.expect if impl != "bare" else (None if path.expect is None else 200)
            if status != want:
                raise RuntimeError(f"{path.name}: {impl} answered {status}, expected {want}")
            if path.traced and impl != "bare":
                trace_file = gates[impl]._QUILLON_TRACE_FILE
                if lines != 5 or not trace_file.exists():
                    raise RuntimeError(f"{path.name}: {impl} printed {lines} trace lines "
                                       f"(expected 5) or wrote no file at {trace_file}")
                trace_file.unlink()
        for driver in drivers:
            runs = {impl: _gate_run(call, path, driver, instances.get(impl),
                                    gates[impl]._QUILLON_TRACE_FILE if impl in gates else None)
                    for impl, call in calls.items()}
            out.append(Workload("gate", path.name, driver, runs))
    return out


def gate_cache_plant(gate):
    if gate is not None:
        gate._verify_cache[KEY] = (time.time(), dict(CACHED_USER))


# --- result mapping of the router ----------------------------------------------------------

def plain_result_response(result):
    """The same mapping written as ordinary Python, for comparison."""
    from fastapi.responses import JSONResponse
    if type(result) is not dict:
        raise TypeError("Argument 'result' has incorrect type (expected dict, got %.200s)"
                        % type(result).__name__)
    if result.get("success") is True:
        return JSONResponse(result)
    error = result.get("error")
    if not isinstance(error, dict):
        error = {}
    code = error.get("code")
    code = str(code) if code else ""
    status_by_code = {
        "QUILLON_AUTH_ERROR": 401,
        "QUILLON_FORBIDDEN": 403,
        "QUILLON_QUOTA_INSUFFICIENT": 429,
        "QUILLON_RATE_LIMITED": 429,
    }
    status = status_by_code.get(code, 200)
    headers = {}
    retry_after = error.get("retry_after_seconds")
    if status == 429 and retry_after is not None:
        headers["Retry-After"] = str(retry_after)
    return JSONResponse(result, status_code=status, headers=headers)


ENVELOPES = {
    "success": {"success": True,
                "data": {"scenario": "traffic_overview", "title": "Traffic overview", "site": None,
                         "export_format": "json", "row_count": 2, "columns": ["label", "visits"],
                         "rows": [{"label": "day-1", "visits": 1200}, {"label": "day-2", "visits": 980}]},
                "error": None,
                "quota": {"cost": 1, "daily_limit": 50, "used_today": 3, "remaining_today": 47}},
    "429 rate limited": {"success": False, "data": None,
                         "error": {"code": "QUILLON_RATE_LIMITED",
                                   "message": "Too many Quillon runs, please slow down",
                                   "retry_after_seconds": 30}},
}


def _map_loop(fn, result, n):
    perf = now_ns
    t0 = perf()
    for _ in range(n):
        fn(result)
    return perf() - t0


def _direct_response(envelope, status):
    """The JSONResponse call that the mapping ends in, with its answer already known."""
    from fastapi.responses import JSONResponse
    if envelope.get("success") is True:
        return JSONResponse
    headers = {"Retry-After": str(envelope["error"]["retry_after_seconds"])}
    return functools.partial(JSONResponse, status_code=status, headers=headers)


def mapping_workloads():
    """`_quillon_result_response` per call; "bare" builds the same JSONResponse directly, so
    the added cost is the mapping alone."""
    quillon = importlib.import_module("vexlo.api.routers.quillon")
    out = []
    for name, envelope in ENVELOPES.items():
        expected = plain_result_response(envelope)
        bare = _direct_response(envelope, expected.status_code)
        impls = {"bare": bare, "native": quillon._quillon_result_response, "baseline": plain_result_response}
        for impl, fn in impls.items():
            got = fn(envelope)
            if (got.status_code, got.body, got.raw_headers) != (expected.status_code, expected.body,
                                                                 expected.raw_headers):
                raise RuntimeError(f"result mapping {name}: {impl} differs from the plain mapping")
        runs = {impl: (lambda n, fn=fn, envelope=envelope: _map_loop(fn, envelope, n))
                for impl, fn in impls.items()}
        out.append(Workload("mapping", name, "call", runs))
    return out
