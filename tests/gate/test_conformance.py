"""Gaps left by the other gate tests: calls that fail before anything is awaited, scopes and
caches that are mappings of their own, keys that are str subclasses, the parser and the file
calls the gate is documented to make, and how a failed 503 reply relates to the verification
failure it answers."""
import asyncio
import logging
import pathlib
import re
import sys
import urllib.parse
from unittest import mock

import httpx
import pytest
from starlette.requests import ClientDisconnect

QUILLON = "/api/v1/quillon/run"
BEARER = (b"authorization", b"Bearer tok")
REMOTE_URL = "http://127.0.0.1:9/v1/mcp/verify-key"


class RecordingScope(dict):
    """A scope whose `get` records how it was called."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.gets = []

    def get(self, key, *default):
        self.gets.append((key, *default))
        return super().get(key, *default)


class AlwaysEqual(str):
    """A credential type of the host's own whose equality is not the characters'."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False


# -- failures raised by the call itself, not by awaiting its result --------------------------------

@pytest.mark.baseline_too
@pytest.mark.parametrize("how", ["instance-mock", "plain-method"])
def test_unavailable_raised_by_the_verification_call_answers_503(wg, asgi, cors, trace_lines, how):
    failure = wg.ApiKeyVerificationUnavailable("HTTP 500")
    app = asgi.App()
    if how == "instance-mock":
        gate = wg.ApiKeyWardgate(app, auth_verify_url=REMOTE_URL)
        gate._verify_remote = mock.Mock(side_effect=failure)
    else:
        class Sub(wg.ApiKeyWardgate):
            def _verify_remote(self, api_key):
                raise failure
        gate = Sub(app, auth_verify_url=REMOTE_URL)

    ex = asgi.run(gate, asgi.Exchange(asgi.scope(QUILLON, headers=[BEARER])))

    assert ex.status == 503 and app.calls == []
    assert re.fullmatch(rf"auth_verify_error path={QUILLON} error_type=ApiKeyVerificationUnavailable "
                        r"elapsed_ms=\d+", trace_lines()[-1])


@pytest.mark.baseline_too
def test_messages_post_disconnect_raised_by_the_app_call(make_gate, asgi, gate_log):
    app = mock.Mock(side_effect=ClientDisconnect())
    gate = make_gate(app, api_key="k")
    gate_log.clear()
    asgi.run(gate, asgi.Exchange(asgi.scope("/messages/", method="POST")))
    assert app.call_count == 1
    assert [(r.levelno, r.msg, r.args) for r in gate_log()] == [
        (logging.DEBUG, "客户端在 POST /messages/ 时断开连接，已忽略", ())]


# -- mappings of the host's own ---------------------------------------------------------------------

@pytest.mark.baseline_too
@pytest.mark.parametrize("method", ["OPTIONS", "GET"])
def test_method_is_read_with_a_one_argument_get(make_gate, asgi, method):
    app = asgi.App()
    scope = RecordingScope(asgi.scope("/open", method=method))
    asgi.run(make_gate(app, api_key="k", protected_path_prefixes=("/closed",)), asgi.Exchange(scope))
    assert len(app.calls) == 1
    assert scope.gets[0] == ("method",)


@pytest.mark.baseline_too
def test_verification_cache_is_read_with_a_one_argument_get(wg, make_gate):
    class Cache(dict):
        def __init__(self):
            super().__init__()
            self.gets = []

        def get(self, key):
            self.gets.append(key)
            return super().get(key)

    class Planted:
        async def get(self, url, **options):
            return httpx.Response(200, json={"valid": True})

    gate = make_gate(auth_verify_url=REMOTE_URL)
    gate._verify_cache = Cache()
    gate._client = Planted()
    assert asyncio.run(gate._verify_remote("vk")) == {"valid": True}
    assert gate._verify_cache.gets == ["vk"]


# -- key comparison agrees with == ---------------------------------------------------------------

@pytest.mark.baseline_too
def test_fixed_mode_compares_a_str_subclass_credential_with_its_own_equality(wg, asgi):
    class Sub(wg.ApiKeyWardgate):
        def _extract_token(self, scope):
            return AlwaysEqual("not-the-key")

    app = asgi.App()
    ex = asgi.run(Sub(app, api_key="k"), asgi.Exchange(asgi.scope()))
    assert ex.sent == [] and len(app.calls) == 1
    assert ex.scope["mcp_auth_mode"] == "fixed"


@pytest.mark.baseline_too
def test_provider_compares_a_str_subclass_key_with_its_own_equality(wg):
    provider = wg.FixedApiKeyAuthProvider("k")
    provider._api_key = AlwaysEqual("k")
    result = asyncio.run(provider.verify_token("other"))
    assert result is not None and result.token == "other"


@pytest.mark.baseline_too
def test_unencodable_message_leaves_the_opened_file_empty(wg, capsys):
    # Directory and file are made before the write fails on the lone surrogate.
    assert wg._trace_quillon("route_enter scenario=\ud800") is None
    assert wg._QUILLON_TRACE_FILE.read_bytes() == b""
    wg._trace_quillon("next")
    assert wg._QUILLON_TRACE_FILE.read_text("utf-8").endswith(" [QUILLON-TRACE] next\n")


# -- the 503 reply is part of handling the verification failure ----------------------------------

def test_failed_503_reply_carries_the_verification_failure(wg, make_gate, asgi, monkeypatch):
    failure = wg.ApiKeyVerificationUnavailable("HTTP 500")
    seen = []

    def cors_headers_for_scope(scope):
        seen.append(sys.exception())
        raise ValueError("cors")

    monkeypatch.setattr(wg, "cors_headers_for_scope", cors_headers_for_scope)
    gate = make_gate(auth_verify_url=REMOTE_URL)

    async def unavailable(api_key):
        raise failure
    gate._verify_remote = unavailable
    ex = asgi.Exchange(asgi.scope(headers=[BEARER]))
    with pytest.raises(ValueError) as info:
        asgi.run(gate, ex)
    assert ex.sent == []
    assert seen == [None]  # no Python frame is handling it while the native gate replies
    assert info.value.__context__ is failure
