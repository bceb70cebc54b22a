"""Native functions: argument binding, type rules, introspection, method binding.

Arity errors are compared with a `def` of the same signature and qualified name, so the
expected texts are whatever the running CPython says.
"""
import asyncio
import collections
import functools
import inspect
import sys
import types
import typing

import pytest

vx = pytest.importorskip("vexlo._vxtest")


def _named(fn, qualname):
    """`fn` with its code renamed, so CPython's own arity errors carry `qualname`."""
    name = qualname.rpartition(".")[2]
    fn.__code__ = fn.__code__.replace(co_name=name, co_qualname=qualname)
    fn.__name__, fn.__qualname__ = name, qualname
    return fn


def _ref_echo(a: "str", b: "str | None" = None, *, flag: "bool" = False,
              data: "dict | None" = None) -> "dict":
    return {"a": a, "b": b, "flag": flag, "data": data}


def _ref_returns(value) -> "str | None":
    return value


def _ref_await_then_cleanup(awaitable, cleanup):
    pass


REF_ECHO = _named(_ref_echo, "echo")
REF_RETURNS = _named(_ref_returns, "returns")
REF_CLEANUP = _named(_ref_await_then_cleanup, "await_then_cleanup")


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except TypeError as exc:
        return ("TypeError", str(exc))


class StrSub(str):
    pass


class DictSub(dict):
    pass


def arg_error(name, expected, value):
    return ("TypeError", f"Argument '{name}' has incorrect type "
                         f"(expected {expected}, got {type(value).__name__})")


def echoed(a, b=None, flag=False, data=None):
    return ("ok", {"a": a, "b": b, "flag": flag, "data": data})


# -- arity ------------------------------------------------------------------------------------

ARITY_CALLS = [
    ((), {}),
    (("x", "y", "z"), {}),
    (("x", "y", "z", "w"), {}),
    (("x", "y", "z"), {"flag": 1}),
    (("x", "y", "z"), {"flag": 1, "data": {}}),
    (("x",), {"c": 1}),
    (("x",), {"flag": 1, "zz": 2}),
    (("x",), {"a": "y"}),
    (("x", "y"), {"b": "z"}),
    (("x", "y", "z"), {"b": "q"}),
    ((), {"b": "y"}),
    ((), {"flag": True, "data": {}}),
    (("x",), {}),
    ((), {"a": "x", "b": "y", "flag": 0, "data": None}),
    ((), {"data": None, "a": "x"}),
]


@pytest.mark.parametrize("args, kwargs", ARITY_CALLS, ids=repr)
def test_echo_binds_like_a_def(args, kwargs):
    assert outcome(vx.echo, *args, **kwargs) == outcome(REF_ECHO, *args, **kwargs)


@pytest.mark.parametrize("native, ref, args, kwargs", [
    (vx.returns, REF_RETURNS, (), {}),
    (vx.returns, REF_RETURNS, ("x", "y"), {}),
    (vx.returns, REF_RETURNS, ("x",), {"value": "y"}),
    (vx.returns, REF_RETURNS, (), {"other": "y"}),
    (vx.await_then_cleanup, REF_CLEANUP, (), {}),
    (vx.await_then_cleanup, REF_CLEANUP, (1,), {}),
    (vx.await_then_cleanup, REF_CLEANUP, (1, 2, 3), {}),
])
def test_other_shapes_bind_like_a_def(native, ref, args, kwargs):
    assert outcome(native, *args, **kwargs) == outcome(ref, *args, **kwargs)


def test_keyword_names_must_be_strings():
    with pytest.raises(TypeError, match="keywords must be strings"):
        vx.echo(**{1: "x"})
    # A str subclass key still names the parameter.
    assert vx.echo(**{StrSub("a"): "x"})["a"] == "x"


# -- type rules -------------------------------------------------------------------------------

class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


@pytest.mark.parametrize("args, kwargs, expected", [
    (("x",), {}, echoed("x")),
    (("x", "y"), {"flag": True, "data": {"k": 1}}, echoed("x", "y", True, {"k": 1})),
    ((1,), {}, arg_error("a", "str", 1)),
    ((None,), {}, arg_error("a", "str", None)),
    ((StrSub("x"),), {}, arg_error("a", "str", StrSub())),
    ((b"x",), {}, arg_error("a", "str", b"")),
    (("x", 2), {}, arg_error("b", "str", 2)),
    (("x", StrSub("y")), {}, arg_error("b", "str", StrSub())),
    (("x",), {"b": None}, echoed("x")),
    (("x",), {"data": []}, arg_error("data", "dict", [])),
    (("x",), {"data": DictSub()}, arg_error("data", "dict", DictSub())),
    # The full type name, as CPython's own messages print it.
    (("x",), {"data": collections.OrderedDict()},
     ("TypeError", "Argument 'data' has incorrect type (expected dict, got collections.OrderedDict)")),
    (("x",), {"data": types.MappingProxyType({})}, arg_error("data", "dict", types.MappingProxyType({}))),
    # The first offending parameter in declaration order is the one reported.
    ((1, 2), {"data": []}, arg_error("a", "str", 1)),
    (("x", 2), {"data": []}, arg_error("b", "str", 2)),
], ids=repr)
def test_exact_builtin_types(args, kwargs, expected):
    assert outcome(vx.echo, *args, **kwargs) == expected


