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
import ipaddress
import json
import logging
import re
import uuid
from collections.abc import AsyncIterator
from typing import Annotated, Any, Literal

from mcp.server.mcpserver import MCPServer
from mcp.server.streamable_http import check_accept_headers
from mcp.server.transport_security import TransportSecurityMiddleware, TransportSecuritySettings
from mcp.types import CallToolResult, TextContent
from pydantic import Field
from starlette.requests import Request
from starlette.responses import Response
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from vexlo.api.errors import error_envelope, safe_exception_message
from vexlo.config import __version__
from vexlo.mcp import counters
from vexlo.mcp.context import get_current_jwt, get_current_session_id, mcp_request_ctx
from vexlo.server import metrics
from vexlo.server.settings import Settings
from vexlo.server.sse_sessions import SseSessions, on_termination

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
    server.add_tool(metrics.count_tool(quillon_run), title="Run a Quillon scenario")
    server.add_tool(metrics.count_tool(quillon_list_scenarios), title="List Quillon scenarios")
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

    def __init__(self, *, host: str = "127.0.0.1", allowed_hosts: tuple[str, ...] = (),
                 sse_sessions: SseSessions | None = None) -> None:
        self.server = build_server()
        self.sse_sessions = sse_sessions or SseSessions(max_sessions=Settings.sse_max_sessions,
                                                        max_per_key=Settings.sse_max_sessions_per_key)
        security = transport_security(host, allowed_hosts)
        # The same checks, made here before a post's session is looked up (see _post_message).
        self._post_checks = TransportSecurityMiddleware(security)
        self._sse_app = self.server.sse_app(sse_path=SSE_PATH, message_path=MESSAGES_PATH,
                                            max_request_body_size=MAX_MESSAGE_BYTES, host=host,
                                            transport_security=security)
        # Two stateless apps on /mcp: posts from clients that accept JSON are answered with one JSON
        # body (no event-stream framing, cheaper for both sides); the others, and GET/DELETE, keep
        # the event stream. Each app brings its own session manager; both run in the lifespan.
        self._http_app = self.server.streamable_http_app(streamable_http_path=STREAMABLE_PATH, stateless_http=True,
                                                         max_request_body_size=MAX_MESSAGE_BYTES, host=host,
                                                         transport_security=security)
        self._stream_manager = self.server.session_manager
        self._json_app = self.server.streamable_http_app(streamable_http_path=STREAMABLE_PATH, stateless_http=True,
                                                         json_response=True,
                                                         max_request_body_size=MAX_MESSAGE_BYTES, host=host,
                                                         transport_security=security)
        self._json_manager = self.server.session_manager
        # Open SSE sessions: session id (32 hex digits) -> the tool context of their opener.
        self._sse_sessions: dict[str, dict[str, Any]] = {}
        self.sse = _Endpoint(self._open_sse)
        self.messages = _Endpoint(self._post_message)
        self.streamable_http = _Endpoint(self._streamable)

    @contextlib.asynccontextmanager
    async def lifespan(self) -> AsyncIterator[None]:
        async with self._stream_manager.run(), self._json_manager.run():
            try:
                with on_termination(self.sse_sessions.stop_all):
                    yield
            finally:
                await self.sse_sessions.close_all()

    async def _open_sse(self, scope: Scope, receive: Receive, send: Send) -> None:
        opener = mcp_request_ctx.get()
        refusal = self.sse_sessions.refusal(opener)
        if refusal is not None:
            await refusal(scope, receive, send)
            return
        session_id: str | None = None
        started = finished = dropping = False

        async def registering_send(message: Message) -> None:
            nonlocal session_id, started, finished, dropping
            if message["type"] == "http.response.start":
                # The SDK's endpoint returns an empty response after its stream has ended, also
                # when the client left and the stream never sent its last chunk; a second
                # response is an ASGI error (some servers log it, some raise), so drop it whole.
                dropping = started
                started = True
            if dropping:
                return
            if message["type"] == "http.response.body":
                finished = not message.get("more_body", False)
                found = None if session_id is not None else _ENDPOINT_SESSION.search(message.get("body", b""))
                if found:
                    # Registered before the client can learn the id, so no post ever finds it missing.
                    session_id = found.group(1).decode("ascii")
                    self._sse_sessions[session_id] = tool_context(opener, session_id)
                    metrics.sse_opened()
            await send(message)

        with self.sse_sessions.hold(opener) as stopping:
            try:
                with stopping:
                    await self._sse_app(scope, receive, registering_send)
            except ValueError:
                # The SDK answers a Host or Origin it refuses with its own 4xx and then raises; the
                # reply is the whole answer, and a traceback per refused stream would only fill the log.
                if not finished or session_id is not None:
                    raise
            finally:
                if session_id is not None:
                    self._sse_sessions.pop(session_id, None)
                    metrics.sse_closed()
            if stopping.cancelled_caught and started and not finished and not dropping:
                # Ended at shutdown: close the stream properly, so the server need not wait for it.
                await send({"type": "http.response.body", "body": b"", "more_body": False})

    async def _post_message(self, scope: Scope, receive: Receive, send: Send) -> None:
        # Posts need no key: a post that cannot reach an open session of this process is answered
        # here, as the SDK would answer it, before its body is read (the SDK reads up to the body
        # limit first) and without the SDK's log line, which would carry the id in clear.
        request = Request(scope)
        refusal = await self._post_checks.validate_request(request, is_post=True)
        ctx = None
        if refusal is None:
            raw = request.query_params.get("session_id")
            session_id = _session_id(raw)
            if raw is None:
                refusal = Response("session_id is required", status_code=400)
            elif session_id is None:
                refusal = Response("Invalid session ID", status_code=400)
            else:
                ctx = self._sse_sessions.get(session_id)
        if ctx is None:
            await (refusal or Response("Could not find session", status_code=404))(scope, receive, send)
            return
        # The SDK hands the message to the session with a copy of this context, so the tool call
        # runs as the session's opener, and only for this post.
        token = mcp_request_ctx.set(dict(ctx))
        try:
            await self._sse_app(scope, receive, send)
        finally:
            mcp_request_ctx.reset(token)

    async def _streamable(self, scope: Scope, receive: Receive, send: Send) -> None:
        app = self._json_app if scope.get("method") == "POST" and _accepts_json(scope) else self._http_app
        token = mcp_request_ctx.set(tool_context(mcp_request_ctx.get(), None))
        try:
            await app(scope, receive, send)
        finally:
            mcp_request_ctx.reset(token)


