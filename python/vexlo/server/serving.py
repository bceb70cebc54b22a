"""How ``python -m vexlo.server`` serves: uvicorn on its fast stack (httptools, uvloop where the
platform has them; h11 and asyncio otherwise), with the connection limits uvicorn lacks.

uvicorn closes idle keep-alive connections by itself, but waits forever for the head of a
request, and accepts connections until the process runs out of descriptors. The protocol here
adds both bounds:

- a request head must arrive within ``head_timeout`` seconds of the connection or of the first
  byte of the next request on it, else the connection is closed;
- at most ``max_connections`` connections per worker, a number kept well below the descriptor
  limit: a connection beyond it displaces the oldest one idle between requests, else the oldest
  one that has been waiting for a head for a second or more; when there is none, it is
  answered 503 and closed at once.

What is left over (a descriptor run out through other means) reaches the event loop's exception
handler, which here says so in one line at most once a minute instead of a traceback per accept.
"""
from __future__ import annotations

import asyncio
import errno
import logging
import resource
import time
import weakref
from typing import Any

from vexlo.server.settings import Settings

try:
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol as _BaseProtocol
except ImportError:  # httptools is missing: uvicorn's pure-Python parser
    from uvicorn.protocols.http.h11_impl import H11Protocol as _BaseProtocol  # type: ignore[assignment]

logger = logging.getLogger("vexlo.server")

# Descriptors a worker keeps for what is not a client connection: the listening socket, the
# event loop's own, the key store and counter files, log files, the verification client's pool
# (20 connections), Redis connections, the thread pool's work.
DESCRIPTOR_RESERVE = 128
WARNING_INTERVAL_SECONDS = 60.0
DISPLACE_AFTER_SECONDS = 1.0
_RESOURCE_ERRNOS = {errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM}

_BUSY_BODY = b'{"error":"service_unavailable","message":"Too many connections; retry shortly."}'
BUSY_RESPONSE = (b"HTTP/1.1 503 Service Unavailable\r\ncontent-type: application/json\r\n"
                 b"retry-after: 1\r\nconnection: close\r\ncontent-length: "
                 + str(len(_BUSY_BODY)).encode() + b"\r\n\r\n" + _BUSY_BODY)


def raise_descriptor_limit() -> tuple[int, int]:
    """Raise the soft limit of open descriptors to the hard limit; returns (before, after)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and soft != resource.RLIM_INFINITY and soft >= hard:
        return soft, soft
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    except (ValueError, OSError):
        # Some systems refuse an unlimited soft value; what is there still works.
        return soft, soft
    return soft, hard


def connection_limit(wanted: int) -> int:
    """``wanted``, lowered so that connections never take the descriptors a worker needs."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return wanted
    return max(1, min(wanted, soft - DESCRIPTOR_RESERVE))


class _Limits:
    """Per uvicorn server: the bounds, and the connections that may be displaced when the worker
    is full, oldest first (insertion order is age order)."""

    def __init__(self, max_connections: int, head_timeout: float) -> None:
        self.max_connections = connection_limit(max_connections)
        self.head_timeout = head_timeout
        # Served and idle until their next request: HTTP lets a server close these at any time.
        self.idle: dict[GuardedProtocol, None] = {}
        # Waiting for a request head, since when.
        self.waiting: dict[GuardedProtocol, float] = {}

    def displaceable(self) -> GuardedProtocol | None:
        for oldest in self.idle:
            return oldest
        for oldest, since in self.waiting.items():
            # A young one may just not have been read yet: the newcomer is refused instead.
            return oldest if time.monotonic() - since >= DISPLACE_AFTER_SECONDS else None
        return None


_last_warning = -WARNING_INTERVAL_SECONDS


def warn_now_and_then(text: str, *args: object) -> bool:
    """Log a warning unless one went out less than a minute ago (the process's log stays small
    however often the cause repeats); True when it was logged."""
    global _last_warning
    now = time.monotonic()
    if now - _last_warning < WARNING_INTERVAL_SECONDS:
        return False
    _last_warning = now
    logger.warning(text, *args)
    return True


# Keyed by uvicorn's per-server state object, so that servers in one process keep apart.
_limits: weakref.WeakKeyDictionary[Any, _Limits] = weakref.WeakKeyDictionary()


