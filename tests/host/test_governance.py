"""Daily quota, telemetry and the quillon_run tool, alone and composed as the router composes them."""
import asyncio
import concurrent.futures
import contextlib
import sqlite3
import threading
from datetime import datetime, timezone

import anyio
import pytest

from vexlo.mcp import counters
from vexlo.mcp import instrumentation as inst
from vexlo.mcp.context import mcp_request_ctx
from vexlo.mcp.tools import quillon as tool
from vexlo.quillon.api.scenarios import telemetry_dimensions

OK = {"success": True, "data": {}, "error": None}
FAILED = {"success": False, "data": None, "error": {"code": "QUILLON_FORBIDDEN", "message": "m"}}


@pytest.fixture(autouse=True, params=["memory", "sqlite", "redis"])
def clean_state(request, monkeypatch, tmp_path):
    """Every case runs against each counter store: they must give the same answers."""
    if request.param == "sqlite":
        store = counters.SqliteCounters(tmp_path)
        store.initialise()
    elif request.param == "redis":
        store = counters.RedisCounters(request.getfixturevalue("redis_url"))
    else:
        store = counters.MemoryCounters()
    previous = counters.install(store)
    request.addfinalizer(lambda: (counters.install(previous), store.close()))
    monkeypatch.delenv(inst.QUOTA_ENV, raising=False)
    monkeypatch.delenv(tool.RATE_ENV, raising=False)
    inst.reset_quota()
    inst.reset_telemetry()
    tool.reset_rate_limits()
    yield
    inst.reset_quota()
    inst.reset_telemetry()
    tool.reset_rate_limits()


def arun(coro):
    """asyncio.run, then what a long-lived server loop would do later: finish pending give-backs,
    and close the loop's store connections (Redis)."""
    async def main():
        try:
            return await coro
        finally:
            store = counters.current()
            await store.settle()
            if isinstance(store, counters.RedisCounters):
                await store.aclose()
    return asyncio.run(main())


def _sibling(store):
    """Another process's view of the same store."""
    if isinstance(store, counters.SqliteCounters):
        return counters.SqliteCounters(store.path.parent)
    if isinstance(store, counters.RedisCounters):
        return counters.RedisCounters(store.url)
    return store


@pytest.fixture
def as_user():
    tokens = []
    yield lambda ctx: tokens.append(mcp_request_ctx.set(ctx))
    for token in reversed(tokens):
        mcp_request_ctx.reset(token)


def _returning(value):
    calls = []

    async def fn(**kwargs):
        calls.append(kwargs)
        if isinstance(value, BaseException):
            raise value
        return value

    return fn, calls


@pytest.mark.parametrize("outcome, kept", [(OK, 1), (FAILED, 0), ({"data": 1}, 0), (None, 0), (ValueError("x"), 0)])
def test_quota_kept_only_for_success(as_user, outcome, kept):
    as_user({"email": "a@b.c"})
    fn, _ = _returning(outcome)
    wrapped = inst.quota_wrap(fn)
    if isinstance(outcome, BaseException):
        with pytest.raises(type(outcome)):
            arun(wrapped(scenario="s"))
    else:
        result = arun(wrapped(scenario="s"))
        if outcome is OK:
            assert result["quota"] == {"daily_limit": 50, "used_today": 1, "remaining_today": 49}
        else:
            assert result is outcome  # failures pass through untouched
    assert inst.quota_usage().get("email:a@b.c", 0) == kept


def test_quota_exhaustion_envelope(monkeypatch, as_user):
    monkeypatch.setenv(inst.QUOTA_ENV, "2")
    monkeypatch.setattr(inst, "_utcnow", lambda: datetime(2025, 3, 1, 23, 59, 30, 500000, tzinfo=timezone.utc))
    as_user({"email": "a@b.c"})
    fn, calls = _returning(OK)
    wrapped = inst.quota_wrap(fn)
    results = [arun(wrapped(scenario="s", session_id=None)) for _ in range(3)]
    assert [r["success"] for r in results] == [True, True, False]
    assert len(calls) == 2
    assert results[2] == {"success": False, "data": None, "error": {
        "code": "QUILLON_QUOTA_INSUFFICIENT", "message": results[2]["error"]["message"],
        "retry_after_seconds": 30}}
    # Another user has a quota of their own.
    as_user({"user_id": "u2"})
    assert arun(wrapped(scenario="s"))["success"] is True


