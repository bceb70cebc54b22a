"""The service app (gate in front of the FastAPI app with the scenario router) under real
uvicorn on loopback, keys verified by a real account backend, driven by a real HTTP client."""
import asyncio
import os
import re
import socket

import httpx
import pytest
import uvicorn

from vexlo.mcp import instrumentation
from vexlo.mcp.tools import quillon as tool_module
from vexlo.quillon.services import QuillonApiManager
from vexlo.server.app import create_app
from vexlo.server.settings import Settings

from tests.support.serving import serve_during  # noqa: E402

KEY = "vk_router_e2e_7f3a9c"
USER = {"user_id": "u-42", "email": "ada@example.com", "allowed_tools": ["quillon_run"], "permission_enabled": True}
RUN = "/api/v1/quillon/run"
SCENARIOS = "/api/v1/quillon/scenarios"
AUTH = {"Authorization": f"Bearer {KEY}"}
LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00 pid=(\d+) \[QUILLON-TRACE\] (.*)$")
IMPORT_LINES = [f"import_{step} module={module}"
                for module in ("vexlo.quillon.api.scenarios", "vexlo.mcp.instrumentation", "vexlo.mcp.tools.quillon")
                for step in ("start", "done")]


@pytest.fixture
def service(wg, account_backend, tmp_path, monkeypatch):
    """serve(body, **env): runs `await body(client)` against the service app under uvicorn, with
    fresh quota, rate-limit and telemetry state and the given VEXLO_* variables."""
    for name in ("VEXLO_CORS_ORIGINS", instrumentation.QUOTA_ENV, tool_module.RATE_ENV):
        monkeypatch.delenv(name, raising=False)

    def reset():
        instrumentation.reset_quota()
        instrumentation.reset_telemetry()
        tool_module.reset_rate_limits()

    def serve(body, **env):
        for name, value in env.items():
            monkeypatch.setenv(name, value)
        settings = Settings(data_dir=tmp_path / "data", auth_verify_url=account_backend.url)
        settings.validate()
        gate = create_app(settings)
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind(("127.0.0.1", 0))
        url = "http://127.0.0.1:%d" % sock.getsockname()[1]
        server = uvicorn.Server(uvicorn.Config(gate, log_config=None, log_level="warning", access_log=False,
                                               lifespan="off", ws="none", timeout_graceful_shutdown=2))

        async def run():
            async with httpx.AsyncClient(base_url=url, timeout=10, trust_env=False) as client:
                return await body(client)

        async def main():
            return await serve_during(server, sock, gate, run)

        reset()
        try:
            return asyncio.run(main())
        finally:
            sock.close()

    yield serve
    reset()


def messages(wg):
    """Messages of the trace file; every line is framed and written by this process."""
    path = wg._QUILLON_TRACE_FILE
    if not path.exists():
        return []
    out = []
    for line in path.read_text("utf-8").splitlines():
        pid, message = LINE.match(line).groups()
        assert int(pid) == os.getpid()
        out.append(message)
    return out


def without_elapsed(lines):
    return [re.sub(r" elapsed_ms=\d+$", "", line) for line in lines]


def test_run_with_a_valid_key_and_its_trace(wg, service, account_backend):
    account_backend.allow(KEY, **USER)

    async def body(client):
        return await client.post(RUN, headers=AUTH, json={"scenario": "traffic_overview", "site": "eu-1"})

    response = service(body, VEXLO_QUILLON_DAILY_QUOTA="3")

    assert response.status_code == 200
    assert "retry-after" not in response.headers
    assert response.json() == {
        "success": True,
        "data": QuillonApiManager().run("traffic_overview", site="eu-1"),
        "error": None,
        "quota": {"cost": 1, "daily_limit": 3, "used_today": 1, "remaining_today": 2},
    }
    # The backend's identity reached the host dependency and the quota, which counts per e-mail.
    assert [r.api_key for r in account_backend.requests] == [KEY]
    assert instrumentation.quota_usage() == {"email:ada@example.com": 1}

    sent = ",".join(name.lower() for name in response.request.headers.keys())
    lines = messages(wg)
    assert all(re.search(r" elapsed_ms=\d+$", line) for line in lines if "elapsed_ms=" in line)
    assert without_elapsed(lines) == [
        f"request_start method=POST path={RUN} query_keys= headers={sent}",
        f"auth_verify_start path={RUN} has_api_key=True mode=remote",
        f"auth_verify_done path={RUN} valid=True",
        f"app_dispatch_start path={RUN}",
        f"request_body_chunk bytes={len(response.request.content)} more_body=False",
        "route_enter path=/api/v1/quillon/run scenario=traffic_overview site=eu-1",
        "route_identity_resolved has_user_email=True",
        *IMPORT_LINES,
        "api_start scenario=traffic_overview site=eu-1 export_format=None wait=True",
        "governance_ready scenario=traffic_overview",
        "api_done scenario=traffic_overview site=eu-1 success=True",
        f"app_dispatch_done path={RUN} response_started=True response_complete=True",
    ]


@pytest.mark.parametrize("env, allowed, code", [
    ({"VEXLO_QUILLON_DAILY_QUOTA": "2"}, 2, "QUILLON_QUOTA_INSUFFICIENT"),
    ({"VEXLO_QUILLON_RATE_PER_MINUTE": "1"}, 1, "QUILLON_RATE_LIMITED"),
], ids=["daily-quota", "rate-limit"])
def test_spent_allowance_answers_429_with_the_envelope(wg, service, account_backend, env, allowed, code):
    account_backend.allow(KEY, **USER)

    async def body(client):
        return [await client.post(RUN, headers=AUTH, json={"scenario": "keyword_ranking"})
                for _ in range(allowed + 1)]

    responses = service(body, **env)

    assert [r.status_code for r in responses] == [200] * allowed + [429]
    refused = responses[-1]
    envelope = refused.json()
    assert envelope["success"] is False and envelope["data"] is None
    assert envelope["error"]["code"] == code
    retry = envelope["error"]["retry_after_seconds"]
    assert isinstance(retry, int) and retry > 0
    assert refused.headers["retry-after"] == str(retry)
    assert refused.headers["content-type"] == "application/json"
    # A refused run is a reported failure, not an exception: it is traced as done.
    assert without_elapsed(messages(wg))[-2] == "api_done scenario=keyword_ranking site=None success=False"


def test_scenario_list_needs_no_key(wg, service, account_backend):
    async def body(client):
        return await client.get(SCENARIOS)

    response = service(body)

    assert response.status_code == 200
    assert response.json() == {"success": True, "data": QuillonApiManager().scenarios(), "error": None}
    assert account_backend.count == 0
    assert messages(wg) == []  # not a protected path, and the list route writes no trace line


def test_accepted_key_without_an_account_email_is_refused_by_the_host(wg, service, account_backend):
    account_backend.allow(KEY, user_id="u-7")  # the backend names no e-mail

    async def body(client):
        return await client.post(RUN, headers=AUTH, json={"scenario": "traffic_overview"})

    response = service(body)

    assert response.status_code == 401
    assert response.json()["error"]["code"] == "UNAUTHENTICATED"
    lines = without_elapsed(messages(wg))
    assert f"app_dispatch_start path={RUN}" in lines
    assert not any(line.startswith("route_enter") for line in lines)
    assert instrumentation.quota_usage() == {}
