"""Native coroutines, checked against the same scenario written as `async def`.

Every test that takes `impl` runs twice: against the native coroutine functions of the test
extension and against `async def` twins below with the same names. Both must satisfy the
same concrete expectations, so the Python run shows that the expectation is CPython's.
"""
import asyncio
import gc
import inspect
import os
import subprocess
import sys
import types
import warnings
import weakref

import pytest

vx = pytest.importorskip("vexlo._vxtest")


# -- the async def twins ----------------------------------------------------------------------

async def await_one(awaitable):
    return await awaitable


async def await_outcome(awaitable):
    try:
        value = await awaitable
    except BaseException as exc:
        return ("error", exc)
    return ("ok", value)


async def await_then_cleanup(awaitable, cleanup):
    try:
        return await awaitable
    finally:
        await cleanup()


async def await_sum(a, b):
    x = await a
    y = await b
    return x + y


async def keep(obj, awaitable):
    return await awaitable


async def fail(exc):
    raise exc


async def give(value):
    return value


PY = types.SimpleNamespace(await_one=await_one, await_outcome=await_outcome,
                           await_then_cleanup=await_then_cleanup, await_sum=await_sum, keep=keep,
                           fail=fail, give=give)


@pytest.fixture(params=["native", "python"])
def impl(request):
    return vx if request.param == "native" else PY


# -- helpers ----------------------------------------------------------------------------------

@types.coroutine
def suspend(value=None):
    """Yields `value` to whoever drives the outermost coroutine; returns what it sends back."""
    return (yield value)


async def steps(log, *values):
    """Suspends once per value, logs what happens to it, returns what was sent in."""
    try:
        return [await suspend(v) for v in values]
    except BaseException as exc:
        log.append(("saw", type(exc).__name__))
        raise
    finally:
        log.append("finally")


class BareAwaitable:
    """Its iterator has neither throw() nor close()."""

    def __await__(self):
        return BareIterator()


class BareIterator:
    def __init__(self):
        self.done = False

    def __iter__(self):
        return self

    def __next__(self):
        if self.done:
            raise StopIteration("bare result")
        self.done = True
        return "bare"


def step(fn, *args):
    """What one protocol call did: ("yield", v), ("return", v) or ("raise", type, text, exc)."""
    try:
        return ("yield", fn(*args))
    except StopIteration as exc:
        return ("return", exc.value)
    except BaseException as exc:
        return ("raise", type(exc), str(exc), exc)


def raised(result):
    """(type, text) of a raising step; anything else unchanged, so a comparison shows it."""
    return result[1:3] if result[0] == "raise" else result


def frame_names(tb):
    names = []
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def run(coro):
    return asyncio.run(coro)


# -- results through an event loop ------------------------------------------------------------

async def _coro_value():
    await asyncio.sleep(0)
    return (1, 2)


def _later(value):
    fut = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_soon(fut.set_result, value)
    return fut


@pytest.mark.parametrize("build, expected", [
    (lambda m: m.give(5), 5),
    (lambda m: m.give((1, 2)), (1, 2)),
    (lambda m: m.await_one(_coro_value()), (1, 2)),
    (lambda m: m.await_one(asyncio.sleep(0, "slept")), "slept"),
    (lambda m: m.await_one(_later("future")), "future"),
    (lambda m: m.await_one(m.await_one(m.await_one(m.give("deep")))), "deep"),
    (lambda m: m.await_sum(m.give(1), asyncio.sleep(0, 2)), 3),
    (lambda m: m.await_sum(_later("a"), m.await_one(_later("b"))), "ab"),
    (lambda m: m.await_outcome(m.give(1)), ("ok", 1)),
    (lambda m: m.await_outcome(asyncio.sleep(0)), ("ok", None)),
    (lambda m: m.keep(object(), asyncio.sleep(0, 9)), 9),
], ids=["give", "give-tuple", "py-coroutine", "sleep", "future", "nested",
        "sum", "sum-futures", "outcome", "outcome-none", "keep"])
def test_awaited_values(impl, build, expected):
    async def main():
        return await build(impl)

    assert run(main()) == expected


def test_tasks_accept_native_coroutines(impl):
    async def main():
        task = asyncio.create_task(impl.await_one(asyncio.sleep(0, "t")))
        assert "await_one" in repr(task)
        gathered = await asyncio.gather(impl.give(1), impl.await_one(impl.give(2)))
        return await task, gathered, await asyncio.ensure_future(impl.give(3))

    assert run(main()) == ("t", [1, 2], 3)
    c = impl.give(0)
    assert asyncio.iscoroutine(c)
    c.close()


