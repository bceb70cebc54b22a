"""Fixtures for the scenario router: an app that includes it, a client over ASGI, a stand-in for
the gate, the trace file redirected, log records of "vexlo.api", and fakes of the host's tool
layer that record how the governed run drives them."""
import asyncio
import importlib
import logging
import sys
import types

import httpx
import pytest
from fastapi import FastAPI

from vexlo.mcp import instrumentation
from vexlo.mcp.context import mcp_request_ctx
from vexlo.mcp.tools import quillon as tool_module
from vexlo.quillon.api.scenarios import telemetry_dimensions

EMAIL = "ada@example.com"


@pytest.fixture
def quillon():
    return importlib.import_module("vexlo.api.routers.quillon")


class AsGate:
    """What the gate hands the application for an accepted request: the user's e-mail in the
    scope and the request context set around the call. `email=None` writes neither."""

    def __init__(self, app, email=EMAIL):
        self.app = app
        self.email = email

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http" or self.email is None:
            await self.app(scope, receive, send)
            return
        scope["mcp_user_email"] = self.email
        token = mcp_request_ctx.set({"api_key": "k", "auth_mode": "remote", "user_id": "u-1", "email": self.email,
                                     "allowed_tools": None, "permission_enabled": False})
        try:
            await self.app(scope, receive, send)
        finally:
            mcp_request_ctx.reset(token)


@pytest.fixture
def app(quillon):
    fastapi_app = FastAPI()
    fastapi_app.include_router(quillon.router)
    return fastapi_app


@pytest.fixture
def gate():
    """Settings of the gate stand-in; set `.email` (None: no identity) before calling."""
    return types.SimpleNamespace(email=EMAIL)


@pytest.fixture
def call(app, gate):
    """call(method, path, raise_app_exceptions=True, **httpx kwargs) -> httpx.Response."""
    def run(method, path, *, raise_app_exceptions=True, **kwargs):
        async def main():
            transport = httpx.ASGITransport(app=AsGate(app, gate.email), raise_app_exceptions=raise_app_exceptions)
            async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
                return await client.request(method, path, **kwargs)
        return asyncio.run(main())
    return run


@pytest.fixture(autouse=True)
def trace(wg, trace_lines):
    """Messages written to the trace file so far; every test here has it redirected (the `wg`
    fixture points it into tmp_path), so no run leaves lines under the working directory."""
    return trace_lines


@pytest.fixture
def api_log(caplog):
    """(level name, msg, args) of the records of "vexlo.api"."""
    caplog.set_level(logging.DEBUG, logger="vexlo.api")

    def records():
        return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == "vexlo.api"]
    records.raw = lambda: [r for r in caplog.records if r.name == "vexlo.api"]
    return records


class Governance:
    """Recording stand-ins for quota_wrap, telemetry_wrap and the MCP tool.

    The tool returns `result`, or raises it when it is an exception; with `gate_event` set it
    first waits for that event (so a test can cancel it mid-run). It records the keyword
    arguments it got and the API-mode flag it saw."""

    def __init__(self):
        self.result = {"success": True, "data": {"rows": []}, "error": None}
        self.quota_calls = []
        self.quota_returned = []
        self.telemetry_calls = []
        self.telemetry_returned = []
        self.tool_calls = []
        self.flag_seen = []
        self.started = None
        self.gate_event = None

    async def tool(self, **kwargs):
        self.tool_calls.append(kwargs)
        self.flag_seen.append(tool_module._QUILLON_API_MODE.get())
        if self.gate_event is not None:
            self.started.set()
            await self.gate_event.wait()
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def quota_wrap(self, *args, **kwargs):
        self.quota_calls.append((args, kwargs))
        fn = args[0]

        async def quota_guarded(**kw):
            return await fn(**kw)
        self.quota_returned.append(quota_guarded)
        return quota_guarded

    def telemetry_wrap(self, *args, **kwargs):
        self.telemetry_calls.append((args, kwargs))
        fn = args[0]

        def telemetry_counted(*a, **kw):
            assert not a
            return fn(**kw)
        self.telemetry_returned.append(telemetry_counted)
        return telemetry_counted


@pytest.fixture
def governance(monkeypatch):
    fake = Governance()
    monkeypatch.setattr(instrumentation, "quota_wrap", fake.quota_wrap)
    monkeypatch.setattr(instrumentation, "telemetry_wrap", fake.telemetry_wrap)
    monkeypatch.setattr(tool_module, "quillon_run", fake.tool)
    fake.telemetry_dimensions = telemetry_dimensions
    return fake


@pytest.fixture
def without_module(monkeypatch):
    """Makes `import name` fail with ModuleNotFoundError until the test ends."""
    def hide(name):
        monkeypatch.setitem(sys.modules, name, None)
    return hide