@pytest.mark.parametrize("value, stored", [
    (True, True), (False, False), (1, True), (0, False), ("", False), ("no", True),
    ([], False), ([0], True), (None, False), (Truthy(True), True), (Truthy(False), False),
    (2.5, True), (0.0, False),
], ids=repr)
def test_bool_takes_the_truth_value(value, stored):
    assert vx.echo("x", flag=value)["flag"] is stored


def test_bool_truth_test_errors_propagate():
    class Broken:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError, match="no truth"):
        vx.echo("x", flag=Broken())
    with pytest.raises(TypeError, match="__bool__ should return bool"):
        vx.echo("x", flag=Truthy(1))


@pytest.mark.parametrize("value, expected", [
    ("s", ("ok", "s")),
    (None, ("ok", None)),
    (1, ("TypeError", "Expected str, got int")),
    (b"s", ("TypeError", "Expected str, got bytes")),
    (StrSub("s"), ("TypeError", "Expected str, got StrSub")),
    ({}, ("TypeError", "Expected str, got dict")),
], ids=repr)
def test_return_type_is_checked(value, expected):
    assert outcome(vx.returns, value) == expected


# -- introspection ----------------------------------------------------------------------------

@pytest.mark.parametrize("native, ref", [(vx.echo, REF_ECHO), (vx.returns, REF_RETURNS)],
                         ids=["echo", "returns"])
def test_introspection_matches_a_def(native, ref):
    for attr in ("__name__", "__qualname__", "__annotations__", "__defaults__", "__kwdefaults__"):
        assert getattr(native, attr) == getattr(ref, attr), attr
    sig = inspect.signature(native)
    assert type(sig) is inspect.Signature and sig == inspect.signature(ref)
    assert native.__signature__ is native.__signature__
    assert native.__module__ == "vexlo._vxtest"
    assert native.__globals__ is vars(vx)
    assert repr(native).startswith(f"<function {native.__qualname__} at 0x")


def test_docs_and_attributes():
    assert vx.echo.__doc__ == "Returns its bound arguments."
    assert vx.returns.__doc__ is None
    assert inspect.getdoc(vx.await_one) == "Awaits one awaitable."
    assert str(inspect.signature(vx.echo)) == (
        "(a: 'str', b: 'str | None' = None, *, flag: 'bool' = False, "
        "data: 'dict | None' = None) -> 'dict'")
    assert vx.echo.__defaults__ == (None,) and vx.echo.__kwdefaults__ == {"flag": False, "data": None}
    assert vx.await_one.__defaults__ is None and vx.await_one.__kwdefaults__ is None
    assert vx.give.__annotations__ == {"value": "Any", "return": "Any"}
    assert inspect.isroutine(vx.echo) and callable(vx.echo)


def test_bound_signature_and_binding():
    bound = inspect.signature(vx.echo).bind("x", flag=1)
    bound.apply_defaults()
    assert vx.echo(*bound.args, **bound.kwargs) == {"a": "x", "b": None, "flag": True, "data": None}


@pytest.mark.parametrize("fn, coroutine", [
    (vx.echo, False), (vx.returns, False), (vx.await_one, True), (vx.await_outcome, True),
    (vx.await_then_cleanup, True), (vx.await_sum, True), (vx.keep, True), (vx.fail, True),
    (vx.give, True),
], ids=lambda v: getattr(v, "__name__", None))
def test_coroutine_functions_are_recognised(fn, coroutine):
    from fastapi.dependencies.models import _is_coroutine_callable
    from starlette._utils import is_async_callable

    class Holder:
        method = fn

    for candidate in (fn, Holder().method, functools.partial(fn)):
        assert inspect.iscoroutinefunction(candidate) is coroutine
        assert asyncio.iscoroutinefunction(candidate) is coroutine
        assert is_async_callable(candidate) is coroutine
    assert _is_coroutine_callable(fn) is coroutine
    assert not inspect.isasyncgenfunction(fn) and not inspect.isgeneratorfunction(fn)
    if not coroutine:
        assert not hasattr(fn, "_is_coroutine_marker")


