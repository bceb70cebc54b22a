"""Request dispatch: pass-through rules, the three modes, identity hand-over, trace lines,
and how the guarded application call ends."""
import asyncio
import logging
import re
import sys

import pytest
from starlette.requests import ClientDisconnect

pytestmark = pytest.mark.baseline_too

QUILLON = "/api/v1/quillon/run"
START_401 = {"type": "http.response.start", "status": 401, "headers": [
    (b"content-type", b"application/json"), (b"www-authenticate", b'Bearer realm="vexlo-mcp"')]}
BODY_401 = {"type": "http.response.body",
            "body": b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"invalid_api_key"}'}
START_503 = {"type": "http.response.start", "status": 503, "headers": [
    (b"content-type", b"application/json"), (b"retry-after", b"5")]}
BODY_503 = {"type": "http.response.body",
            "body": b'{"error":"Service Unavailable","message":"API Key verification service '
                    b'temporarily unavailable","reason":"auth_service_unavailable"}'}
CLOSING = {"type": "http.response.body", "body": b"", "more_body": False}
BEARER = (b"authorization", b"Bearer tok")
IDENTITY = [(b"x-corvane-user-email", b" A@B.C "), (b"x-corvane-user-id", b"u1")]
REMOTE_URL = "http://127.0.0.1:9/v1/mcp/verify-key"


def new_keys(scope, before):
    return [(k, scope[k]) for k in scope if k not in before]


def fake_verify(result=None, raises=None, delay=0.0):
    """Stands in for the account backend; records the keys it was asked about."""
    async def verify(api_key):
        verify.calls.append(api_key)
        if delay:
            await asyncio.sleep(delay)
        if raises is not None:
            raise raises
        return result
    verify.calls = []
    return verify


def app_sending(*messages, then=None):
    async def body(scope, receive, send):
        for message in messages:
            await send(message)
        if then is not None:
            raise then
    return body


@pytest.fixture
def traced(trace_lines):
    """Trace messages written so far, as strings."""
    return trace_lines


# -- pass-through --------------------------------------------------------------------------

@pytest.mark.parametrize("scope, prefixes", [
    ({"type": "websocket", "path": "/ws", "headers": []}, None),
    ({"type": "lifespan"}, None),
    ({"type": "http", "method": "OPTIONS", "path": QUILLON, "headers": []}, None),
    ({"type": "http", "method": "POST", "path": "/messages/?session_id=1", "headers": []}, ("/messages",)),
    ({"type": "http", "method": "GET", "path": "/messages/", "headers": []}, None),
    ({"type": "http", "method": "GET", "path": "/health", "headers": []}, ("/api", "/sse")),
    ({"type": "http", "method": "POST", "path": QUILLON, "headers": []}, ("/sse",)),
    ({"type": "http", "method": "GET", "path": "/anything", "headers": [BEARER]}, ()),
    ({"type": "http", "method": "POST", "path": "/vx/messages/", "root_path": "/vx", "headers": []}, None),
    ({"type": "http", "method": "GET", "path": "/vxsse", "root_path": "/vx", "headers": []}, ("/sse",)),
    ({"type": "http", "method": "GET", "path": "/vx", "root_path": "/vx", "headers": []}, ("/vx",)),
], ids=["websocket", "lifespan", "options", "messages-under-prefix", "messages", "unprotected",
        "quillon-unprotected", "empty-prefixes", "messages-below-root", "root-not-a-segment", "root-itself"])
def test_passes_through_untouched(make_gate, asgi, gate_log, traced, scope, prefixes):
    app = asgi.App()
    gate = make_gate(app, api_key="k", protected_path_prefixes=prefixes)
    gate_log.clear()
    before = dict(scope)
    ex = asgi.run(gate, asgi.Exchange(scope))
    [(got_scope, got_receive, got_send)] = app.calls
    assert got_scope is scope and scope == before
    assert got_receive == ex.receive and got_send == ex.send
    assert app.ctx_seen == [asgi.OUTER_CTX]
    assert ex.sent == [] and traced() == [] and gate_log() == []


