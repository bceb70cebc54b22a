"""Remote key verification against a live account backend on loopback: the request, the pooled
client, the 60 s cache, the 300 s grace during transient failures, and what is logged."""
import asyncio
import json
import logging
import sys

import httpx
import pytest

from tests.support.account_backend import reply

pytestmark = pytest.mark.baseline_too

KEY = "vk_live_3f9a"
USER = {"valid": True, "user_id": "u-17", "email": "ada@example.com",
        "allowed_tools": ["quillon_run"], "permission_enabled": True}
GRACE_MSG = "远程校验 API Key 临时失败(%s)，命中过期缓存宽限放行"
FAIL_MSG = "远程校验 API Key 失败且无可用缓存宽限: %s"
SHORT_READ_TIMEOUT = 0.5


def run(gate, coro):
    """Runs `coro` on a fresh loop, closing the gate's client before that loop goes away
    (its pooled connections belong to the loop)."""
    async def main():
        try:
            return await coro
        finally:
            aclose = getattr(gate._client, "aclose", None)
            if aclose is not None:
                await aclose()
    return asyncio.run(main())


def desc_of(fn, *args):
    """The failure description the gate derives from the exception `fn(*args)` raises."""
    try:
        fn(*args)
    except Exception as exc:
        return f"{type(exc).__name__}: {exc!r}"
    raise AssertionError("no exception")


def pool_limits(client):
    # httpx keeps the Limits only inside its transport's pool.
    pool = client._transport._pool
    return pool._max_connections, pool._max_keepalive_connections, pool._keepalive_expiry


class Prefix(str):
    """An expected description of which only the beginning is stable."""


def assert_desc(desc, expected):
    if isinstance(expected, Prefix):
        assert desc.startswith(expected), desc
    else:
        assert desc == expected


@pytest.fixture
def gate(make_gate, account_backend):
    return make_gate(auth_verify_url=account_backend.url)


@pytest.fixture
def warnings_logged(gate_log):
    def records():
        return [r for r in gate_log() if r.levelno >= logging.WARNING]
    return records


# -- the request ---------------------------------------------------------------------------------

def test_one_get_with_the_key_in_query_and_headers(wg, gate, account_backend):
    key = "vk 3f/9a&x=1+2?"  # needs encoding in a query string
    account_backend.allow(key)
    assert run(gate, gate._verify_remote(key)) == {"valid": True}

    [req] = account_backend.requests
    assert req.method == "GET"
    assert req.path == "/v1/mcp/verify-key"
    assert req.params == {"api_key": [key]}
    assert req.header_values("X-MCP-API-Key") == [key]
    assert req.header_values("X-Vexlo-Version") == [wg.__version__]
    names = req.header_names
    assert names.index("x-mcp-api-key") < names.index("x-vexlo-version")
    assert req.body == b""
    assert req.header("content-length") is None and req.header("transfer-encoding") is None


def test_planted_client_is_used_with_the_documented_call(wg, gate, account_backend):
    class Planted:
        calls = []

        # The url may come by position or by keyword, as httpx allows either.
        async def get(self, url, **options):
            self.calls.append((url, options))
            return httpx.Response(200, json=USER)

    planted = gate._client = Planted()
    assert gate._get_client() is planted
    assert run(gate, gate._verify_remote(KEY)) == USER
    assert account_backend.count == 0

    [(url, options)] = planted.calls
    assert url == account_backend.url
    assert options == {"params": {"api_key": KEY},
                       "headers": {"X-MCP-API-Key": KEY, "X-Vexlo-Version": wg.__version__}}
    assert list(options["headers"]) == ["X-MCP-API-Key", "X-Vexlo-Version"]


@pytest.mark.parametrize("key, url", [(None, "backend"), ("", "backend"), (KEY, ""), (KEY, None)],
                         ids=["no-key", "empty-key", "empty-url", "no-url"])
