"""Per-request identity of the MCP server and the REST API.

``mcp_request_ctx`` holds one dict per accepted request. The API-key gate sets it with the keys
``api_key``, ``auth_mode``, ``user_id``, ``email``, ``allowed_tools`` and
``permission_enabled`` and resets it when the request ends.

The gate knows nothing of MCP sessions or of the caller's JWT. Those belong to the MCP transport:
when it dispatches a tool call for a session it sets a copy of the gate's dict extended with
``session_id`` and ``jwt`` (a copy, so that the gate's own reset stays correct).
``get_current_session_id`` and ``get_current_jwt`` read those two keys and return None when they
are absent, so a REST request, which has neither, gets None for both. They never raise.
"""
from __future__ import annotations

from contextvars import ContextVar
from typing import Any

mcp_request_ctx: ContextVar[dict[str, Any] | None] = ContextVar("mcp_request_ctx", default=None)


def _current_str(key: str) -> str | None:
    ctx = mcp_request_ctx.get()
    if not isinstance(ctx, dict):
        return None
    value = ctx.get(key)
    return value if isinstance(value, str) and value else None


def get_current_session_id() -> str | None:
    """MCP session id of the current request, or None."""
    return _current_str("session_id")


def get_current_jwt() -> str | None:
    """JWT the MCP client handed to its session, or None."""
    return _current_str("jwt")


def current_principal(session_id: str | None = None) -> str:
    """Stable key of the caller, for per-user quota and rate limits.

    The account e-mail wins, then the account user id, then the MCP session; callers known by
    none of these share "anonymous".
    """
    ctx = mcp_request_ctx.get()
    if isinstance(ctx, dict):
        email = ctx.get("email")
        if isinstance(email, str) and email.strip():
            return "email:" + email.strip().lower()
        user_id = ctx.get("user_id")
        if user_id is not None and str(user_id).strip():
            return "user:" + str(user_id).strip()
    session = session_id if isinstance(session_id, str) and session_id else get_current_session_id()
    if session:
        return "session:" + session
    return "anonymous"