# -- driving by hand --------------------------------------------------------------------------

def test_sent_values_reach_the_innermost_awaitable(impl):
    log = []
    c = impl.await_one(impl.await_one(steps(log, "a", "b")))
    it = c.__await__()
    assert [step(it.send, None), step(it.send, 1), step(it.send, 2)] == [
        ("yield", "a"), ("yield", "b"), ("return", [1, 2])]
    assert log == ["finally"]

    it = impl.await_sum(suspend("x"), suspend("y")).__await__()
    assert [step(it.send, None), step(it.send, 3), step(it.send, 4)] == [
        ("yield", "x"), ("yield", "y"), ("return", 7)]

    it = impl.await_one(BareAwaitable()).__await__()
    assert [step(next, it), step(next, it)] == [("yield", "bare"), ("return", "bare result")]


@pytest.mark.parametrize("value", [(1, 2), (), None, ValueError("as value"), [1]], ids=repr)
@pytest.mark.parametrize("how", ["send", "next"])
def test_return_value_is_not_unpacked(impl, value, how):
    it = impl.give(value).__await__()
    result = step(it.send, None) if how == "send" else step(next, it)
    assert result == ("return", value) and result[1] is value


def test_just_started_refuses_a_value(impl):
    it = impl.give("g").__await__()
    assert raised(step(it.send, 1)) == (TypeError, "can't send non-None value to a just-started coroutine")
    assert step(it.send, None) == ("return", "g")


def test_finished_coroutine_cannot_be_reused(impl):
    c = impl.give(1)
    it = c.__await__()
    assert step(it.send, None) == ("return", 1)
    reuse = (RuntimeError, "cannot reuse already awaited coroutine")
    assert raised(step(it.send, None)) == reuse
    assert raised(step(it.throw, ValueError("v"))) == reuse
    assert step(it.close) == ("yield", None)

    async def again():
        return await c

    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        run(again())


def test_throw_into_a_fresh_coroutine(impl):
    exc = KeyError("k")
    c = impl.await_one(suspend("never"))
    it = c.__await__()
    result = step(it.throw, exc)
    assert result[1] is KeyError and result[3] is exc
    assert raised(step(it.send, None)) == (RuntimeError, "cannot reuse already awaited coroutine")
    assert (c.cr_running, c.cr_suspended) == (False, False)


@pytest.mark.parametrize("inner_impl", ["async-def", "same"])
def test_awaiting_a_coroutine_that_is_awaited_elsewhere(impl, inner_impl):
    # Two awaiters driving one coroutine would each get half of its steps.
    if inner_impl == "same":
        inner = impl.await_one(suspend("first"))
    else:
        inner = steps([], "first", "second")
    assert inner.send(None) == "first"
    it = impl.await_one(inner).__await__()
    assert raised(step(it.send, None)) == (RuntimeError, "coroutine is being awaited already")
    inner.close()


# -- throw ------------------------------------------------------------------------------------

async def catches_and_returns():
    try:
        await suspend("waiting")
    except ValueError as exc:
        return ("caught", exc)


async def catches_and_continues():
    try:
        await suspend("waiting")
    except ValueError:
        return await suspend("again")


async def does_not_catch():
    await suspend("waiting")


@pytest.mark.parametrize("nested", [False, True], ids=["direct", "nested"])
def test_throw_reaches_the_inner_awaitable_first(impl, nested):
    def start(inner):
        c = impl.await_one(impl.await_one(inner) if nested else inner)
        it = c.__await__()
        assert step(it.send, None) == ("yield", "waiting")
        return c, it

    exc = ValueError("thrown")
    c, it = start(catches_and_returns())
    result = step(it.throw, exc)
    assert result[0] == "return" and result[1][0] == "caught" and result[1][1] is exc

    c, it = start(catches_and_continues())
    assert step(it.throw, exc) == ("yield", "again")
    assert c.cr_suspended
    assert step(it.send, "sent") == ("return", "sent")

    c, it = start(does_not_catch())
    result = step(it.throw, exc)
    assert result[3] is exc and not c.cr_suspended

    # A thrown class is instantiated.
    c, it = start(catches_and_returns())
    result = step(it.throw, ValueError)
    assert result[0] == "return" and type(result[1][1]) is ValueError