def test_nothing_to_check_asks_nobody(make_gate, account_backend, wall_clock, gate_log, key, url):
    gate = make_gate(auth_verify_url=account_backend.url if url == "backend" else url)
    account_backend.allow(KEY)
    # A fresh entry that must not be consulted either.
    gate._verify_cache[KEY] = (wall_clock.now, dict(USER))
    gate_log.clear()

    assert run(gate, gate._verify_remote(key)) is None
    assert account_backend.count == 0
    assert gate._client is None
    assert gate_log() == []


class _KeySubclass(str):
    pass


@pytest.mark.parametrize("bad", [b"key", 42, ["key"], _KeySubclass("key")],
                         ids=["bytes", "int", "list", "str-subclass"])
def test_key_of_another_type_is_refused(gate, account_backend, bad):
    account_backend.allow("key")
    with pytest.raises(TypeError, match="'api_key'"):
        run(gate, gate._verify_remote(bad))
    assert account_backend.count == 0


# -- the client ----------------------------------------------------------------------------------

def test_client_is_built_on_first_use_once_per_gate(make_gate, gate, account_backend):
    assert gate._client is None
    client = gate._get_client()
    assert isinstance(client, httpx.AsyncClient)
    assert gate._get_client() is client
    assert make_gate(auth_verify_url=account_backend.url)._get_client() is not client

    assert client.timeout == httpx.Timeout(5.0, connect=3.0)
    assert client.follow_redirects is False
    assert pool_limits(client) == (20, 10, 30.0)


def test_client_settings_are_read_when_it_is_built(wg, make_gate, account_backend, monkeypatch):
    for name, value in [("_VERIFY_READ_TIMEOUT_SECONDS", 0.25), ("_VERIFY_CONNECT_TIMEOUT_SECONDS", 0.75),
                        ("_VERIFY_MAX_CONNECTIONS", 7), ("_VERIFY_MAX_KEEPALIVE", 3),
                        ("_VERIFY_KEEPALIVE_EXPIRY_SECONDS", 1.5)]:
        monkeypatch.setattr(wg, name, value)
    client = make_gate(auth_verify_url=account_backend.url)._get_client()
    assert client.timeout == httpx.Timeout(0.25, connect=0.75)
    assert pool_limits(client) == (7, 3, 1.5)


def test_checks_reuse_one_client_and_its_connection(gate, account_backend):
    account_backend.allow("k1")
    account_backend.allow("k2")

    async def scenario():
        await gate._verify_remote("k1")
        client = gate._client
        await gate._verify_remote("k2")
        return client

    first_client = run(gate, scenario())
    assert gate._client is first_client
    first, second = account_backend.requests
    assert first.peer == second.peer  # keep-alive, not a connection per check


def test_ten_concurrent_checks_of_an_uncached_key_send_ten_requests(gate, account_backend):
    account_backend.set_key(KEY, reply(200, json=USER, delay=0.2))

    async def scenario():
        return await asyncio.gather(*(gate._verify_remote(KEY) for _ in range(10)))

    results = run(gate, scenario())
    assert results == [USER] * 10
    assert account_backend.count == 10
    assert list(gate._verify_cache) == [KEY]


# -- answers of the backend ----------------------------------------------------------------------

@pytest.mark.parametrize("valid", [True, 1, -1, 0.5, "no", [0], {"x": None}],
                         ids=["true", "one", "minus-one", "half", "text", "list", "object"])
def test_truthy_valid_accepts_and_caches_the_whole_reply(gate, account_backend, wall_clock,
                                                          warnings_logged, valid):
    body = {**USER, "valid": valid, "plan": {"tier": "pro"}}
    account_backend.push(reply(200, json=body))

    async def scenario():
        return await gate._verify_remote(KEY), await gate._verify_remote(KEY)

    first, second = run(gate, scenario())
    assert first == body
    assert second is first
    assert gate._verify_cache[KEY] == (wall_clock.now, body)
    assert gate._verify_cache[KEY][1] is first
    assert account_backend.count == 1
    assert warnings_logged() == []


