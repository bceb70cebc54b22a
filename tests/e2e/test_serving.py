"""Connection bounds of `python -m vexlo.server`'s protocol, the descriptor limit it starts with,
and the warning that stands in for a traceback per failed accept."""
import asyncio
import errno
import logging
import resource
import socket
import subprocess
import sys

import pytest
import uvicorn

from vexlo.server import serving
from vexlo.server.serving import BUSY_RESPONSE, GuardedProtocol


async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"2")]})
    await send({"type": "http.response.body", "body": b"ok"})


async def _serve(monkeypatch, body, max_connections, head_timeout=1):
    monkeypatch.setenv("VEXLO_MAX_CONNECTIONS", str(max_connections))
    monkeypatch.setenv("VEXLO_REQUEST_HEAD_TIMEOUT", str(head_timeout))
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(app, http=GuardedProtocol, lifespan="off", log_config=None,
                                           log_level="warning", access_log=False, timeout_keep_alive=30))
    serving_task = asyncio.ensure_future(server.serve(sockets=[sock]))
    try:
        while not server.started:
            assert not serving_task.done()
            await asyncio.sleep(0.01)
        return await asyncio.wait_for(body(port), 20)
    finally:
        server.should_exit = True
        await asyncio.wait_for(serving_task, 5)
        sock.close()


async def _connect(port, send=b""):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    if send:
        writer.write(send)
    return reader, writer


async def _get(port):
    reader, writer = await _connect(port, b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    try:
        return await asyncio.wait_for(reader.read(), 3)
    finally:
        writer.close()


@pytest.mark.parametrize("first_bytes", [b"", b"GET / HTTP/1.1\r\nHost: x\r\n"], ids=["silent", "half-head"])
def test_a_head_that_does_not_arrive_closes_the_connection(monkeypatch, first_bytes):
    async def body(port):
        reader, writer = await _connect(port, first_bytes)
        try:
            # uvicorn alone keeps such a connection open for ever.
            return await asyncio.wait_for(reader.read(), 4)
        finally:
            writer.close()

    assert asyncio.run(_serve(monkeypatch, body, max_connections=10)) == b""


def test_a_kept_alive_connection_gets_a_fresh_head_timeout_per_request(monkeypatch):
    async def body(port):
        reader, writer = await _connect(port)
        answers = []
        for _ in range(2):  # each head sent in two halves, 0.6 s apart: 1.2 s in all, over the timeout
            writer.write(b"GET / HTTP/1.1\r\n")
            await asyncio.sleep(0.6)
            writer.write(b"Host: x\r\n\r\n")
            answers.append(await asyncio.wait_for(reader.readuntil(b"ok"), 3))
        writer.write(b"GET / HTTP/1.1\r\n")  # and then the next head stalls
        try:
            return answers, await asyncio.wait_for(reader.read(), 4)
        finally:
            writer.close()

    answers, rest = asyncio.run(_serve(monkeypatch, body, max_connections=10))
    assert [a.split(b"\r\n")[0] for a in answers] == [b"HTTP/1.1 200 OK"] * 2 and rest == b""


def test_a_full_worker_displaces_silent_connections_else_answers_503(monkeypatch):
    async def body(port):
        silent = [await _connect(port) for _ in range(3)]
        refused = await _get(port)  # all three may still send their request
        await asyncio.sleep(1.1)
        displacing = await _get(port)  # now the oldest gives way
        first_closed = await asyncio.wait_for(silent[0][0].read(), 1)
        for _, writer in silent:
            writer.close()
        return refused, displacing, first_closed

    refused, displacing, first_closed = asyncio.run(_serve(monkeypatch, body, max_connections=3, head_timeout=30))
    assert refused == BUSY_RESPONSE
    assert displacing.startswith(b"HTTP/1.1 200 OK") and first_closed == b""


def test_descriptor_limit_raised_to_hard_and_connections_kept_below_it():
    code = ("import resource; from vexlo.server import serving as s; "
            "print(s.raise_descriptor_limit(), resource.getrlimit(resource.RLIMIT_NOFILE), "
            "s.connection_limit(5000), s.connection_limit(10))")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard == resource.RLIM_INFINITY or hard < 512:
        pytest.skip("needs a finite hard limit of 512 or more")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))).stdout
    assert out.split() == f"(256, {hard}) ({hard}, {hard}) {min(5000, hard - serving.DESCRIPTOR_RESERVE)} 10".split()


def test_running_out_of_descriptors_warns_once_a_minute(monkeypatch, caplog):
    passed_on = []
    monkeypatch.setattr(serving, "_last_warning", -serving.WARNING_INTERVAL_SECONDS)

    async def main():
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda _, context: passed_on.append(context["message"]))
        serving.install_resource_warning(loop)
        serving.install_resource_warning(loop)  # a second server in the process: still one handler
        for _ in range(50):
            loop.call_exception_handler({"message": "socket.accept() out of system resource",
                                         "exception": OSError(errno.EMFILE, "Too many open files")})
        loop.call_exception_handler({"message": "something else", "exception": ValueError()})

    with caplog.at_level(logging.WARNING, "vexlo.server"):
        asyncio.run(main())
    assert [r.getMessage().split(":")[1] for r in caplog.records] == [" cannot accept connections"]
    assert passed_on == ["something else"]


class _Wire:
    """A transport that records what reaches the socket."""

    def __init__(self):
        self.sent, self.closing = [], False

    def write(self, data):
        self.sent.append(bytes(data))

    def is_closing(self):
        return self.closing

    def get_write_buffer_size(self):
        return 0

    def close(self):
        self.sent.append("close")
        self.closing = True

    def write_eof(self):
        self.sent.append("eof")

    def abort(self):
        self.sent.append("abort")
        self.closing = True


BIG = b"x" * (serving._CoalescingTransport.JOIN_LIMIT + 1)


@pytest.mark.parametrize("steps, sent", [
    (["head", "body", "turn"], [b"headbody"]),
    (["head", "turn", "body", "turn"], [b"head", b"body"]),  # a lone head is not held back
    (["head", "body", "close", "turn"], [b"headbody", "close"]),
    (["head", "eof", "turn"], [b"head", "eof"]),
    (["head", "abort", "turn"], ["abort"]),
    (["head", "big", "body", "turn"], [b"head", BIG, b"body"]),
    (["close", "head", "turn"], ["close", b"head"]),  # after close: as the transport itself does
], ids=["joined", "lone-head", "close", "eof", "abort", "big", "after-close"])
def test_writes_of_one_turn_leave_together_in_order(steps, sent):
    async def run():
        wire = _Wire()
        transport = serving._CoalescingTransport(wire, asyncio.get_running_loop())
        for step in steps:
            if step == "turn":
                await asyncio.sleep(0)
            elif step in ("close", "eof", "abort"):
                getattr(transport, "write_eof" if step == "eof" else step)()
            else:
                transport.write(BIG if step == "big" else step.encode())
        return wire.sent

    assert asyncio.run(run()) == sent
