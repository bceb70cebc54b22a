"""Generated requests, well formed or not, through the native gate and the plain-Python
baseline gate side by side, with identical fakes around both.

For every example both must do the same: the same messages sent, the same scope keys
written, the same scope and request context seen by the application, the same exception
(type and text) or none, the same log records, trace lines, backend calls and cache. The
baseline is what a Python implementation of the gate does, so this also shows that the
native gate raises nothing that Python would not, and never brings the interpreter down.
"""
import contextvars
import copy
import gc
import importlib
import os
import pathlib
import sys
import types

import httpx
import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st
from starlette.requests import ClientDisconnect

ROOT = str(pathlib.Path(__file__).resolve().parents[2])
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from tests.conftest import _load_baseline  # noqa: E402
from vexlo.mcp.context import mcp_request_ctx  # noqa: E402

# The sanitizer run lowers VEXLO_HYPOTHESIS_EXAMPLES; a value of our own wins.
EXAMPLES = int(os.environ.get("VEXLO_FUZZ_EXAMPLES", os.environ.get("VEXLO_HYPOTHESIS_EXAMPLES", "5000")))
URL = "http://127.0.0.1:9/v1/mcp/verify-key"
NOW = 1_700_000_000.0
ORIGIN = b"https://app.example"
OUTER = {"outer": True}


class FrozenTime:
    """The gates' `time`: the cache ages and trace durations come out the same in both."""

    @staticmethod
    def time():
        return NOW

    @staticmethod
    def monotonic():
        return 500.0


# -- what a request looks like ------------------------------------------------------------------

KEYS = ["k", "k2", "K", " k"]
MISSING = object()  # the scope key is left out


def maybe(strategy, *odd):
    """Mostly `strategy`, sometimes missing or one of the `odd` values."""
    return st.one_of(strategy, strategy, strategy, st.sampled_from([MISSING, *odd]))


QUILLON_PATHS = ["/api/v1/quillon", "/api/v1/quillon/run", "/api/v1/quillon/scenarios", "/api/v1/quillonx"]
PATHS = st.one_of(
    st.sampled_from(QUILLON_PATHS),
    st.sampled_from(["/sse", "/messages/", "/messages/?session_id=1", "/messages", "/api", "/apiary",
                     "/API/v1/quillon", "/health", "", "/"]),
    st.tuples(st.sampled_from(["/api/v1/quillon/", "/messages/", "/sse/", "/"]),
              st.text(alphabet=st.sampled_from("az/. %\r\n\t\x00\x1c\u2028é中\ud800+?&="), max_size=6)).map("".join),
    st.text(max_size=8),
)
METHODS = st.sampled_from(["GET", "POST", "OPTIONS", "options", "", "PUT"])
TYPES = st.sampled_from(["http", "http", "http", "websocket", "lifespan", "HTTP"])

QUERY_PIECES = [b"api_key=k", b"api_key=k2", b"api_key=K", b"api_key=%20k", b"api_key=+k", b"api_key=",
                b"api_key", b"api%5Fkey=k", b"API_KEY=k", b"x=1", b"b=", b"a=2", b"&", b"=", b"==", b"%",
                b"%C3", b"%zz", b"\xff", b"\xc3", b"\xc3\xa9", b"\xed\xa0\x80", b";", b"+", b"\x00"]
QUERIES = st.lists(st.one_of(st.sampled_from(QUERY_PIECES), st.binary(max_size=3)), max_size=6).map(b"".join)

NAMES = [b"authorization", b"Authorization", b"AUTHORIZATION", b"x-mcp-proxy-auth", b"X-MCP-Proxy-Auth",
         b"x-corvane-user-email", b"X-Corvane-User-Email", b"x-corvane-user-id", b"x-mcp-api-key", b"origin",
         b"content-type", b"", b"\xff\xfe"]
VALUES = [b"Bearer k", b"bearer k2", b"BEARER K", b"Bearer  k ", b"Bearer \tk", b"Bearer", b"Bearer ", b"Bearer\tk",
          b"Basic k", b"Bearer \xffk", b"Bearer k\xc3", b" A@B.C ", b"ada@example.com", b"", b"   ", b"u-1", ORIGIN,
          b"\xff"]