@pytest.mark.parametrize("raised, propagates", [
    (ClientDisconnect(), False),
    (RuntimeError("Expected ASGI message 'http.response.body'"), True),
    (ValueError("boom"), True),
])
def test_messages_post_errors(make_gate, asgi, gate_log, raised, propagates):
    gate = make_gate(asgi.App(app_sending(then=raised)), api_key="k")
    gate_log.clear()
    ex = asgi.Exchange(asgi.scope("/messages/", method="POST"))
    if propagates:
        with pytest.raises(type(raised)) as info:
            asgi.run(gate, ex)
        assert info.value is raised
        assert gate_log() == []
    else:
        asgi.run(gate, ex)
        assert [(r.levelno, r.msg, r.args) for r in gate_log()] == [
            (logging.DEBUG, "客户端在 POST /messages/ 时断开连接，已忽略", ())]


# -- refusals ------------------------------------------------------------------------------

@pytest.mark.parametrize("settings, scope_kw", [
    ({}, {"headers": [BEARER]}),
    ({"api_key": ""}, {"query": b"api_key="}),
    ({"api_key": "", "auth_verify_url": ""}, {"headers": [(b"authorization", b"Bearer ")]}),
    ({"api_key": "k"}, {}),
    ({"api_key": "k"}, {"headers": [(b"authorization", b"Bearer K")]}),
    ({"api_key": "k"}, {"path": "/messages", "headers": [BEARER]}),
    ({"api_key": "k"}, {"method": "options"}),
    ({"api_key": "  k "}, {"headers": [(b"authorization", b"Bearer   k ")]}),
    ({"api_key": "\ud800"}, {"headers": [(b"authorization", b"Bearer \xed\xa0\x80")]}),
    ({"api_key": "k", "trust_upstream_corvane_identity": True},
     {"headers": [(b"x-corvane-user-id", b"u1"), BEARER]}),
    ({"api_key": "k", "protected_path_prefixes": ("/sse",)}, {"path": "/vx/sse", "root_path": "/vx"}),
    ({"api_key": "k", "protected_path_prefixes": ("/sse",)}, {"path": "/sse", "root_path": "/vx"}),
    ({"api_key": "k"}, {"path": "/vx/x/messages/", "root_path": "/vx"}),
], ids=["unconfigured", "empty-key", "empty-both", "no-credential", "case-differs", "messages-no-slash", "options-lower-case",
        "stripped-header-vs-spaced-key", "surrogate-key", "id-header-alone", "below-root-path",
        "root-path-not-in-path", "messages-not-at-route-start"])
def test_rejected_with_401(make_gate, asgi, cors, gate_log, settings, scope_kw):
    app = asgi.App()
    gate = make_gate(app, **settings)
    gate_log.clear()
    scope = asgi.scope(scope_kw.pop("path", "/sse"), **scope_kw)
    before = dict(scope)
    ex = asgi.run(gate, asgi.Exchange(scope))
    assert ex.sent == [START_401, BODY_401]
    assert app.calls == [] and scope == before and ex.ctx_after is asgi.OUTER_CTX
    assert gate_log() == []


def test_bad_query_encoding_propagates(make_gate, asgi):
    app = asgi.App()
    ex = asgi.Exchange(asgi.scope(query=b"api_key=\xff", headers=[BEARER]))
    with pytest.raises(UnicodeDecodeError):
        asgi.run(make_gate(app, api_key="tok"), ex)
    assert app.calls == [] and ex.sent == []


# -- accepted: scope keys and request context -----------------------------------------------

def ctx(api_key, mode, user_id=None, email=None, tools=None, permission=None):
    return {"api_key": api_key, "auth_mode": mode, "user_id": user_id, "email": email,
            "allowed_tools": tools, "permission_enabled": permission}


@pytest.mark.parametrize("key, scope_kw, token", [
    ("tok", {"headers": [BEARER]}, "tok"),
    ("tok", {"query": b"api_key=tok", "headers": [(b"authorization", b"Bearer other")]}, "tok"),
    ("tok", {"headers": [(b"x-mcp-proxy-auth", b"bearer tok")]}, "tok"),
    ("  k ", {"query": b"api_key=%20%20k+"}, "  k "),
    ("钥匙", {"query": "api_key=钥匙".encode()}, "钥匙"),
], ids=["bearer", "query", "proxy", "spaced-query", "non-ascii"])
def test_fixed_mode_accepts(make_gate, asgi, key, scope_kw, token):
    app = asgi.App()
    scope = asgi.scope("/sse", **scope_kw)
    before = set(scope)
    ex = asgi.run(make_gate(app, api_key=key), asgi.Exchange(scope))
    [(got_scope, got_receive, got_send)] = app.calls
    assert got_scope is scope
    assert got_receive != ex.receive and got_send != ex.send
    assert new_keys(scope, before) == [("mcp_api_key", token), ("mcp_auth_mode", "fixed")]
    assert app.ctx_seen == [ctx(token, "fixed")]
    assert list(app.ctx_seen[0]) == list(ctx(None, None))
    assert ex.ctx_after is asgi.OUTER_CTX


