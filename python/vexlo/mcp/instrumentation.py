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
from contextvars import ContextVar
from datetime import datetime, timedelta, timezone
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


# The quota unit that quota_wrap holds for the call in progress: a tool that also takes a rate
# slot asks for both at once through ``decide_run``.
_claim: ContextVar["_Claim | None"] = ContextVar("vexlo_quota_claim", default=None)

# Called with (outcome, seconds) after every store decision: "taken", "quota", "rate",
# "unavailable" (refused: the store did not answer in time) or "cancelled". Read at each use.
decision_observer: Callable[[str, float], None] | None = None


class _Claim:
    __slots__ = ("user", "now", "limit", "ticket", "decision")

    def __init__(self, user: str, now: datetime, limit: int) -> None:
        self.user = user
        self.now = now
        self.limit = limit
        self.ticket: counters.Ticket | None = None
        self.decision: counters.Decision | None = None


async def _decide(ticket: counters.Ticket) -> counters.Decision:
    """The one place where a store decision is made, so its outcome and latency are known here."""
    started = time.perf_counter()
    outcome = "cancelled"
    try:
        decision = await counters.current().decide(ticket)
        outcome = decision.outcome
        return decision
    except Exception:
        outcome = "unavailable"
        raise
    finally:
        observer = decision_observer
        if observer is not None:
            try:
                observer(outcome, time.perf_counter() - started)
            except Exception:
                _logger.debug("decision observer failed", exc_info=True)


def _quota_spent(claim: _Claim) -> dict[str, Any]:
    return {
        "success": False,
        "data": None,
        "error": {
            "code": QUOTA_EXHAUSTED_CODE,
            "message": f"Daily Quillon quota of {claim.limit} runs is used up; it renews at 00:00 UTC",
            "retry_after_seconds": seconds_until_utc_midnight(claim.now),
        },
    }


async def decide_run(principal: str, *, rate_limit: int, window: float, now: float
                     ) -> tuple[dict[str, Any] | None, int | None]:
    """Start a run that takes a rate slot: with the quota unit of the enclosing quota_wrap, if any, in
    one store decision. Returns (None, None) when the run may go on, (envelope, None) when the quota
    is spent, (None, seconds) when the rate is. CounterStoreUnavailable when the store cannot answer."""
    claim = _claim.get()
    if claim is not None and claim.ticket is None:
        ticket = counters.Ticket(claim.user, claim.now.date(), claim.limit, rate_limit, now, window)
        claim.ticket = ticket
    else:
        ticket = counters.Ticket(principal, _utcnow().date(), None, rate_limit, now, window)
    if ticket.quota_limit is not None and ticket.quota_limit <= 0:
        return _quota_spent(claim), None  # type: ignore[arg-type]
    decision = await _decide(ticket)
    if decision.outcome == counters.TAKEN:
        if claim is not None and claim.ticket is ticket:
            claim.decision = decision
        return None, None
    if decision.outcome == counters.QUOTA_SPENT and claim is not None:
        return _quota_spent(claim), None
    return None, decision.retry_after


def quota_wrap(fn: Callable[..., Awaitable[Any]]) -> Callable[..., Awaitable[Any]]:
    """Wrap a tool coroutine function with the per-user daily quota.

    One unit is reserved for the call and given back when the call raises (cancellation
    included) or returns an envelope whose "success" is not True. When the quota is spent the
    tool does not run and a QUILLON_QUOTA_INSUFFICIENT envelope is returned instead. The user
    is the request context's e-mail or user id, else the call's session, else "anonymous".
    When a shared counter store cannot answer, CounterStoreUnavailable is raised and the tool
    does not run.

    A tool marked ``takes_rate_slot`` takes its unit through ``decide_run``, together with its
    rate slot, once it has checked its arguments; any other tool's unit is taken before it is
    called.
    """
    defers = getattr(fn, "takes_rate_slot", False) is True

    @functools.wraps(fn)
    async def quota_guarded(*args: Any, **kwargs: Any) -> Any:
        claim = _Claim(current_principal(kwargs.get("session_id")), _utcnow(), daily_quota())
        if not defers:
            if claim.limit <= 0:
                return _quota_spent(claim)
            claim.ticket = counters.Ticket(claim.user, claim.now.date(), claim.limit)
            claim.decision = await _decide(claim.ticket)
            if claim.decision.outcome != counters.TAKEN:
                return _quota_spent(claim)
        token = _claim.set(claim)
        succeeded = False
        cancelled = True
        try:
            result = await fn(*args, **kwargs)
            succeeded = isinstance(result, dict) and result.get("success") is True
            cancelled = False
        except Exception:
            cancelled = False
            raise
        finally:
            _claim.reset(token)
            if not succeeded and claim.decision is not None and claim.ticket is not None:
                # The unit goes back to the day it was taken from, even if midnight passed meanwhile.
                pending = counters.current().give_back(claim.ticket)
                # A cancelled task awaits nothing more (a cancel scope would cancel that await too):
                # the give-back goes on by itself.
                if pending is not None and not cancelled:
                    try:
                        # Bounded like the decision: past it, the unit goes back by itself.
                        async with asyncio.timeout(counters.DECISION_TIMEOUT):
                            await pending
                    except TimeoutError:
                        pass
        if not succeeded or claim.decision is None:
            return result
        used = claim.decision.used
        quota = result.get("quota")
        return {
            **result,
            "quota": {
                **(quota if isinstance(quota, dict) else {}),
                "daily_limit": claim.limit,
                "used_today": used,
                "remaining_today": max(0, claim.limit - used),
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
# Series a process keeps: dimensions come from clients (a site name), so past this many distinct
# ones, further new ones are counted together under OVERFLOW_DIMENSIONS. Read at each use.
MAX_SERIES = 1000
OVERFLOW_DIMENSIONS = (("overflow", "true"),)


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
                series = _series.get((module, dims))
                if series is None:
                    key = (module, dims) if len(_series) < MAX_SERIES else (module, OVERFLOW_DIMENSIONS)
                    series = _series.setdefault(key, _Series())
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
