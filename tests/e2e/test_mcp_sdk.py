"""The service's MCP server driven by the SDK's own client: real uvicorn on loopback, through the
gate, keys verified by the service's own key store (or one fixed key)."""
import asyncio
import contextlib
import logging
import socket

import httpx
import httpx2
import pytest
import uvicorn
from mcp import Client
from mcp.client.sse import sse_client
from mcp.client.streamable_http import streamable_http_client

from vexlo.mcp import instrumentation
from vexlo.mcp.context import mcp_request_ctx
from vexlo.mcp.tools import quillon as tool_module
from vexlo.quillon.services import QuillonApiManager
from vexlo.server.app import create_app
from vexlo.server.keystore import KeyStore
from vexlo.server.settings import Settings

from tests.support.serving import serve_during  # noqa: E402

FIXED_KEY = "fixed-mcp-key-0123456789"
TRANSPORTS = ["sse", "streamable-http"]
EXPECTED_TOOLS = {"quillon_run", "quillon_list_scenarios"}


@pytest.fixture
def service(wg, tmp_path, monkeypatch):
    """serve(body, api_key=None, settings=None, **env) runs `await body(base_url, store)` against the service
    under uvicorn (lifespan on) with fresh governance state; `store` is the embedded key store."""
    for name in ("VEXLO_CORS_ORIGINS", instrumentation.QUOTA_ENV, tool_module.RATE_ENV):
        monkeypatch.delenv(name, raising=False)

    def reset():
        instrumentation.reset_quota()
        instrumentation.reset_telemetry()
        tool_module.reset_rate_limits()

    def serve(body, api_key=None, settings=None, **env):
        for name, value in env.items():
            monkeypatch.setenv(name, value)
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        settings = Settings(data_dir=tmp_path / "data", port=sock.getsockname()[1], api_key=api_key,
                            **(settings or {}))
        settings.validate()
        store = KeyStore(settings.data_dir)
        store.initialise()
        gate = create_app(settings)
        server = uvicorn.Server(uvicorn.Config(gate, log_config=None, log_level="warning", access_log=False,
                                               lifespan="on", ws="none", timeout_graceful_shutdown=2))

        async def main():
            return await serve_during(server, sock, gate,
                                      lambda: asyncio.wait_for(body(settings.local_base_url, store), 30))

        reset()
        try:
            return asyncio.run(main())
        finally:
            sock.close()

    yield serve
    reset()


@contextlib.asynccontextmanager
async def connect(base, transport, key, placement="header", sessions=None, statuses=None):
    """An initialized SDK client; `sessions` collects the SSE session ids the server names,
    `statuses` the HTTP status of every response the client got."""
    path = "/sse" if transport == "sse" else "/mcp"
    headers = {"Authorization": f"Bearer {key}"} if key and placement == "header" else {}
    url = base + path + (f"?api_key={key}" if key and placement == "query" else "")
    statuses = [] if statuses is None else statuses

    async def note(response):
        statuses.append(response.status_code)

    def http_client(**kwargs):
        return httpx2.AsyncClient(event_hooks={"response": [note]}, trust_env=False, **kwargs)

    if transport == "sse":
        target = sse_client(url, headers=headers, httpx_client_factory=http_client,
                            on_session_created=None if sessions is None else sessions.append)
        async with Client(target) as client:
            yield client
    else:
        async with http_client(headers=headers, timeout=10) as http, \
                Client(streamable_http_client(url, http_client=http)) as client:
            yield client


async def run(client, scenario="traffic_overview", **arguments):
    result = await client.call_tool("quillon_run", {"scenario": scenario, **arguments})
    return result.is_error, result.structured_content


@pytest.fixture
def tool_calls(monkeypatch):
    """What the host tool received on each call, behind the real governance: the session id, the
    jwt and the e-mail of the request context. The real tool still runs."""
    seen = []
    real = tool_module.quillon_run

    async def recording(**kwargs):
        ctx = mcp_request_ctx.get() or {}
        seen.append((kwargs.get("session_id"), kwargs.get("jwt"), ctx.get("email")))
        return await real(**kwargs)

    monkeypatch.setattr(tool_module, "quillon_run", recording)
    return seen


