"""A programmable account backend for tests of remote key verification.

A real HTTP/1.1 server on 127.0.0.1 with an ephemeral port, served from background threads, so the
gate's pooled client goes through everything it meets in production: connect, keep-alive,
timeouts, redirects it must not follow, refused connections.

Each request looks for its reply in this order:

1. one-shot replies queued with `push`, consumed in order of arrival;
2. the standing reply for the presented key (`set_key`, `allow`, `deny`), the key being the query
   parameter "api_key", else the header "X-MCP-API-Key";
3. `default`, which declares every key invalid (200 with "valid" false).

Every request is recorded (method, path, query, headers in received order, body, client address)
before its reply is chosen, so tests can assert on it even when the reply is delayed.

`refuse()` takes the backend down, `resume()` brings it back on the same port; `refused_url`
points at a second port that is held but never listens. Both give the client a refused connection
rather than a reset or a timeout: a bound socket that does not listen answers connects with RST,
and holding it keeps the port from being handed to anyone else meanwhile.
"""
from __future__ import annotations

import asyncio
import collections
import json as _json
import socket
import socketserver
import sys
import threading
import time
import urllib.parse
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

HOST = "127.0.0.1"
VERIFY_PATH = "/v1/mcp/verify-key"

# Upper bounds so that a broken test cannot hang the run in setup or teardown.
_JOIN_TIMEOUT = 5.0
_WAIT_TIMEOUT = 5.0

_NO_JSON = object()


@dataclass(frozen=True)
class Reply:
    status: int = 200
    body: bytes = b""
    headers: tuple[tuple[str, str], ...] = ()
    delay: float = 0.0


def reply(status=200, *, json=_NO_JSON, body=None, delay=0.0, headers=()):
    """A reply: `json` is encoded with a JSON content type; `body` (bytes or str) is sent raw."""
    if json is not _NO_JSON and body is not None:
        raise ValueError("give json or body, not both")
    pairs = list(headers)
    if json is not _NO_JSON:
        body = _json.dumps(json).encode("utf-8")
        if not any(name.lower() == "content-type" for name, _ in pairs):
            pairs.insert(0, ("Content-Type", "application/json"))
    elif isinstance(body, str):
        body = body.encode("utf-8")
    return Reply(status=status, body=body or b"", headers=tuple(pairs), delay=float(delay))


def valid(**fields):
    """200 with "valid" true and the given user fields."""
    return reply(200, json={"valid": True, **fields})


INVALID = reply(200, json={"valid": False})


