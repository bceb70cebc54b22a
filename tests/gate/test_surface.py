"""Module surface, settings, class tables and construction of the gate."""
import asyncio
import inspect
import json
import logging
import os
import pathlib
import subprocess
import sys
import textwrap
import typing

import pytest
import starlette.types
from starlette.requests import ClientDisconnect

pytestmark = pytest.mark.baseline_too

ROOT = pathlib.Path(__file__).resolve().parents[2]

MODULE_NAMES = [
    "logging", "os", "time", "urllib", "datetime", "timezone", "Path", "Any",
    "cors_headers_for_scope", "__version__", "ASGIApp", "Receive", "Scope", "Send",
    "_logger", "_QUILLON_TRACE_FILE", "_trace_quillon", "_StarletteClientDisconnect",
    "_CLIENT_DISCONNECT_ERRORS",
    "_VERIFY_CACHE_TTL_SECONDS", "_VERIFY_STALE_GRACE_SECONDS", "_VERIFY_CONNECT_TIMEOUT_SECONDS",
    "_VERIFY_READ_TIMEOUT_SECONDS", "_VERIFY_MAX_CONNECTIONS", "_VERIFY_MAX_KEEPALIVE",
    "_VERIFY_KEEPALIVE_EXPIRY_SECONDS",
    "ApiKeyVerificationUnavailable", "ApiKeyWardgate", "FixedApiKeyAuthProvider",
]

GATE_METHODS = {
    "__init__": "(self, app: 'ASGIApp', *, api_key: 'str | None' = None, "
                "auth_verify_url: 'str | None' = None, "
                "protected_path_prefixes: 'tuple[str, ...] | None' = None, "
                "trust_upstream_corvane_identity: 'bool' = False)",
    "_header": "(scope: 'Scope', name: 'bytes') -> 'str | None'",
    "_is_protected_path": "(self, path: 'str') -> 'bool'",
    "_internal_identity": "(self, scope: 'Scope') -> 'dict[str, str | None] | None'",
    "_extract_token": "(self, scope: 'Scope') -> 'str | None'",
    "__call__": "(self, scope: 'Scope', receive: 'Receive', send: 'Send') -> 'None'",
    "_get_client": "(self) -> 'Any'",
    "_verify_remote": "(self, api_key: 'str | None') -> 'dict | None'",
    "_send_401": "(self, scope: 'Scope', send: 'Send', reason: 'str' = 'invalid_api_key') -> 'None'",
    "_send_503": "(self, scope: 'Scope', send: 'Send', reason: 'str') -> 'None'",
}
PROVIDER_METHODS = {
    "__init__": "(self, api_key: 'str')",
    "verify_token": "(self, token: 'str') -> 'Any'",
}
COROUTINES = {("ApiKeyWardgate", n) for n in ("__call__", "_verify_remote", "_send_401", "_send_503")}
COROUTINES.add(("FixedApiKeyAuthProvider", "verify_token"))

PROVIDER_DOC = (
    "固定 API Key 鉴权提供者（已弃用，保留仅用于兼容旧导入）。\n\n"
    "    所有连接 MCP 服务器的用户共享同一个 API Key，仅用于 SSE 连接层的基础\n"
    "    访问控制，不涉及用户身份隔离。实际业务鉴权由调用方传入的 session_id/jwt\n"
    "    在后端完成。\n    "
)


def arg_error(name, expected, value):
    return (f"Argument '{name}' has incorrect type "
            f"(expected {expected}, got {type(value).__name__})")


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


def test_module_names_in_order(wg):
    assert [n for n in vars(wg) if n in MODULE_NAMES] == MODULE_NAMES
    assert not hasattr(wg, "__all__")