@pytest.mark.parametrize("placement", ["header", "query"])
@pytest.mark.parametrize("transport", TRANSPORTS)
@pytest.mark.parametrize("mode", ["embedded", "fixed"])
def test_tools_listed_and_run_as_the_caller(service, tool_calls, mode, transport, placement):
    async def body(base, store):
        key = FIXED_KEY if mode == "fixed" else store.ensure_demo_key()
        sessions = []
        async with connect(base, transport, key, placement, sessions) as client:
            tools = (await client.list_tools()).tools
            listed = await client.call_tool("quillon_list_scenarios", {})
            outcome = await run(client, export_format="csv", site="eu-1")
        return key, sessions, tools, listed, outcome

    key, sessions, tools, listed, (failed, envelope) = service(
        body, api_key=FIXED_KEY if mode == "fixed" else None)

    assert {t.name for t in tools} == EXPECTED_TOOLS
    run_tool = next(t for t in tools if t.name == "quillon_run")
    assert run_tool.description and run_tool.input_schema["required"] == ["scenario"]
    assert all(p.get("description") for p in run_tool.input_schema["properties"].values())
    assert not listed.is_error
    assert listed.structured_content == {"scenarios": QuillonApiManager().scenarios()}
    session_id = sessions[0] if transport == "sse" else None
    if mode == "embedded":
        assert not failed
        assert envelope["data"] == QuillonApiManager().run("traffic_overview", site="eu-1", export_format="csv")
        assert tool_calls == [(session_id, key, "demo@vexlo.local")]
        assert instrumentation.quota_usage() == {"email:demo@vexlo.local": 1}
    else:
        # A shared key names no account: refused as the REST route refuses it, and nothing is counted.
        assert failed and envelope["error"]["code"] == "QUILLON_AUTH_ERROR"
        assert tool_calls == [(session_id, None, None)]
        assert instrumentation.quota_usage() == {}


@pytest.mark.parametrize("key", [None, "vx_not_a_key_0123456789"], ids=["no-key", "wrong-key"])
@pytest.mark.parametrize("transport", TRANSPORTS)
def test_no_or_wrong_key_is_refused_before_any_mcp_traffic(service, tool_calls, transport, key):
    async def body(base, store):
        store.ensure_demo_key()
        statuses = []
        with pytest.raises(Exception):
            async with connect(base, transport, key, statuses=statuses):
                pass
        async with httpx.AsyncClient(base_url=base, trust_env=False) as http:
            raw = [await http.get("/sse", headers={"Authorization": f"Bearer {key}"} if key else {}),
                   await http.post("/mcp", json={"jsonrpc": "2.0", "id": 1, "method": "tools/list"},
                                   params={"api_key": key} if key else {})]
        return statuses, raw

    statuses, raw = service(body)

    assert statuses and set(statuses) == {401}  # every request the client tried was refused
    assert [(r.status_code, r.json()["reason"]) for r in raw] == [(401, "invalid_api_key")] * 2
    assert tool_calls == []


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_two_users_at_once_each_run_as_themselves(service, transport):
    async def body(base, store):
        _, alice = store.add("alice@example.com")
        _, bob = store.add("bob@example.com")
        async with connect(base, transport, alice) as a, connect(base, transport, bob) as b:
            # Interleaved and concurrent: each call must count against its own session's account.
            first = await asyncio.gather(run(a), run(b), run(a))
            second = await run(a)
        return [*first, second]

    outcomes = service(body, VEXLO_QUILLON_DAILY_QUOTA="5")

    assert [(failed, e["quota"]["used_today"]) for failed, e in outcomes] == [(False, 1), (False, 1), (False, 2),
                                                                            (False, 3)]
    assert instrumentation.quota_usage() == {"email:alice@example.com": 3, "email:bob@example.com": 1}


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_rest_and_mcp_runs_draw_on_one_quota(service, transport):
    async def body(base, store):
        key = store.ensure_demo_key()
        async with httpx.AsyncClient(base_url=base, trust_env=False, timeout=10) as http:
            def rest():
                return http.post("/api/v1/quillon/run", headers={"Authorization": f"Bearer {key}"},
                                 json={"scenario": "keyword_ranking"})

            first = await rest()
            async with connect(base, transport, key) as client:
                mcp_runs = [await run(client), await run(client)]
            last = await rest()
        return first, mcp_runs, last

    first, (granted, refused), last = service(body, VEXLO_QUILLON_DAILY_QUOTA="2")

    assert first.status_code == 200 and first.json()["quota"]["used_today"] == 1
    assert granted == (False, granted[1]) and granted[1]["quota"]["used_today"] == 2
    assert refused[0] and refused[1]["error"]["code"] == "QUILLON_QUOTA_INSUFFICIENT"
    assert last.status_code == 429
    assert instrumentation.quota_usage() == {"email:demo@vexlo.local": 2}


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_revoked_key_opens_no_session_once_its_cached_answer_expires(service, wall_clock, transport):
    async def body(base, store):
        record, key = store.add("carol@example.com")
        async with connect(base, transport, key) as client:
            before = await run(client)
        store.revoke(str(record.id))
        async with connect(base, transport, key) as client:  # the gate's cached answer still stands
            await client.list_tools()
        wall_clock.advance(61)
        statuses = []
        with pytest.raises(Exception):
            async with connect(base, transport, key, statuses=statuses):
                pass
        return before, statuses

    (failed, _), statuses = service(body)

    assert not failed
    assert statuses and set(statuses) == {401}