NEGATIVES = [
    pytest.param(reply(200, json={"valid": value}), id=f"valid-{name}")
    for name, value in [("false", False), ("null", None), ("zero", 0), ("zero-float", 0.0),
                        ("empty-text", ""), ("empty-list", []), ("empty-object", {})]
] + [
    pytest.param(reply(200, json={"user_id": "u-17"}), id="valid-missing"),
    pytest.param(reply(401), id="401"),
    pytest.param(reply(401, json={"valid": True}), id="401-body-ignored"),
    pytest.param(reply(403, body="forbidden"), id="403"),
]


@pytest.mark.parametrize("answer", NEGATIVES)
def test_authoritative_negative_drops_the_cached_success(gate, account_backend, wall_clock,
                                                         gate_log, answer):
    # Past its fresh period but well inside the grace window: a negative must still win.
    gate._verify_cache[KEY] = (wall_clock.now - 100, dict(USER))
    account_backend.push(answer)
    gate_log.clear()

    assert run(gate, gate._verify_remote(KEY)) is None
    assert KEY not in gate._verify_cache
    assert account_backend.count == 1
    assert gate_log() == []


def _status(code, **kwargs):
    def program(backend):
        backend.push(reply(code, **kwargs))
        return backend.url
    return program


def _redirect(code):
    def program(backend):
        # Following the redirect would reach an answer that accepts the key.
        backend.allow(KEY)
        backend.push(reply(code, headers=[("Location", backend.url + "?api_key=" + KEY)]))
        return backend.url
    return program


def _body(raw):
    def program(backend):
        backend.push(reply(200, body=raw, headers=[("Content-Type", "application/json")]))
        return backend.url
    return program


def _refused(backend):
    return backend.refused_url


def _hanging(backend):
    backend.push(reply(200, json=USER, delay=3.0))  # released at teardown
    return backend.url


TRANSIENT = [
    pytest.param(_status(500), "HTTP 500", 1, id="500"),
    pytest.param(_status(502, body="bad gateway"), "HTTP 502", 1, id="502"),
    pytest.param(_status(503, headers=[("Retry-After", "1")]), "HTTP 503", 1, id="503"),
    pytest.param(_status(404), "HTTP 404", 1, id="404"),
    pytest.param(_status(429, json={"valid": False}), "HTTP 429", 1, id="429"),
    pytest.param(_status(400, json={"valid": False}), "HTTP 400", 1, id="400"),
    pytest.param(_status(201, json=USER), "HTTP 201", 1, id="201-is-not-200"),
    pytest.param(_status(204), "HTTP 204", 1, id="204"),
    pytest.param(_redirect(302), "HTTP 302", 1, id="302-not-followed"),
    pytest.param(_redirect(307), "HTTP 307", 1, id="307-not-followed"),
    pytest.param(_redirect(301), "HTTP 301", 1, id="301-not-followed"),
    pytest.param(_body(b"<html>upstream down</html>"), desc_of(json.loads, b"<html>upstream down</html>"),
                 1, id="not-json"),
    pytest.param(_body(b""), desc_of(json.loads, b""), 1, id="empty-body"),
    pytest.param(_body(b'[{"valid": true}]'), desc_of(lambda: [].get), 1, id="json-array"),
    pytest.param(_body(b'"valid"'), desc_of(lambda: "".get), 1, id="json-string"),
    pytest.param(_body(b"null"), desc_of(lambda: None.get), 1, id="json-null"),
    pytest.param(_refused, Prefix("ConnectError: ConnectError("), 0, id="refused"),
    pytest.param(_hanging, Prefix("ReadTimeout: ReadTimeout("), 1, id="read-timeout"),
]


@pytest.fixture
def short_read_timeout(wg, monkeypatch):
    monkeypatch.setattr(wg, "_VERIFY_READ_TIMEOUT_SECONDS", SHORT_READ_TIMEOUT)


@pytest.mark.usefixtures("short_read_timeout")
@pytest.mark.parametrize("fault, expected, sent", TRANSIENT)
def test_transient_failure_without_cache_is_unavailable(wg, make_gate, account_backend, wall_clock,
                                                        warnings_logged, fault, expected, sent):
    gate = make_gate(auth_verify_url=fault(account_backend))
    with pytest.raises(wg.ApiKeyVerificationUnavailable) as info:
        run(gate, gate._verify_remote(KEY))

    desc = str(info.value)
    assert_desc(desc, expected)
    assert info.value.args == (desc,)
    [record] = warnings_logged()
    assert (record.levelno, record.msg, record.args) == (logging.WARNING, FAIL_MSG, (desc,))
    assert gate._verify_cache == {}
    assert account_backend.count == sent