def test_functools_wraps():
    @functools.wraps(vx.await_one)
    def sync_wrapper(*args, **kwargs):
        return "sync"

    @functools.wraps(vx.await_one)
    async def async_wrapper(*args, **kwargs):
        return await vx.await_one(*args, **kwargs)

    # The wrapper copies the identity but not the claim to be a coroutine function.
    assert sync_wrapper.__name__ == "await_one" and sync_wrapper.__wrapped__ is vx.await_one
    assert sync_wrapper.__doc__ == "Awaits one awaitable." and sync_wrapper.__module__ == "vexlo._vxtest"
    assert not inspect.iscoroutinefunction(sync_wrapper)
    assert not asyncio.iscoroutinefunction(sync_wrapper)
    assert inspect.iscoroutinefunction(async_wrapper)
    assert inspect.signature(sync_wrapper) == inspect.signature(vx.await_one)
    assert sync_wrapper() == "sync"
    assert asyncio.run(async_wrapper(vx.give(7))) == 7


def test_functions_bind_to_instances():
    class Holder:
        method = vx.echo
        static = staticmethod(vx.echo)
        coro = vx.give

    h = Holder()
    assert Holder.method is vx.echo and Holder.__dict__["method"].__get__(None, Holder) is vx.echo
    m = h.method
    assert type(m) is types.MethodType and m.__func__ is vx.echo and m.__self__ is h
    assert str(inspect.signature(m)) == (
        "(b: 'str | None' = None, *, flag: 'bool' = False, data: 'dict | None' = None) -> 'dict'")
    # The instance is the first argument, so the type rule applies to it.
    with pytest.raises(TypeError, match=r"Argument 'a' has incorrect type \(expected str, got Holder\)"):
        m()
    assert h.static("x")["a"] == "x" and Holder.static("x")["a"] == "x"
    assert inspect.iscoroutinefunction(h.coro) and asyncio.run(h.coro()) is h


def test_attributes_are_writable_like_a_def():
    fn = vx.returns
    saved = fn.__name__, fn.__qualname__, fn.__annotations__
    try:
        fn.__name__ = "renamed"
        fn.__qualname__ = "Owner.renamed"
        fn.extra = 1
        assert (fn.__name__, fn.__qualname__, fn.extra, fn.__dict__) == (
            "renamed", "Owner.renamed", 1, {"extra": 1})
        with pytest.raises(TypeError):
            fn.__name__ = 1
        with pytest.raises(AttributeError):
            fn.__defaults__ = ()
        with pytest.raises(AttributeError):
            fn.__globals__ = {}
    finally:
        fn.__name__, fn.__qualname__, fn.__annotations__ = saved
        del fn.extra


# -- the product's own functions --------------------------------------------------------------

def _gate_functions():
    wg = pytest.importorskip("vexlo.mcp.wardgate")
    gate = wg.ApiKeyWardgate
    names = ["__init__", "_header", "_is_protected_path", "_internal_identity", "_extract_token",
             "__call__", "_get_client", "_verify_remote", "_send_401", "_send_503"]
    return wg, [getattr(gate, n) for n in names] + [wg.FixedApiKeyAuthProvider.verify_token,
                                                    wg._trace_quillon]


def test_gate_annotations_resolve_through_globals():
    import starlette.types
    wg, functions = _gate_functions()
    for fn in functions:
        assert fn.__globals__ is vars(wg), fn.__qualname__
        hints = typing.get_type_hints(fn)
        assert set(hints) == set(fn.__annotations__), fn.__qualname__
    hints = typing.get_type_hints(wg.ApiKeyWardgate.__call__)
    assert hints == {"scope": starlette.types.Scope, "receive": starlette.types.Receive,
                     "send": starlette.types.Send, "return": type(None)}
    assert typing.get_type_hints(wg.ApiKeyWardgate._verify_remote) == {
        "api_key": str | None, "return": dict | None}
    # Through a bound method as well.
    bound = wg.ApiKeyWardgate(object(), api_key="k")._verify_remote
    assert typing.get_type_hints(bound) == {"api_key": str | None, "return": dict | None}
    assert inspect.get_annotations(wg.ApiKeyWardgate._get_client, eval_str=True) == {"return": typing.Any}