GOOD_ITEMS = st.tuples(st.one_of(st.sampled_from(NAMES), st.binary(max_size=4)),
                       st.one_of(st.sampled_from(VALUES), st.binary(max_size=6)))
ODD_ITEMS = st.one_of(
    GOOD_ITEMS.map(list),
    st.tuples(st.sampled_from(NAMES), st.sampled_from(VALUES), st.just(b"x")),
    st.tuples(st.sampled_from(NAMES)),
    st.just(()),
    st.tuples(st.sampled_from(NAMES), st.sampled_from(VALUES)).map(lambda p: (p[0].decode("latin-1"), p[1])),
    st.tuples(st.sampled_from(NAMES), st.sampled_from(VALUES)).map(lambda p: (p[0], p[1].decode("latin-1"))),
    st.tuples(st.sampled_from(NAMES), st.sampled_from(VALUES)).map(lambda p: (bytearray(p[0]), bytearray(p[1]))),
    st.tuples(st.sampled_from(NAMES), st.sampled_from([None, 7])),
    st.tuples(st.sampled_from([None, 7]), st.sampled_from(VALUES)),
    st.sampled_from([None, 7, "ab", b"ab", "a", {b"authorization": b"Bearer k"}]),
    st.sampled_from([None, 7]),  # items that cannot be unpacked at all, drawn more often
)
HEADERS = st.one_of(
    st.lists(GOOD_ITEMS, max_size=6),
    st.lists(st.one_of(GOOD_ITEMS, ODD_ITEMS), max_size=6),
    st.lists(GOOD_ITEMS, max_size=4).map(tuple),
)


@st.composite
def scopes(draw):
    scope = {}
    for key, value in [("type", maybe(TYPES, None, b"http")),
                       ("method", maybe(METHODS, None, b"OPTIONS", 1)),
                       ("path", maybe(PATHS, None, b"/sse", 5)),
                       ("query_string", maybe(QUERIES, None, "api_key=k", bytearray(b"api_key=k"), 5)),
                       ("headers", maybe(HEADERS, None, "ab", 5))]:
        drawn = draw(value)
        if drawn is not MISSING:
            scope[key] = drawn
    if draw(st.integers(0, 9)) == 9:
        scope["mcp_user_id"] = "arrived-with-scope"
    return scope


# -- the gate's settings and the world around it --------------------------------------------------

GATE_SETTINGS = st.fixed_dictionaries({
    "api_key": st.sampled_from([None, "", "k", "K", " k"]),
    "auth_verify_url": st.sampled_from([None, None, "", URL, URL]),
    "protected_path_prefixes": st.sampled_from([None, None, (), ("/api",), ("/sse", "/api/v1/quillon"), ("",)]),
    "trust_upstream_corvane_identity": st.booleans(),
})

# What the account backend does for one key.
BACKEND = st.sampled_from(["valid", "valid-bare", "invalid", "401", "403", "500", "not-json", "array",
                           "connect-error", "timeout", "weird-user"])
CACHE_AGE = st.sampled_from([None, None, 10.0, 100.0, 400.0, -5.0])

# Application steps; the application runs them in order and stops at the first that raises.
APP_STEPS = ["receive", "start", "body", "part", "bare-body", "raise:ValueError", "raise:ClientDisconnect",
             "raise:ExpectedASGI", "raise:RuntimeError", "send:no-type", "send:none", "send:other-type"]
INCOMING = st.lists(st.sampled_from([
    {"type": "http.request", "body": b"abc", "more_body": True},
    {"type": "http.request", "body": b"", "more_body": False},
    {"type": "http.request"},
    {"type": "http.request", "body": None},
    {"type": "http.disconnect"},
    {"body": b"x"},
    [1, 2],
]), max_size=3)


@st.composite
def worlds(draw):
    return {
        "backend": {key: draw(BACKEND) for key in KEYS},
        "cache": {key: age for key in KEYS[:2] if (age := draw(CACHE_AGE)) is not None},
        "app": draw(st.lists(st.sampled_from(APP_STEPS), max_size=4)),
        "incoming": draw(INCOMING),
        "fail_send": draw(st.sampled_from([None, None, None, 1, 2, 3])),
    }


def user(key):
    return {"valid": True, "user_id": "u-" + key, "email": key + "@example.com", "allowed_tools": ["t"],
            "permission_enabled": True}


