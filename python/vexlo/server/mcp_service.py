"""The service's MCP server: the SDK's ``MCPServer`` with the Quillon tools, on two transports.

- Streamable HTTP at ``/mcp``: every request carries the caller's key, so the gate identifies each
  one and the tool call runs in that request's context. Stateless, so any worker process can
  answer any request.
- SSE: ``GET /sse`` opens a session (the gate checks the key there); the client then posts its
  messages to ``/messages/?session_id=...``, which the gate lets through without a key. The
  identity the gate established on ``GET /sse`` is kept for that session and becomes the request
  context of the session's posts, hence of its tool calls. The session id is the capability: it
  reaches only the client that opened the stream, and it dies with the stream.

What a tool sees in the request context besides the gate's keys: ``session_id`` (the SSE session;
None on ``/mcp``) and ``jwt``. ``jwt`` is the credential the client handed to the session when
that credential names an account (mode "remote": the key the account backend accepted), and None
otherwise: a fixed key is shared by every caller and names nobody, and an upstream platform's
identity headers carry no credential at all. ``quillon_run`` refuses MCP calls without one, as
the REST route refuses a run in fixed-key mode; otherwise a per-session quota would let a
shared-key caller start afresh with every new session.
"""
from __future__ import annotations

import contextlib
import json
import logging
import re
import uuid
from collections.abc import AsyncIterator
from typing import Annotated, Any, Literal

from mcp.server.mcpserver import MCPServer
from mcp.server.transport_security import TransportSecuritySettings
from mcp.types import CallToolResult, TextContent
from pydantic import Field
from starlette.datastructures import QueryParams
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from vexlo.api.errors import error_envelope, safe_exception_message
from vexlo.config import __version__
from vexlo.mcp import counters
from vexlo.mcp.context import get_current_jwt, get_current_session_id, mcp_request_ctx

_logger = logging.getLogger("vexlo.mcp")

SSE_PATH = "/sse"
MESSAGES_PATH = "/messages/"
STREAMABLE_PATH = "/mcp"
# Posts to /messages/ need no key, so keep what an anonymous client can make us buffer small.
MAX_MESSAGE_BYTES = 1 << 20

_INSTRUCTIONS = (
    "Quillon scenarios: call quillon_list_scenarios to see the scenarios you can run and their "
    "parameters, then quillon_run with a scenario id. Runs count against your account's daily quota, "
    "shared with the REST API."
)
# The endpoint event is the first thing the SSE stream sends; its data names the session.
_ENDPOINT_SESSION = re.compile(rb"session_id=([0-9a-f]{32})")


def _envelope_result(envelope: Any) -> CallToolResult:
    """The tool's result envelope as text for the model and as structured content for programs.

    A failed run is flagged as an error result, so a client tells it apart without parsing.
    """
    success = isinstance(envelope, dict) and envelope.get("success") is True
    return CallToolResult(content=[TextContent(type="text", text=json.dumps(envelope, ensure_ascii=False))],
                          structured_content=envelope, is_error=not success)


async def quillon_run(
    scenario: Annotated[str, Field(description="Id of the scenario to run, e.g. traffic_overview; "
                                               "quillon_list_scenarios lists them")],
    site: Annotated[str | None, Field(description="Site identifier; the default site when omitted")] = None,
    export_format: Annotated[Literal["json", "csv"] | None,
                             Field(description="json: rows as objects (default); csv: one CSV text")] = None,
    wait: Annotated[bool, Field(description="Wait for the result; this service always answers at once")] = True,
) -> CallToolResult:
    """Run one Quillon scenario as the calling account and return its data.

    The run counts against the account's daily quota and per-minute rate, shared with the REST API.
    """
    # Looked up at each call, as the REST route does, so both draw on the same governance.
    from vexlo.mcp import instrumentation
    from vexlo.mcp.tools import quillon as tool
    from vexlo.quillon.api.scenarios import telemetry_dimensions

    governed = instrumentation.telemetry_wrap(instrumentation.quota_wrap(tool.quillon_run), module="quillon",
                                              dimension_resolver=telemetry_dimensions)
    # The same keywords as a REST run: the arguments given, then the session and its credential.
    arguments = {"scenario": scenario, "site": site, "export_format": export_format, "wait": wait}
    try:
        envelope = await governed(**{k: v for k, v in arguments.items() if v is not None},
                                  session_id=get_current_session_id(), jwt=get_current_jwt())
    except counters.CounterStoreUnavailable as exc:
        # The envelope the REST route answers with (there with 502), not a bare tool error.
        _logger.warning("quillon_run refused: %s", exc)
        envelope = error_envelope(code=type(exc).__name__, message=safe_exception_message(exc))
    return _envelope_result(envelope)


async def quillon_list_scenarios() -> CallToolResult:
    """List the public Quillon scenarios: id, title, description, result columns and parameters."""
    from vexlo.quillon.services import QuillonApiManager

    scenarios = QuillonApiManager().scenarios()
    return CallToolResult(content=[TextContent(type="text", text=json.dumps(scenarios, ensure_ascii=False))],
                          structured_content={"scenarios": scenarios})