async def _cancelled(awaitable, how, after=0.0):
    """Awaits ``awaitable`` and cancels it ``after`` seconds in: the asyncio way, or by an anyio
    cancel scope, which also cancels every further await in the task."""
    if how == "anyio":
        with anyio.move_on_after(after):
            await awaitable
        return
    task = asyncio.ensure_future(awaitable)
    await asyncio.sleep(after)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


@pytest.mark.parametrize("how", ["asyncio", "anyio"])
def test_cancelled_call_gives_quota_back(as_user, how):
    as_user({"email": "a@b.c"})
    arun(_cancelled(inst.quota_wrap(asyncio.sleep)(delay=10), how, 0.01))
    assert inst.quota_usage() == {}


@contextlib.contextmanager
def _stalled_store():
    """The shared store stops answering decisions until the block ends: another process holds the
    SQLite write lock, or Redis holds writing clients."""
    store = counters.current()
    if isinstance(store, counters.SqliteCounters):
        other = sqlite3.connect(store.path, isolation_level=None)
        other.execute("BEGIN IMMEDIATE")
        try:
            yield
        finally:
            other.execute("ROLLBACK")
            other.close()
    elif isinstance(store, counters.RedisCounters):
        import redis

        admin = redis.Redis.from_url(store.url)
        admin.client_pause(60_000, all=False)
        try:
            yield
        finally:
            admin.client_unpause()
            admin.close()
    else:
        pytest.skip("the memory store never waits")


@pytest.mark.parametrize("how", ["asyncio", "anyio", "timeout"])
def test_run_given_up_while_the_store_stalls_holds_nothing_however_late_it_lands(as_user, monkeypatch, how):
    """Cancelled mid-wait, or refused at the deadline: once the store answers again, whatever it
    applied late is undone or was never applied."""
    monkeypatch.setattr(counters, "DECISION_TIMEOUT", 0.3 if how == "timeout" else 5.0)
    as_user({"email": "a@b.c"})
    governed = inst.quota_wrap(tool.quillon_run)

    async def main():
        token = tool._QUILLON_API_MODE.set(True)
        try:
            with _stalled_store():
                run = governed(scenario="traffic_overview", session_id=None, jwt=None)
                if how == "timeout":
                    with pytest.raises(counters.CounterStoreUnavailable):
                        await run
                else:
                    await _cancelled(run, how, 0.2)
            await counters.current().settle()
            await asyncio.sleep(0.2)  # a write Redis held back lands now, if at all
            await counters.current().settle()
            assert inst.quota_usage() == {}
            # Neither the unit nor the rate slot is held: a limit of one lets the next run through.
            monkeypatch.setenv(tool.RATE_ENV, "1")
            monkeypatch.setenv(inst.QUOTA_ENV, "1")
            assert (await governed(scenario="traffic_overview", session_id=None, jwt=None))["success"] is True
        finally:
            tool._QUILLON_API_MODE.reset(token)

    arun(main())
    assert inst.quota_usage() == {"email:a@b.c": 1}


def test_failed_run_answers_while_the_store_stalls_and_its_unit_returns_after(as_user, monkeypatch):
    monkeypatch.setattr(counters, "DECISION_TIMEOUT", 0.3)
    as_user({"email": "a@b.c"})
    stall = contextlib.ExitStack()

    async def failing(**kwargs):
        stall.enter_context(_stalled_store())  # the store stops answering after the decision
        return FAILED

    async def main():
        try:
            assert await inst.quota_wrap(failing)(scenario="s") is FAILED
        finally:
            stall.close()
        await counters.current().settle()

    arun(main())
    assert inst.quota_usage() == {}


@pytest.mark.parametrize("order", ["abandoned first", "decided first"])
def test_abandoned_ticket_holds_nothing_in_either_order(order):
    store = counters.current()
    ticket = counters.Ticket("email:a@b.c", datetime(2025, 3, 1).date(), 5, 5, 1000.0, 60.0)

    async def main():
        if order == "abandoned first":
            store.abandon(ticket)
            await store.settle()
            with pytest.raises(counters.CounterStoreUnavailable):
                await store.decide(ticket)
        else:
            assert (await store.decide(ticket)).used == 1
            store.abandon(ticket)
            store.abandon(ticket)  # once only
        await store.settle()

    arun(main())
    assert store.usage(ticket.day) == {}
    fresh = counters.Ticket("email:a@b.c", ticket.day, 1, 1, 1000.0, 60.0)
    assert arun(store.decide(fresh)).used == 1