class Response:
    def __init__(self, status, body=None, error=None):
        self.status_code = status
        self._body, self._error = body, error

    def json(self):
        if self._error is not None:
            raise ValueError(self._error)
        return copy.deepcopy(self._body)


def backend_reply(kind, key):
    if kind == "valid":
        return Response(200, user(key))
    if kind == "valid-bare":
        return Response(200, {"valid": 1})
    if kind == "weird-user":
        return Response(200, {"valid": "yes", "user_id": 5, "email": None, "allowed_tools": "all"})
    if kind == "invalid":
        return Response(200, {"valid": False, "email": "x"})
    if kind in ("401", "403", "500"):
        return Response(int(kind), {"detail": kind})
    if kind == "not-json":
        return Response(200, error="Expecting value: line 1 column 1 (char 0)")
    if kind == "array":
        return Response(200, [{"valid": True}])
    if kind == "connect-error":
        raise httpx.ConnectError("All connection attempts failed")
    raise httpx.ReadTimeout("timed out")


class Exchange:
    """One request as seen by one gate: the server side, the application and the backend."""

    def __init__(self, world):
        self.world = world
        self.incoming = copy.deepcopy(world["incoming"])
        self.sent = []
        self.app_calls = []
        self.backend_calls = []
        # Bound methods are new objects on each access; keep one of each to compare with.
        self.receive = self._receive
        self.send = self._send

    async def _receive(self):
        if self.incoming:
            return self.incoming.pop(0)
        return {"type": "http.disconnect"}

    async def _send(self, message):
        self.sent.append(copy.deepcopy(message))
        if len(self.sent) == self.world["fail_send"]:
            raise OSError("client gone")

    async def app(self, scope, receive, send):
        self.app_calls.append((list(scope.items()), mcp_request_ctx.get(), receive == self.receive,
                               send == self.send))
        for step in self.world["app"]:
            if step == "receive":
                await receive()
            elif step == "start":
                await send({"type": "http.response.start", "status": 200, "headers": []})
            elif step == "body":
                await send({"type": "http.response.body", "body": b"done", "more_body": False})
            elif step == "part":
                await send({"type": "http.response.body", "body": b"part", "more_body": True})
            elif step == "bare-body":
                await send({"type": "http.response.body", "body": b"bare"})
            elif step == "raise:ValueError":
                raise ValueError("app failed")
            elif step == "raise:ClientDisconnect":
                raise ClientDisconnect()
            elif step == "raise:ExpectedASGI":
                raise RuntimeError("Expected ASGI message 'http.response.body', but got 'http.response.start'.")
            elif step == "raise:RuntimeError":
                raise RuntimeError("app failed")
            elif step == "send:no-type":
                await send({"status": 200})
            elif step == "send:none":
                await send(None)
            else:
                await send({"type": "http.response.trailers"})


class StubClient:
    def __init__(self, exchange):
        self.exchange = exchange

    async def get(self, url, *, params, headers):
        self.exchange.backend_calls.append((url, params, headers))
        key = params["api_key"]
        return backend_reply(self.exchange.world["backend"].get(key, "invalid"), key)


def drive(coro):
    for _ in range(20):
        try:
            coro.send(None)
        except StopIteration:
            return
    coro.close()
    raise AssertionError("request suspended")


def run(mod, settings_, scope, world, log):
    """Everything observable of one request through the gate of `mod`."""
    ex = Exchange(world)
    gate = mod.ApiKeyWardgate(ex.app, **settings_)
    gate._client = StubClient(ex)
    for key, age in world["cache"].items():
        gate._verify_cache[key] = (NOW - age, user(key))
    log.clear()
    token = mcp_request_ctx.set(OUTER)
    try:
        drive(gate(scope, ex.receive, ex.send))
        outcome = None
    except Exception as exc:  # anything else (a crash, SystemExit...) must not happen at all
        outcome = (type(exc).__name__, str(exc))
    finally:
        ctx_after = mcp_request_ctx.get()
        mcp_request_ctx.reset(token)
    trace_file = mod._QUILLON_TRACE_FILE
    trace = []
    if trace_file.exists():
        # Only "\n" ends an entry; other line breaks (U+2028, \x1c...) are part of a message.
        lines = trace_file.read_bytes().decode("utf-8").split("\n")[:-1]
        trace = [line.split(" [QUILLON-TRACE] ", 1)[1] for line in lines]
        trace_file.unlink()
    return {
        "outcome": outcome,
        "sent": ex.sent,
        "scope": list(scope.items()),
        "app_calls": ex.app_calls,
        "ctx_restored": ctx_after is OUTER,
        "log": list(log),
        "trace": trace,
        "backend_calls": ex.backend_calls,
        "cache": sorted(gate._verify_cache.items()),
    }


