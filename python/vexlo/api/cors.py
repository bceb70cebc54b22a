"""CORS policy shared by the app and by the API-key gate's own 401/503 replies.

Allowed origins come from ``VEXLO_CORS_ORIGINS`` (comma-separated, e.g.
``https://app.example.com,http://localhost:5173``). The variable is read at each call so that
tests and operators can change it without a restart; parsing is cached per raw value.
Only exact origins are allowed: no wildcard, because responses allow credentials.
"""
from __future__ import annotations

import functools
import os
from typing import Any

ENV_VAR = "VEXLO_CORS_ORIGINS"

# Headers a browser script needs to read from the gate's refusals.
_EXPOSE_HEADERS = b"www-authenticate, retry-after"


def _normalise(origin: str) -> str:
    return origin.strip().rstrip("/").lower()


@functools.lru_cache(maxsize=8)
def _parse(raw: str) -> frozenset[str]:
    return frozenset(o for o in (_normalise(part) for part in raw.split(",")) if o and o != "*")


def allowed_origins() -> frozenset[str]:
    """The configured origins, normalised (lower case, no trailing slash)."""
    return _parse(os.environ.get(ENV_VAR, ""))


def _request_origin(scope: Any) -> bytes | None:
    headers = scope.get("headers") if isinstance(scope, dict) else None
    if not isinstance(headers, (list, tuple)):
        return None
    for item in headers:
        try:
            name, value = item
        except (TypeError, ValueError):
            continue
        if isinstance(name, bytes) and name.lower() == b"origin" and isinstance(value, bytes):
            return value
    return None


def cors_headers_for_scope(scope: Any) -> list[tuple[bytes, bytes]]:
    """CORS header pairs for a reply to ``scope``; empty when its Origin is not allowed.

    Never raises: a malformed scope simply gets no CORS headers.
    """
    try:
        origins = allowed_origins()
        if not origins:
            return []
        raw = _request_origin(scope)
        if raw is None:
            return []
        origin = raw.decode("ascii").strip()
        if _normalise(origin) not in origins:
            return []
        return [
            (b"access-control-allow-origin", origin.encode("ascii")),
            (b"vary", b"origin"),
            (b"access-control-allow-credentials", b"true"),
            (b"access-control-expose-headers", _EXPOSE_HEADERS),
        ]
    except Exception:  # a refusal must still go out, just without CORS
        return []
