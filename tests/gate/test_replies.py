"""The gate's own 401 and 503 replies, byte for byte."""
import asyncio

import pytest

pytestmark = pytest.mark.baseline_too

CT = (b"content-type", b"application/json")
CHALLENGE = (b"www-authenticate", b'Bearer realm="vexlo-mcp"')
RETRY = (b"retry-after", b"5")
PREFIX_401 = b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"'
PREFIX_503 = (b'{"error":"Service Unavailable","message":'
              b'"API Key verification service temporarily unavailable","reason":"')

REPLIES = {401: ("_send_401", CHALLENGE, PREFIX_401), 503: ("_send_503", RETRY, PREFIX_503)}


def reply(gate, status, scope, exchange, *args, **kwargs):
    method = getattr(gate, REPLIES[status][0])
    asyncio.run(method(scope, exchange.send, *args, **kwargs))


@pytest.mark.parametrize("status", [401, 503])
@pytest.mark.parametrize("reason", ["invalid_api_key", "", "密钥_无效"])
@pytest.mark.parametrize("cors_pairs", [[], [(b"access-control-allow-origin", b"https://a.example"),
                                             (b"vary", b"Origin")]], ids=["no-cors", "cors"])
def test_reply_messages(make_gate, cors, asgi, status, reason, cors_pairs):
    cors.pairs = cors_pairs
    scope = asgi.scope("/api")
    ex = asgi.Exchange(scope)
    reply(make_gate(), status, scope, ex, reason)
    _, second_pair, prefix = REPLIES[status]
    start, body = ex.sent
    assert list(start) == ["type", "status", "headers"]
    assert start == {"type": "http.response.start", "status": status,
                     "headers": [CT, second_pair] + cors_pairs}
    assert type(start["status"]) is int
    assert list(body) == ["type", "body"]
    assert body == {"type": "http.response.body", "body": prefix + reason.encode() + b'"}'}
    assert cors.scopes == [scope] and cors.scopes[0] is scope


def test_reply_bodies_in_full(make_gate, cors, asgi):
    gate, ex = make_gate(), asgi.Exchange(asgi.scope())
    asyncio.run(gate._send_401(ex.scope, ex.send))
    asyncio.run(gate._send_503(scope=ex.scope, send=ex.send, reason="auth_service_unavailable"))
    assert [m["body"] for m in ex.sent[1::2]] == [
        b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"invalid_api_key"}',
        b'{"error":"Service Unavailable","message":"API Key verification service temporarily '
        b'unavailable","reason":"auth_service_unavailable"}',
    ]


def test_replies_do_not_share_header_lists(make_gate, cors, asgi):
    gate, ex = make_gate(), asgi.Exchange(asgi.scope())
    asyncio.run(gate._send_401(ex.scope, ex.send))
    ex.sent[0]["headers"].append((b"x-mutated", b"1"))
    asyncio.run(gate._send_401(ex.scope, ex.send))
    assert ex.sent[2]["headers"] == [CT, CHALLENGE]


@pytest.mark.parametrize("status", [401, 503])
@pytest.mark.parametrize("reason", [None, b"invalid_api_key", 401, type("S", (str,), {})("x")],
                         ids=["None", "bytes", "int", "str-subclass"])
def test_reason_must_be_str(make_gate, cors, asgi, status, reason):
    ex = asgi.Exchange(asgi.scope())
    with pytest.raises(TypeError) as info:
        reply(make_gate(), status, ex.scope, ex, reason=reason)
    assert str(info.value) == (
        f"Argument 'reason' has incorrect type (expected str, got {type(reason).__name__})")
    assert ex.sent == [] and cors.scopes == []


def test_503_requires_reason(make_gate, cors, asgi):
    ex = asgi.Exchange(asgi.scope())
    with pytest.raises(TypeError):
        asyncio.run(make_gate()._send_503(ex.scope, ex.send))


@pytest.mark.parametrize("status", [401, 503])
def test_failing_first_send_stops_the_reply(make_gate, cors, asgi, status):
    ex = asgi.Exchange(asgi.scope(), fail_sends={1: OSError("gone")})
    with pytest.raises(OSError, match="gone"):
        reply(make_gate(), status, ex.scope, ex, "r")
    assert len(ex.sent) == 1


@pytest.mark.parametrize("status", [401, 503])
def test_cors_failure_sends_nothing(make_gate, asgi, wg, monkeypatch, status):
    def broken(scope):
        raise LookupError("cors")
    monkeypatch.setattr(wg, "cors_headers_for_scope", broken)
    ex = asgi.Exchange(asgi.scope())
    with pytest.raises(LookupError):
        reply(make_gate(), status, ex.scope, ex, "r")
    assert ex.sent == []