def test_throw_without_a_throw_method_raises_at_the_await(impl):
    exc = ValueError("at the await")
    c = impl.await_outcome(BareAwaitable())
    it = c.__await__()
    assert step(it.send, None) == ("yield", "bare")
    result = step(it.throw, exc)
    assert result[0] == "return" and result[1][0] == "error" and result[1][1] is exc


def test_throw_argument_errors(impl):
    c = impl.await_one(suspend("w"))
    it = c.__await__()
    it.send(None)
    assert raised(step(it.throw, ValueError, 1, 2, 3)) == (
        TypeError, "throw expected at most 3 arguments, got 4")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert raised(step(it.throw, ValueError, ValueError("x"))) == (
            DeprecationWarning, "the (type, exc, tb) signature of throw() is deprecated, "
                                "use the single-arg signature instead.")
    assert c.cr_suspended
    c.close()


# -- close and GeneratorExit ------------------------------------------------------------------

def test_close_throws_generator_exit_into_the_awaited_coroutine(impl):
    log = []
    c = impl.await_one(impl.await_one(steps(log, "a")))
    it = c.__await__()
    it.send(None)
    assert c.cr_suspended
    assert step(it.close) == ("yield", None)
    assert log == [("saw", "GeneratorExit"), "finally"]
    assert (c.cr_suspended, c.cr_running, c.cr_await) == (False, False, None)
    assert raised(step(it.send, None)) == (RuntimeError, "cannot reuse already awaited coroutine")
    assert step(it.close) == ("yield", None)


async def ignores_exit():
    try:
        await suspend("a")
    except GeneratorExit:
        await suspend("b")


async def returns_on_exit():
    try:
        await suspend("a")
    except GeneratorExit:
        return "ignored value"


async def raises_on_exit():
    try:
        await suspend("a")
    except GeneratorExit:
        raise ValueError("instead of exit") from None


@pytest.mark.parametrize("inner, via_one, via_outcome", [
    (ignores_exit, ("raise", RuntimeError, "coroutine ignored GeneratorExit"),
     ("error", RuntimeError, "coroutine ignored GeneratorExit")),
    (returns_on_exit, ("yield", None), ("error", GeneratorExit, "")),
    (raises_on_exit, ("raise", ValueError, "instead of exit"), ("error", ValueError, "instead of exit")),
], ids=["ignores", "returns", "raises"])
def test_close_outcomes(impl, inner, via_one, via_outcome):
    c = impl.await_one(inner())
    c.send(None)
    result = step(c.close)
    assert result[:len(via_one)] == via_one
    assert not c.cr_suspended

    # A body that handles the exit and returns makes close() return its value.
    c = impl.await_outcome(inner())
    c.send(None)
    result = step(c.close)
    assert result[0] == "yield"
    kind, exc = result[1]
    assert (kind, type(exc), str(exc)) == via_outcome


def test_generator_exit_thrown_in_closes_the_delegate(impl):
    log = []
    c = impl.await_one(steps(log, "a"))
    c.send(None)
    exc = GeneratorExit()
    result = step(c.throw, exc)
    assert result[1] is GeneratorExit and result[3] is exc
    assert log == [("saw", "GeneratorExit"), "finally"]


def test_reentry_is_refused(impl):
    holder = []

    class Reenter:
        def __init__(self, call):
            self.call = call

        def __await__(self):
            return self.call(holder[0])
            yield

    calls = {"send": lambda c: c.send(None), "throw": lambda c: c.throw(KeyError()),
             "close": lambda c: c.close()}
    for how, call in calls.items():
        holder[:] = [impl.await_outcome(Reenter(call))]
        result = step(holder[0].send, None)
        assert result[0] == "return" and result[1][0] == "error", how
        assert (type(result[1][1]), str(result[1][1])) == (ValueError, "coroutine already executing")
    holder[:] = [impl.await_one(Reenter(
        lambda c: (c.cr_running, c.cr_suspended, inspect.getcoroutinestate(c))))]
    assert step(holder[0].send, None) == ("return", (True, False, "CORO_RUNNING"))


def test_states(impl):
    c = impl.await_one(suspend("s"))
    assert (c.cr_running, c.cr_suspended, c.cr_await) == (False, False, None)
    assert (c.__name__, c.__qualname__) == ("await_one", "await_one")
    c.send(None)
    assert (c.cr_running, c.cr_suspended) == (False, True)
    assert inspect.isgenerator(c.cr_await)
    with pytest.raises(StopIteration):
        c.send(None)
    assert (c.cr_running, c.cr_suspended, c.cr_await) == (False, False, None)