@pytest.mark.usefixtures("short_read_timeout")
@pytest.mark.parametrize("fault, expected, sent", TRANSIENT)
def test_transient_failure_is_bridged_by_a_cached_success(make_gate, account_backend, wall_clock,
                                                          warnings_logged, fault, expected, sent):
    gate = make_gate(auth_verify_url=fault(account_backend))
    entry = gate._verify_cache[KEY] = (wall_clock.now - 120, dict(USER))

    assert run(gate, gate._verify_remote(KEY)) is entry[1]

    [record] = warnings_logged()
    assert (record.levelno, record.msg) == (logging.WARNING, GRACE_MSG)
    [desc] = record.args
    assert_desc(desc, expected)
    assert gate._verify_cache[KEY] is entry  # a grace answer does not refresh the entry
    assert account_backend.count == sent


# -- ages: fresh period and grace window ---------------------------------------------------------

@pytest.mark.parametrize("age, asks", [(0, False), (59.9, False), (60, True), (61, True), (-3600, False)],
                         ids=["new", "59.9s", "60s", "61s", "clock-stepped-back"])
def test_fresh_period(gate, account_backend, wall_clock, age, asks):
    planted = dict(USER, user_id="cached")
    gate._verify_cache[KEY] = (wall_clock.now - age, planted)
    account_backend.allow(KEY, user_id="asked")

    result = run(gate, gate._verify_remote(KEY))

    if asks:
        assert result == {"valid": True, "user_id": "asked"}
        assert gate._verify_cache[KEY] == (wall_clock.now, result)
        assert account_backend.count == 1
    else:
        assert result is planted
        assert account_backend.count == 0


@pytest.mark.parametrize("age, graced", [(60, True), (299.9, True), (300, False), (1000, False)],
                         ids=["60s", "299.9s", "300s", "1000s"])
def test_grace_window(wg, gate, account_backend, wall_clock, warnings_logged, age, graced):
    entry = gate._verify_cache[KEY] = (wall_clock.now - age, dict(USER))
    account_backend.push(reply(502))

    if graced:
        assert run(gate, gate._verify_remote(KEY)) is entry[1]
        expected_msg = GRACE_MSG
    else:
        with pytest.raises(wg.ApiKeyVerificationUnavailable, match="^HTTP 502$"):
            run(gate, gate._verify_remote(KEY))
        expected_msg = FAIL_MSG
    [record] = warnings_logged()
    assert (record.msg, record.args) == (expected_msg, ("HTTP 502",))
    # Too old to use is not a reason to delete: only a negative answer removes an entry.
    assert gate._verify_cache[KEY] is entry


def test_cache_time_is_taken_before_the_request(gate, account_backend, wall_clock):
    data = account_backend.allow(KEY, user_id="u-17")
    start = wall_clock.now
    # The backend takes 5 s (of wall clock) to answer.
    account_backend.on_request = lambda request: wall_clock.advance(5)

    async def scenario():
        first = await gate._verify_remote(KEY)
        account_backend.on_request = None
        wall_clock.now = start + 59.5
        served = await gate._verify_remote(KEY)
        wall_clock.now = start + 60
        asked = await gate._verify_remote(KEY)
        return first, served, asked

    first, served, asked = run(gate, scenario())
    assert first == data and served is first
    assert asked == data and asked is not first
    assert account_backend.count == 2
    assert gate._verify_cache[KEY] == (start + 60, asked)


