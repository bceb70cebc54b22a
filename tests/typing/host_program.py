"""A host application written the way integrators use the two native modules.

Never run: tests/typing/test_stubs.py type-checks it with ``mypy --strict``, which sees the
native modules only through their .pyi files. ``assert_type`` pins the types a host relies on.
"""
from __future__ import annotations

from typing import Any, assert_type

from fastapi import FastAPI
from fastapi.responses import JSONResponse
from starlette.types import ASGIApp, Receive, Scope, Send

from vexlo.api.routers.quillon import (
    _quillon_result_response,
    _run_quillon_scenario,
    quillon_run,
    quillon_scenarios,
    router,
)
from vexlo.api.schemas.quillon import QuillonRunRequest
from vexlo.mcp.wardgate import (
    _CLIENT_DISCONNECT_ERRORS,
    _VERIFY_CACHE_TTL_SECONDS,
    _VERIFY_CONNECT_TIMEOUT_SECONDS,
    _VERIFY_MAX_CONNECTIONS,
    ApiKeyVerificationUnavailable,
    ApiKeyWardgate,
    FixedApiKeyAuthProvider,
    _trace_quillon,
)

PROTECTED = ("/sse", "/api/v1/quillon/run")


def build(api_key: str | None, verify_url: str | None, trust_upstream: bool) -> ApiKeyWardgate:
    app = FastAPI(title="host")
    app.include_router(router)
    gate = ApiKeyWardgate(
        app,
        api_key=api_key,
        auth_verify_url=verify_url,
        protected_path_prefixes=PROTECTED,
        trust_upstream_corvane_identity=trust_upstream,
    )
    # The gate is itself an ASGI application, so it can be handed to any server.
    served: ASGIApp = gate
    assert_type(served, ASGIApp)
    return gate


def build_minimal() -> ApiKeyWardgate:
    return ApiKeyWardgate(FastAPI())


async def serve_one(gate: ApiKeyWardgate, scope: Scope, receive: Receive, send: Send) -> None:
    assert_type(ApiKeyWardgate._header(scope, b"x-corvane-user-email"), str | None)
    assert_type(gate._extract_token(scope), str | None)
    assert_type(gate._internal_identity(scope), dict[str, str | None] | None)
    assert_type(gate._is_protected_path("/sse"), bool)
    try:
        info = await gate._verify_remote(gate._extract_token(scope))
    except ApiKeyVerificationUnavailable as exc:
        assert_type(exc, ApiKeyVerificationUnavailable)
        await gate._send_503(scope, send, "auth_service_unavailable")
        return
    assert_type(info, dict[Any, Any] | None)
    if info is None:
        await gate._send_401(scope, send)
        return
    try:
        await gate(scope, receive, send)
    except _CLIENT_DISCONNECT_ERRORS:
        pass


def settings_report() -> str:
    ttl: int = _VERIFY_CACHE_TTL_SECONDS
    connect: float = _VERIFY_CONNECT_TIMEOUT_SECONDS
    pool: int = _VERIFY_MAX_CONNECTIONS
    return f"ttl={ttl} connect={connect} pool={pool}"


def trace(event: str) -> None:
    assert_type(_trace_quillon(f"{event} path=/api/v1/quillon/run"), None)
    _trace_quillon(message=event)


async def legacy_check(key: str, token: str) -> bool:
    provider = FixedApiKeyAuthProvider(key)
    access = await provider.verify_token(token)
    assert_type(access, Any)
    return access is not None


async def call_routes(payload: QuillonRunRequest) -> list[JSONResponse]:
    listed = await quillon_scenarios()
    ran = await quillon_run(payload, "user@example.com")
    envelope = await _run_quillon_scenario(payload)
    return [listed, ran, _quillon_result_response(envelope)]