def test_inspect_reports_states(impl, request):
    if "native" in request.node.callspec.id:
        # Native coroutines have no Python frame, and inspect reads a missing frame as closed.
        pytest.xfail("inspect.getcoroutinestate needs a Python frame")
    c = impl.await_one(suspend("s"))
    states = [inspect.getcoroutinestate(c)]
    c.send(None)
    states.append(inspect.getcoroutinestate(c))
    c.close()
    states.append(inspect.getcoroutinestate(c))
    assert states == ["CORO_CREATED", "CORO_SUSPENDED", "CORO_CLOSED"]


# -- cleanup, as `try: ... finally: await cleanup()` -------------------------------------------

class Cleanup:
    def __init__(self, error=None, call_error=None, suspends=False):
        self.error, self.call_error, self.suspends, self.calls = error, call_error, suspends, 0

    def __call__(self):
        self.calls += 1
        if self.call_error:
            raise self.call_error
        return self.run()

    async def run(self):
        if self.suspends:
            await asyncio.sleep(0)
        if self.error:
            raise self.error


CLEANUPS = {
    "ok": lambda err: Cleanup(),
    "suspends": lambda err: Cleanup(suspends=True),
    "fails": lambda err: Cleanup(error=err),
    "suspends-fails": lambda err: Cleanup(error=err, suspends=True),
    "call-fails": lambda err: Cleanup(call_error=err),
}


@pytest.mark.parametrize("main_fails", [False, True], ids=["main-ok", "main-fails"])
@pytest.mark.parametrize("cleanup_kind", list(CLEANUPS))
def test_cleanup_runs_whatever_happened(impl, main_fails, cleanup_kind):
    main_error, clean_error = ValueError("main"), KeyError("cleanup")
    cleanup = CLEANUPS[cleanup_kind](clean_error)
    cleanup_fails = "fails" in cleanup_kind

    async def main_work():
        await asyncio.sleep(0)
        if main_fails:
            raise main_error
        return "value"

    async def main():
        try:
            return ("ok", await impl.await_then_cleanup(main_work(), cleanup))
        except BaseException as exc:
            return ("error", exc)

    kind, got = run(main())
    assert cleanup.calls == 1
    if cleanup_fails:
        # The cleanup's error wins and carries the original one as its context.
        assert kind == "error" and got is clean_error
        assert got.__context__ is (main_error if main_fails else None)
    elif main_fails:
        assert kind == "error" and got is main_error and got.__context__ is None
    else:
        assert (kind, got) == ("ok", "value")


def test_cleanup_reraising_the_original_error(impl):
    err = ValueError("main")

    async def reraise():
        raise err

    c = impl.await_then_cleanup(impl.fail(err), reraise)
    result = step(c.send, None)
    assert result[3] is err
    # As in a `finally`, an exception is never its own context.
    assert err.__context__ is None


def test_cleanup_on_close(impl):
    log = []
    cleanup = Cleanup()
    c = impl.await_then_cleanup(steps(log, "a"), cleanup)
    c.send(None)
    assert step(c.close) == ("yield", None)
    assert cleanup.calls == 1 and log == [("saw", "GeneratorExit"), "finally"]

    # A cleanup that suspends while closing is an ignored GeneratorExit.
    c = impl.await_then_cleanup(suspend("a"), Cleanup(suspends=True))
    c.send(None)
    assert raised(step(c.close)) == (RuntimeError, "coroutine ignored GeneratorExit")
    assert c.cr_suspended
    # Thrown in again, the exit leaves the cleanup's sleep and then ends the body.
    assert raised(step(c.throw, GeneratorExit)) == (GeneratorExit, "")
    assert not c.cr_suspended


# -- exceptions crossing ----------------------------------------------------------------------

def test_errors_from_inside_keep_identity_and_traceback(impl):
    err = LookupError("deep")

    async def raiser():
        await asyncio.sleep(0)
        raise err

    async def main():
        try:
            await impl.await_one(impl.await_one(raiser()))
        except LookupError as exc:
            return exc

    got = run(main())
    assert got is err
    names = frame_names(got.__traceback__)
    assert names[0] == "main" and names[-1] == "raiser"

    async def main_outcome():
        return await impl.await_outcome(raiser())

    kind, got = run(main_outcome())
    assert kind == "error" and got is err and frame_names(got.__traceback__)[-1] == "raiser"