def test_grace_uses_the_entry_read_before_the_request(gate, account_backend, wall_clock, warnings_logged):
    entry = gate._verify_cache[KEY] = (wall_clock.now - 100, dict(USER))
    account_backend.push(reply(502, delay=0.3))

    async def scenario():
        check = asyncio.create_task(gate._verify_remote(KEY))
        await account_backend.arrived(1)
        # A concurrent negative answer removes the entry while this check waits.
        del gate._verify_cache[KEY]
        return await check

    assert run(gate, scenario()) is entry[1]
    assert KEY not in gate._verify_cache
    assert [r.msg for r in warnings_logged()] == [GRACE_MSG]


# -- failures outside the backend ----------------------------------------------------------------

@pytest.mark.parametrize("cached", [False, True], ids=["uncached", "cached"])
def test_cancellation_leaves_the_cache_alone(gate, account_backend, wall_clock, gate_log, cached):
    entry = (wall_clock.now - 100, dict(USER))
    if cached:
        gate._verify_cache[KEY] = entry
    account_backend.push(reply(200, json=USER, delay=3.0))  # released at teardown
    gate_log.clear()

    async def scenario():
        check = asyncio.create_task(gate._verify_remote(KEY))
        await account_backend.arrived(1)
        check.cancel()
        with pytest.raises(asyncio.CancelledError):
            await check

    run(gate, scenario())
    assert gate._verify_cache == ({KEY: entry} if cached else {})
    assert gate_log() == []


class _GiveUpOnFailure(logging.Handler):
    """At each logged failure, cancels the next of the given checks, from inside the failing
    check: a caller that gives up at the very moment a connection slot frees up."""

    def __init__(self, checks):
        super().__init__()
        self.checks = list(checks)

    def emit(self, record):
        if record.msg == FAIL_MSG and self.checks:
            self.checks.pop(0).cancel()


@pytest.mark.parametrize("slots", [1, 3])
def test_checks_given_up_during_an_outage_do_not_wedge_verification(wg, make_gate, account_backend,
                                                                     monkeypatch, slots):
    # Twice as many checks as connections while the backend refuses: each failing check frees a
    # slot for a waiting one, which is cancelled before it runs. Every slot must come back, so
    # that once the backend answers again, checks get answers rather than 503 until a restart.
    monkeypatch.setattr(wg, "_VERIFY_MAX_CONNECTIONS", slots)
    monkeypatch.setattr(wg, "_VERIFY_READ_TIMEOUT_SECONDS", SHORT_READ_TIMEOUT)
    gate = make_gate(auth_verify_url=account_backend.url)
    account_backend.allow(KEY, **{k: v for k, v in USER.items() if k != "valid"})
    logger = logging.getLogger("vexlo.mcp")

    async def scenario():
        account_backend.refuse()
        first = [asyncio.create_task(gate._verify_remote(KEY)) for _ in range(slots)]
        await asyncio.sleep(0)
        waiting = [asyncio.create_task(gate._verify_remote(KEY)) for _ in range(slots)]
        handler = _GiveUpOnFailure(waiting)
        logger.addHandler(handler)
        try:
            failed = await asyncio.gather(*first, *waiting, return_exceptions=True)
        finally:
            logger.removeHandler(handler)
        assert [type(r) for r in failed] == ([wg.ApiKeyVerificationUnavailable] * slots
                                             + [asyncio.CancelledError] * slots)
        account_backend.resume()
        return await asyncio.gather(*(gate._verify_remote(KEY) for _ in range(slots + 1)),
                                    gate._verify_remote("vk_unknown"))

    *known, unknown = run(gate, scenario())
    assert known == [USER] * (slots + 1)
    assert unknown is None


def test_a_pool_that_lost_its_slots_is_replaced(wg, make_gate, account_backend, monkeypatch):
    # Whatever leaks them, connections that no request owns hold the gate's own pool full: the
    # gate notices that its pool timed out although it let in no more checks than it has
    # connections, drops that client, and the next check goes through a new one.
    import httpcore

    monkeypatch.setattr(wg, "_VERIFY_READ_TIMEOUT_SECONDS", SHORT_READ_TIMEOUT)
    gate = make_gate(auth_verify_url=account_backend.url)
    account_backend.allow(KEY, **{k: v for k, v in USER.items() if k != "valid"})

    async def scenario():
        assert await gate._verify_remote("vk_first") is None
        wedged = gate._client
        pool = wedged._transport._pool
        origin = httpcore.URL(account_backend.url).origin
        for idle in pool._connections:
            await idle.aclose()
        pool._connections[:] = [httpcore.AsyncHTTPConnection(origin) for _ in range(pool._max_connections)]
        with pytest.raises(wg.ApiKeyVerificationUnavailable, match="PoolTimeout"):
            await gate._verify_remote(KEY)
        answers = [await gate._verify_remote(KEY), await gate._verify_remote("vk_unknown")]
        return wedged, answers

    wedged, answers = run(gate, scenario())
    assert answers == [USER, None]
    assert gate._client is not wedged and wedged.is_closed