def test_message_posts_reach_only_open_sessions(service, tool_calls):
    async def body(base, store):
        key = store.ensure_demo_key()
        sessions = []
        async with connect(base, "sse", key, sessions=sessions) as client:
            await client.list_tools()
        call = {"jsonrpc": "2.0", "id": 9, "method": "tools/call",
                "params": {"name": "quillon_run", "arguments": {"scenario": "traffic_overview"}}}
        async with httpx.AsyncClient(base_url=base, trust_env=False) as http:
            return [(await http.post("/messages/", params=params, json=call)).status_code
                    for params in ({"session_id": sessions[0]},          # closed with its stream
                                   {"session_id": "0" * 32},             # never issued
                                   {"session_id": "../x"}, {})]

    assert service(body) == [404, 404, 400, 400]
    assert tool_calls == []


def test_shutdown_with_an_open_sse_stream_ends_it_cleanly(service, caplog):
    async def body(base, store):
        key = store.ensure_demo_key()
        opened = asyncio.Event()

        async def listen():  # stays connected until the server ends the stream
            async with httpx.AsyncClient(base_url=base, trust_env=False, timeout=10) as http, \
                    http.stream("GET", "/sse", params={"api_key": key}) as stream:
                async for _ in stream.aiter_bytes():
                    opened.set()

        listener = asyncio.ensure_future(listen())
        await opened.wait()
        return listener

    service(body)

    # The SDK's endpoint answers once more after its stream ended; that must not become an error.
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]


@pytest.mark.parametrize("accept, status, media_type", [
    ("application/json, text/event-stream", 200, "application/json"),  # what the SDK's client sends
    ("application/json", 200, "application/json"),
    ("*/*", 200, "application/json"),
    ("text/event-stream", 406, "application/json"),  # the SDK's refusal, as before
])
def test_stateless_posts_are_answered_with_json_when_accepted(service, accept, status, media_type):
    async def body(base, store):
        async with httpx.AsyncClient(trust_env=False, timeout=10) as http:
            response = await http.post(base + "/mcp", json={"jsonrpc": "2.0", "id": 7, "method": "tools/list"},
                                       headers={"Authorization": f"Bearer {FIXED_KEY}", "Accept": accept})
        assert (response.status_code, response.headers["content-type"].split(";")[0]) == (status, media_type)
        if status == 200:
            reply = response.json()
            assert reply["id"] == 7 and {t["name"] for t in reply["result"]["tools"]} == EXPECTED_TOOLS

    service(body, api_key=FIXED_KEY)


def test_sse_sessions_capped_per_key_and_per_process_before_any_session_is_made(service):
    async def body(base, store):
        first, second, third = store.ensure_demo_key(), store.add("b@b.co")[1], store.add("c@b.co")[1]
        async with httpx.AsyncClient(base_url=base, trust_env=False, timeout=10) as http, \
                contextlib.AsyncExitStack() as streams:
            async def open_stream(key):
                response = await streams.enter_async_context(
                    http.stream("GET", "/sse", headers={"Authorization": f"Bearer {key}"}))
                if response.status_code != 200:
                    await response.aread()
                return response

            held = [await open_stream(first), await open_stream(first)]
            over_key = await open_stream(first)
            held.append(await open_stream(second))
            over_process = await open_stream(third)
            await held[0].aclose()  # a place comes free when a stream closes
            await asyncio.sleep(0.2)
            after_close = await open_stream(third)
            return [r.status_code for r in held], over_key, over_process, after_close.status_code

    held, over_key, over_process, after_close = service(
        body, settings={"sse_max_sessions": 3, "sse_max_sessions_per_key": 2})
    assert held == [200, 200, 200] and after_close == 200
    for refused, status, code in ((over_key, 429, "TOO_MANY_SSE_SESSIONS"), (over_process, 503, "SSE_CAPACITY_REACHED")):
        # Answered as JSON, not as a stream: the SDK never made a session for it.
        assert (refused.status_code, refused.json()["error"]["code"]) == (status, code)
        assert int(refused.headers["retry-after"]) > 0