def test_error_raised_by_native_body_keeps_identity(impl):
    err = LookupError("from body")

    async def main():
        try:
            await impl.fail(err)
        except LookupError as exc:
            return exc

    got = run(main())
    assert got is err and "main" in frame_names(got.__traceback__)


def test_error_raised_while_handling_another_is_chained(impl):
    first, second = KeyError("first"), ValueError("second")
    try:
        raise first
    except KeyError:
        result = step(impl.fail(second).send, None)
    assert result[3] is second and second.__context__ is first


def test_thrown_exception_reaches_the_inner_coroutine_unchanged(impl):
    seen = []
    err = LookupError("thrown")

    async def inner():
        try:
            await suspend("w")
        except LookupError as exc:
            seen.append(exc)
            raise

    c = impl.await_one(impl.await_one(inner()))
    c.send(None)
    result = step(c.throw, err)
    assert seen == [err] and seen[0] is err and result[3] is err
    assert "inner" in frame_names(err.__traceback__)


def test_stop_iteration_in_body_becomes_runtime_error(impl):
    for stop in (StopIteration("v"), type("Sub", (StopIteration,), {})()):
        result = step(impl.fail(stop).send, None)
        assert raised(result) == (RuntimeError, "coroutine raised StopIteration")
        exc = result[3]
        assert exc.__cause__ is stop and exc.__context__ is stop and exc.__suppress_context__


class NonIterAwaitable:
    def __await__(self):
        return 1


class CoroutineAwaitable:
    def __init__(self):
        self.coro = give(None)

    def __await__(self):
        return self.coro


@pytest.mark.parametrize("make", [lambda: 1, NonIterAwaitable, CoroutineAwaitable],
                         ids=["int", "non-iterator", "coroutine"])
def test_await_of_unsuitable_objects(impl, make):
    obj = make()
    ref = step(PY.await_one(obj).send, None)
    got = step(impl.await_one(obj).send, None)
    assert raised(got) == raised(ref)
    if isinstance(obj, CoroutineAwaitable):
        obj.coro.close()


# -- with the event loop: cancellation and timeouts -------------------------------------------

def test_cancel_reaches_sleep_inside_native_code(impl):
    async def main():
        task = asyncio.create_task(impl.await_one(impl.await_one(asyncio.sleep(10))))
        await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            return task.cancelled()

    assert run(main()) is True


def test_cancel_is_an_outcome_and_cleanup_still_runs(impl):
    cleanup = Cleanup(suspends=True)

    async def main():
        caught = asyncio.create_task(impl.await_outcome(asyncio.sleep(10)))
        cleaned = asyncio.create_task(impl.await_then_cleanup(asyncio.sleep(10), cleanup))
        await asyncio.sleep(0)
        caught.cancel()
        cleaned.cancel()
        kind, exc = await caught
        try:
            await cleaned
        except asyncio.CancelledError:
            pass
        return kind, type(exc), caught.cancelled(), cleaned.cancelled()

    assert run(main()) == ("error", asyncio.CancelledError, False, True)
    assert cleanup.calls == 1


def test_timeouts(impl):
    async def main():
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.01):
                await impl.await_one(asyncio.sleep(10))
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(impl.await_sum(asyncio.sleep(0, 1), asyncio.sleep(10)), 0.01)
        async with asyncio.timeout(1):
            return await impl.await_one(asyncio.sleep(0, "in time"))

    assert run(main()) == "in time"


# -- finalisation and the cycle collector -----------------------------------------------------

@pytest.mark.parametrize("name, args", [("give", (1,)), ("await_one", (suspend(),)),
                                        ("fail", (ValueError(),))], ids=["give", "await_one", "fail"])
def test_never_awaited_warns(impl, name, args):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        c = getattr(impl, name)(*args)
        del c
        gc.collect()
    assert [(w.category, str(w.message)) for w in caught] == [
        (RuntimeWarning, f"coroutine '{name}' was never awaited")]


def test_finalisation_and_weakrefs_hold_across_many_short_lived_coroutines(impl):
    # Dead coroutine objects may be reused: every new one must still start from scratch.
    log = []
    for i in range(200):
        c = impl.give(i)
        ref = weakref.ref(c)
        assert step(c.send, None) == ("return", i)
        del c
        assert ref() is None
        if i % 50 == 0:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                dropped = impl.give(i)
                del dropped
            assert [str(w.message) for w in caught] == ["coroutine 'give' was never awaited"]
            suspended = impl.await_one(steps(log, i))
            suspended.send(None)
            del suspended  # finalised: closes what it awaits
            assert log[-2:] == [("saw", "GeneratorExit"), "finally"]