def test_module_bindings(wg):
    import urllib.parse
    import vexlo.api.cors
    import vexlo.config
    assert wg.urllib.parse is urllib.parse
    assert wg.Path is pathlib.Path and wg.Any is typing.Any
    assert (wg.ASGIApp, wg.Receive, wg.Scope, wg.Send) == (
        starlette.types.ASGIApp, starlette.types.Receive, starlette.types.Scope, starlette.types.Send)
    assert wg.__version__ == vexlo.config.__version__
    assert wg.cors_headers_for_scope is vexlo.api.cors.cors_headers_for_scope
    assert wg._logger is logging.getLogger("vexlo.mcp")
    assert wg._StarletteClientDisconnect is ClientDisconnect
    assert wg._CLIENT_DISCONNECT_ERRORS == (ClientDisconnect,)


@pytest.mark.parametrize("name, value", [
    ("_VERIFY_CACHE_TTL_SECONDS", 60),
    ("_VERIFY_STALE_GRACE_SECONDS", 300),
    ("_VERIFY_CONNECT_TIMEOUT_SECONDS", 3.0),
    ("_VERIFY_READ_TIMEOUT_SECONDS", 5.0),
    ("_VERIFY_MAX_CONNECTIONS", 20),
    ("_VERIFY_MAX_KEEPALIVE", 10),
    ("_VERIFY_KEEPALIVE_EXPIRY_SECONDS", 30.0),
])
def test_settings_values_and_types(wg, name, value):
    got = getattr(wg, name)
    assert type(got) is type(value) and got == value


def test_verification_unavailable_class(wg):
    exc = wg.ApiKeyVerificationUnavailable
    assert exc.__bases__ == (RuntimeError,)
    assert exc.__doc__ == "远程 API Key 校验服务暂时不可用。"
    assert str(exc("HTTP 502")) == "HTTP 502"


def test_docstrings(wg):
    gate, provider = wg.ApiKeyWardgate, wg.FixedApiKeyAuthProvider
    assert gate.__bases__ == (object,) and provider.__bases__ == (object,)
    assert provider.__doc__ == PROVIDER_DOC
    assert provider.verify_token.__doc__ == "校验 Bearer Token 是否与固定 API Key 匹配。"
    assert gate._send_503.__doc__ == "返回鉴权依赖临时不可用，避免把未完成校验的 Key 误判为无效。"
    assert gate._get_client.__doc__.startswith("获取共享的 httpx.AsyncClient（懒加载）。")
    assert gate._extract_token.__doc__.startswith("从 Query Param 或 Header 中提取 API Key。")
    assert wg._trace_quillon.__doc__ == "写入不依赖 logging 配置的 Quillon 请求诊断信息。"
    for doc in (wg.__doc__, gate.__doc__, gate.__init__.__doc__, gate._verify_remote.__doc__):
        assert doc and doc.strip()
    assert "/v1/mcp/verify-key" in gate.__init__.__doc__


@pytest.mark.parametrize("cls_name, table", [
    ("ApiKeyWardgate", GATE_METHODS), ("FixedApiKeyAuthProvider", PROVIDER_METHODS)])
def test_method_tables(wg, cls_name, table):
    cls = getattr(wg, cls_name)
    assert [n for n in vars(cls) if n in table] == list(table)
    for name, expected in table.items():
        fn = getattr(cls, name)
        sig = inspect.signature(fn)
        assert str(sig) == expected, name
        annotations = {p.name: p.annotation for p in sig.parameters.values()
                       if p.annotation is not inspect.Parameter.empty}
        if sig.return_annotation is not inspect.Signature.empty:
            annotations["return"] = sig.return_annotation
        assert fn.__annotations__ == annotations, name
        is_coro = (cls_name, name) in COROUTINES
        assert inspect.iscoroutinefunction(fn) is is_coro, name
        assert asyncio.iscoroutinefunction(fn) is is_coro, name
    assert isinstance(inspect.getattr_static(wg.ApiKeyWardgate, "_header"), staticmethod)


