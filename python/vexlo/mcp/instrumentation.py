"""Governance wrappers shared by the MCP tools and the REST API: daily quota and telemetry.

Both keep their state in this process's memory. With several server workers each worker counts
on its own, so the effective daily quota is per worker; good enough for the single-process
default, and the numbers reset on restart.
"""
from __future__ import annotations

import asyncio
import functools
import logging
import math
import os
import threading
import time
from collections import Counter
from collections.abc import Awaitable, Callable, Mapping
from datetime import date, datetime, timedelta, timezone
from types import MappingProxyType
from typing import Any

from vexlo.mcp.context import current_principal

QUOTA_ENV = "VEXLO_QUILLON_DAILY_QUOTA"
DEFAULT_DAILY_QUOTA = 50
QUOTA_EXHAUSTED_CODE = "QUILLON_QUOTA_INSUFFICIENT"

_logger = logging.getLogger("vexlo.mcp")

# Touched from the event loop, and from test or admin threads through the inspection helpers.
_lock = threading.Lock()
_quota_used: dict[tuple[str, date], int] = {}


def _utcnow() -> datetime:
    return datetime.now(timezone.utc)


def parse_daily_quota(raw: str) -> int:
    """The quota size that ``raw`` names; ValueError unless it is a whole number >= 0."""
    value = int(raw.strip())
    if value < 0:
        raise ValueError("daily quota must not be negative")
    return value


@functools.lru_cache(maxsize=4)
def _quota_from_env(raw: str) -> int:
    if not raw.strip():
        return DEFAULT_DAILY_QUOTA
    try:
        return parse_daily_quota(raw)
    except ValueError:
        # Logged once per distinct bad value thanks to the cache.
        _logger.warning("%s=%r is not a whole number >= 0; using %d", QUOTA_ENV, raw, DEFAULT_DAILY_QUOTA)
        return DEFAULT_DAILY_QUOTA


def daily_quota() -> int:
    """Calls per user and UTC day, from ``VEXLO_QUILLON_DAILY_QUOTA`` (default 50)."""
    return _quota_from_env(os.environ.get(QUOTA_ENV, ""))


def seconds_until_utc_midnight(now: datetime) -> int:
    midnight = datetime.combine(now.date() + timedelta(days=1), datetime.min.time(), tzinfo=timezone.utc)
    return max(1, math.ceil((midnight - now).total_seconds()))


def quota_usage() -> dict[str, int]:
    """Today's (UTC) used units per user key."""
    today = _utcnow().date()
    with _lock:
        return {user: used for (user, day), used in _quota_used.items() if day == today and used}


def reset_quota() -> None:
    with _lock:
        _quota_used.clear()


def _reserve(user: str, day: date, limit: int) -> int | None:
    """Takes one unit; returns the units used afterwards, or None when the quota is spent."""
    with _lock:
        for key in [k for k in _quota_used if k[1] != day]:
            del _quota_used[key]  # yesterday's counters are never read again
        used = _quota_used.get((user, day), 0)
        if used >= limit:
            return None
        _quota_used[(user, day)] = used + 1
        return used + 1


def _give_back(user: str, day: date) -> None:
    # The unit goes back to the day it was taken from, even if midnight passed meanwhile.
    with _lock:
        used = _quota_used.get((user, day), 0)
        if used > 0:
            _quota_used[(user, day)] = used - 1