def test_closed_or_started_coroutines_do_not_warn(impl):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        c = impl.give(1)
        c.close()
        del c
        c = impl.give(1)
        step(c.send, None)
        del c
        gc.collect()
    assert caught == []


def test_dropping_a_suspended_coroutine_closes_it(impl):
    log = []
    c = impl.await_one(impl.await_one(steps(log, "a")))
    c.send(None)
    del c
    assert log == [("saw", "GeneratorExit"), "finally"]


def test_dropping_one_that_ignores_exit_reports_it(impl, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    c = impl.await_one(ignores_exit())
    c.send(None)
    del c
    gc.collect()
    assert [(type(r.exc_value), str(r.exc_value)) for r in reports][:1] == [
        (RuntimeError, "coroutine ignored GeneratorExit")]


ENTRIES = {"send": lambda c: c.send(None), "next": lambda c: c.__next__(),
           "throw": lambda c: c.throw(KeyError("late")), "close": lambda c: c.close()}


@pytest.mark.parametrize("how, expected", [
    ("send", (RuntimeError, "cannot reuse already awaited coroutine")),
    ("next", (RuntimeError, "cannot reuse already awaited coroutine")),
    ("throw", (RuntimeError, "cannot reuse already awaited coroutine")),
    ("close", None),
])
def test_python_run_while_the_collector_clears_a_coroutine_finds_it_finished(how, expected):
    # The collector's clear destroys the frame, whose destructor runs Python (here: the one
    # that reaches the coroutine and steps it).
    seen, box = [], []

    def on_destroy():
        try:
            ENTRIES[how](box[0])
            seen.append(None)
        except BaseException as exc:
            seen.append((type(exc), str(exc)))

    box.append(vx.stubborn(suspend, on_destroy))
    box[0].send(None)
    vx.clear(box[0])
    assert seen == [expected]


def test_cycle_through_a_kept_object_is_collected(impl):
    class Box:
        pass

    log = []
    box = Box()
    box.coro = impl.keep(box, steps(log, "a"))
    box.coro.send(None)
    box_ref, coro_ref = weakref.ref(box), weakref.ref(box.coro)
    del box
    gc.collect()
    assert box_ref() is None and coro_ref() is None
    assert log == [("saw", "GeneratorExit"), "finally"]


class Holder:
    def __await__(self):
        yield "held"


def _awaited_directly(impl, holder, log):
    return impl.await_one(holder)


def _made_by_a_call_in_the_body(impl, holder, log):
    # The body calls cleanup() and awaits the coroutine it returns, which refers to the holder.
    return impl.await_then_cleanup(give(None), lambda: steps(log, holder))


@pytest.mark.parametrize("build, finally_ran", [
    (_awaited_directly, []),
    (_made_by_a_call_in_the_body, [("saw", "GeneratorExit"), "finally"]),
], ids=["awaited", "called-then-awaited"])
def test_cycle_through_the_awaited_object_is_collected(impl, build, finally_ran):
    log = []
    holder = Holder()
    holder.coro = build(impl, holder, log)
    holder.coro.send(None)
    refs = weakref.ref(holder), weakref.ref(holder.coro)
    del holder
    gc.collect()
    assert [r() for r in refs] == [None, None]
    assert log == finally_ran


def test_unstarted_cycle_is_collected_with_a_warning(impl):
    class Box:
        pass

    box = Box()
    box.coro = impl.keep(box, give(None) if impl is PY else vx.give(None))
    ref = weakref.ref(box)
    del box
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        gc.collect()
    assert ref() is None
    assert sorted(str(w.message) for w in caught) == [
        "coroutine 'give' was never awaited", "coroutine 'keep' was never awaited"]


# -- depth ------------------------------------------------------------------------------------

DEEP_CHAIN = """
import sys
import vexlo._vxtest as vx
c = vx.give(1)
for _ in range(100_000):
    c = vx.await_one(c)
try:
    c.send(None)
except RecursionError:
    print("RecursionError")
except StopIteration as stop:
    print("returned", stop.value)
"""


def test_deep_await_chain_does_not_overflow_the_c_stack():
    # An `async def` chain stops with RecursionError long before this depth; a native one
    # must not run the process out of C stack instead.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-W", "ignore", "-c", DEEP_CHAIN], env=env,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, (out.returncode, out.stderr[-2000:])
    assert out.stdout.strip() in ("RecursionError", "returned 1")
