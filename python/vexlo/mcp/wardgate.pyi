# Type information for the native module vexlo.mcp.wardgate (built from src/wardgate).
# Every name the module binds at import is declared here, including the imported ones, so that
# the stub and the module's namespace can be compared name for name.
import logging as logging
import os as os
import time as time
import urllib as urllib
import urllib.parse
from datetime import datetime as datetime, timezone as timezone
from pathlib import Path as Path
from typing import Any as Any

from starlette.requests import ClientDisconnect as _StarletteClientDisconnect
from starlette.types import ASGIApp as ASGIApp, Receive as Receive, Scope as Scope, Send as Send
from vexlo.api.cors import cors_headers_for_scope as cors_headers_for_scope
from vexlo.config import __version__ as __version__

_logger: logging.Logger
_QUILLON_TRACE_FILE: Path

def _trace_quillon(message: str) -> None: ...

# Empty when starlette's ClientDisconnect cannot be imported.
_CLIENT_DISCONNECT_ERRORS: tuple[type[BaseException], ...]

_VERIFY_CACHE_TTL_SECONDS: int
_VERIFY_STALE_GRACE_SECONDS: int
_VERIFY_CONNECT_TIMEOUT_SECONDS: float
_VERIFY_READ_TIMEOUT_SECONDS: float
_VERIFY_MAX_CONNECTIONS: int
_VERIFY_MAX_KEEPALIVE: int
_VERIFY_KEEPALIVE_EXPIRY_SECONDS: float

class ApiKeyVerificationUnavailable(RuntimeError): ...

class ApiKeyWardgate:
    app: ASGIApp
    _api_key: str | None
    _auth_verify_url: str | None
    _protected_path_prefixes: tuple[str, ...] | None
    _trust_upstream_corvane_identity: bool
    # key as presented -> (wall-clock time of the successful check, backend reply)
    _verify_cache: dict[str, tuple[float, dict[str, Any]]]
    _client: Any
    def __init__(
        self,
        app: ASGIApp,
        *,
        api_key: str | None = None,
        auth_verify_url: str | None = None,
        protected_path_prefixes: tuple[str, ...] | None = None,
        trust_upstream_corvane_identity: bool = False,
    ) -> None: ...
    @staticmethod
    def _header(scope: Scope, name: bytes) -> str | None: ...
    def _is_protected_path(self, path: str) -> bool: ...
    def _internal_identity(self, scope: Scope) -> dict[str, str | None] | None: ...
    def _extract_token(self, scope: Scope) -> str | None: ...
    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None: ...
    def _get_client(self) -> Any: ...
    async def _verify_remote(self, api_key: str | None) -> dict | None: ...  # type: ignore[type-arg]
    async def _send_401(self, scope: Scope, send: Send, reason: str = "invalid_api_key") -> None: ...
    async def _send_503(self, scope: Scope, send: Send, reason: str) -> None: ...

class FixedApiKeyAuthProvider:
    _api_key: str
    def __init__(self, api_key: str) -> None: ...
    async def verify_token(self, token: str) -> Any: ...
