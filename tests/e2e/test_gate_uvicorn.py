"""The gate in remote verification mode, end to end: a real client, real uvicorn, a real
account backend, all on loopback."""
import httpx
import pytest

from tests.support.account_backend import INVALID, reply

pytestmark = pytest.mark.baseline_too

KEY = "vk_e2e_51c2"
USER = {"user_id": "u-42", "email": "ada@example.com", "allowed_tools": ["quillon_run", "quillon_list"],
        "permission_enabled": True}
BODY_401 = b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"invalid_api_key"}'
BODY_503 = (b'{"error":"Service Unavailable","message":"API Key verification service temporarily unavailable",'
            b'"reason":"auth_service_unavailable"}')


@pytest.fixture
def http():
    # trust_env=False: nothing from the environment may route loopback requests elsewhere.
    with httpx.Client(trust_env=False, timeout=5.0) as client:
        yield client


@pytest.fixture
def served(gate_server, account_backend):
    return gate_server(auth_verify_url=account_backend.url)


def header_names(response):
    return [name.lower() for name, _ in response.headers.raw]


def assert_401(response):
    assert response.status_code == 401
    assert response.content == BODY_401
    assert response.headers["content-type"] == "application/json"
    assert response.headers["www-authenticate"] == 'Bearer realm="vexlo-mcp"'
    names = header_names(response)
    assert names.index(b"content-type") < names.index(b"www-authenticate")
    assert b"retry-after" not in names


def assert_503(response):
    assert response.status_code == 503
    assert response.content == BODY_503
    assert response.headers["content-type"] == "application/json"
    assert response.headers["retry-after"] == "5"
    names = header_names(response)
    assert names.index(b"content-type") < names.index(b"retry-after")
    assert b"www-authenticate" not in names


CREDENTIALS = [
    pytest.param({"headers": {"Authorization": f"Bearer {KEY}"}}, id="authorization"),
    pytest.param({"params": {"api_key": KEY}}, id="query"),
    pytest.param({"headers": {"X-MCP-Proxy-Auth": f"bearer {KEY}"}}, id="proxy-auth"),
]


@pytest.mark.parametrize("credential", CREDENTIALS)
def test_valid_key_reaches_the_app_with_its_identity(served, account_backend, http, credential):
    account_backend.allow(KEY, **USER)

    response = http.get(served.url + "/sse", **credential)

    assert response.status_code == 200
    seen = response.json()
    assert seen["scope"] == [
        ["mcp_api_key", KEY], ["mcp_auth_mode", "remote"], ["mcp_user_id", "u-42"],
        ["mcp_user_email", "ada@example.com"], ["mcp_allowed_tools", ["quillon_run", "quillon_list"]],
        ["mcp_permission_enabled", True],
    ]
    assert seen["ctx"] == [
        ["api_key", KEY], ["auth_mode", "remote"], ["user_id", "u-42"], ["email", "ada@example.com"],
        ["allowed_tools", ["quillon_run", "quillon_list"]], ["permission_enabled", True],
    ]
    [asked] = account_backend.requests
    assert asked.params == {"api_key": [KEY]}


def test_identity_fields_the_backend_leaves_out_reach_the_app_as_none(served, account_backend, http):
    account_backend.allow(KEY)

    response = http.get(served.url + "/sse", headers={"Authorization": f"Bearer {KEY}"})

    assert response.status_code == 200
    assert dict(response.json()["scope"]) == {
        "mcp_api_key": KEY, "mcp_auth_mode": "remote", "mcp_user_id": None, "mcp_user_email": None,
        "mcp_allowed_tools": None, "mcp_permission_enabled": None,
    }


@pytest.mark.parametrize("credential, answer, asked", [
    pytest.param({}, None, 0, id="no-key"),
    pytest.param({"headers": {"Authorization": "Basic dXNlcjpwYXNz"}}, None, 0, id="basic-scheme"),
    pytest.param({"headers": {"Authorization": "Bearer wrong"}}, INVALID, 1, id="valid-false"),
    pytest.param({"params": {"api_key": "wrong"}}, reply(401), 1, id="backend-401"),
    pytest.param({"params": {"api_key": "wrong"}}, reply(403), 1, id="backend-403"),
])
def test_missing_or_rejected_key_gets_401(served, account_backend, http, credential, answer, asked):
    if answer is not None:
        account_backend.set_key("wrong", answer)

    response = http.get(served.url + "/sse", **credential)

    assert_401(response)
    assert served.app.calls == 0
    assert account_backend.count == asked


def test_fixed_key_is_not_consulted_in_remote_mode(gate_server, account_backend, http):
    served = gate_server(auth_verify_url=account_backend.url, api_key=KEY)
    account_backend.deny(KEY)

    assert_401(http.get(served.url + "/sse", headers={"Authorization": f"Bearer {KEY}"}))
    assert account_backend.count == 1


def _refused_port(gate_server, backend):
    return gate_server(auth_verify_url=backend.refused_url)


def _went_down(gate_server, backend):
    served = gate_server(auth_verify_url=backend.url)
    backend.refuse()
    return served


def _server_error(gate_server, backend):
    backend.push(reply(500))
    return gate_server(auth_verify_url=backend.url)


def _hangs(gate_server, backend):
    backend.push(reply(200, json={"valid": True}, delay=3.0))  # released at teardown
    return gate_server(auth_verify_url=backend.url)


@pytest.mark.parametrize("outage", [_refused_port, _went_down, _server_error, _hangs],
                         ids=["refused", "went-down", "500", "read-timeout"])
def test_unreachable_backend_gets_503(wg, gate_server, account_backend, http, monkeypatch, outage):
    monkeypatch.setattr(wg, "_VERIFY_READ_TIMEOUT_SECONDS", 0.5)
    account_backend.allow(KEY)
    served = outage(gate_server, account_backend)

    assert_503(http.get(served.url + "/sse", headers={"Authorization": f"Bearer {KEY}"}))
    assert served.app.calls == 0


def test_revoked_key_is_accepted_while_cached_and_refused_after_60s(served, account_backend, http,
                                                                    wall_clock):
    start = wall_clock.now
    account_backend.allow(KEY, **USER)

    def call():
        return http.get(served.url + "/sse", params={"api_key": KEY})

    assert call().status_code == 200
    account_backend.deny(KEY)
    assert call().status_code == 200
    wall_clock.now = start + 59.9
    assert call().status_code == 200
    assert account_backend.count == 1

    wall_clock.now = start + 60
    assert_401(call())
    assert account_backend.count == 2
    # The negative answer dropped the entry, so an outage now finds nothing to fall back on.
    account_backend.refuse()
    assert_503(call())


def test_outage_is_bridged_for_300s_then_503(served, account_backend, http, wall_clock):
    start = wall_clock.now
    account_backend.allow(KEY, **USER)

    def call():
        return http.get(served.url + "/sse", headers={"Authorization": f"Bearer {KEY}"})

    assert call().status_code == 200
    account_backend.refuse()
    for age in (59, 60, 299.9):
        wall_clock.now = start + age
        response = call()
        assert response.status_code == 200, age
        assert dict(response.json()["scope"])["mcp_user_id"] == "u-42"
    wall_clock.now = start + 300
    assert_503(call())

    account_backend.resume()
    assert call().status_code == 200
    assert account_backend.count == 2
