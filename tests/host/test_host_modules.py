"""Host modules the native gate and router call into: cors, context, errors, schemas, catalogue."""
import json

import pytest
from pydantic import ValidationError

from vexlo.api.cors import cors_headers_for_scope
from vexlo.api.errors import error_response, safe_exception_message
from vexlo.api.schemas.quillon import QuillonRunRequest
from vexlo.mcp import context
from vexlo.quillon.api.scenarios import telemetry_dimensions
from vexlo.quillon.services import QuillonApiManager


@pytest.fixture
def request_ctx():
    tokens = []

    def set_ctx(value):
        tokens.append(context.mcp_request_ctx.set(value))

    yield set_ctx
    for token in reversed(tokens):
        context.mcp_request_ctx.reset(token)


ORIGIN = b"https://app.example.com"


@pytest.mark.parametrize("scope, allowed", [
    ({"headers": [(b"origin", ORIGIN)]}, True),
    ({"headers": [(b"Origin", b"HTTPS://APP.EXAMPLE.COM/")]}, True),
    ({"headers": [(b"origin", b"https://evil.example.com")]}, False),
    ({"headers": []}, False),
    ({}, False),
    ({"headers": None}, False),
    ({"headers": [(b"origin",), None, ("origin", "x"), (b"origin", b"\xff")]}, False),
    ("not a scope", False),
])
def test_cors_headers_only_for_configured_origins(monkeypatch, scope, allowed):
    monkeypatch.setenv("VEXLO_CORS_ORIGINS", " https://app.example.com/ , http://localhost:5173")
    headers = cors_headers_for_scope(scope)
    assert isinstance(headers, list)
    if allowed:
        assert headers[0] == (b"access-control-allow-origin", scope["headers"][0][1])
        assert (b"vary", b"origin") in headers
        assert all(isinstance(n, bytes) and n == n.lower() and isinstance(v, bytes) for n, v in headers)
    else:
        assert headers == []


def test_cors_without_configuration_and_no_wildcard(monkeypatch):
    monkeypatch.delenv("VEXLO_CORS_ORIGINS", raising=False)
    assert cors_headers_for_scope({"headers": [(b"origin", ORIGIN)]}) == []
    monkeypatch.setenv("VEXLO_CORS_ORIGINS", "*")
    assert cors_headers_for_scope({"headers": [(b"origin", ORIGIN)]}) == []


def test_context_accessors(request_ctx):
    assert context.mcp_request_ctx.name == "mcp_request_ctx"
    assert context.get_current_session_id() is None and context.get_current_jwt() is None
    # What the gate sets carries neither a session nor a JWT.
    request_ctx({"api_key": "k", "auth_mode": "remote", "user_id": "u1", "email": "a@b.c",
                 "allowed_tools": None, "permission_enabled": False})
    assert context.get_current_session_id() is None and context.get_current_jwt() is None
    request_ctx({"session_id": "s-1", "jwt": "ey.j.w"})
    assert (context.get_current_session_id(), context.get_current_jwt()) == ("s-1", "ey.j.w")
    request_ctx({"session_id": 7, "jwt": ""})
    assert (context.get_current_session_id(), context.get_current_jwt()) == (None, None)


@pytest.mark.parametrize("ctx, session, expected", [
    ({"email": " A@B.c ", "user_id": "u1"}, "s", "email:a@b.c"),
    ({"email": None, "user_id": 42}, "s", "user:42"),
    ({"email": "", "user_id": None}, "s", "session:s"),
    ({"session_id": "ctx-s"}, None, "session:ctx-s"),
    (None, None, "anonymous"),
])
def test_current_principal_order(request_ctx, ctx, session, expected):
    request_ctx(ctx)
    assert context.current_principal(session) == expected


def test_error_response_envelope():
    resp = error_response(code="ValueError", message="nope", status_code=502)
    assert resp.status_code == 502
    assert json.loads(resp.body) == {"success": False, "data": None,
                                     "error": {"code": "ValueError", "message": "nope"}}


class _CustomValueError(ValueError):
    pass


class _Anything(Exception):
    pass


@pytest.mark.parametrize("exc", [
    ValueError("SELECT secret FROM t"), KeyError("secret"), _CustomValueError("secret"),
    TimeoutError("secret"), ConnectionRefusedError("secret"), ImportError("secret"),
    PermissionError("/secret/path"), _Anything("secret"), RuntimeError("secret"),
])
def test_safe_exception_message_never_leaks(exc):
    message = safe_exception_message(exc)
    assert isinstance(message, str) and message
    assert "secret" not in message and "SELECT" not in message


@pytest.mark.parametrize("body", [
    {"scenario": "traffic_overview"},
    {"scenario": "keyword_ranking", "site": "shop.example.com", "export_format": "csv", "wait": False},
])
def test_run_request_accepts(body):
    model = QuillonRunRequest.model_validate(body)
    dumped = model.model_dump(exclude_none=True)
    assert dumped["scenario"] == body["scenario"]
    assert None not in dumped.values()
    assert set(dumped) <= {"scenario", "site", "export_format", "wait"}


@pytest.mark.parametrize("body", [
    {}, {"scenario": ""}, {"scenario": "../etc"}, {"scenario": "a b"}, {"scenario": "x" * 65},
    {"scenario": "traffic_overview", "export_format": "xml"},
    {"scenario": "traffic_overview", "wait": "yes"},
    {"scenario": "traffic_overview", "site": " "},
    {"scenario": "traffic_overview", "jwt": "ey"},
    {"scenario": "traffic_overview", "session_id": "s"},
])
def test_run_request_refuses(body):
    with pytest.raises(ValidationError):
        QuillonRunRequest.model_validate(body)


def test_public_catalogue_is_json_and_hides_restricted():
    scenarios = QuillonApiManager().scenarios()
    json.dumps(scenarios)
    ids = {s["id"] for s in scenarios}
    assert "traffic_overview" in ids and "account_audit" not in ids
    assert all({"id", "title", "description", "params"} <= set(s) for s in scenarios)
    fresh = json.dumps(QuillonApiManager().scenarios())
    for param in scenarios[1]["params"]:  # callers get copies, down to the innermost lists
        for value in param.values():
            if isinstance(value, list):
                value.clear()
    scenarios[0]["params"].clear()
    assert json.dumps(QuillonApiManager().scenarios()) == fresh


@pytest.mark.parametrize("kwargs, expected", [
    ({"scenario": "traffic_overview", "site": "Shop.Example", "export_format": "csv",
      "jwt": "secret", "session_id": "sess"},
     {"scenario": "traffic_overview", "site": "shop.example", "export_format": "csv"}),
    ({"scenario": "made-up-" + "x" * 300, "export_format": ["json"]},
     {"scenario": "unknown", "site": "default", "export_format": "other"}),
])
def test_telemetry_dimensions_are_low_sensitivity(kwargs, expected):
    assert telemetry_dimensions(kwargs) == expected
