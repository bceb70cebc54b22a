"""MCP tool ``quillon_run``: run one Quillon scenario and return a result envelope.

Envelope on success::

    {"success": True, "data": {...formatted scenario data...}, "error": None, "quota": {"cost": 1}}

and on failure ``{"success": False, "data": None, "error": {"code", "message",
"retry_after_seconds"}}``. Failures are reported in the envelope, never raised. Codes and what
triggers them, checked in this order:

- "QUILLON_INVALID_ARGUMENT": ``scenario`` is not a non-empty str, ``site`` is neither None nor
  a str, or ``export_format`` is not None, "json" or "csv" (MCP calls have no body model).
- "QUILLON_AUTH_ERROR": an MCP call (``_QUILLON_API_MODE`` False) without a ``jwt``. REST runs
  set the flag: the API-key gate has already identified the caller there.
- "QUILLON_SCENARIO_NOT_FOUND": no scenario with that id.
- "QUILLON_FORBIDDEN": the caller's account has permission control on ("permission_enabled"
  True in the request context) and its "allowed_tools" lacks "quillon_run"; or the scenario is
  restricted and "allowed_tools" lacks "quillon_restricted".
- "QUILLON_RATE_LIMITED": the caller already started ``VEXLO_QUILLON_RATE_PER_MINUTE`` runs
  (default 10) in the last 60 seconds; "retry_after_seconds" says when the oldest of them leaves
  the window. The caller is keyed like the daily quota (e-mail, user id, session, "anonymous").
  Under ``quota_wrap`` the rate slot and the quota unit are one decision of the counter store,
  and "QUILLON_QUOTA_INSUFFICIENT" (quota spent) comes before the rate check.

``wait`` is accepted for compatibility; this executor always answers synchronously.
"""
from __future__ import annotations

import os
import time
from contextvars import ContextVar
from typing import Any

from vexlo.mcp import counters, instrumentation
from vexlo.mcp.context import current_principal, mcp_request_ctx
from vexlo.quillon.services import QuillonApiManager

# True while the tool serves the REST API rather than an MCP client.
_QUILLON_API_MODE: ContextVar[bool] = ContextVar("quillon_api_mode", default=False)

RATE_ENV = "VEXLO_QUILLON_RATE_PER_MINUTE"
DEFAULT_RATE_PER_MINUTE = 10
_RATE_WINDOW_SECONDS = 60.0
_EXPORT_FORMATS = ("json", "csv")
TOOL_NAME = "quillon_run"
RESTRICTED_GRANT = "quillon_restricted"

# Wall-clock seconds: run starts are compared across processes and hosts that share a counter store.
_clock = time.time


def parse_rate_per_minute(raw: str) -> int:
    """The rate that ``raw`` names; ValueError unless it is a whole number >= 0."""
    value = int(raw.strip())
    if value < 0:
        raise ValueError("rate must not be negative")
    return value


def _rate_per_minute() -> int:
    try:
        return max(0, int(os.environ.get(RATE_ENV, "").strip() or DEFAULT_RATE_PER_MINUTE))
    except ValueError:
        return DEFAULT_RATE_PER_MINUTE


def reset_rate_limits() -> None:
    counters.current().reset_rates()


def _failure(code: str, message: str, retry_after_seconds: int | None = None) -> dict[str, Any]:
    return {
        "success": False,
        "data": None,
        "error": {"code": code, "message": message, "retry_after_seconds": retry_after_seconds},
    }


def _allowed_tools() -> tuple[bool, list[Any]]:
    ctx = mcp_request_ctx.get()
    if not isinstance(ctx, dict):
        return False, []
    tools = ctx.get("allowed_tools")
    return ctx.get("permission_enabled") is True, list(tools) if isinstance(tools, (list, tuple)) else []


async def quillon_run(
    *,
    scenario: str,
    site: str | None = None,
    export_format: str | None = None,
    wait: bool = True,
    session_id: str | None = None,
    jwt: str | None = None,
) -> dict[str, Any]:
    """Run a Quillon scenario and return its formatted data in a result envelope."""
    if not isinstance(scenario, str) or not scenario.strip():
        return _failure("QUILLON_INVALID_ARGUMENT", "scenario must be a non-empty string")
    if site is not None and not isinstance(site, str):
        return _failure("QUILLON_INVALID_ARGUMENT", "site must be a string")
    if export_format is not None and export_format not in _EXPORT_FORMATS:
        return _failure("QUILLON_INVALID_ARGUMENT", "export_format must be one of: json, csv")

    if not _QUILLON_API_MODE.get() and not (isinstance(jwt, str) and jwt.strip()):
        return _failure("QUILLON_AUTH_ERROR", "A session JWT is required to run Quillon scenarios")

    manager = QuillonApiManager()
    definition = manager.scenario(scenario)
    if definition is None:
        return _failure("QUILLON_SCENARIO_NOT_FOUND", "Unknown Quillon scenario")

    permission_enabled, tools = _allowed_tools()
    if permission_enabled and TOOL_NAME not in tools:
        return _failure("QUILLON_FORBIDDEN", "This account may not run Quillon scenarios")
    if definition["restricted"] and RESTRICTED_GRANT not in tools:
        return _failure("QUILLON_FORBIDDEN", "This scenario is restricted")

    # The rate slot and the enclosing quota_wrap's unit are taken in one decision of the store.
    refused, retry_after = await instrumentation.decide_run(
        current_principal(session_id), rate_limit=_rate_per_minute(), window=_RATE_WINDOW_SECONDS, now=_clock())
    if refused is not None:
        return refused
    if retry_after is not None:
        return _failure("QUILLON_RATE_LIMITED", "Too many Quillon runs, please slow down", retry_after)

    data = manager.run(scenario, site=site, export_format=export_format)
    return {"success": True, "data": data, "error": None, "quota": {"cost": 1}}


quillon_run.takes_rate_slot = True  # type: ignore[attr-defined]