def quota_wrap(fn: Callable[..., Awaitable[Any]]) -> Callable[..., Awaitable[Any]]:
    """Wrap a tool coroutine function with the per-user daily quota.

    One unit is reserved before the call and given back when the call raises (cancellation
    included) or returns an envelope whose "success" is not True. When the quota is spent the
    tool is not called and a QUILLON_QUOTA_INSUFFICIENT envelope is returned instead. The user
    is the request context's e-mail or user id, else the call's session, else "anonymous".
    """

    @functools.wraps(fn)
    async def quota_guarded(*args: Any, **kwargs: Any) -> Any:
        user = current_principal(kwargs.get("session_id"))
        now = _utcnow()
        limit = daily_quota()
        used = _reserve(user, now.date(), limit)
        if used is None:
            return {
                "success": False,
                "data": None,
                "error": {
                    "code": QUOTA_EXHAUSTED_CODE,
                    "message": f"Daily Quillon quota of {limit} runs is used up; it renews at 00:00 UTC",
                    "retry_after_seconds": seconds_until_utc_midnight(now),
                },
            }
        succeeded = False
        try:
            result = await fn(*args, **kwargs)
            succeeded = isinstance(result, dict) and result.get("success") is True
        finally:
            if not succeeded:
                _give_back(user, now.date())
        if not succeeded:
            return result
        quota = result.get("quota")
        return {
            **result,
            "quota": {
                **(quota if isinstance(quota, dict) else {}),
                "daily_limit": limit,
                "used_today": used,
                "remaining_today": max(0, limit - used),
            },
        }

    return quota_guarded


class _Series:
    __slots__ = ("calls", "outcomes", "total_ms")

    def __init__(self) -> None:
        self.calls = 0
        self.outcomes: Counter[str] = Counter()
        self.total_ms = 0.0


_series: dict[tuple[str, tuple[tuple[str, str], ...]], _Series] = {}
_MAX_DIMENSION_LEN = 64


_Resolver = Callable[[Mapping[str, Any]], Any]


def _dimensions(resolver: _Resolver | None, kwargs: dict[str, Any]) -> tuple[tuple[str, str], ...]:
    if resolver is None:
        return ()
    try:
        dims = resolver(MappingProxyType(kwargs))
        return tuple(sorted((str(k), str(v)[:_MAX_DIMENSION_LEN]) for k, v in dict(dims).items()))
    except Exception:
        # Telemetry must never fail the call it observes.
        _logger.debug("telemetry dimension resolver failed", exc_info=True)
        return (("dimension_error", "true"),)


def _outcome(result: Any) -> str:
    if isinstance(result, dict):
        if result.get("success") is True:
            return "success"
        error = result.get("error")
        if isinstance(error, dict) and error.get("code"):
            return str(error["code"])
    return "failure"


def telemetry_wrap(
    fn: Callable[..., Awaitable[Any]],
    *,
    module: str,
    dimension_resolver: _Resolver | None = None,
) -> Callable[..., Awaitable[Any]]:
    """Wrap a tool so that each call is counted per module and resolved dimensions.

    The returned coroutine function takes keyword arguments only. Outcomes are "success", the
    envelope's error code, "failure" for an envelope without one, "exception:<Class>" or
    "cancelled". Read the counts with ``telemetry_snapshot``.
    """

    @functools.wraps(fn)
    async def telemetry_counted(**kwargs: Any) -> Any:
        dims = _dimensions(dimension_resolver, kwargs)
        started = time.monotonic()
        outcome = "failure"
        try:
            result = await fn(**kwargs)
            outcome = _outcome(result)
            return result
        except asyncio.CancelledError:
            outcome = "cancelled"
            raise
        except BaseException as exc:
            outcome = "exception:" + type(exc).__name__
            raise
        finally:
            elapsed_ms = (time.monotonic() - started) * 1000.0
            with _lock:
                series = _series.setdefault((module, dims), _Series())
                series.calls += 1
                series.outcomes[outcome] += 1
                series.total_ms += elapsed_ms

    return telemetry_counted


def telemetry_snapshot() -> list[dict[str, Any]]:
    """Counts so far: one entry per (module, dimensions), with calls, outcomes and mean time."""
    with _lock:
        return [
            {
                "module": module,
                "dimensions": dict(dims),
                "calls": s.calls,
                "outcomes": dict(s.outcomes),
                "mean_ms": s.total_ms / s.calls if s.calls else 0.0,
            }
            for (module, dims), s in sorted(_series.items())
        ]


def reset_telemetry() -> None:
    with _lock:
        _series.clear()