def test_fixed_mode_context_reads_keys_already_in_scope(make_gate, asgi):
    app = asgi.App()
    scope = asgi.scope(headers=[BEARER], mcp_user_id="pre", mcp_permission_enabled=True)
    asgi.run(make_gate(app, api_key="tok"), asgi.Exchange(scope))
    assert app.ctx_seen == [ctx("tok", "fixed", user_id="pre", permission=True)]


@pytest.mark.parametrize("settings", [
    {"api_key": "tok"}, {"auth_verify_url": REMOTE_URL}, {}], ids=["fixed", "remote", "unconfigured"])
def test_internal_identity_wins_over_credentials(make_gate, asgi, settings):
    app = asgi.App()
    gate = make_gate(app, trust_upstream_corvane_identity=True, **settings)
    gate._verify_remote = fake_verify(raises=AssertionError("must not verify"))
    scope = asgi.scope(headers=[BEARER, (b"authorization", b"Bearer wrong")] + IDENTITY)
    before = set(scope)
    asgi.run(gate, asgi.Exchange(scope))
    assert new_keys(scope, before) == [
        ("mcp_auth_mode", "internal"), ("mcp_user_id", "u1"), ("mcp_user_email", "a@b.c"),
        ("mcp_allowed_tools", None), ("mcp_permission_enabled", False)]
    assert app.ctx_seen == [ctx(None, "internal", "u1", "a@b.c", None, False)]
    assert gate._verify_remote.calls == []


class VerifyingGate:
    """Builds remote-mode gates whose backend answer is faked, either on the instance
    or by a subclass override; both must be honoured."""

    def __init__(self, wg, how):
        self.wg, self.how = wg, how

    def __call__(self, app, verify, **settings):
        settings.setdefault("auth_verify_url", REMOTE_URL)
        if self.how == "instance":
            gate = self.wg.ApiKeyWardgate(app, **settings)
            gate._verify_remote = verify
            return gate

        class Sub(self.wg.ApiKeyWardgate):
            async def _verify_remote(self, api_key):
                return await verify(api_key)
        return Sub(app, **settings)


@pytest.fixture(params=["instance", "subclass"])
def verifying_gate(wg, request):
    return VerifyingGate(wg, request.param)


def test_remote_mode_accepts(verifying_gate, asgi, gate_log):
    tools = ["quillon_run"]
    info = {"valid": True, "user_id": 7, "email": "E@x", "allowed_tools": tools, "extra": 1}
    app, verify = asgi.App(), fake_verify(info)
    scope = asgi.scope(headers=[BEARER])
    before = set(scope)
    ex = asgi.run(verifying_gate(app, verify, api_key="other"), asgi.Exchange(scope))
    assert verify.calls == ["tok"]
    assert new_keys(scope, before) == [
        ("mcp_api_key", "tok"), ("mcp_auth_mode", "remote"), ("mcp_user_id", 7),
        ("mcp_user_email", "E@x"), ("mcp_allowed_tools", tools), ("mcp_permission_enabled", None)]
    assert scope["mcp_allowed_tools"] is tools
    assert app.ctx_seen == [ctx("tok", "remote", 7, "E@x", tools, None)]
    assert ex.ctx_after is asgi.OUTER_CTX
    assert [r for r in gate_log() if r.levelno > logging.DEBUG and "QUILLON" in r.msg] == []


@pytest.mark.parametrize("answer, headers, asked", [
    (None, [], [None]),
    (None, [(b"authorization", b"Bearer fixed-key")], ["fixed-key"]),
    ({}, [BEARER], ["tok"]),
], ids=["no-credential", "equals-fixed-key", "empty-answer"])
def test_remote_mode_rejects(verifying_gate, asgi, cors, answer, headers, asked):
    app, verify = asgi.App(), fake_verify(answer)
    gate = verifying_gate(app, verify, api_key="fixed-key")
    ex = asgi.run(gate, asgi.Exchange(asgi.scope(headers=headers)))
    assert verify.calls == asked
    assert ex.sent == [START_401, BODY_401] and app.calls == []


