"""Prometheus metrics of the service, counted from the host side and served at ``/metrics``.

What is counted, and where it is observed (the two native modules are not touched):
- gated requests: by ``instrument``, an ASGI layer around the gate instance, which reads the
  identity the gate wrote into the scope once it has answered;
- verification checks: by ``count_checks`` on the client the gate verifies with (the host's
  in-process client, or the one the gate builds itself, taken through ``counting_get_client``);
- governed runs and their counter-store latency: by ``observe_run`` in the host's telemetry
  wrapper and by ``observe_decision``, the instrumentation's observer of store decisions;
- MCP tool calls and SSE sessions: by ``count_tool`` and the SSE hooks of the MCP service.

Several worker processes each count for themselves, so the service runs the client library in
its multi-process mode: each worker writes its values to files in ``PROMETHEUS_MULTIPROC_DIR``
and a scrape, whichever worker answers it, adds up all of them. The library picks its mode when
it is imported, so nothing here imports it before the folder is settled (``prepare_multiprocess_dir``).
"""
from __future__ import annotations

import contextvars
import functools
import hmac
import ipaddress
import os
import re
import shutil
import tempfile
import threading
import time
from collections.abc import Awaitable, Callable, Mapping
from pathlib import Path
from typing import Any

METRICS_PATH = "/metrics"
ENV_METRICS_TOKEN = "VEXLO_METRICS_TOKEN"
ENV_MULTIPROC_DIR = "PROMETHEUS_MULTIPROC_DIR"

# Files the client library writes in the multi-process folder (kind, optional gauge mode, pid).
_VALUE_FILE = re.compile(r"^(?:counter|histogram|summary|gauge_[a-z]+)_(\d+)\.db$")
# The private folders of the service's own starts: prefix, the pid of the parent, a random part.
_DIR_PREFIX = "vexlo-metrics-"
_PRIVATE_DIR = re.compile(r"^vexlo-metrics-(\d+)-[^/]+$")
# A request that carries these came through a proxy: its loopback peer says nothing about the client.
_FORWARDING_HEADERS = (b"forwarded", b"x-forwarded-for", b"x-real-ip")

_VERIFY_BUCKETS = (0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0)
_STORE_BUCKETS = (0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1.0)

PATH_GROUPS = ("sse", "messages", "mcp", "api", "other")
GATE_OUTCOMES = ("accepted_remote", "accepted_fixed", "accepted_internal", "rejected_401",
                 "unavailable_503", "not_gated")
# Governed-run outcomes by the envelope's error code or the exception that ended the run.
_RUN_OUTCOMES = {"success": "ran", "QUILLON_QUOTA_INSUFFICIENT": "quota", "QUILLON_RATE_LIMITED": "rate",
                 "exception:CounterStoreUnavailable": "store_unavailable",
                 "QUILLON_STORE_UNAVAILABLE": "store_unavailable"}


class _Metrics:
    def __init__(self) -> None:
        from prometheus_client import Counter, Gauge, Histogram

        self.gate = Counter("vexlo_gate_requests", "Requests seen by the API-key gate, by outcome and path group",
                            ["outcome", "path_group"])
        self.checks = Counter("vexlo_verify_checks", "Key verification checks sent to the account backend",
                              ["outcome"])
        self.check_seconds = Histogram("vexlo_verify_check_seconds", "Duration of key verification checks",
                                       ["outcome"], buckets=_VERIFY_BUCKETS)
        self.cache_hits = Counter("vexlo_verify_cache_hits", "Keys accepted from the gate's cache without a check")
        self.grace = Counter("vexlo_verify_grace_answers",
                             "Keys accepted from an older cached answer while the backend failed")
        self.sse_open = Gauge("vexlo_sse_sessions_open", "Open SSE sessions", multiprocess_mode="livesum")
        self.sse_refused = Counter("vexlo_sse_refusals", "SSE streams refused, by the cap that refused them",
                                   ["cap"])
        self.tools = Counter("vexlo_mcp_tool_calls", "MCP tool calls by tool and outcome", ["tool", "outcome"])
        self.runs = Counter("vexlo_governed_runs", "Governed scenario runs (REST and MCP) by outcome", ["outcome"])
        self.store_seconds = Histogram("vexlo_store_op_seconds", "Duration of quota and rate counter store decisions",
                                       ["op", "outcome"], buckets=_STORE_BUCKETS)
        # Children looked up once: a labels() call per request costs a lock and a tuple.
        self.gate_children = {(o, g): self.gate.labels(o, g) for o in GATE_OUTCOMES for g in PATH_GROUPS}
        self._children: dict[tuple[Any, ...], Any] = {}

    def child(self, metric: Any, *labels: str) -> Any:
        """``metric.labels(*labels)``, looked up once per label set (every set here is small and
        fixed: outcomes, tool names). Two threads may both look one up: labels() hands both
        the same child."""
        key = (id(metric), *labels)
        found = self._children.get(key)
        if found is None:
            found = self._children[key] = metric.labels(*labels)
        return found