class LogRecorder(list):
    """Stands in for the gates' `_logger`: keeps (level, format, args) of each call."""

    def debug(self, msg, *args):
        self.append(("debug", msg, args))

    def info(self, msg, *args):
        self.append(("info", msg, args))

    def warning(self, msg, *args):
        self.append(("warning", msg, args))


@pytest.fixture
def both(tmp_path, monkeypatch):
    import vexlo.mcp.wardgate as native
    baseline = _load_baseline()
    log = LogRecorder()
    for name, mod in (("native", native), ("baseline", baseline)):
        monkeypatch.setattr(mod, "_QUILLON_TRACE_FILE", tmp_path / name / "quillon-trace.log")
        monkeypatch.setattr(mod, "time", FrozenTime)
        monkeypatch.setattr(mod, "_logger", log)
    monkeypatch.setenv("VEXLO_CORS_ORIGINS", ORIGIN.decode())
    # Trace lines also go to standard output; nobody reads them here.
    stdout = sys.stdout
    with open(os.devnull, "w") as sys.stdout:
        try:
            yield native, baseline, log
        finally:
            sys.stdout = stdout


FIXED = {"api_key": "k", "auth_verify_url": None, "protected_path_prefixes": None,
         "trust_upstream_corvane_identity": False}
QUIET_WORLD = {"backend": {}, "cache": {}, "app": [], "incoming": [], "fail_send": None}


def test_native_gate_behaves_as_the_python_baseline(both):
    native, baseline, log = both

    @settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(scopes(), GATE_SETTINGS, worlds())
    # Found earlier: a traced request whose method is not a str, and one whose header list holds
    # an item that cannot be unpacked (the key comes from the query, so only the trace walks it).
    @example({"type": "http", "method": None, "path": "/api/v1/quillon", "query_string": b"", "headers": []},
             FIXED, QUIET_WORLD)
    @example({"type": "http", "method": "GET", "path": "/api/v1/quillon", "query_string": b"api_key=k",
              "headers": [None]}, FIXED, QUIET_WORLD)
    def check(scope, settings_, world):
        # Each request runs in a context of its own, as under a server's tasks.
        got = contextvars.copy_context().run(run, native, settings_, copy.deepcopy(scope), world, log)
        want = contextvars.copy_context().run(run, baseline, settings_, copy.deepcopy(scope), world, log)
        assert got == want
    check()


# -- re-entry from hostile keys and dunder methods ----------------------------------------------

class Reentry:
    """Three fixed-key gates, each with keys of its own; hostile objects run `act` from inside
    the gates' own lookups. Every app call is recorded as (gate, key it was let in with)."""

    def __init__(self, mod):
        self.base = mod.ApiKeyWardgate
        self.sub = type("Sub", (mod.ApiKeyWardgate,), {})
        self.keys = {i: [f"key-{i}-0"] for i in range(3)}
        self.gates = {i: mod.ApiKeyWardgate(self.app_for(i), api_key=self.keys[i][0]) for i in range(3)}
        self.seen, self.budget, self.armed = [], 6, False

    def app_for(self, i):
        async def app(scope, receive, send):
            self.seen.append((i, scope.get("mcp_api_key")))
        return app

    def request(self, i, key, extra_headers=()):
        gate = self.gates.get(i)
        if gate is None:
            return None
        sent = []

        async def receive():
            return {"type": "http.request", "body": b""}

        async def send(message):
            sent.append(message)
        headers = [*extra_headers, (b"authorization", b"Bearer " + key.encode())]
        drive(gate({"type": "http", "method": "GET", "path": "/api/x", "query_string": b"", "headers": headers},
                   receive, send))
        return sent[0]["status"] if sent else None

    def act(self, action, target, owner):
        if not self.armed or self.budget <= 0:
            return
        self.budget -= 1
        gate = self.gates.get(target)
        if action == "serve":
            self.request(target, self.keys[owner][-1])
        elif gate is None:
            return
        elif action == "rotate":
            self.keys[target].append(f"key-{target}-{len(self.keys[target])}")
            gate._api_key = self.keys[target][-1]
        elif action == "swap class":
            gate.__class__ = self.base if type(gate) is self.sub else self.sub
        elif action == "replace dict":
            gate.__dict__ = dict(vars(gate))
        elif action == "drop":
            del self.gates[target], gate
            gc.collect()


