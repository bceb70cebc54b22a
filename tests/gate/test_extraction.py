"""Credential extraction, trusted identity headers and the protected-path test."""
import os
import urllib.parse

import pytest
from hypothesis import given, settings, strategies as st

pytestmark = pytest.mark.baseline_too

AUTH, PROXY = b"authorization", b"x-mcp-proxy-auth"


@pytest.fixture
def gate(make_gate):
    return make_gate(api_key="k")


def scope_of(query=b"", headers=()):
    return {"type": "http", "query_string": query, "headers": list(headers)}


@pytest.mark.parametrize("query, headers, expected", [
    (b"api_key=q", [(AUTH, b"Bearer h")], "q"),
    (b"api_key=&x=1", [(AUTH, b"Bearer h")], "h"),
    (b"api_key", [(AUTH, b"Bearer h")], "h"),
    (b"api_key=a&api_key=b", [], "a"),
    (b"api_key=%20k+x+", [], " k x "),
    (b"api%5Fkey=enc&api_key=plain", [], "enc"),
    (b"api_key=a%3Db%26c", [], "a=b&c"),
    (b"x=1", [(AUTH, b"Basic dTpw"), (AUTH, b"Bearer second")], "second"),
    (b"", [(AUTH, b"BEARER AbC")], "AbC"),
    (b"", [(AUTH, b"bearer   tok \t")], "tok"),
    (b"", [(AUTH, b"Bearer    "), (PROXY, b"Bearer p")], ""),
    (b"", [(AUTH, b"Bearer"), (PROXY, b"Bearer p")], "p"),
    (b"", [(AUTH, b"Bearer\tx")], None),
    (b"", [(PROXY, b"Bearer p"), (AUTH, b"Bearer a")], "a"),
    (b"", [(AUTH, b"Basic x"), (PROXY, b"bEaReR p")], "p"),
    (b"", [(PROXY, b"Basic p")], None),
    (b"", [(b"x-mcp-api-key", b"k")], None),
    (b"", [(b"Authorization", b"Bearer cap")], "cap"),
    (b"", [(b"X-MCP-Proxy-Auth", b"Bearer cap")], "cap"),
    (b"", [(AUTH, b"Bearer \xffk")], "\ufffdk"),
    (b"", [], None),
], ids=lambda v: repr(v)[:40])
def test_extract_token(gate, query, headers, expected):
    assert gate._extract_token(scope_of(query, headers)) == expected


def test_extract_token_without_query_or_headers(gate):
    assert gate._extract_token({"type": "http"}) is None


@pytest.mark.parametrize("where", ["library function", "module global"])
@pytest.mark.parametrize("query", [b"api_key=q&x=1", b"x=\xc3\xa9"])
def test_a_replaced_parser_is_the_one_asked(wg, gate, monkeypatch, where, query):
    seen = []

    def parse_qs(text):
        seen.append(text)
        return {"api_key": ["from-spy"]}

    if where == "library function":
        monkeypatch.setattr(urllib.parse, "parse_qs", parse_qs)
    else:
        import types
        monkeypatch.setattr(wg, "urllib", types.SimpleNamespace(parse=types.SimpleNamespace(parse_qs=parse_qs)))
    assert gate._extract_token(scope_of(query, [(AUTH, b"Bearer h")])) == "from-spy"
    assert seen == [query.decode("utf-8")]


def _shout(value):
    if isinstance(value, (str, bytes, bytearray)):
        return value.upper()
    if isinstance(value, list):
        return [(name, _shout(v)) for name, v in value]
    return (_shout(v) for v in value)


def _wrapped(name):
    original = getattr(urllib.parse, name)
    return lambda *args, **kwargs: _shout(original(*args, **kwargs))


# What the library parser itself calls: replacing any of them changes its answer.
PARSER_PARTS = {
    **{name: (name, lambda name=name: _wrapped(name)) for name in
       ["parse_qsl", "unquote_plus", "unquote", "_unquote_impl", "_generate_unquoted_parts"]},
    "parse_qsl defaults": ("parse_qsl.__defaults__", lambda: (True, False, "utf-8", "replace", None, "&")),
    "unquote code": ("unquote.__code__", lambda: (lambda string, encoding="utf-8", errors="replace": "X").__code__),
    "shadowed builtin": ("bytearray", lambda: lambda data=b"": bytearray(bytes(data).upper())),
}


@pytest.mark.parametrize("part", PARSER_PARTS)
@pytest.mark.parametrize("query", [b"api_key=a%41b+c&x=1", b"api_key=&api_key=b%20"])
def test_a_replaced_part_of_the_parser_changes_the_answer(gate, monkeypatch, part, query):
    where, make = PARSER_PARTS[part]
    owner = urllib.parse
    if "." in where:
        fn, where = where.split(".")
        owner = getattr(urllib.parse, fn)
    assert gate._extract_token(scope_of(query)) is not None  # the library's answer, once
    monkeypatch.setattr(owner, where, make(), raising=False)
    expected = urllib.parse.parse_qs(query.decode()).get("api_key", [])
    assert gate._extract_token(scope_of(query)) == (expected[0] if expected else None)
    monkeypatch.undo()
    assert gate._extract_token(scope_of(query)) == urllib.parse.parse_qs(query.decode())["api_key"][0]


@pytest.mark.parametrize("query", [b"api%5fkey=KEY", b"api_key=a%41b%2b"])
def test_an_unquote_table_still_to_be_built_comes_from_the_digits_in_place(gate, monkeypatch, query):
    monkeypatch.setattr(urllib.parse, "_hextobyte", None)
    monkeypatch.setattr(urllib.parse, "_hexdig", "0123456789")
    got = gate._extract_token(scope_of(query))
    # Asked second: the library builds its table now, from the digits in place.
    expected = urllib.parse.parse_qs(query.decode()).get("api_key", [])
    assert got == (expected[0] if expected else None)


