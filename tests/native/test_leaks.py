"""Reference leaks of the native layer: many calls must leave the allocated block count flat.

A leak of one object on any path shows as about 100,000 blocks; the tolerance only absorbs
caches and free lists that settle during the warm-up.
"""
import gc
import sys
import types

import pytest

vx = pytest.importorskip("vexlo._vxtest")

pytestmark = pytest.mark.leakcheck

ROUNDS = 100_000
TOLERANCE = 50


@types.coroutine
def suspend(value=None):
    return (yield value)


async def py_value(value):
    return value


async def py_suspends(value):
    return await suspend(value)


async def cleanup_ok():
    return None


async def cleanup_fails():
    raise KeyError("cleanup")


class Holder:
    pass


def drive(coro, *sends):
    """Runs a coroutine by hand: first send(None), then each value in `sends`."""
    try:
        coro.send(None)
        for value in sends:
            coro.send(value)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("coroutine did not finish")


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{exc_type.__name__} not raised")


def coroutine_round(i):
    kind = i % 10
    if kind == 0:
        assert drive(vx.await_one(vx.give(i))) == i
    elif kind == 1:
        assert drive(vx.await_sum(py_value(i), py_suspends(1)), 1) == i + 1
    elif kind == 2:
        expect(ValueError, drive, vx.await_one(vx.fail(ValueError(i))))
    elif kind == 3:
        assert drive(vx.await_outcome(vx.fail(KeyError(i))))[0] == "error"
    elif kind == 4:
        assert drive(vx.await_outcome(py_suspends((i,))), (i,)) == ("ok", (i,))
    elif kind == 5:
        assert drive(vx.await_then_cleanup(py_suspends(i), cleanup_ok), i) == i
    elif kind == 6:
        expect(KeyError, drive, vx.await_then_cleanup(vx.fail(ValueError(i)), cleanup_fails))
    elif kind == 7:
        # Suspended, then closed; the awaited coroutine is closed too.
        c = vx.await_one(vx.await_one(py_suspends(i)))
        c.send(None)
        c.close()
    elif kind == 8:
        # Suspended, then an exception thrown in.
        c = vx.await_outcome(py_suspends(i))
        c.send(None)
        expect(StopIteration, c.throw, ValueError(i))
    else:
        # Suspended and dropped: finalised by reference counting; and a collectable cycle.
        c = vx.await_one(suspend(i))
        c.send(None)
        del c
        h = Holder()
        h.coro = vx.keep(h, suspend(i))
        h.coro.send(None)
        del h
        expect(StopIteration, vx.give(i).send, None)


def echo_round(i):
    kind = i % 8
    if kind == 0:
        assert vx.echo("x")["flag"] is False
    elif kind == 1:
        assert vx.echo("x", "y", flag=[i], data={"i": i})["flag"] is True
    elif kind == 2:
        expect(TypeError, vx.echo, i)
    elif kind == 3:
        expect(TypeError, vx.echo, "x", data=[i])
    elif kind == 4:
        expect(TypeError, vx.echo)
    elif kind == 5:
        expect(TypeError, vx.echo, "x", "y", "z", flag=1)
    elif kind == 6:
        expect(TypeError, vx.echo, "x", **{f"k{i % 3}": i})
    else:
        expect(TypeError, vx.returns, i)
        assert vx.returns(str(i)) == str(i)


def blocks_after(round_fn, count):
    for i in range(count):
        round_fn(i)
    gc.collect()
    return sys.getallocatedblocks()


@pytest.mark.parametrize("round_fn", [coroutine_round, echo_round], ids=["coroutines", "echo"])
def test_many_rounds_leave_block_count_flat(round_fn):
    before = min(blocks_after(round_fn, 2_000), blocks_after(round_fn, 2_000))
    # Two halves, the lower count wins: a leak grows in both, passing noise in one at most.
    after = min(blocks_after(round_fn, ROUNDS // 2), blocks_after(round_fn, ROUNDS // 2))
    assert after - before < TOLERANCE, after - before