@dataclass(frozen=True)
class RecordedRequest:
    method: str
    path: str
    query: str
    headers: tuple[tuple[str, str], ...]
    body: bytes
    # Client address of the connection; two requests with the same peer shared one connection.
    peer: tuple[str, int]

    @property
    def header_names(self):
        return [name.lower() for name, _ in self.headers]

    def header(self, name):
        """First value of a header, name compared case-insensitively; None when absent."""
        name = name.lower()
        for n, v in self.headers:
            if n.lower() == name:
                return v
        return None

    def header_values(self, name):
        name = name.lower()
        return [v for n, v in self.headers if n.lower() == name]

    @property
    def params(self):
        return urllib.parse.parse_qs(self.query, keep_blank_values=True)

    @property
    def api_key(self):
        keys = self.params.get("api_key")
        return keys[0] if keys else self.header("X-MCP-API-Key")


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as the gate's pooled client expects

    def _serve(self):
        backend = self.server.backend
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        split = urllib.parse.urlsplit(self.path)
        request = RecordedRequest(
            method=self.command, path=split.path, query=split.query,
            headers=tuple(self.headers.items()), body=body,
            peer=tuple(self.client_address[:2]),
        )
        answer = backend._take(request)
        if answer.delay and backend._stopping.wait(answer.delay):
            # Torn down while holding the reply: drop the connection unanswered.
            self.close_connection = True
            return
        self.send_response(answer.status)
        for name, value in answer.headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(answer.body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(answer.body)
        self.wfile.flush()

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = do_OPTIONS = _serve

    def log_message(self, format, *args):
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    # Bursts of concurrent checks must not overflow the accept queue (dropped SYNs cost 1 s each).
    request_queue_size = 64

    def __init__(self, address, backend):
        self.backend = backend
        super().__init__(address, _Handler)

    def server_bind(self):
        # HTTPServer.server_bind resolves the host name (getfqdn), which may leave loopback.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def process_request(self, request, client_address):
        # Own thread bookkeeping, so teardown can cut live connections and join their threads.
        thread = threading.Thread(target=self.process_request_thread, args=(request, client_address),
                                  name="account-backend-conn", daemon=True)
        with self.backend._lock:
            self.backend._connections.add(request)
            self.backend._threads.append(thread)
        thread.start()

    def shutdown_request(self, request):
        with self.backend._lock:
            self.backend._connections.discard(request)
        super().shutdown_request(request)

    def handle_error(self, request, client_address):
        # Clients that time out or cancel leave broken pipes behind; keep them for debugging
        # instead of printing tracebacks.
        self.backend.errors.append(sys.exc_info()[1])


def _hold_port(port=0):
    """A socket bound to the port without listening: connects to it are refused."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((HOST, port))
    except BaseException:
        sock.close()
        raise
    return sock


class AccountBackend:
    def __init__(self):
        self._lock = threading.Lock()
        self._arrived = threading.Condition(self._lock)
        self._state_lock = threading.Lock()
        self._stopping = threading.Event()
        self._queue = collections.deque()
        self._by_key = {}
        self._requests = []
        self._connections = set()
        self._threads = []
        self._server = None
        self._serve_thread = None
        self._placeholder = None
        self._spare = None
        self.port = None
        self.default = INVALID
        # Called in the server thread with each RecordedRequest before its reply is chosen.
        self.on_request = None
        self.errors = []

    # -- programming --------------------------------------------------------------------------

    def push(self, *replies):
        """Queue one-shot replies, used by the next requests in order of arrival, whatever the key."""
        with self._lock:
            self._queue.extend(replies)

    def set_key(self, key, answer):
        with self._lock:
            self._by_key[key] = answer

    def allow(self, key, **fields):
        """Declare `key` valid; returns the JSON object the backend will answer with."""
        data = {"valid": True, **fields}
        self.set_key(key, reply(200, json=data))
        return data

    def deny(self, key, status=200):
        self.set_key(key, INVALID if status == 200 else reply(status, json={"valid": False}))

    # -- observation --------------------------------------------------------------------------

    @property
    def requests(self):
        with self._lock:
            return list(self._requests)

    @property
    def count(self):
        with self._lock:
            return len(self._requests)

    def wait_for(self, n, timeout=_WAIT_TIMEOUT):
        """Block until at least `n` requests arrived; False on timeout."""
        with self._arrived:
            return self._arrived.wait_for(lambda: len(self._requests) >= n, timeout)

    async def arrived(self, n, timeout=_WAIT_TIMEOUT):
        """`wait_for` for coroutines: polls without blocking the event loop."""
        deadline = time.monotonic() + timeout
        while self.count < n:
            if time.monotonic() > deadline:
                raise AssertionError(f"backend saw {self.count} requests, expected {n}")
            await asyncio.sleep(0.005)

    # -- addresses ----------------------------------------------------------------------------

    @property
    def base_url(self):
        return f"http://{HOST}:{self.port}"

    @property
    def url(self):
        return self.base_url + VERIFY_PATH

    @property
    def refused_url(self):
        return f"http://{HOST}:{self._spare.getsockname()[1]}{VERIFY_PATH}"

    # -- lifecycle ----------------------------------------------------------------------------

    def start(self):
        self._spare = _hold_port()
        self._listen(0)
        return self

    def refuse(self):
        """Stop listening and cut open connections; the port stays held, so connects are refused."""
        with self._state_lock:
            if self._server is None:
                return
            port = self.port
            self._unlisten()
            self._placeholder = _hold_port(port)

    def resume(self):
        with self._state_lock:
            if self._placeholder is None:
                return
            self._placeholder.close()
            self._placeholder = None
            self._listen(self.port)

    def close(self):
        self._stopping.set()  # releases delayed replies at once
        with self._state_lock:
            if self._server is not None:
                self._unlisten()
            for sock in (self._placeholder, self._spare):
                if sock is not None:
                    sock.close()
            self._placeholder = None
        deadline = time.monotonic() + _JOIN_TIMEOUT
        with self._lock:
            threads = list(self._threads)
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))

    def _listen(self, port):
        server = _Server((HOST, port), self)
        thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.01},
                                  name="account-backend", daemon=True)
        thread.start()
        self._server, self._serve_thread = server, thread
        self.port = server.server_address[1]

    def _unlisten(self):
        server, thread = self._server, self._serve_thread
        self._server = self._serve_thread = None
        server.shutdown()
        server.server_close()
        thread.join(_JOIN_TIMEOUT)
        with self._lock:
            live = list(self._connections)
        for conn in live:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _take(self, request):
        hook = self.on_request
        if hook is not None:
            hook(request)
        with self._lock:
            self._requests.append(request)
            if self._queue:
                answer = self._queue.popleft()
            else:
                answer = self._by_key.get(request.api_key, self.default)
            self._arrived.notify_all()
        return answer


_PROXY_VARS = ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy")


@pytest.fixture
def account_backend(monkeypatch):
    """A started AccountBackend, closed after the test."""
    # The gate's client honours proxy variables; the backend is reachable on loopback only.
    for var in _PROXY_VARS:
        monkeypatch.delenv(var, raising=False)
    backend = AccountBackend().start()
    try:
        yield backend
    finally:
        backend.close()