def build_server() -> MCPServer:
    # The SDK's constructor configures the root logger (a handler at INFO) when it has none. The
    # service configures its own logging; an INFO root would also print every request line of
    # httpx, whose verification URLs carry API keys. So the root is put back as it was.
    root = logging.getLogger()
    level, handlers = root.level, list(root.handlers)
    try:
        server: MCPServer = MCPServer("vexlo", title="vexlo Quillon", version=__version__,
                                      instructions=_INSTRUCTIONS)
    finally:
        for handler in [h for h in root.handlers if h not in handlers]:
            root.removeHandler(handler)
        root.setLevel(level)
    server.add_tool(quillon_run, title="Run a Quillon scenario")
    server.add_tool(quillon_list_scenarios, title="List Quillon scenarios")
    return server


def tool_context(gate_ctx: Any, session_id: str | None) -> dict[str, Any]:
    """The request context of a tool call: a copy of the gate's, with the session and its jwt."""
    ctx = dict(gate_ctx) if isinstance(gate_ctx, dict) else {}
    api_key = ctx.get("api_key")
    ctx["session_id"] = session_id
    ctx["jwt"] = api_key if ctx.get("auth_mode") == "remote" and isinstance(api_key, str) and api_key else None
    return ctx


class McpService:
    """ASGI endpoints of the MCP server; ``lifespan`` must run around the app that routes to them."""

    def __init__(self, *, host: str = "127.0.0.1", allowed_hosts: tuple[str, ...] = ()) -> None:
        self.server = build_server()
        # Without a list, the SDK turns on its Host/Origin checks for loopback names only when it
        # serves a loopback address; behind a proxy that passes the public name on, the deployer
        # lists the names instead.
        security = None
        if allowed_hosts:
            security = TransportSecuritySettings(
                allowed_hosts=list(allowed_hosts),
                allowed_origins=[f"{scheme}://{name}" for name in allowed_hosts for scheme in ("http", "https")])
        self._sse_app = self.server.sse_app(sse_path=SSE_PATH, message_path=MESSAGES_PATH,
                                            max_request_body_size=MAX_MESSAGE_BYTES, host=host,
                                            transport_security=security)
        self._http_app = self.server.streamable_http_app(streamable_http_path=STREAMABLE_PATH, stateless_http=True,
                                                         max_request_body_size=MAX_MESSAGE_BYTES, host=host,
                                                         transport_security=security)
        # Open SSE sessions: session id (32 hex digits) -> the tool context of their opener.
        self._sse_sessions: dict[str, dict[str, Any]] = {}
        self.sse = _Endpoint(self._open_sse)
        self.messages = _Endpoint(self._post_message)
        self.streamable_http = _Endpoint(self._streamable)

    @contextlib.asynccontextmanager
    async def lifespan(self) -> AsyncIterator[None]:
        async with self.server.session_manager.run():
            yield

    async def _open_sse(self, scope: Scope, receive: Receive, send: Send) -> None:
        opener = mcp_request_ctx.get()
        session_id: str | None = None
        finished = False

        async def registering_send(message: Message) -> None:
            nonlocal session_id, finished
            if finished:
                # The SDK's endpoint returns an empty response after its stream has ended (at
                # shutdown the stream ends first); a second response is an ASGI error, so drop it.
                return
            if message["type"] == "http.response.body":
                finished = not message.get("more_body", False)
                found = None if session_id is not None else _ENDPOINT_SESSION.search(message.get("body", b""))
                if found:
                    # Registered before the client can learn the id, so no post ever finds it missing.
                    session_id = found.group(1).decode("ascii")
                    self._sse_sessions[session_id] = tool_context(opener, session_id)
            await send(message)

        try:
            await self._sse_app(scope, receive, registering_send)
        except ValueError:
            # The SDK answers a Host or Origin it refuses with its own 4xx and then raises; the
            # reply is the whole answer, and a traceback per refused stream would only fill the log.
            if not finished or session_id is not None:
                raise
        finally:
            if session_id is not None:
                self._sse_sessions.pop(session_id, None)

    async def _post_message(self, scope: Scope, receive: Receive, send: Send) -> None:
        session_id = _session_param(scope)
        ctx = None if session_id is None else self._sse_sessions.get(session_id)
        if ctx is None:
            # Unknown, closed or malformed: the SDK answers 404 or 400 and runs nothing.
            await self._sse_app(scope, receive, send)
            return
        # The SDK hands the message to the session with a copy of this context, so the tool call
        # runs as the session's opener, and only for this post.
        token = mcp_request_ctx.set(dict(ctx))
        try:
            await self._sse_app(scope, receive, send)
        finally:
            mcp_request_ctx.reset(token)

    async def _streamable(self, scope: Scope, receive: Receive, send: Send) -> None:
        token = mcp_request_ctx.set(tool_context(mcp_request_ctx.get(), None))
        try:
            await self._http_app(scope, receive, send)
        finally:
            mcp_request_ctx.reset(token)


def _session_param(scope: Scope) -> str | None:
    # Parsed exactly as the SDK parses it (last of repeated values wins), so the identity bound
    # here is that of the session the message is delivered to.
    value = QueryParams(scope.get("query_string", b"")).get("session_id")
    if value is None:
        return None
    try:
        return uuid.UUID(hex=value).hex
    except ValueError:
        return None


class _Endpoint:
    """A plain ASGI app object: routing treats functions as request handlers, objects as ASGI apps."""

    __slots__ = ("_app",)

    def __init__(self, app: ASGIApp) -> None:
        self._app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        await self._app(scope, receive, send)