@pytest.mark.parametrize("cached", [False, True], ids=["uncached", "cached"])
def test_missing_httpx_is_a_transient_failure(wg, gate, account_backend, wall_clock, warnings_logged,
                                              monkeypatch, cached):
    account_backend.allow(KEY)
    entry = (wall_clock.now - 100, dict(USER))
    if cached:
        gate._verify_cache[KEY] = entry
    monkeypatch.setitem(sys.modules, "httpx", None)

    if cached:
        assert run(gate, gate._verify_remote(KEY)) is entry[1]
        [record] = warnings_logged()
        assert record.msg == GRACE_MSG
        [desc] = record.args
    else:
        with pytest.raises(wg.ApiKeyVerificationUnavailable) as info:
            run(gate, gate._verify_remote(KEY))
        desc = str(info.value)
        [record] = warnings_logged()
        assert (record.msg, record.args) == (FAIL_MSG, (desc,))
    assert desc.startswith(("ModuleNotFoundError: ", "ImportError: ")) and "httpx" in desc
    assert gate._client is None
    assert account_backend.count == 0


# -- keys that cannot travel in a header ---------------------------------------------------------

@pytest.mark.parametrize("key", ["vk_é", " vk", "vk ", "vk\t", "vk\x01x", "vk\x7f", "vk\r\nX-Evil: 1"],
                         ids=["non-ascii", "leading-space", "trailing-space", "trailing-tab", "control",
                              "delete", "crlf"])
def test_untransmittable_key_is_refused_without_asking_or_logging(gate, account_backend, gate_log, key):
    # The backend cannot have issued such a key; the HTTP client would refuse to send it, which
    # would otherwise read as an outage (503 forever) and put the key into the warning.
    assert run(gate, gate._verify_remote(key)) is None
    assert account_backend.count == 0
    assert gate_log() == []


def test_inner_blanks_still_reach_the_backend(gate, account_backend):
    account_backend.allow("vk a\tb")
    assert run(gate, gate._verify_remote("vk a\tb")) == {"valid": True}


# -- through the gate ------------------------------------------------------------------------------

@pytest.mark.parametrize("age, backend, status, user", [
    (10, None, None, "cached"),
    (100, 200, None, "asked"),
    (100, 502, None, "cached"),
    (1000, 502, 503, None),
], ids=["fresh", "stale-asked", "stale-graced", "too-old"])
def test_requests_use_the_cache_and_the_grace(make_gate, asgi, account_backend, wall_clock,
                                              age, backend, status, user):
    app = asgi.App()
    gate = make_gate(app, auth_verify_url=account_backend.url)
    gate._verify_cache[KEY] = (wall_clock.now - age, dict(USER, user_id="cached"))
    if backend == 200:
        account_backend.allow(KEY, user_id="asked")
        account_backend.on_request = lambda request: wall_clock.advance(5)
    elif backend == 502:
        account_backend.push(reply(502))
    asked_at = wall_clock.now
    ex = asgi.Exchange(asgi.scope(headers=[(b"authorization", f"Bearer {KEY}".encode())]))
    run(gate, gate(ex.scope, ex.receive, ex.send))
    assert account_backend.count == (backend is not None)
    assert ex.status == status
    assert [c and c["user_id"] for c in app.ctx_seen] == ([user] if user else [])
    if backend == 200:  # cached with the time read before asking
        assert gate._verify_cache[KEY][0] == asked_at