_instance: _Metrics | None = None
_creating = threading.Lock()


def _m() -> _Metrics:
    # Created on first use, after the process has settled its multi-process folder. A scrape
    # runs on a worker thread, so the first use may come from two threads at once.
    global _instance
    if _instance is None:
        with _creating:
            if _instance is None:
                _instance = _Metrics()
    return _instance


# --- The multi-process folder -------------------------------------------------------------------

def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # alive, someone else's
    return True


def _clear_stale_files(folder: Path) -> None:
    """Remove the value files of processes that no longer run (a previous start's workers)."""
    for entry in folder.iterdir():
        match = _VALUE_FILE.match(entry.name)
        if match is not None and not _pid_alive(int(match.group(1))):
            entry.unlink(missing_ok=True)


def _remove_orphaned_dirs() -> None:
    """Remove private folders of earlier starts whose process is gone.

    A server stopped by a signal may not get to remove its folder (uvicorn ends a one-worker
    server by raising the signal again once it has shut down), so each start tidies up after
    the ones before it: folders of this user, named after a process that no longer runs.
    """
    tmp = Path(tempfile.gettempdir())
    for entry in tmp.glob(_DIR_PREFIX + "*"):
        match = _PRIVATE_DIR.match(entry.name)
        try:
            if (match is None or entry.is_symlink() or not entry.is_dir()
                    or entry.stat().st_uid != os.getuid() or _pid_alive(int(match.group(1)))):
                continue
        except OSError:
            continue
        shutil.rmtree(entry, ignore_errors=True)


def prepare_multiprocess_dir(environ: Mapping[str, str] | None = None) -> Path | None:
    """Settle the folder where every worker writes its values; call before workers start.

    An operator's ``PROMETHEUS_MULTIPROC_DIR`` is used as given, less the files of processes that
    are gone. Otherwise a private folder (0700, so no other user reads or plants values) is
    created for this start, exported to the workers, and returned for ``remove_multiprocess_dir``.
    """
    env = os.environ if environ is None else environ
    given = env.get(ENV_MULTIPROC_DIR)
    if given:
        folder = Path(given)
        folder.mkdir(mode=0o700, parents=True, exist_ok=True)
        _clear_stale_files(folder)
        return None
    _remove_orphaned_dirs()
    created = Path(tempfile.mkdtemp(prefix=f"{_DIR_PREFIX}{os.getpid()}-"))
    os.environ[ENV_MULTIPROC_DIR] = str(created)
    return created


def remove_multiprocess_dir(folder: Path | None) -> None:
    if folder is not None:
        shutil.rmtree(folder, ignore_errors=True)


def worker_stopping() -> None:
    """A worker that stops takes its live gauges (open SSE sessions) out of the sum."""
    folder = os.environ.get(ENV_MULTIPROC_DIR)
    if folder and _instance is not None:
        from prometheus_client import multiprocess

        multiprocess.mark_process_dead(os.getpid(), folder)  # type: ignore[no-untyped-call]


def exposition() -> bytes:
    """The text of a scrape: every worker's values when several write them, else this process's."""
    from prometheus_client import REGISTRY, CollectorRegistry, generate_latest

    _m()  # a scrape before any request still lists every metric
    if os.environ.get(ENV_MULTIPROC_DIR):
        from prometheus_client import multiprocess

        registry = CollectorRegistry()
        multiprocess.MultiProcessCollector(registry)  # type: ignore[no-untyped-call]
        return generate_latest(registry)
    return generate_latest(REGISTRY)


# --- The /metrics endpoint ----------------------------------------------------------------------