def test_router_endpoints_are_accepted_by_fastapi(monkeypatch, tmp_path):
    quillon = pytest.importorskip("vexlo.api.routers.quillon")
    wg = pytest.importorskip("vexlo.mcp.wardgate")
    import fastapi
    import httpx
    from fastapi.dependencies.models import _is_coroutine_callable
    from vexlo.api.schemas.quillon import QuillonRunRequest

    monkeypatch.setattr(wg, "_QUILLON_TRACE_FILE", tmp_path / "trace.log")
    routes = {r.path: r for r in quillon.router.routes}
    run = routes["/api/v1/quillon/run"]
    assert run.endpoint is quillon.quillon_run and type(run.endpoint).__name__ == "native_function"
    assert _is_coroutine_callable(run.dependant.call)
    # The string annotation was resolved through the native function's globals.
    [body] = run.dependant.body_params
    assert body.name == "payload" and body.field_info.annotation is QuillonRunRequest
    assert [d.call for d in run.dependant.dependencies] == [quillon.require_authenticated_user]

    app = fastapi.FastAPI()
    app.include_router(quillon.router)
    app.dependency_overrides[quillon.require_authenticated_user] = lambda: "a@b.co"

    async def main():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            return (await client.get("/api/v1/quillon/scenarios"),
                    await client.post("/api/v1/quillon/run", json={"no": "scenario"}))

    listed, refused = asyncio.run(main())
    # A route taken for a plain function would have returned an un-awaited coroutine.
    assert listed.status_code == 200 and listed.json()["data"]
    assert refused.status_code == 422


def _ref_method(signature_src, qualname):
    namespace = {}
    exec(f"def f{signature_src}: pass", namespace)
    return _named(namespace["f"], qualname)


@pytest.mark.parametrize("name, signature_src, args, kwargs", [
    ("_send_503", "(self, scope, send, reason)", ({},), {}),
    ("_send_401", "(self, scope, send, reason='invalid_api_key')", ({}, None, "r", "x"), {}),
    ("_send_401", "(self, scope, send, reason='invalid_api_key')", ({}, None), {"scope": {}}),
    ("_is_protected_path", "(self, path)", ("a", "b"), {}),
    ("_is_protected_path", "(self, path)", (), {"paht": "/"}),
    ("__call__", "(self, scope, receive, send)", (), {}),
    ("_verify_remote", "(self, api_key)", (), {"api_key": None, "self": None}),
])
def test_bound_gate_methods_bind_like_a_def(name, signature_src, args, kwargs):
    wg = pytest.importorskip("vexlo.mcp.wardgate")
    gate = wg.ApiKeyWardgate(object(), api_key="k")
    ref = types.MethodType(_ref_method(signature_src, f"ApiKeyWardgate.{name}"), gate)
    assert outcome(getattr(gate, name), *args, **kwargs) == outcome(ref, *args, **kwargs)


def _py_handling(exc, fn):
    try:
        raise exc
    except BaseException:
        return fn()


# The C API shows the innermost non-empty handled exception only, so a native `except` cannot
# tell an awaiting coroutine that handles nothing from one that handles the very object its
# driver handles. It keeps what was visible: a coroutine driven from an `except` block and
# then resumed from outside one still sees that block's exception (Python: None). The other
# choice loses a coroutine's own exception (next test), which breaks a bare `raise`.
@pytest.mark.parametrize("handling, after_resume", [(vx.handling, "outer"), (_py_handling, None)],
                         ids=["native", "python"])
def test_exception_being_handled_is_seen_inside_and_restored_after(handling, after_resume):
    inner, outer = ValueError("inner"), KeyError("outer")
    seen = []

    @types.coroutine
    def suspend():
        yield

    async def body():
        seen.append(handling(inner, sys.exception))
        seen.append(sys.exception())
        await suspend()
        # Resumed where nothing is handled: what the caller handled before must not stick.
        seen.append(sys.exception())
        try:
            handling(inner, lambda: 1 / 0)
        except ZeroDivisionError as exc:
            seen.append(exc.__context__)

    coro = body()
    try:
        raise outer
    except KeyError:
        coro.send(None)
        seen.append(sys.exception())
    with pytest.raises(StopIteration):
        coro.send(None)
    assert seen == [inner, outer, outer, after_resume and outer, inner]


@pytest.mark.parametrize("handling", [vx.handling, _py_handling], ids=["native", "python"])
def test_a_coroutine_keeps_its_exception_when_its_driver_handles_the_same(handling):
    shared = ValueError("shared")

    @types.coroutine
    def suspend():
        yield

    async def caller():
        try:
            raise shared
        except ValueError:
            handling(KeyError("inner"), lambda: None)
            await suspend()
            assert sys.exception() is shared
            raise

    coro = caller()
    try:
        raise shared
    except ValueError:
        coro.send(None)
    with pytest.raises(ValueError) as info:
        coro.send(None)
    assert info.value is shared