def test_coroutine_methods_stay_coroutines_when_bound(wg):
    gate = wg.ApiKeyWardgate(object(), api_key="k")
    provider = wg.FixedApiKeyAuthProvider("k")
    for obj, name in [(gate, "__call__"), (gate, "_verify_remote"), (gate, "_send_401"),
                      (gate, "_send_503"), (provider, "verify_token")]:
        assert inspect.iscoroutinefunction(getattr(obj, name)), name
        assert asyncio.iscoroutinefunction(getattr(obj, name)), name
    assert not inspect.iscoroutinefunction(gate._get_client)


def test_trace_function_signature(wg):
    assert str(inspect.signature(wg._trace_quillon)) == "(message: 'str') -> 'None'"
    assert wg._trace_quillon.__annotations__ == {"message": "str", "return": "None"}


def test_header_works_without_instance(wg):
    scope = {"headers": [(b"X", b" v ")]}
    assert wg.ApiKeyWardgate._header(scope, b"x") == "v"


# -- construction ---------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, message", [
    ({"api_key": 1}, arg_error("api_key", "str", 1)),
    ({"api_key": b"k"}, arg_error("api_key", "str", b"k")),
    ({"api_key": StrSub("k")}, arg_error("api_key", "str", StrSub("k"))),
    ({"auth_verify_url": StrSub("http://x")}, arg_error("auth_verify_url", "str", StrSub())),
    ({"auth_verify_url": 0}, arg_error("auth_verify_url", "str", 0)),
    ({"protected_path_prefixes": ["/api/v1/quillon"]}, arg_error("protected_path_prefixes", "tuple", [])),
    ({"protected_path_prefixes": TupleSub(("/api",))},
     arg_error("protected_path_prefixes", "tuple", TupleSub())),
    ({"protected_path_prefixes": "/api"}, arg_error("protected_path_prefixes", "tuple", "")),
], ids=lambda v: "-".join(f"{k}={type(x).__name__}" for k, x in v.items()) if isinstance(v, dict) else "")
def test_constructor_rejects_wrong_types(wg, gate_log, kwargs, message):
    with pytest.raises(TypeError) as info:
        wg.ApiKeyWardgate(object(), **kwargs)
    assert str(info.value) == message
    assert gate_log() == []


def test_constructor_keyword_only(wg):
    with pytest.raises(TypeError):
        wg.ApiKeyWardgate(object(), "key")
    app = object()
    assert wg.ApiKeyWardgate(app=app).app is app


@pytest.mark.parametrize("trust, stored", [("false", True), (1, True), (0, False), ([], False),
                                           (None, False), (True, True)])
def test_constructor_stores_settings_in_order(wg, trust, stored):
    app, prefixes = object(), ("/api/v1/quillon",)
    gate = wg.ApiKeyWardgate(app, api_key="  k  ", auth_verify_url="http://127.0.0.1:9/verify",
                             protected_path_prefixes=prefixes,
                             trust_upstream_corvane_identity=trust)
    assert list(vars(gate)) == ["app", "_api_key", "_auth_verify_url", "_protected_path_prefixes",
                                "_trust_upstream_corvane_identity", "_verify_cache", "_client"]
    assert gate.app is app and gate._protected_path_prefixes is prefixes
    assert gate._api_key == "  k  " and gate._auth_verify_url == "http://127.0.0.1:9/verify"
    assert gate._trust_upstream_corvane_identity is stored
    assert gate._verify_cache == {} and gate._client is None


def test_instances_share_no_cache(wg):
    a, b = wg.ApiKeyWardgate(object()), wg.ApiKeyWardgate(object())
    assert a._verify_cache is not b._verify_cache


