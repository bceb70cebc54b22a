"""The vexlo host application: FastAPI routes behind the API-key gate.

``create_inner_app`` builds the FastAPI app alone (what tests drive directly); ``wrap_with_gate``
puts the gate in front of it; ``create_app`` does both. uvicorn workers build the app with
``build_from_env`` (``factory=True``), which reads the settings that the command line exported.
"""
from __future__ import annotations

import asyncio
import json
import re
import secrets
import sys
from collections.abc import AsyncIterator
from datetime import datetime, timezone
from typing import Any

from fastapi import FastAPI, Request
from fastapi.responses import JSONResponse, Response, StreamingResponse
from starlette.middleware.cors import CORSMiddleware

from vexlo.api.cors import allowed_origins
from vexlo.api.deps import AuthenticationRequired
from vexlo.api.errors import error_response
from vexlo.config import __version__
from vexlo.server.keystore import KeyStore
from vexlo.server.settings import VERIFY_PATH, Settings

MAX_MESSAGE_BYTES = 1 << 20
_SESSION_RE = re.compile(r"^[0-9a-f]{32}$")
_IDENTITY_KEYS = {
    "auth_mode": "mcp_auth_mode",
    "user_id": "mcp_user_id",
    "email": "mcp_user_email",
    "allowed_tools": "mcp_allowed_tools",
    "permission_enabled": "mcp_permission_enabled",
}


async def _authentication_required(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, AuthenticationRequired)
    response = error_response(code=exc.code, message=str(exc.detail), status_code=exc.status_code)
    response.headers.update(exc.headers or {})
    return response


async def _read_limited_body(request: Request) -> bytes | None:
    """The request body, or None when it exceeds MAX_MESSAGE_BYTES (this path needs no key)."""
    declared = request.headers.get("content-length", "")
    if declared.isdigit() and int(declared) > MAX_MESSAGE_BYTES:
        return None
    body = bytearray()
    async for chunk in request.stream():
        body += chunk
        if len(body) > MAX_MESSAGE_BYTES:
            return None
    return bytes(body)


def _add_host_routes(app: FastAPI, settings: Settings) -> None:
    @app.get("/healthz", include_in_schema=False)
    async def healthz() -> dict[str, Any]:
        return {"status": "ok", "version": __version__}

    @app.get("/api/v1/whoami")
    async def whoami(request: Request) -> Response:
        """The identity that the API-key gate established for this request (never the key)."""
        scope = request.scope
        if not scope.get("mcp_auth_mode"):
            raise AuthenticationRequired("This endpoint requires an API key")
        data = {name: scope.get(key) for name, key in _IDENTITY_KEYS.items()}
        return JSONResponse({"success": True, "data": data, "error": None})

    @app.get("/sse", include_in_schema=False)
    async def sse() -> Response:
        session_id = secrets.token_hex(16)

        async def events() -> AsyncIterator[str]:
            yield f"event: endpoint\ndata: /messages/?session_id={session_id}\n\n"
            pings = 0
            while settings.sse_max_pings is None or pings < settings.sse_max_pings:
                await asyncio.sleep(settings.sse_ping_interval)
                pings += 1
                yield f"event: ping\ndata: {datetime.now(timezone.utc).isoformat(timespec='seconds')}\n\n"

        # The response ends the generator when the client disconnects.
        return StreamingResponse(events(), media_type="text/event-stream",
                                 headers={"cache-control": "no-cache", "x-accel-buffering": "no"})

    @app.post("/messages/", include_in_schema=False)
    async def messages(request: Request) -> Response:
        if not _SESSION_RE.match(request.query_params.get("session_id", "")):
            return error_response(code="INVALID_SESSION", message="A valid session_id query parameter is required",
                                  status_code=400)
        body = await _read_limited_body(request)
        if body is None:
            return error_response(code="PAYLOAD_TOO_LARGE", message="The message is too large", status_code=413)
        try:
            message = json.loads(body)
        except ValueError:
            message = None
        if not isinstance(message, (dict, list)):
            return error_response(code="INVALID_MESSAGE", message="The body must be a JSON object or array",
                                  status_code=400)
        return Response("Accepted", status_code=202, media_type="text/plain")