def test_remote_unavailable_answers_503(verifying_gate, wg, asgi, cors):
    app = asgi.App()
    gate = verifying_gate(app, fake_verify(raises=wg.ApiKeyVerificationUnavailable("HTTP 502")))
    ex = asgi.run(gate, asgi.Exchange(asgi.scope(headers=[BEARER])))
    assert ex.sent == [START_503, BODY_503] and app.calls == []


def test_other_verification_errors_propagate(verifying_gate, asgi):
    gate = verifying_gate(asgi.App(), fake_verify(raises=KeyError("x")))
    ex = asgi.Exchange(asgi.scope(headers=[BEARER]))
    with pytest.raises(KeyError):
        asgi.run(gate, ex)
    assert ex.sent == []


def test_subclass_overrides_are_honoured(wg, asgi):
    calls = []

    class Sub(wg.ApiKeyWardgate):
        def _extract_token(self, scope):
            calls.append("extract")
            return scope.get("custom")

        async def _send_401(self, scope, send, reason="x"):
            calls.append(("401", reason))
            await send({"type": "custom-401"})

    app = asgi.App()
    gate = Sub(app, api_key="secret")
    accepted = asgi.run(gate, asgi.Exchange(asgi.scope(custom="secret")))
    refused = asgi.run(gate, asgi.Exchange(asgi.scope(headers=[(b"authorization", b"Bearer secret")])))
    assert accepted.scope["mcp_api_key"] == "secret" and len(app.calls) == 1
    assert refused.sent == [{"type": "custom-401"}]
    assert calls == ["extract", "extract", ("401", "invalid_api_key")]


def test_subclass_path_and_identity_overrides(wg, asgi):
    class Sub(wg.ApiKeyWardgate):
        def _is_protected_path(self, path):
            return path != "/open"

        def _internal_identity(self, scope):
            return {"user_id": "svc", "email": "svc@x"} if scope.get("internal") else None

    app = asgi.App()
    gate = Sub(app, protected_path_prefixes=())
    asgi.run(gate, asgi.Exchange(asgi.scope("/open")))
    internal = asgi.run(gate, asgi.Exchange(asgi.scope("/closed", internal=True)))
    assert len(app.calls) == 2
    assert internal.scope["mcp_auth_mode"] == "internal" and internal.scope["mcp_user_id"] == "svc"


def test_missing_request_context_module(make_gate, asgi, monkeypatch):
    app = asgi.App()
    gate = make_gate(app, api_key="tok")
    ex = asgi.Exchange(asgi.scope(headers=[BEARER]))
    monkeypatch.setitem(sys.modules, "vexlo.mcp.context", None)
    with pytest.raises(ImportError):
        asyncio.run(gate(ex.scope, ex.receive, ex.send))
    assert app.calls == [] and ex.sent == []


def _replace_context_var(monkeypatch, seen):
    import contextvars
    import vexlo.mcp.context as context
    other = contextvars.ContextVar("other_request_ctx")
    monkeypatch.setattr(context, "mcp_request_ctx", other)
    return lambda: seen.append(other.get(None))


def _hook_imports(monkeypatch, seen):
    import builtins
    real = builtins.__import__

    def hook(name, *args, **kwargs):
        if name == "vexlo.mcp.context":
            seen.append(name)
        return real(name, *args, **kwargs)
    monkeypatch.setattr(builtins, "__import__", hook)
    return lambda: None


def _replace_module(monkeypatch, seen):
    import contextvars
    import types
    other = types.ModuleType("vexlo.mcp.context")
    other.mcp_request_ctx = contextvars.ContextVar("module_request_ctx")
    monkeypatch.setitem(sys.modules, "vexlo.mcp.context", other)
    return lambda: seen.append(other.mcp_request_ctx.get(None))


def _subclass_module(monkeypatch, seen):
    import contextvars
    import types
    import vexlo.mcp.context as context
    other = contextvars.ContextVar("class_request_ctx")

    class Shadowing(types.ModuleType):
        # A data descriptor of the module's class wins over its dict, as for any object.
        mcp_request_ctx = property(lambda self: other)
    monkeypatch.setattr(context, "__class__", Shadowing)
    return lambda: seen.append(other.get(None))