def test_late_write_of_yesterday_never_restarts_its_count():
    """A run stamped just before midnight whose decision lands after the new day's first run."""
    store = counters.current()
    day1, day2 = datetime(2025, 3, 1).date(), datetime(2025, 3, 2).date()

    async def main():
        for _ in range(2):
            assert (await store.decide(counters.Ticket("email:a@b.c", day1, 2))).outcome == counters.TAKEN
        assert (await store.decide(counters.Ticket("email:a@b.c", day2, 2))).used == 1
        return await store.decide(counters.Ticket("email:a@b.c", day1, 2))

    assert arun(main()).outcome == counters.QUOTA_SPENT
    assert (store.usage(day1), store.usage(day2)) == ({"email:a@b.c": 2}, {"email:a@b.c": 1})


def test_failure_after_midnight_returns_unit_to_its_own_day(monkeypatch, as_user):
    as_user({"email": "a@b.c"})
    day1 = datetime(2025, 3, 1, 23, 59, 59, tzinfo=timezone.utc)
    day2 = datetime(2025, 3, 2, 0, 0, 1, tzinfo=timezone.utc)
    clock = {"now": day1}
    monkeypatch.setattr(inst, "_utcnow", lambda: clock["now"])
    ok_fn, _ = _returning(OK)

    async def slow_failure(**kwargs):
        clock["now"] = day2
        await inst.quota_wrap(ok_fn)(scenario="s")  # a run on the new day, while this one runs
        return FAILED

    arun(inst.quota_wrap(slow_failure)(scenario="s"))
    assert inst.quota_usage() == {"email:a@b.c": 1}


def test_racing_callers_never_exceed_the_quota_or_the_rate():
    """Each thread has a store of its own on the same counters, as each worker process would."""
    day = datetime(2025, 3, 1, tzinfo=timezone.utc).date()
    barrier = threading.Barrier(8)

    def race(_):
        store = _sibling(counters.current())

        async def decisions():
            taken = [await store.decide(counters.Ticket("email:a@b.c", day, 60)) for _ in range(25)]
            slots = [await store.decide(counters.Ticket("email:a@b.c", day, None, 30, 1000.0, 60.0))
                     for _ in range(10)]
            if isinstance(store, counters.RedisCounters):
                await store.aclose()
            return taken, slots

        barrier.wait()
        try:
            return asyncio.run(decisions())
        finally:
            if store is not counters.current():
                store.close()

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        results = list(pool.map(race, range(8)))
    taken = sorted(d.used for r in results for d in r[0] if d.outcome == counters.TAKEN)
    assert taken == list(range(1, 61))  # every unit handed out exactly once
    assert sum(d.outcome == counters.TAKEN for r in results for d in r[1]) == 30
    assert counters.current().usage(day) == {"email:a@b.c": 60}


def test_redis_outage_refuses_runs_and_heals_by_itself(clean_state, tmp_path, as_user, monkeypatch):
    if not isinstance(counters.current(), counters.RedisCounters):
        pytest.skip("about the Redis store")
    monkeypatch.setattr(counters, "RELEASE_PERSISTENCE", 0.5)
    from tests.support.redis_server import free_port, running_redis

    port = free_port()
    as_user({"email": "a@b.c"})
    fn, calls = _returning(OK)
    with running_redis(tmp_path, port) as url:
        store = counters.RedisCounters(url)
        shared = counters.install(store)
        assert arun(inst.quota_wrap(fn)(scenario="s"))["quota"]["used_today"] == 1
    # Refused, not run ungoverned, while the store is gone.
    with pytest.raises(counters.CounterStoreUnavailable):
        arun(inst.quota_wrap(fn)(scenario="s"))
    assert len(calls) == 1
    # A restarted server has lost its scripts and the client its connections; both come back.
    with running_redis(tmp_path, port):
        assert arun(inst.quota_wrap(fn)(scenario="s"))["success"] is True
        rate_only = counters.Ticket("email:a@b.c", datetime(2025, 3, 1).date(), None, 1, 1000.0, 60.0)
        assert arun(store.decide(rate_only)).outcome == counters.TAKEN
    counters.install(shared)
    store.close()


