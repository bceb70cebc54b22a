"""Fixtures for driving the gate by hand: ASGI scopes, a recording server side, fake apps."""
import asyncio
import importlib
import logging
import types

import pytest

OUTER_CTX = {"outer": True}


def http_scope(path="/sse", *, method="GET", headers=(), query=b"", **extra):
    scope = {"type": "http", "method": method, "path": path, "query_string": query,
             "headers": [(bytes(n), bytes(v)) for n, v in headers]}
    scope.update(extra)
    return scope


class Exchange:
    """Server side of one request: feeds `incoming`, records what is sent.

    `fail_sends` maps the 1-based number of a send call to the exception it raises;
    the message is recorded first, as a server would have seen it.
    """

    def __init__(self, scope, incoming=None, fail_sends=None):
        self.scope = scope
        self.incoming = list(incoming if incoming is not None
                             else [{"type": "http.request", "body": b"", "more_body": False}])
        self.sent = []
        self.fail_sends = dict(fail_sends or {})
        self.ctx_after = None

    async def receive(self):
        if self.incoming:
            return self.incoming.pop(0)
        return {"type": "http.disconnect"}

    async def send(self, message):
        self.sent.append(message)
        exc = self.fail_sends.get(len(self.sent))
        if exc is not None:
            raise exc

    @property
    def status(self):
        starts = [m for m in self.sent if m["type"] == "http.response.start"]
        return starts[0]["status"] if starts else None


class FakeApp:
    """Records each call and the request context it ran under, then runs `body`."""

    def __init__(self, body=None):
        self.body = body
        self.calls = []
        self.ctx_seen = []

    async def __call__(self, scope, receive, send):
        self.calls.append((scope, receive, send))
        self.ctx_seen.append(_request_ctx().get(None))
        if self.body is not None:
            await self.body(scope, receive, send)


def _request_ctx():
    return importlib.import_module("vexlo.mcp.context").mcp_request_ctx


def run_gate(gate, exchange):
    """Runs one request in its own task, with a known value in the request context
    around it, so that the value after the gate returns shows whether it was reset."""
    async def main():
        ctx = _request_ctx()
        token = ctx.set(OUTER_CTX)
        try:
            await gate(exchange.scope, exchange.receive, exchange.send)
        finally:
            exchange.ctx_after = ctx.get()
            ctx.reset(token)
    asyncio.run(main())
    return exchange


@pytest.fixture
def asgi():
    return types.SimpleNamespace(scope=http_scope, Exchange=Exchange, App=FakeApp, run=run_gate,
                                 OUTER_CTX=OUTER_CTX)


@pytest.fixture
def request_ctx():
    return _request_ctx()


@pytest.fixture
def gate_log(caplog):
    """Records of the "vexlo.mcp" logger, debug level included."""
    caplog.set_level(logging.DEBUG, logger="vexlo.mcp")

    def records():
        return [r for r in caplog.records if r.name == "vexlo.mcp"]
    records.clear = caplog.clear
    return records


@pytest.fixture
def cors(wg, monkeypatch):
    """Replaces the gate's CORS lookup; set `.pairs` for what it returns, read `.scopes`."""
    fake = types.SimpleNamespace(pairs=[], scopes=[])

    def cors_headers_for_scope(scope):
        fake.scopes.append(scope)
        return list(fake.pairs)
    monkeypatch.setattr(wg, "cors_headers_for_scope", cors_headers_for_scope)
    return fake


@pytest.fixture
def make_gate(wg):
    def make(app=None, *, cls=None, **settings):
        return (cls or wg.ApiKeyWardgate)(app if app is not None else FakeApp(), **settings)
    return make


# Remote verification runs against a real HTTP server; `tests` must be importable for its helpers.
import pathlib as _pathlib  # noqa: E402
import sys as _sys  # noqa: E402

_ROOT = str(_pathlib.Path(__file__).resolve().parents[2])
if _ROOT not in _sys.path:
    _sys.path.insert(0, _ROOT)

from tests.support.account_backend import account_backend  # noqa: E402,F401
from tests.support.clock import wall_clock  # noqa: E402,F401