@pytest.mark.parametrize("kwargs, level, msg, args", [
    ({"api_key": "k", "auth_verify_url": "http://h/v1/mcp/verify-key?x=1"}, logging.INFO,
     "MCP Server 运行在远程校验模式，校验地址: %s", ("http://h/v1/mcp/verify-key?x=1",)),
    ({"auth_verify_url": "", "api_key": "secret-k"}, logging.INFO, "MCP Server 运行在固定 API Key 模式", ()),
    ({"api_key": "secret-k"}, logging.INFO, "MCP Server 运行在固定 API Key 模式", ()),
    ({"api_key": ""}, logging.WARNING, "MCP Server 未配置任何 API Key 鉴权！", ()),
    ({}, logging.WARNING, "MCP Server 未配置任何 API Key 鉴权！", ()),
], ids=["remote-wins-over-key", "empty-url-is-fixed", "fixed", "empty-key", "unconfigured"])
def test_constructor_announces_mode(wg, gate_log, kwargs, level, msg, args):
    wg.ApiKeyWardgate(object(), **kwargs)
    [record] = gate_log()
    assert (record.levelno, record.msg, record.args) == (level, msg, args)
    assert "secret-k" not in record.getMessage()


# -- loading, in a fresh interpreter -----------------------------------------------------------

LOAD = """
import importlib, importlib.util, json, os, sys
if {block_starlette_requests!r}:
    sys.modules["starlette.requests"] = None
if {impl!r} == "native":
    mod = importlib.import_module("vexlo.mcp.wardgate")
else:
    found = importlib.util.spec_from_file_location("baseline_gate", {baseline!r})
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
loaded_cwd = os.getcwd()
os.chdir("..")
print(json.dumps({{
    "trace_file": str(mod._QUILLON_TRACE_FILE),
    "expected": os.path.join(loaded_cwd, ".tmp", "quillon-trace.log"),
    "tmp_created": os.path.exists(os.path.join(loaded_cwd, ".tmp")),
    "httpx": "httpx" in sys.modules,
    "errors": [c.__name__ for c in mod._CLIENT_DISCONNECT_ERRORS],
    "has_alias": hasattr(mod, "_StarletteClientDisconnect"),
}}))
"""


def load_fresh(impl, cwd, block_starlette_requests=False, script=None):
    code = script or LOAD.format(impl=impl, baseline=str(ROOT / "bench" / "baseline_gate.py"),
                                 block_starlette_requests=block_starlette_requests)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


def test_loading_is_side_effect_free(wg, wg_impl, tmp_path):
    (tmp_path / "work").mkdir()
    got = load_fresh(wg_impl, tmp_path / "work")
    assert got["trace_file"] == got["expected"]
    assert not got["tmp_created"] and not got["httpx"]
    assert got["errors"] == ["ClientDisconnect"] and got["has_alias"]


def test_loading_without_client_disconnect(wg, wg_impl, tmp_path):
    got = load_fresh(wg_impl, tmp_path, block_starlette_requests=True)
    assert got["errors"] == [] and not got["has_alias"]


def test_native_reimport_returns_same_module(tmp_path):
    script = textwrap.dedent("""
        import importlib, json, sys
        first = importlib.import_module("vexlo.mcp.wardgate")
        first.marker = 1
        del sys.modules["vexlo.mcp.wardgate"]
        second = importlib.import_module("vexlo.mcp.wardgate")
        print(json.dumps({"same": second is first, "marker": getattr(second, "marker", None)}))
    """)
    assert load_fresh("native", tmp_path, script=script) == {"same": True, "marker": 1}


def test_an_import_hook_in_place_before_loading_sees_the_request_imports(tmp_path):
    script = textwrap.dedent("""
        import asyncio, builtins, json
        real, seen = builtins.__import__, []

        def hook(name, globals=None, locals=None, fromlist=(), level=0):
            if name == "vexlo.mcp.context":
                seen.append(sorted(fromlist or ()))
            return real(name, globals, locals, fromlist, level)
        builtins.__import__ = hook
        from vexlo.mcp.wardgate import ApiKeyWardgate

        async def app(scope, receive, send):
            pass
        gate = ApiKeyWardgate(app, api_key="k")
        scope = {"type": "http", "method": "GET", "path": "/api/x", "query_string": b"",
                 "headers": [(b"authorization", b"Bearer k")]}
        asyncio.run(gate(scope, None, None))
        print(json.dumps(seen))
    """)
    assert load_fresh("native", tmp_path, script=script) == [["mcp_request_ctx"]]