def _is_loopback_client(scope: Mapping[str, Any]) -> bool:
    client = scope.get("client")
    if not client:
        return False  # a Unix socket: a proxy may stand in front of it
    try:
        if not ipaddress.ip_address(client[0]).is_loopback:
            return False
    except ValueError:
        return False
    return not any(name.lower() in _FORWARDING_HEADERS for name, _ in scope.get("headers", ()))


def _bearer(scope: Mapping[str, Any]) -> str | None:
    for name, value in scope.get("headers", ()):
        if name.lower() == b"authorization":
            text = bytes(value).decode("latin-1").strip()
            if text[:7].lower() == "bearer ":
                return text[7:].strip()
    return None


def access_refusal(scope: Mapping[str, Any], token: str | None) -> tuple[int, str] | None:
    """None when the caller may read the metrics, else the status and message to refuse with."""
    if _is_loopback_client(scope):
        return None
    if not token:
        return 403, "metrics are served to loopback clients only"
    presented = _bearer(scope)
    if presented is not None and hmac.compare_digest(presented.encode(), token.encode()):
        return None
    return 401, "a valid metrics token is required"


async def _reply(send: Callable[..., Awaitable[None]], status: int, body: bytes,
                 headers: list[tuple[bytes, bytes]], head: bool = False) -> None:
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-length", str(len(body)).encode()), *headers]})
    await send({"type": "http.response.body", "body": b"" if head else body})


async def serve_metrics(scope: Mapping[str, Any], send: Callable[..., Awaitable[None]]) -> None:
    json_type = (b"content-type", b"application/json")
    method = scope.get("method")
    if method not in ("GET", "HEAD"):
        await _reply(send, 405, b'{"error":"Method Not Allowed"}', [json_type, (b"allow", b"GET, HEAD")])
        return
    refusal = access_refusal(scope, os.environ.get(ENV_METRICS_TOKEN) or None)
    if refusal is not None:
        status, message = refusal
        headers = [json_type]
        if status == 401:
            headers.append((b"www-authenticate", b'Bearer realm="vexlo-metrics"'))
        await _reply(send, status, b'{"error":"%s"}' % message.encode(), headers)
        return
    from anyio import to_thread
    from prometheus_client import CONTENT_TYPE_LATEST

    # Reading every worker's files is file I/O: off the event loop.
    body = await to_thread.run_sync(exposition)
    await _reply(send, 200, body, [(b"content-type", CONTENT_TYPE_LATEST.encode()),
                                   (b"cache-control", b"no-store")], head=method == "HEAD")


# --- Gated requests -----------------------------------------------------------------------------

# The outcome of the last verification check of the current request (set by VerificationClient),
# so the request layer can tell a check from a cache hit, and a grace answer from a fresh one.
_check_outcome: contextvars.ContextVar[list[str | None] | None] = contextvars.ContextVar(
    "vexlo_verify_check", default=None)


def route_path(scope: Mapping[str, Any], path: str) -> str:
    """The path the application routes on (below ``root_path``), which is what the gate tests."""
    root = scope.get("root_path", "")
    if root and path.startswith(root) and (len(path) == len(root) or path[len(root)] == "/"):
        return path[len(root):]
    return path


def path_group(path: str) -> str:
    if path.startswith("/sse"):
        return "sse"
    if path.startswith("/messages/"):
        return "messages"
    if path.startswith("/mcp"):
        return "mcp"
    if path.startswith("/api/"):
        return "api"
    return "other"


class InstrumentedGate:
    """The gate with ``/metrics`` beside it and its requests counted.

    ``/metrics`` is answered here, before the gate, so no protected prefix can put it behind a
    key; its own access rule (loopback, or the metrics token) applies instead.
    """

    __slots__ = ("gate", "_remote")

    def __init__(self, gate: Any, *, remote: bool) -> None:
        self.gate = gate
        self._remote = remote

    def __getattr__(self, name: str) -> Any:
        # Callers that hold the served app reach the gate's own attributes (its client, its app).
        return getattr(self.gate, name)

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.gate(scope, receive, send)
            return
        path = route_path(scope, scope.get("path", ""))
        if path == METRICS_PATH:
            await serve_metrics(scope, send)
            return
        # The gate's own order and path: preflights and message posts pass, then the protected prefixes.
        gated = (scope.get("method") != "OPTIONS" and not path.startswith("/messages/")
                 and self.gate._is_protected_path(path))
        box: list[str | None] | None = None
        reset = None
        if gated and self._remote:
            box = [None]
            reset = _check_outcome.set(box)
        try:
            await self.gate(scope, receive, send)
        finally:
            if reset is not None:
                _check_outcome.reset(reset)
            m = _m()
            if not gated:
                outcome = "not_gated"
            else:
                mode = scope.get("mcp_auth_mode")
                check = box[0] if box is not None else None
                if mode:
                    outcome = "accepted_" + mode
                    if mode == "remote" and box is not None:
                        if check is None:
                            m.cache_hits.inc()
                        elif check == "transient_failure":
                            m.grace.inc()
                else:
                    # The gate answers 503 only when the check could not be made and no cached answer stood in.
                    outcome = "unavailable_503" if check == "transient_failure" else "rejected_401"
            m.gate_children[(outcome, path_group(path))].inc()