def _accepts_json(scope: Scope) -> bool:
    """Whether the Accept header admits a JSON answer, judged as the SDK's transport judges it."""
    return check_accept_headers(Request(scope))[0]


def _session_id(value: str | None) -> str | None:
    # Parsed exactly as the SDK parses it (the query's last value wins, any form UUID accepts), so
    # the identity bound here is that of the session the message is delivered to.
    if value is None:
        return None
    try:
        return uuid.UUID(hex=value).hex
    except ValueError:
        return None


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def transport_security(host: str, allowed_hosts: tuple[str, ...]) -> TransportSecuritySettings | None:
    """The MCP endpoints' Host/Origin checks against DNS rebinding; None turns them off.

    Listed names when given (behind a proxy that passes the public name on); otherwise, when the
    service listens on any loopback address, the loopback names and that address; otherwise none.
    """
    if allowed_hosts:
        names = list(allowed_hosts)
    elif _is_loopback(host):
        own = f"[{host}]" if ":" in host and not host.startswith("[") else host
        names = [f"{name}:*" for name in dict.fromkeys(("127.0.0.1", "localhost", "[::1]", own))]
    else:
        return None
    hosts: list[str] = []
    for name in names:
        hosts.append(name)
        if name.endswith(":*"):
            # A client on the scheme's default port sends the name without a port.
            hosts.append(name[:-2])
    hosts = list(dict.fromkeys(hosts))
    return TransportSecuritySettings(allowed_hosts=hosts,
                                     allowed_origins=[f"{scheme}://{name}" for name in hosts
                                                      for scheme in ("http", "https")])


class _Endpoint:
    """A plain ASGI app object: routing treats functions as request handlers, objects as ASGI apps."""

    __slots__ = ("_app",)

    def __init__(self, app: ASGIApp) -> None:
        self._app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        await self._app(scope, receive, send)
