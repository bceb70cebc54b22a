"""The vexlo host application: FastAPI routes behind the API-key gate.

``create_inner_app`` builds the FastAPI app alone (what tests drive directly); ``wrap_with_gate``
puts the gate in front of it; ``create_app`` does both. uvicorn workers build the app with
``build_from_env`` (``factory=True``), which reads the settings that the command line exported.
"""
from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import sys
from collections.abc import AsyncIterator
from typing import Any

from fastapi import FastAPI, Request
from fastapi.responses import JSONResponse, Response
from starlette.middleware.cors import CORSMiddleware
from starlette.routing import Route

from vexlo.api.cors import allowed_origins
from vexlo.api.deps import AuthenticationRequired
from vexlo.api.errors import error_response
from vexlo.config import __version__
from vexlo.server import metrics
from vexlo.server.keystore import DB_NAME as KEYS_DB_NAME
from vexlo.server.keystore import KeyStore
from vexlo.server.mcp_service import MESSAGES_PATH, SSE_PATH, STREAMABLE_PATH, McpService
from vexlo.server.serving import install_resource_warning
from vexlo.server.settings import VERIFY_PATH, Settings
from vexlo.server.sse_sessions import SseSessions

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


def _add_host_routes(app: FastAPI) -> None:
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


def _add_mcp_routes(app: FastAPI, mcp: McpService) -> None:
    # The SDK's transports are ASGI apps; the gate has already checked the key on /sse and /mcp.
    app.router.routes += [
        Route(SSE_PATH, mcp.sse, methods=["GET"], include_in_schema=False),
        Route(MESSAGES_PATH, mcp.messages, methods=["POST"], include_in_schema=False),
        Route(STREAMABLE_PATH, mcp.streamable_http, methods=["GET", "POST", "DELETE"], include_in_schema=False),
    ]


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


# Loggers that servers write access lines to (uvicorn, also under gunicorn; hypercorn; gunicorn's
# own; granian). Keys may travel in query strings, so their records are redacted whichever
# server runs the app and whatever logging set-up it brought.
_ACCESS_LOGGERS = ("uvicorn.access", "hypercorn.access", "gunicorn.access", "granian.access")


def _redact_access_logs() -> None:
    import logging

    from vexlo.server.logs import RedactApiKeys

    for name in _ACCESS_LOGGERS:
        logger = logging.getLogger(name)
        if not any(isinstance(f, RedactApiKeys) for f in logger.filters):
            logger.addFilter(RedactApiKeys())


def _in_process_client(backend: Any) -> Any:
    """The gate's verification client for the embedded backend: requests go straight into the
    backend's ASGI app in this process, so checks need no port, no connection and no access
    line, and cannot time out waiting on the very loop that would have to answer them."""
    import httpx

    return metrics.count_checks(httpx.AsyncClient(transport=httpx.ASGITransport(app=backend)))


async def _close_counter_store() -> None:
    """Quota units still on their way back get a bounded moment to arrive before the process goes;
    then this loop's store connections close."""
    from vexlo.mcp import counters

    store = counters.current()
    try:
        async with asyncio.timeout(counters.DECISION_TIMEOUT):
            await store.settle()
    except TimeoutError:
        logging.getLogger("vexlo.mcp").warning("quota units still on their way back at shutdown are kept for the day")
    if isinstance(store, counters.RedisCounters):
        await store.aclose()


def create_inner_app(settings: Settings, *, include_quillon: bool = True) -> FastAPI:
    """The FastAPI app without the gate. ``include_quillon=False`` leaves out the native router."""
    _redact_access_logs()
    mcp = McpService(host=settings.host, allowed_hosts=settings.mcp_allowed_hosts,
                     sse_sessions=SseSessions(max_sessions=settings.sse_max_sessions,
                                              max_per_key=settings.sse_max_sessions_per_key))

    @contextlib.asynccontextmanager
    async def lifespan(_: FastAPI) -> AsyncIterator[None]:
        # Whichever server runs the app on an asyncio loop: failed accepts for want of
        # descriptors become one warning a minute rather than a traceback each.
        install_resource_warning(asyncio.get_running_loop())
        try:
            async with mcp.lifespan():
                yield
        finally:
            await _close_counter_store()
        metrics.worker_stopping()

    app = FastAPI(title="vexlo", version=__version__, lifespan=lifespan)
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
    _add_host_routes(app)
    _add_mcp_routes(app, mcp)
    if settings.uses_embedded_backend:
        store = KeyStore(settings.data_dir)
        store.initialise()
        _add_key_backend(app, store)
        # The same endpoint alone, for the gate's in-process client (see wrap_with_gate); the
        # route above stays for services that use this one as their external backend.
        backend = FastAPI(openapi_url=None, docs_url=None, redoc_url=None)
        _add_key_backend(backend, store)
        app.state.key_backend = backend
    if include_quillon:
        from vexlo.api.routers.quillon import router  # type: ignore[import-untyped,import-not-found,unused-ignore]

        app.include_router(router)
    return app


def wrap_with_gate(app: Any, settings: Settings) -> Any:
    """Put the API-key gate in front of ``app``."""
    from vexlo.mcp.wardgate import ApiKeyWardgate  # type: ignore[import-untyped,import-not-found,unused-ignore]

    gate = ApiKeyWardgate(
        app,
        api_key=settings.api_key,
        auth_verify_url=settings.effective_verify_url,
        protected_path_prefixes=tuple(str(p) for p in settings.protected_prefixes),
        trust_upstream_corvane_identity=settings.trust_upstream_identity,
    )
    backend = getattr(getattr(app, "state", None), "key_backend", None)
    if backend is not None and settings.uses_embedded_backend:
        gate._client = _in_process_client(backend)
        # The gate has just announced remote verification with an HTTP URL; say what really happens.
        logging.getLogger("vexlo.server").info(
            "vexlo: embedded key backend: the gate's checks go in-process to the key store %s; "
            "the URL above is not requested over the network", settings.data_dir / KEYS_DB_NAME)
    elif settings.effective_verify_url:
        # The gate builds and bounds its own client on first use; its checks are counted there.
        # An instance attribute: the gate calls its methods through self, so this one is used.
        gate._get_client = metrics.counting_get_client(gate._get_client)  # type: ignore[method-assign]
    return gate


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
    from vexlo.server import logs, startup
    from vexlo.server.serving import raise_descriptor_limit

    # Whichever server runs the factory: a worker with the hard limit holds more clients.
    raise_descriptor_limit()

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
    if prepared.warning and not os.environ.get(startup.ENV_STORE_WARNED):
        print(prepared.warning, file=sys.stderr, flush=True)
    counters.install(prepared.store).close()
    from vexlo.mcp import instrumentation

    instrumentation.decision_observer = metrics.observe_decision
    # Every server logs through this process's records: make each one safe to write.
    logs.install()
    return metrics.instrument(create_app(settings), remote=bool(settings.effective_verify_url))