class CollidingKey:
    def __init__(self, world, name, plan):
        self.world, self.name, self.plan = world, name, plan

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.world.act(*self.plan)
        return False


class HostileName(bytes):
    """A header name that is not exact bytes, so both gates call its lower()."""

    def lower(self):
        self.world.act(*self.plan)
        return bytes(self).lower()


REENTRY_NAMES = ["app", "_api_key", "_auth_verify_url", "_protected_path_prefixes",
                 "_trust_upstream_corvane_identity", "_extract_token", "_is_protected_path", "_send_401"]
REENTRY_HOOKS = st.lists(
    st.tuples(st.sampled_from(["dict key", "header name"]), st.integers(0, 2), st.sampled_from(REENTRY_NAMES),
              st.tuples(st.sampled_from(["serve", "rotate", "swap class", "replace dict", "drop"]),
                        st.integers(0, 2), st.integers(0, 2))),
    min_size=1, max_size=5)


@pytest.mark.parametrize("impl", ["native", "baseline"])
def test_reentered_gates_keep_their_own_settings(impl):
    mod = importlib.import_module("vexlo.mcp.wardgate") if impl == "native" else _load_baseline()
    mod_logger = mod._logger
    mod._logger = LogRecorder()
    try:
        @settings(max_examples=max(30, EXAMPLES // 25), deadline=None,
                  suppress_health_check=[HealthCheck.too_slow])
        @given(REENTRY_HOOKS)
        def check(hooks):
            world = Reentry(mod)
            names = {}
            for where, on, name, plan in hooks:
                if where == "dict key":
                    d = vars(world.gates[on])
                    items = list(d.items())
                    d.clear()
                    d[CollidingKey(world, name, plan)] = 0
                    d.update(items)
                else:
                    hostile = HostileName(b"x-" + name.encode())
                    hostile.world, hostile.plan = world, plan
                    names.setdefault(on, []).append((hostile, b"v"))
            world.armed = True
            for i in range(3):
                for owner in range(3):
                    world.request(i, world.keys[owner][-1], names.get(i, ()))
            world.armed = False
            for i, key in world.seen:
                assert key in world.keys[i]
            # A store interrupted by a nested one may leave an older key in place: the gate's
            # own setting, read as Python reads it, is the one that must open it.
            for i, gate in list(world.gates.items()):
                for key in {gate._api_key, *(world.keys[j][-1] for j in range(3) if j != i)}:
                    assert world.request(i, key) == (None if key == gate._api_key else 401)
            gc.collect()
        check()
    finally:
        mod._logger = mod_logger


# -- re-entry through the collector: every native coroutine and closure, poked at random points --

# Each example scans the whole heap several times (gc.get_objects), which the sanitizer build's
# system allocator makes slow: a count of its own, the same in both builds.
REENTRY_EXAMPLES = int(os.environ.get("VEXLO_REENTRY_EXAMPLES", "300"))
NATIVE_KINDS = {"native_coroutine", "native_function"}
CLOSURES = {"tracking_send", "tracing_receive"}


class Poker:
    """Reaches every native coroutine and per-request closure through the collector and steps
    it at random: send, throw, close, or a call of the closure (whose coroutine is then sent
    into). Whatever Python would raise is fine; the interpreter going down, or the layer
    reporting its own fault (SystemError), is not."""

    def __init__(self, rnd, budget):
        self.rnd, self.budget, self.faults, self.busy = rnd, budget, [], False

    def poke(self, where):
        if self.busy or self.budget <= 0:
            return
        self.busy, self.budget = True, self.budget - 1
        try:
            targets = [o for o in gc.get_objects() if type(o).__name__ in NATIVE_KINDS
                       and (type(o).__name__ == "native_coroutine" or getattr(o, "__name__", None) in CLOSURES)]
            for target in self.rnd.sample(targets, min(len(targets), 3)):
                self.step(target, where)
        finally:
            self.busy = False

    def step(self, target, where):
        try:
            if type(target).__name__ == "native_function":
                made = target(START_MESSAGE) if target.__name__ == "tracking_send" else target()
                target = made
            how = self.rnd.choice(["send", "throw", "close"])
            if how == "send":
                target.send(None)
            elif how == "throw":
                target.throw(self.rnd.choice([KeyError("poke"), GeneratorExit(), ClientDisconnect()]))
            else:
                target.close()
        except SystemError as exc:
            self.faults.append((where, repr(exc)))
        except BaseException:  # noqa: BLE001 - anything Python itself may raise is fine here
            pass


START_MESSAGE = {"type": "http.response.start", "status": 200, "headers": []}


class PokeOnDelete:
    def __init__(self, poker, where):
        self.poker, self.where = poker, where

    def __del__(self):
        self.poker.poke(self.where)


@types.coroutine
def _parked():
    yield


APP_PLANS = st.lists(st.sampled_from(["receive", "start", "body", "raise", "disconnect", "park", "drop-del",
                                      "ctxvar"]), max_size=5)
REQUESTS = st.tuples(st.sampled_from(["/sse", "/messages/x", "/api/v1/quillon/run", "/public"]),
                     st.sampled_from(["k", "wrong", None]), st.booleans(), APP_PLANS)
POKE_VAR = contextvars.ContextVar("poke_var")


def test_native_objects_reached_through_the_collector_at_any_point_stay_sound(monkeypatch):
    import vexlo.mcp.wardgate as native
    monkeypatch.setattr(native, "_logger", LogRecorder())
    monkeypatch.setattr(native, "_trace_quillon", lambda line: None)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda r: unraisable.append(repr(r.exc_value)))

    @settings(max_examples=REENTRY_EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(st.lists(REQUESTS, min_size=1, max_size=3), st.randoms(use_true_random=False),
           st.sampled_from(["drive", "drop", "close"]))
    def check(requests, rnd, ending):
        poker = Poker(rnd, budget=8)
        callback = lambda phase, info: poker.poke("gc " + phase)  # noqa: E731
        gc.callbacks.append(callback)
        unraisable.clear()
        try:
            pending = [start_request(native, poker, *request) for request in requests]
            for coro in pending:
                end_request(coro, ending, rnd)
            del pending, coro
            gc.collect()
        finally:
            gc.callbacks.remove(callback)
        assert poker.faults == []
        assert not [u for u in unraisable if "SystemError" in u]
    check()


def start_request(mod, poker, path, key, traced_scope, plan):
    async def app(scope, receive, send):
        for step in plan:
            if step == "receive":
                await receive()
            elif step == "start":
                await send(START_MESSAGE)
            elif step == "body":
                await send({"type": "http.response.body", "body": b"x"})
            elif step == "raise":
                raise KeyError("app")
            elif step == "disconnect":
                raise ClientDisconnect()
            elif step == "park":
                await _parked()
            elif step == "drop-del":
                PokeOnDelete(poker, "app local")
            elif step == "ctxvar":
                POKE_VAR.set(PokeOnDelete(poker, "context value"))

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        if message.get("more_body") is False and message.get("body") == b"":
            await _parked()  # the closing send stays pending

    headers = [(b"authorization", b"Bearer " + key.encode())] if key else []
    scope = {"type": "http", "method": "GET", "path": path, "query_string": b"", "headers": headers,
             "poker": PokeOnDelete(poker, "scope value") if traced_scope else None}
    gate = mod.ApiKeyWardgate(app, api_key="k", protected_path_prefixes=("/sse", "/api", "/messages"))
    coro = contextvars.copy_context().run(gate, scope, receive, send)
    try:
        coro.send(None)
    except BaseException:  # noqa: BLE001 - finished or failed at once: nothing left to step
        pass
    return coro


def end_request(coro, ending, rnd):
    try:
        if ending == "drive":
            for _ in range(5):
                coro.send(None)
        elif ending == "close":
            coro.close()
    except BaseException:  # noqa: BLE001
        pass
