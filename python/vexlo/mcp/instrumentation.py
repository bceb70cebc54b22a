"""Governance wrappers shared by the MCP tools and the REST API: daily quota and telemetry.

The quota counters live in the store of ``vexlo.mcp.counters`` (this process's memory unless the
server installed a shared one, so that every worker and host counts against one quota). Telemetry
stays in this process's memory and resets on restart.
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

from vexlo.mcp import counters
from vexlo.mcp.context import current_principal
from vexlo.server import metrics

QUOTA_ENV = "VEXLO_QUILLON_DAILY_QUOTA"
DEFAULT_DAILY_QUOTA = 50
QUOTA_EXHAUSTED_CODE = "QUILLON_QUOTA_INSUFFICIENT"

_logger = logging.getLogger("vexlo.mcp")

# Guards the telemetry series, touched from the event loop and from test or admin threads.
_lock = threading.Lock()


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
    return counters.current().usage(_utcnow().date())


def reset_quota() -> None:
    counters.current().reset()


async def _reserve(user: str, day: date, limit: int) -> int | None:
    """Takes one unit; returns the units used afterwards, or None when the quota is spent."""
    store = counters.current()
    if not store.blocking:
        return store.reserve(user, day, limit)
    taking = asyncio.get_running_loop().run_in_executor(None, store.reserve, user, day, limit)
    try:
        return await asyncio.shield(taking)
    except asyncio.CancelledError:
        # The thread goes on regardless: wait for it and return the unit it took, or the
        # cancelled call would keep a unit for the rest of the day.
        try:
            taken = await asyncio.shield(taking)
        except Exception:
            taken = None
        if taken is not None:
            await _give_back(user, day)
        raise


def _give_back_quietly(store: counters.CounterStore, user: str, day: date) -> None:
    try:
        store.give_back(user, day)
    except counters.CounterStoreUnavailable:
        # The caller's outcome matters more than one unit, which the store then keeps for the day.
        _logger.warning("could not give a quota unit back to %s", user, exc_info=True)


async def _give_back(user: str, day: date) -> None:
    # The unit goes back to the day it was taken from, even if midnight passed meanwhile.
    store = counters.current()
    if not store.blocking:
        _give_back_quietly(store, user, day)
        return
    # Shielded: a second cancellation must not stop the unit from going back.
    await asyncio.shield(asyncio.get_running_loop().run_in_executor(None, _give_back_quietly, store, user, day))


def quota_wrap(fn: Callable[..., Awaitable[Any]]) -> Callable[..., Awaitable[Any]]:
    """Wrap a tool coroutine function with the per-user daily quota.

    One unit is reserved before the call and given back when the call raises (cancellation
    included) or returns an envelope whose "success" is not True. When the quota is spent the
    tool is not called and a QUILLON_QUOTA_INSUFFICIENT envelope is returned instead. The user
    is the request context's e-mail or user id, else the call's session, else "anonymous".
    When a shared counter store cannot answer, CounterStoreUnavailable is raised and the tool
    is not called.
    """

    @functools.wraps(fn)
    async def quota_guarded(*args: Any, **kwargs: Any) -> Any:
        user = current_principal(kwargs.get("session_id"))
        now = _utcnow()
        limit = daily_quota()
        used = await _reserve(user, now.date(), limit)
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
                await _give_back(user, now.date())
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
            metrics.observe_run(outcome)

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