def test_sqlite_held_by_another_writer_refuses_then_heals(clean_state, as_user, monkeypatch):
    store = counters.current()
    if not isinstance(store, counters.SqliteCounters):
        pytest.skip("about the SQLite store")
    monkeypatch.setattr(counters, "DECISION_TIMEOUT", 0.05)
    as_user({"email": "a@b.c"})
    fn, calls = _returning(OK)
    other = sqlite3.connect(store.path, isolation_level=None)
    other.execute("BEGIN IMMEDIATE")
    with pytest.raises(counters.CounterStoreUnavailable):
        arun(inst.quota_wrap(fn)(scenario="s"))
    other.execute("ROLLBACK")
    other.close()
    assert arun(inst.quota_wrap(fn)(scenario="s"))["quota"]["used_today"] == 1
    assert len(calls) == 1


def test_bad_quota_setting_falls_back_to_default(monkeypatch):
    monkeypatch.setenv(inst.QUOTA_ENV, "lots")
    assert inst.daily_quota() == inst.DEFAULT_DAILY_QUOTA
    monkeypatch.setenv(inst.QUOTA_ENV, "0")
    assert inst.daily_quota() == 0


def test_telemetry_counts_outcomes_per_dimensions():
    async def fn(**kwargs):
        if kwargs["scenario"] == "boom":
            raise KeyError("x")
        return OK if kwargs.get("site") != "bad" else FAILED

    wrapped = inst.telemetry_wrap(fn, module="quillon", dimension_resolver=telemetry_dimensions)
    for site in ("a", "a", "bad"):
        arun(wrapped(scenario="traffic_overview", site=site, jwt="secret", session_id="sess"))
    with pytest.raises(KeyError):
        arun(wrapped(scenario="boom"))
    with pytest.raises(TypeError):
        arun(wrapped("positional"))
    snap = {(s["dimensions"]["scenario"], s["dimensions"]["site"]): s for s in inst.telemetry_snapshot()}
    assert snap[("traffic_overview", "a")]["calls"] == 2
    assert snap[("traffic_overview", "a")]["outcomes"] == {"success": 2}
    assert snap[("traffic_overview", "bad")]["outcomes"] == {"QUILLON_FORBIDDEN": 1}
    assert snap[("unknown", "default")]["outcomes"] == {"exception:KeyError": 1}
    assert "secret" not in repr(inst.telemetry_snapshot()) and "sess" not in repr(inst.telemetry_snapshot())
    inst.reset_telemetry()
    assert inst.telemetry_snapshot() == []


def test_telemetry_keeps_a_bounded_number_of_series(monkeypatch):
    monkeypatch.setattr(inst, "MAX_SERIES", 3)
    fn, _ = _returning(FAILED)
    wrapped = inst.telemetry_wrap(fn, module="quillon", dimension_resolver=telemetry_dimensions)
    for site in ("a", "b", "c", "d", "e", "a"):
        arun(wrapped(scenario="traffic_overview", site=site))
    snap = inst.telemetry_snapshot()
    assert len(snap) == 4 and sum(s["calls"] for s in snap) == 6
    assert {s["dimensions"].get("site", "overflow") for s in snap} == {"a", "b", "c", "overflow"}


def test_store_failure_over_mcp_is_the_rest_envelope(as_user):
    from vexlo.server import mcp_service

    class Down(counters.MemoryCounters):
        async def decide(self, ticket):
            raise counters.CounterStoreUnavailable("the counter store redis://:pw@10.0.0.5 failed")

    previous = counters.install(Down())
    try:
        as_user({"email": "a@b.c", "jwt": "ey.x"})
        result = arun(mcp_service.quillon_run(scenario="traffic_overview"))
    finally:
        counters.install(previous)
    assert result.is_error is True
    assert result.structured_content == {"success": False, "data": None, "error": {
        "code": "QUILLON_STORE_UNAVAILABLE", "message": "An upstream service is unavailable, please retry later"}}
    assert "pw" not in result.content[0].text


def test_failing_dimension_resolver_does_not_fail_the_call():
    def resolver(kwargs):
        raise RuntimeError("resolver bug")

    fn, calls = _returning(OK)
    assert arun(inst.telemetry_wrap(fn, module="m", dimension_resolver=resolver)(a=1)) is OK
    assert calls == [{"a": 1}]
    assert inst.telemetry_snapshot()[0]["dimensions"] == {"dimension_error": "true"}


def _run(api_mode=True, *, tool_fn=tool.quillon_run, **kwargs):
    async def main():
        token = tool._QUILLON_API_MODE.set(api_mode)
        try:
            return await tool_fn(**kwargs)
        finally:
            tool._QUILLON_API_MODE.reset(token)
    return arun(main())