@pytest.mark.parametrize("query", [b"api_key=\xff", b"\xc3", b"x=1&y=%C3\xa9\xed\xa0\x80"])
def test_invalid_utf8_query_raises(gate, query):
    with pytest.raises(UnicodeDecodeError):
        gate._extract_token(scope_of(query, [(AUTH, b"Bearer h")]))


@pytest.mark.parametrize("bad", [(AUTH, b"Bearer a", b"x"), (AUTH,)])
def test_malformed_header_item_raises(gate, bad):
    with pytest.raises(ValueError):
        gate._extract_token(scope_of(b"", [bad]))
    with pytest.raises(ValueError):
        type(gate)._header(scope_of(b"", [bad]), b"x")


PIECES = ["api_key", "api%5Fkey", "api%5fkey", "%61pi_key", "API_KEY", "api_key ", "api+key",
          "=", "==", "&", "&&", ";", "+", "%", "%4", "%zz", "%C3", "%C3%A9", "%E4%B8%AD", "%ED%A0%80",
          "%00", "%2B", "%26", "%3D", "%20", " ", "é", "中", "\U0001F511", "\x00", "\t", "k", "v1"]
QUERIES = st.lists(st.one_of(st.sampled_from(PIECES), st.text(max_size=4)), max_size=14).map("".join)


def test_query_token_matches_standard_parser(wg_impl, make_gate):
    gate = make_gate(api_key="k")
    default = int(os.environ.get("VEXLO_HYPOTHESIS_EXAMPLES", "10000"))
    examples = default if wg_impl == "native" else min(default, 500)

    @settings(max_examples=examples, deadline=None)
    @given(QUERIES)
    def check(qs):
        expected = urllib.parse.parse_qs(qs).get("api_key", [None])[0]
        assert gate._extract_token({"query_string": qs.encode("utf-8")}) == expected
    check()


# -- _header ------------------------------------------------------------------------------

@pytest.mark.parametrize("headers, name, expected", [
    ([(b"X-A", b"  v  ")], b"x-a", "v"),
    ([(b"x-a", b"   "), (b"x-a", b"later")], b"x-a", None),
    ([(b"x-a", b"first"), (b"x-a", b"later")], b"x-a", "first"),
    ([(b"x-a", b"\xff")], b"x-a", "\ufffd"),
    ([(b"x-a", b"v")], b"X-A", None),
    ([(b"X-A", b"v")], b"X-A", None),  # the header's name is lowered, `name` is taken as given
    ([(b"x-b", b"v")], b"x-a", None),
    ([(b"x-a", "中".encode())], b"x-a", "中"),
])
def test_header(wg, headers, name, expected):
    assert wg.ApiKeyWardgate._header({"headers": headers}, name) == expected


def test_header_without_headers_key(wg):
    assert wg.ApiKeyWardgate._header({}, b"x") is None


@pytest.mark.parametrize("name", ["x-a", bytearray(b"x-a"), None])
def test_header_name_must_be_bytes(wg, name):
    with pytest.raises(TypeError) as info:
        wg.ApiKeyWardgate._header({"headers": []}, name)
    assert str(info.value) == (
        f"Argument 'name' has incorrect type (expected bytes, got {type(name).__name__})")


# -- _internal_identity ---------------------------------------------------------------------

EMAIL, UID = b"x-corvane-user-email", b"x-corvane-user-id"


@pytest.mark.parametrize("trust, headers, expected", [
    (False, [(EMAIL, b"a@b.c"), (UID, b"u1")], None),
    (True, [(b"X-Corvane-User-Email", b"  Foo@Example.COM \t")], {"email": "foo@example.com", "user_id": None}),
    (True, [(EMAIL, b"a@b.c"), (UID, b"  U-Mixed1 ")], {"email": "a@b.c", "user_id": "U-Mixed1"}),
    (True, [(EMAIL, b"a@b.c"), (UID, b"  ")], {"email": "a@b.c", "user_id": None}),
    (True, [(EMAIL, "ÄRGER@X.DE".encode())], {"email": "ärger@x.de", "user_id": None}),
    (True, [(EMAIL, b"  "), (EMAIL, b"a@b.c")], None),
    (True, [(UID, b"u1")], None),
    (True, [], None),
])
def test_internal_identity(make_gate, trust, headers, expected):
    gate = make_gate(trust_upstream_corvane_identity=trust)
    got = gate._internal_identity({"headers": headers})
    assert got == expected
    if expected is not None:
        assert list(got) == ["email", "user_id"]
        assert gate._internal_identity({"headers": headers}) is not got


# -- _is_protected_path ---------------------------------------------------------------------

@pytest.mark.parametrize("prefixes, path, expected", [
    (None, "/anything", True),
    (None, "", True),
    ((), "/api/v1/quillon", False),
    (("/api",), "/apiary", True),
    (("/api",), "/API", False),
    (("/api",), "/ap", False),
    (("/x", "/api/v1"), "/api/v1/quillon/run", True),
    (("",), "/whatever", True),
])
def test_is_protected_path(make_gate, prefixes, path, expected):
    assert make_gate(protected_path_prefixes=prefixes)._is_protected_path(path) is expected


@pytest.mark.parametrize("path", [None, b"/api"])
def test_is_protected_path_requires_str(make_gate, path):
    with pytest.raises(TypeError) as info:
        make_gate()._is_protected_path(path)
    assert str(info.value) == (
        f"Argument 'path' has incorrect type (expected str, got {type(path).__name__})")