@pytest.mark.parametrize("change", [_replace_context_var, _hook_imports, _replace_module, _subclass_module])
def test_request_context_is_imported_afresh_after_requests(make_gate, asgi, monkeypatch, change):
    seen = []
    look = None

    async def body(scope, receive, send):
        look()
    gate = make_gate(asgi.App(body), api_key="tok")
    look = lambda: None  # noqa: E731
    for _ in range(3):
        asgi.run(gate, asgi.Exchange(asgi.scope(headers=[BEARER])))
    look = change(monkeypatch, seen)
    asgi.run(gate, asgi.Exchange(asgi.scope(headers=[BEARER])))
    # The hook saw the import; a replaced variable or module is the one the app's context is in.
    assert len(seen) == 1
    assert seen[0] == "vexlo.mcp.context" or seen[0]["api_key"] == "tok"


# -- trace lines ---------------------------------------------------------------------------

def test_traced_remote_request(verifying_gate, asgi, gate_log, traced):
    async def body(scope, receive, send):
        assert [(await receive())["type"] for _ in range(3)] == [
            "http.request", "http.request", "http.disconnect"]
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"{}"})

    verify = fake_verify({"valid": True}, delay=0.03)
    gate = verifying_gate(asgi.App(body), verify)
    headers = [BEARER, (b"x-dup", b"1"), (b"X-Dup", b"2"), (b"\xe9t\xe9", b"v")]
    incoming = [{"type": "http.request", "body": b"ab", "more_body": True},
                {"type": "http.request", "body": b"c"}]
    scope = asgi.scope(QUILLON, method="POST", query=b"api_key=&b=1&a=2&b=3", headers=headers)
    asgi.run(gate, asgi.Exchange(scope, incoming=incoming))
    lines = traced()
    assert lines[:2] == [
        f"request_start method=POST path={QUILLON} query_keys=a,b headers=authorization,x-dup,X-Dup,été",
        f"auth_verify_start path={QUILLON} has_api_key=True mode=remote"]
    elapsed = re.fullmatch(rf"auth_verify_done path={QUILLON} valid=True elapsed_ms=(\d+)", lines[2])
    assert 30 <= int(elapsed.group(1)) < 10_000
    assert lines[3:] == [
        f"app_dispatch_start path={QUILLON}",
        "request_body_chunk bytes=2 more_body=True",
        "request_body_chunk bytes=1 more_body=False",
        f"app_dispatch_done path={QUILLON} response_started=True response_complete=True"]
    records = [(r.levelno, r.msg, r.args) for r in gate_log() if "QUILLON" in r.msg]
    assert records[0] == (logging.INFO, "[QUILLON-TRACE] auth_verify_start path=%s has_api_key=%s mode=%s",
                          (QUILLON, True, "remote"))
    level, msg, args = records[1]
    assert (level, msg, args[:2]) == (
        logging.INFO, "[QUILLON-TRACE] auth_verify_done path=%s valid=%s elapsed_ms=%s", (QUILLON, True))
    assert type(args[2]) is int and 30 <= args[2] < 10_000
    assert len(records) == 2