@pytest.mark.parametrize("ctx, kwargs, api_mode, code", [
    (None, {"scenario": ""}, True, "QUILLON_INVALID_ARGUMENT"),
    (None, {"scenario": "traffic_overview", "export_format": "xml"}, True, "QUILLON_INVALID_ARGUMENT"),
    (None, {"scenario": "traffic_overview"}, False, "QUILLON_AUTH_ERROR"),
    (None, {"scenario": "traffic_overview", "jwt": "  "}, False, "QUILLON_AUTH_ERROR"),
    (None, {"scenario": "nope"}, True, "QUILLON_SCENARIO_NOT_FOUND"),
    ({"permission_enabled": True, "allowed_tools": ["other"]}, {"scenario": "traffic_overview"}, True,
     "QUILLON_FORBIDDEN"),
    ({"permission_enabled": True, "allowed_tools": None}, {"scenario": "traffic_overview"}, True,
     "QUILLON_FORBIDDEN"),
    (None, {"scenario": "account_audit"}, True, "QUILLON_FORBIDDEN"),
    ({"permission_enabled": True, "allowed_tools": ["quillon_run"]}, {"scenario": "traffic_overview"}, True, None),
    ({"allowed_tools": ["quillon_restricted"]}, {"scenario": "account_audit"}, True, None),
    (None, {"scenario": "traffic_overview", "jwt": "ey.x"}, False, None),
])
def test_tool_error_codes(as_user, ctx, kwargs, api_mode, code):
    as_user(ctx)
    result = _run(api_mode, **kwargs)
    if code is None:
        assert result["success"] is True and result["error"] is None and result["data"]["row_count"] > 0
    else:
        assert result["success"] is False and result["data"] is None
        assert result["error"]["code"] == code


def test_tool_rate_limit(monkeypatch, as_user):
    monkeypatch.setenv(tool.RATE_ENV, "2")
    clock = {"t": 1000.0}
    monkeypatch.setattr(tool, "_clock", lambda: clock["t"])
    as_user({"email": "a@b.c"})
    assert [_run(scenario="traffic_overview")["success"] for _ in range(2)] == [True, True]
    clock["t"] += 20
    limited = _run(scenario="traffic_overview")
    assert limited["error"]["code"] == "QUILLON_RATE_LIMITED"
    assert limited["error"]["retry_after_seconds"] == 40
    as_user({"email": "other@b.c"})
    assert _run(scenario="traffic_overview")["success"] is True
    as_user({"email": "a@b.c"})
    clock["t"] += 40
    assert _run(scenario="traffic_overview")["success"] is True


def test_tool_data_is_deterministic_and_formatted():
    first = _run(scenario="keyword_ranking", site="shop")
    assert first == _run(scenario="keyword_ranking", site="shop")
    assert first["data"] != _run(scenario="keyword_ranking", site="blog")["data"]
    csv_data = _run(scenario="keyword_ranking", site="shop", export_format="csv")["data"]
    lines = csv_data["content"].splitlines()
    assert lines[0] == ",".join(first["data"]["columns"])
    assert len(lines) == 1 + first["data"]["row_count"]


def test_governed_run_as_the_router_composes_it(monkeypatch, as_user):
    monkeypatch.setenv(inst.QUOTA_ENV, "1")
    as_user({"email": "a@b.c", "user_id": "u1"})
    governed = inst.telemetry_wrap(inst.quota_wrap(tool.quillon_run), module="quillon",
                                   dimension_resolver=telemetry_dimensions)

    def run(**kwargs):
        return _run(tool_fn=governed, session_id=None, jwt=None, **kwargs)

    assert run(scenario="nope")["error"]["code"] == "QUILLON_SCENARIO_NOT_FOUND"  # gives its unit back
    ok = run(scenario="traffic_overview", wait=True)
    assert ok["success"] is True and ok["quota"]["remaining_today"] == 0 and ok["quota"]["cost"] == 1
    assert run(scenario="traffic_overview")["error"]["code"] == "QUILLON_QUOTA_INSUFFICIENT"
    outcomes = {s["dimensions"]["scenario"]: s["outcomes"] for s in inst.telemetry_snapshot()}
    assert outcomes == {"unknown": {"QUILLON_SCENARIO_NOT_FOUND": 1},
                        "traffic_overview": {"success": 1, "QUILLON_QUOTA_INSUFFICIENT": 1}}

