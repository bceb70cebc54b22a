"""Bounds on open SSE sessions, and their end at shutdown.

A session holds a connection, a task group and about 100 kB for as long as its client keeps the
stream open, so one key could otherwise take every descriptor of the process. Sessions are
counted per key (per upstream identity when there is no key) and per process; a request over
either count is refused before the SDK makes any session: 429 over the key's count, 503 over the
process's, both with Retry-After.

At shutdown the open streams are ended here, whichever server runs the app: some servers wait
for every response to finish before they stop, and an SSE stream finishes only when its client
leaves.
"""
from __future__ import annotations

import asyncio
import collections
import contextlib
import signal
import threading
from collections.abc import Callable, Iterator
from typing import Any

import anyio
from starlette.responses import Response

from vexlo.api.errors import error_response
from vexlo.server import metrics

PER_KEY_RETRY_AFTER_SECONDS = 30
PROCESS_RETRY_AFTER_SECONDS = 5
SHUTDOWN_WAIT_SECONDS = 5.0


def owner_of(ctx: Any) -> str:
    """Whom a session counts against: the key presented, else the identity the gate found."""
    if not isinstance(ctx, dict):
        return "anonymous"
    key = ctx.get("api_key")
    if isinstance(key, str) and key:
        return "key:" + key
    return f"identity:{ctx.get('user_id')}:{ctx.get('email')}"


class SseSessions:
    def __init__(self, *, max_sessions: int, max_per_key: int) -> None:
        self.max_sessions = max_sessions
        self.max_per_key = max_per_key
        self._per_owner: dict[str, int] = {}
        self._scopes: set[anyio.CancelScope] = set()
        self._stopping = False
        # Streams refused, by cap: "per_key" (429) or "per_process" (503, also while stopping).
        self.refused: collections.Counter[str] = collections.Counter()

    @property
    def open(self) -> int:
        return len(self._scopes)

    def refusal(self, ctx: Any) -> Response | None:
        """The answer for a stream the caps do not allow, or None when it may open."""
        if self._per_owner.get(owner_of(ctx), 0) >= self.max_per_key:
            response = error_response(
                code="TOO_MANY_SSE_SESSIONS", status_code=429,
                message=f"This key already has {self.max_per_key} open SSE sessions; close one first")
            response.headers["retry-after"] = str(PER_KEY_RETRY_AFTER_SECONDS)
            self.refused["per_key"] += 1
            metrics.sse_refused("per_key")
            return response
        if self._stopping or len(self._scopes) >= self.max_sessions:
            response = error_response(code="SSE_CAPACITY_REACHED", status_code=503,
                                      message="The server holds as many SSE sessions as it can; retry later")
            response.headers["retry-after"] = str(PROCESS_RETRY_AFTER_SECONDS)
            self.refused["per_process"] += 1
            metrics.sse_refused("per_process")
            return response
        return None

    @contextlib.contextmanager
    def hold(self, ctx: Any) -> Iterator[anyio.CancelScope]:
        """Count one session for as long as the block runs; the scope is cancelled at shutdown.

        Call right after ``refusal`` returned None, with no await in between, so that two
        streams cannot both take the last place."""
        owner = owner_of(ctx)
        scope = anyio.CancelScope()
        self._per_owner[owner] = self._per_owner.get(owner, 0) + 1
        self._scopes.add(scope)
        try:
            yield scope
        finally:
            self._scopes.discard(scope)
            left = self._per_owner[owner] - 1
            if left:
                self._per_owner[owner] = left
            else:
                del self._per_owner[owner]

    def stop_all(self) -> None:
        """End every open stream; from now on new ones are refused (503): the process is stopping."""
        self._stopping = True
        for scope in list(self._scopes):
            scope.cancel()

    async def close_all(self) -> None:
        """``stop_all``, then give the streams a moment to send their last chunk."""
        self.stop_all()
        with anyio.move_on_after(SHUTDOWN_WAIT_SECONDS):
            while self._scopes:
                await anyio.sleep(0.02)


@contextlib.contextmanager
def on_termination(callback: Callable[[], None]) -> Iterator[None]:
    """Also call ``callback`` on the running loop when SIGTERM or SIGINT arrives.

    Whatever the server does with the signal still happens: its handler is called after ours,
    and a handler that the server set through its event loop is still dispatched by the loop
    (that goes through the loop's wake-up descriptor, which a Python-level handler leaves alone).
    Some servers begin their shutdown by waiting for every open response, so the streams must
    learn of the signal itself, not of the lifespan shutdown that follows. Only the main thread
    may set handlers; elsewhere, and where the server left a signal at its default, nothing is
    changed.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    loop = asyncio.get_running_loop()
    installed: dict[signal.Signals, tuple[Any, Any]] = {}

    def chain(previous: Callable[[int, Any], Any]) -> Callable[[int, Any], Any]:
        def handler(signum: int, frame: Any) -> Any:
            # A signal handler runs between two bytecodes of the loop's own thread: scheduling
            # through call_soon_threadsafe is the way asyncio allows from there.
            loop.call_soon_threadsafe(callback)
            return previous(signum, frame)
        return handler

    for sig in (signal.SIGTERM, signal.SIGINT):
        previous = signal.getsignal(sig)
        # A handler bound to a server object with an exit flag (uvicorn's) is left in place: the
        # SSE library finds the server through it and ends its streams when the flag is set,
        # also when it is set without a signal.
        if callable(previous) and not hasattr(getattr(previous, "__self__", None), "should_exit"):
            handler = chain(previous)
            signal.signal(sig, handler)
            installed[sig] = (handler, previous)
    try:
        yield
    finally:
        for sig, (handler, previous) in installed.items():
            if signal.getsignal(sig) is handler:  # not replaced since: put the server's back
                signal.signal(sig, previous)
