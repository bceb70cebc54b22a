"""Native functions and coroutines where they still differ from a `def` / `async def` written the
same way. Each expectation is checked against the Python twin too, so it is CPython's own."""
import collections.abc
import copy
import inspect
import pickle
import types

import pytest

vx = pytest.importorskip("vexlo._vxtest")
quillon = pytest.importorskip("vexlo.api.routers.quillon")


# -- twins ------------------------------------------------------------------------------------

def echo(a: "str", b: "str | None" = None, *, flag: "bool" = False, data: "dict | None" = None) -> "dict":
    return {"a": a, "b": b, "flag": flag, "data": data}


def quillon_run(payload: "QuillonRunRequest", _user_email: "str" = None) -> "JSONResponse":
    pass


async def await_one(awaitable):
    return await awaitable


async def give(value):
    return value


@types.coroutine
def suspend(value=None):
    return (yield value)


PY = types.SimpleNamespace(await_one=await_one, give=give)


@pytest.fixture(params=["native", "python"])
def impl(request):
    return vx if request.param == "native" else PY


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except TypeError as exc:
        return ("TypeError", str(exc))


@pytest.mark.parametrize("native, twin, args, kwargs", [
    (vx.echo, echo, ("x",), {"dat": {}}),
    (vx.echo, echo, ("x",), {"flg": True}),
    (vx.echo, echo, (), {"a": "x", "bb": None}),
    (quillon.quillon_run, quillon_run, (None,), {"_user_emial": "a@b.c"}),
], ids=["dat", "flg", "bb", "_user_emial"])
def test_unexpected_keyword_error_suggests_the_close_name_like_a_def(native, twin, args, kwargs):
    # CPython 3.13 appends ". Did you mean '...'?" when a parameter name is close enough.
    assert outcome(native, *args, **kwargs) == outcome(twin, *args, **kwargs)


@pytest.mark.parametrize("fn", [echo, vx.echo, vx.give, quillon.quillon_run, quillon._quillon_result_response],
                         ids=["def", "echo", "give", "quillon_run", "_quillon_result_response"])
def test_functions_copy_and_pickle_by_reference(fn):
    assert copy.copy(fn) is fn
    assert copy.deepcopy({"endpoint": fn})["endpoint"] is fn
    assert pickle.loads(pickle.dumps(fn)) is fn


# -- coroutines -------------------------------------------------------------------------------

def test_python_await_refuses_a_coroutine_awaited_elsewhere(impl):
    inner = impl.await_one(suspend("first"))
    assert inner.send(None) == "first"

    async def second_awaiter():
        return await inner

    other = second_awaiter()
    try:
        with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
            other.send(None)
        # The first awaiter still owns it: its step was not taken.
        assert inner.cr_suspended
        with pytest.raises(StopIteration) as info:
            inner.send("mine")
        assert info.value.value == "mine"
    finally:
        other.close()
        inner.close()


def test_a_coroutine_is_not_an_iterator(impl):
    c = impl.give(1)

    def plain_generator():
        return (yield from c)

    try:
        assert not isinstance(c, collections.abc.Iterator)
        # next() is kept on native coroutines as a stepping shortcut; they are still no iterable.
        with pytest.raises(TypeError):
            iter(c)
        with pytest.raises(TypeError):
            list(plain_generator())
        # Awaiting goes through __await__, whose iterator does the stepping.
        it = c.__await__()
        with pytest.raises(StopIteration) as info:
            next(it)
        assert info.value.value == 1
    finally:
        c.close()


def returns(value) -> "str | None":
    return value


@pytest.mark.parametrize("action", [
    "f.__qualname__ = 1",
    "del f.__doc__; result = f.__doc__",
    "result = f.__builtins__ is vars(__import__('builtins'))",
    "result = f.__type_params__",
    "f.__annotations__ = None; result = f.__annotations__",
], ids=["qualname-error", "del-doc", "builtins", "type-params", "annotations-reset"])
def test_attributes_behave_like_a_def(action):
    def attempt(f):
        namespace = {"f": f}
        try:
            exec(action, namespace)
            return ("ok", namespace.get("result"))
        except Exception as exc:
            return (type(exc).__name__, str(exc))

    saved = vx.returns.__doc__, dict(vx.returns.__annotations__)
    try:
        assert attempt(vx.returns) == attempt(returns)
    finally:
        vx.returns.__doc__, vx.returns.__annotations__ = saved