class _CoalescingTransport:
    """The connection's transport, with the writes of one event-loop turn sent as one.

    uvicorn writes a response's head and its body separately, which costs a send and a TCP
    segment each; joined, a plain response leaves in one. Nothing waits longer than the end of
    the current turn (a lone head, a stream's first event), and whatever is pending goes out
    before the connection is closed or half-closed, and counts in the write buffer's size.
    """

    __slots__ = ("_transport", "_loop", "_pending")

    # Larger writes are not copied into a join: they go out behind what is pending.
    JOIN_LIMIT = 64 * 1024

    def __init__(self, transport: Any, loop: asyncio.AbstractEventLoop) -> None:
        self._transport = transport
        self._loop = loop
        self._pending: list[bytes] | None = None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._transport, name)

    def write(self, data: bytes) -> None:
        pending = self._pending
        if pending is None:
            if len(data) > self.JOIN_LIMIT or self._transport.is_closing():
                self._transport.write(data)
                return
            self._pending = [data]
            self._loop.call_soon(self.flush)
        elif len(data) > self.JOIN_LIMIT:
            self.flush()
            self._transport.write(data)
        else:
            pending.append(data)

    def writelines(self, lines: Any) -> None:
        for data in lines:
            self.write(data)

    def flush(self) -> None:
        pending = self._pending
        if pending is None:
            return
        self._pending = None
        if not self._transport.is_closing():
            self._transport.write(pending[0] if len(pending) == 1 else b"".join(pending))

    def get_write_buffer_size(self) -> int:
        pending = self._pending
        size: int = self._transport.get_write_buffer_size()
        return size + (sum(map(len, pending)) if pending else 0)

    def close(self) -> None:
        self.flush()
        self._transport.close()

    def write_eof(self) -> None:
        self.flush()
        self._transport.write_eof()

    def abort(self) -> None:
        self._pending = None
        self._transport.abort()


class GuardedProtocol(_BaseProtocol):
    """uvicorn's HTTP protocol with the head timeout and the connection limit."""

    def __init__(self, config: Any, server_state: Any, app_state: Any, _loop: Any = None) -> None:
        super().__init__(config, server_state, app_state, _loop)
        limits = _limits.get(server_state)
        if limits is None:
            # Every worker reads the settings that the command exported to the environment.
            settings = Settings.from_env()
            limits = _limits[server_state] = _Limits(settings.max_connections, settings.request_head_timeout)
            install_resource_warning(self.loop)
        self._limits = limits
        self._head_timer: asyncio.TimerHandle | None = None
        self._refused = False

    def connection_made(self, transport: Any) -> None:
        limits = self._limits
        if len(self.connections) >= limits.max_connections:
            oldest = limits.displaceable()
            if oldest is not None:
                # Close one that sends nothing rather than refuse one that may: held-open
                # sockets then cannot lock real clients out.
                oldest._drop_waiting()
                oldest.transport.close()
            else:
                self._refused = True
                warn_now_and_then("vexlo: %d connections open, the most allowed; new ones are answered 503",
                            len(self.connections))
                transport.write(BUSY_RESPONSE)
                transport.close()
                return
        # Duck-typed: every other transport method reaches the real one through __getattr__.
        super().connection_made(_CoalescingTransport(transport, self.loop))  # type: ignore[arg-type]
        self._await_head()

    def data_received(self, data: bytes) -> None:
        if self._refused:
            return
        cycle = self.cycle
        super().data_received(data)
        if self.cycle is not cycle or self.transport.get_protocol() is not self:
            self._drop_waiting()  # a whole head arrived, or an upgrade handed the connection on
        elif self._head_timer is None and (cycle is None or cycle.response_complete):
            self._await_head()  # the first bytes of the next request

    def on_response_complete(self) -> None:
        super().on_response_complete()
        if not self.transport.is_closing() and (self.cycle is None or self.cycle.response_complete):
            # Idle between requests: uvicorn's keep-alive timeout closes it; displaceable meanwhile.
            self._limits.idle[self] = None

    def connection_lost(self, exc: Exception | None) -> None:
        if self._refused:
            return
        self._drop_waiting()
        super().connection_lost(exc)

    def _await_head(self) -> None:
        self._limits.idle.pop(self, None)
        self._limits.waiting[self] = time.monotonic()
        if self._head_timer is None:
            self._head_timer = self.loop.call_later(self._limits.head_timeout, self._head_timed_out)

    def _drop_waiting(self) -> None:
        self._limits.idle.pop(self, None)
        self._limits.waiting.pop(self, None)
        if self._head_timer is not None:
            self._head_timer.cancel()
            self._head_timer = None

    def _head_timed_out(self) -> None:
        self._head_timer = None
        self._limits.waiting.pop(self, None)
        if not self.transport.is_closing():
            self.transport.close()


def install_resource_warning(loop: asyncio.AbstractEventLoop) -> None:
    """Accept failures for want of descriptors or memory: one warning a minute, no traceback."""
    previous = loop.get_exception_handler()
    if getattr(previous, "_vexlo_resource_warning", False):
        return

    def handler(loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        exc = context.get("exception")
        if isinstance(exc, OSError) and exc.errno in _RESOURCE_ERRNOS:
            warn_now_and_then("vexlo: cannot accept connections: %s (limit of open files: %d); "
                        "refusing until some close", exc.strerror or exc,
                        resource.getrlimit(resource.RLIMIT_NOFILE)[0])
            return
        if previous is not None:
            previous(loop, context)
        else:
            loop.default_exception_handler(context)

    handler._vexlo_resource_warning = True  # type: ignore[attr-defined]
    loop.set_exception_handler(handler)


def uvicorn_options() -> dict[str, Any]:
    """What ``uvicorn.run`` gets besides the app, host, port and workers."""
    return {
        "http": GuardedProtocol,
        "loop": "auto",  # uvloop when installed
        # The SSE streams end at shutdown (they follow uvicorn's exit signal); anything else
        # still open after this is cancelled, so a stop never hangs.
        "timeout_graceful_shutdown": 10,
    }