@pytest.mark.parametrize("settings, verify, headers, expected, logged", [
    ({"api_key": "tok"}, None, [BEARER],
     ["auth_verify_start path=P has_api_key=True mode=fixed", "app_dispatch_start path=P",
      "app_dispatch_done path=P response_started=False response_complete=False"],
     [("info", "auth_verify_start", ("P", True, "fixed"))]),
    ({"api_key": "tok"}, None, [],
     ["auth_verify_start path=P has_api_key=False mode=fixed"],
     [("info", "auth_verify_start", ("P", False, "fixed"))]),
    ({"auth_verify_url": REMOTE_URL}, {"answer": None}, [BEARER],
     ["auth_verify_start path=P has_api_key=True mode=remote",
      "auth_verify_done path=P valid=False elapsed_ms=N"],
     [("info", "auth_verify_start", ("P", True, "remote")),
      ("info", "auth_verify_done", ("P", False, "N"))]),
    ({"auth_verify_url": REMOTE_URL}, {"unavailable": True}, [BEARER],
     ["auth_verify_start path=P has_api_key=True mode=remote",
      "auth_verify_error path=P error_type=ApiKeyVerificationUnavailable elapsed_ms=N"],
     [("info", "auth_verify_start", ("P", True, "remote")),
      ("warning", "auth_verify_error", ("P", "ApiKeyVerificationUnavailable", "N"))]),
    ({"auth_verify_url": REMOTE_URL, "trust_upstream_corvane_identity": True}, None, [BEARER] + IDENTITY,
     ["auth_verify_start path=P has_api_key=True mode=remote", "app_dispatch_start path=P",
      "app_dispatch_done path=P response_started=False response_complete=False"],
     [("info", "auth_verify_start", ("P", True, "remote"))]),
], ids=["fixed-accepted", "fixed-refused", "remote-refused", "remote-unavailable", "internal"])
def test_trace_lines_per_outcome(wg, make_gate, asgi, cors, gate_log, traced, settings, verify, headers,
                                 expected, logged):
    gate = make_gate(**settings)
    if verify is not None:
        exc = wg.ApiKeyVerificationUnavailable("HTTP 500") if verify.get("unavailable") else None
        gate._verify_remote = fake_verify(verify.get("answer"), raises=exc)
    gate_log.clear()
    asgi.run(gate, asgi.Exchange(asgi.scope(QUILLON, headers=headers)))
    lines = traced()
    assert lines[0].startswith(f"request_start method=GET path={QUILLON} query_keys= headers=")
    assert [re.sub(r"elapsed_ms=\d+$", "elapsed_ms=N", line).replace(QUILLON, "P")
            for line in lines[1:]] == expected
    records = [r for r in gate_log() if r.levelno > logging.DEBUG]
    assert len(records) == len(logged)
    for record, (level, event, args) in zip(records, logged):
        assert record.levelname.lower() == level
        assert record.msg.startswith(f"[QUILLON-TRACE] {event} path=%s ")
        assert len(record.args) == len(args)
        for got, want in zip(record.args, args):
            if want == "N":
                assert type(got) is int and got >= 0
            else:
                assert got == (QUILLON if want == "P" else want) and type(got) is type(want)


def test_untraced_paths_write_no_trace(make_gate, asgi, gate_log, traced):
    gate = make_gate(asgi.App(app_sending({"type": "http.response.start", "status": 200})), api_key="tok")
    gate_log.clear()
    asgi.run(gate, asgi.Exchange(asgi.scope("/api/v1/quillo", headers=[BEARER])))
    asgi.run(gate, asgi.Exchange(asgi.scope("/API/v1/quillon/run", headers=[BEARER])))
    assert traced() == [] and gate_log() == []


# -- how the guarded application call ends ---------------------------------------------------

START = {"type": "http.response.start", "status": 200, "headers": []}
PARTIAL = {"type": "http.response.body", "body": b"x", "more_body": True}
DONE = {"type": "http.response.body", "body": b"x"}


@pytest.mark.parametrize("app_body, fail_sends, raises, closing, flags", [
    (app_sending(START, then=ValueError("app")), {}, ValueError, True, (True, False)),
    (app_sending(START, PARTIAL), {}, None, True, (True, False)),
    (app_sending(START, PARTIAL, DONE), {}, None, False, (True, True)),
    (app_sending(START, {**PARTIAL, "more_body": False}), {}, None, False, (True, True)),
    (app_sending(then=ValueError("app")), {}, ValueError, False, (False, False)),
    (app_sending(START, then=RuntimeError("Unexpected: Expected ASGI message 'x', got 'y'.")),
     {}, None, True, (True, False)),
    (app_sending(then=RuntimeError("Expected ASGI message")), {}, None, False, (False, False)),
    (app_sending(START, then=RuntimeError("something else")), {}, RuntimeError, True, (True, False)),
    (app_sending(START, then=ClientDisconnect()), {}, None, True, (True, False)),
    (app_sending(START, PARTIAL), {3: OSError("closing")}, None, True, (True, False)),
    (app_sending(START, PARTIAL), {3: asyncio.CancelledError()}, None, True, (True, False)),
    (app_sending(START), {1: OSError("first"), 2: OSError("closing")}, OSError, True, (True, False)),
    (app_sending(START, DONE), {2: OSError("last")}, OSError, False, (True, True)),
], ids=["raise-after-start", "more-body-left-open", "complete", "explicit-last", "raise-before-start",
        "expected-asgi-message", "expected-asgi-message-before-start", "other-runtime-error",
        "client-disconnect", "closing-send-fails", "closing-send-cancelled", "start-send-fails",
        "last-send-fails"])
