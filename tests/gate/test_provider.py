"""The deprecated fixed-key provider."""
import asyncio

import pytest

pytestmark = pytest.mark.baseline_too


def verify(provider, token):
    return asyncio.run(provider.verify_token(token))


@pytest.mark.parametrize("key, token", [
    ("abc", "abc"), ("abc", "abd"), ("abc", "ab"), ("abc", "abcd"), ("abc", "ABC"), ("abc", " abc"),
    ("", ""), ("", "a"), ("a", ""), ("é", "é"), ("é", "e\u0301"), ("中文", "中文"),
    ("\ud800", "\ud800"), ("\ud800", "\udc00"), ("\ud800\udc00", "\U00010000"),
    ("k\x00", "k"), ("k\x00", "k\x00"),
], ids=repr)
def test_verify_token_agrees_with_equality(wg, key, token):
    result = verify(wg.FixedApiKeyAuthProvider(key), token)
    if token != key:
        assert result is None
        return
    assert type(result).__name__ == "AccessToken"
    assert type(result).__bases__ == (object,)
    assert (result.token, result.client_id, result.scopes) == (token, "default", ["vexlo:mcp"])
    assert vars(result) == {}


def test_each_success_has_its_own_class(wg):
    provider = wg.FixedApiKeyAuthProvider("k")
    first, second = verify(provider, "k"), verify(provider, "k")
    assert type(first) is not type(second)
    assert first.scopes is not second.scopes
    first.scopes.append("extra")
    assert second.scopes == ["vexlo:mcp"]


def test_provider_stores_only_the_key(wg):
    assert vars(wg.FixedApiKeyAuthProvider("k")) == {"_api_key": "k"}


@pytest.mark.parametrize("value", [None, b"k", 1], ids=["None", "bytes", "int"])
def test_provider_argument_types(wg, value):
    name = type(value).__name__
    with pytest.raises(TypeError) as info:
        wg.FixedApiKeyAuthProvider(value)
    assert str(info.value) == f"Argument 'api_key' has incorrect type (expected str, got {name})"
    with pytest.raises(TypeError) as info:
        verify(wg.FixedApiKeyAuthProvider("k"), value)
    assert str(info.value) == f"Argument 'token' has incorrect type (expected str, got {name})"