def _add_key_backend(app: FastAPI, store: KeyStore) -> None:
    @app.get(VERIFY_PATH, include_in_schema=False)
    def verify_key(request: Request) -> Response:
        # A plain function: FastAPI runs it on a worker thread, so SQLite never blocks the loop.
        key = request.query_params.get("api_key") or request.headers.get("x-mcp-api-key")
        record = store.find(key) if key else None
        # Unknown and revoked keys get the same answer, so the endpoint tells nothing about
        # which keys once existed.
        body = {"valid": True, **record.identity()} if record is not None and not record.revoked else {"valid": False}
        return JSONResponse(body, headers={"cache-control": "no-store"})


def create_inner_app(settings: Settings, *, include_quillon: bool = True) -> FastAPI:
    """The FastAPI app without the gate. ``include_quillon=False`` leaves out the native router."""
    app = FastAPI(title="vexlo", version=__version__)
    app.add_exception_handler(AuthenticationRequired, _authentication_required)
    origins = allowed_origins()
    if origins:
        app.add_middleware(
            CORSMiddleware,
            allow_origins=sorted(origins),
            allow_credentials=True,
            allow_methods=["GET", "POST", "OPTIONS"],
            allow_headers=["authorization", "content-type", "x-mcp-proxy-auth"],
            expose_headers=["retry-after", "www-authenticate"],
        )
    _add_host_routes(app, settings)
    if settings.uses_embedded_backend:
        store = KeyStore(settings.data_dir)
        store.initialise()
        _add_key_backend(app, store)
    if include_quillon:
        from vexlo.api.routers.quillon import router  # type: ignore[import-untyped,import-not-found,unused-ignore]

        app.include_router(router)
    return app


def wrap_with_gate(app: Any, settings: Settings) -> Any:
    """Put the API-key gate in front of ``app``."""
    from vexlo.mcp.wardgate import ApiKeyWardgate  # type: ignore[import-untyped,import-not-found,unused-ignore]

    return ApiKeyWardgate(
        app,
        api_key=settings.api_key,
        auth_verify_url=settings.effective_verify_url,
        protected_path_prefixes=tuple(str(p) for p in settings.protected_prefixes),
        trust_upstream_corvane_identity=settings.trust_upstream_identity,
    )


def create_app(settings: Settings) -> Any:
    return wrap_with_gate(create_inner_app(settings), settings)


def build_from_env() -> Any:
    """The app factory for every ASGI server and every worker, configured by ``VEXLO_*`` variables.

    ``uvicorn --factory vexlo.server.app:build_from_env``, ``hypercorn 'vexlo.server.app:build_from_env()'``,
    ``granian --interface asgi --factory vexlo.server.app:build_from_env``. It does the start-up work
    of ``python -m vexlo.server`` (checks, data folder, demo key, shared quota and rate counters);
    workers that start together do the data folder's part once.
    """
    from vexlo.mcp import counters
    from vexlo.server import startup

    try:
        settings = Settings.from_env()
        settings.validate()
        prepared = startup.prepare(settings)
    except startup.STARTUP_ERRORS as exc:
        print(f"vexlo: error: {exc}", file=sys.stderr, flush=True)
        # uvicorn and gunicorn take status 3 from a worker as "failed to boot" and stop, rather
        # than start it again and again.
        raise SystemExit(3) from None
    for line in startup.key_lines(settings, prepared, hints=False):
        print(line, flush=True)
    if prepared.warning:
        print(prepared.warning, file=sys.stderr, flush=True)
    counters.install(prepared.store).close()
    return create_app(settings)