def test_guarded_call_endings(make_gate, asgi, traced, app_body, fail_sends, raises, closing,
                              flags):
    gate = make_gate(asgi.App(app_body), api_key="tok")
    ex = asgi.Exchange(asgi.scope(QUILLON, headers=[BEARER]), fail_sends=fail_sends)
    if raises:
        with pytest.raises(raises):
            asgi.run(gate, ex)
    else:
        asgi.run(gate, ex)
    assert ex.ctx_after is asgi.OUTER_CTX
    assert ex.sent.count(CLOSING) == int(closing)
    if closing:
        assert ex.sent[-1] == CLOSING and list(ex.sent[-1]) == ["type", "body", "more_body"]
    assert traced()[-1] == (f"app_dispatch_done path={QUILLON} "
                            f"response_started={flags[0]} response_complete={flags[1]}")


def test_client_disconnect_logs_debug_line(make_gate, asgi, gate_log):
    gate = make_gate(asgi.App(app_sending(then=ClientDisconnect())), api_key="tok")
    gate_log.clear()
    asgi.run(gate, asgi.Exchange(asgi.scope("/sse", headers=[BEARER])))
    assert [(r.levelno, r.msg, r.args) for r in gate_log()] == [
        (logging.DEBUG, "客户端断开连接: %s", ("/sse",))]


def test_wrappers_forward_messages_unchanged(make_gate, asgi):
    seen = []
    message = dict(START)

    async def body(scope, receive, send):
        seen.append(await receive())
        await send(message)
    incoming = {"type": "http.request", "body": b"x", "more_body": False, "extra": object()}
    gate = make_gate(asgi.App(body), api_key="tok")
    ex = asgi.run(gate, asgi.Exchange(asgi.scope(QUILLON, headers=[BEARER]), incoming=[incoming]))
    assert seen[0] is incoming and ex.sent[0] is message


@pytest.mark.parametrize("started", [False, True], ids=["before-start", "after-start"])
def test_cancellation_mid_app(make_gate, asgi, request_ctx, traced, started):
    async def body(scope, receive, send):
        if started:
            await send(START)
        await asyncio.Event().wait()

    gate = make_gate(asgi.App(body), api_key="tok")
    ex = asgi.Exchange(asgi.scope(QUILLON, headers=[BEARER]))
    outcome = {}

    async def request():
        request_ctx.set(asgi.OUTER_CTX)
        try:
            await gate(ex.scope, ex.receive, ex.send)
        finally:
            outcome["ctx"] = request_ctx.get()

    async def main():
        task = asyncio.create_task(request())
        while not traced() or not traced()[-1].startswith("app_dispatch_start"):
            await asyncio.sleep(0)
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert outcome["ctx"] is asgi.OUTER_CTX
    assert ex.sent == ([START, CLOSING] if started else [])
    assert traced()[-1].endswith(f"response_started={started} response_complete=False")


def test_a_request_waits_for_the_context_module_another_thread_is_importing(make_gate, asgi, monkeypatch):
    import contextvars
    import importlib
    import importlib.abc
    import importlib.util
    import threading
    import time

    name = "vexlo.mcp.context"
    executing = threading.Event()

    class SlowLoader(importlib.abc.Loader):
        def create_module(self, spec):
            return None

        def exec_module(self, module):
            executing.set()
            time.sleep(0.2)
            module.mcp_request_ctx = contextvars.ContextVar("slow_request_ctx")

    class Finder(importlib.abc.MetaPathFinder):
        def find_spec(self, fullname, path, target=None):
            return importlib.util.spec_from_loader(fullname, SlowLoader()) if fullname == name else None

    app = asgi.App()
    gate = make_gate(app, api_key="tok")
    asgi.run(gate, asgi.Exchange(asgi.scope(headers=[BEARER])))
    import vexlo.mcp
    # The import sets the package attribute too: restored with the module.
    monkeypatch.setattr(vexlo.mcp, "context", sys.modules[name])
    monkeypatch.delitem(sys.modules, name)
    monkeypatch.setattr(sys, "meta_path", [Finder(), *sys.meta_path])
    importer = threading.Thread(target=importlib.import_module, args=(name,))
    importer.start()
    try:
        assert executing.wait(5)
        # Straight to the gate: the fixture's own runner would import the module first.
        ex = asgi.Exchange(asgi.scope(headers=[BEARER]))
        asyncio.run(gate(ex.scope, ex.receive, ex.send))
    finally:
        importer.join()
    assert len(app.calls) == 2