def instrument(gate: Any, *, remote: bool) -> InstrumentedGate:
    return InstrumentedGate(gate, remote=remote)


# --- Verification checks ------------------------------------------------------------------------

def _classify(response: Any) -> str:
    # The gate's own reading of the backend's reply: 200 with a true "valid" accepts, 200 with a
    # false one, 401 and 403 reject, anything else (an unreadable 200 included) is transient.
    status = response.status_code
    if status == 200:
        try:
            return "valid" if response.json().get("valid") else "invalid"
        except Exception:
            return "transient_failure"
    return "invalid" if status in (401, 403) else "transient_failure"


def count_checks(client: Any) -> Any:
    """Count and time the checks (GETs) that the gate sends through ``client``; returns it.

    The wrapper is an attribute of this client object only, so the gate keeps the very client it
    was given or built, with whatever bound it put on that object.
    """
    plain_get = client.get

    async def get(*args: Any, **kwargs: Any) -> Any:
        started = time.perf_counter()
        outcome = "transient_failure"
        try:
            response = await plain_get(*args, **kwargs)
            outcome = _classify(response)
            return response
        finally:
            m = _m()
            m.child(m.checks, outcome).inc()
            m.child(m.check_seconds, outcome).observe(time.perf_counter() - started)
            box = _check_outcome.get()
            if box is not None:
                box[0] = outcome

    client.get = get
    return client


def counting_get_client(get_client: Callable[[], Any]) -> Callable[[], Any]:
    """Wrap a gate's ``_get_client`` so that every client the gate builds for itself is counted.

    The gate builds its client on first use (and again after dropping one whose pool wedged), and
    bounds the checks in flight on it; a client set from outside would lose that bound. So the
    gate keeps building its own, and each new one gets counted as it is handed out.
    """
    counted: list[Any] = []

    def get_counted_client() -> Any:
        client = get_client()
        if not counted or counted[0] is not client:
            counted[:] = [count_checks(client)]
        return client

    return get_counted_client


# --- Tools, runs, the counter store and SSE -----------------------------------------------------

def count_tool(fn: Callable[..., Awaitable[Any]]) -> Callable[..., Awaitable[Any]]:
    """Count the calls of an MCP tool that returns a ``CallToolResult``; the signature stays the tool's."""
    name = fn.__name__

    @functools.wraps(fn)
    async def counted(*args: Any, **kwargs: Any) -> Any:
        outcome = "exception"
        try:
            result = await fn(*args, **kwargs)
            outcome = "error" if getattr(result, "is_error", False) else "success"
            return result
        finally:
            m = _m()
            m.child(m.tools, name, outcome).inc()

    return counted


def observe_run(outcome: str) -> None:
    """One governed run ended with the host telemetry's ``outcome`` (success, error code, exception)."""
    if outcome in _RUN_OUTCOMES:
        label = _RUN_OUTCOMES[outcome]
    else:
        label = "error" if outcome.startswith("exception:") or outcome == "cancelled" else "refused"
    m = _m()
    m.child(m.runs, label).inc()


def observe_decision(outcome: str, seconds: float) -> None:
    """One counter-store decision (quota unit and rate slot together) and how long it took; the
    host's instrumentation calls this for every decision, whichever store is installed."""
    m = _m()
    m.child(m.store_seconds, "decide", outcome).observe(seconds)


def sse_opened() -> None:
    _m().sse_open.inc()


def sse_closed() -> None:
    _m().sse_open.dec()


def sse_refused(cap: str) -> None:
    """A stream refused by one of the SSE caps: "per_key" (sessions of one key) or "per_process"."""
    m = _m()
    m.child(m.sse_refused, cap).inc()
