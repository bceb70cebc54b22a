"""The gate served by real uvicorn on loopback, in front of a tiny app that echoes what it got."""
import json
import pathlib
import socket
import sys
import threading
import time
from dataclasses import dataclass, field

import pytest

_ROOT = str(pathlib.Path(__file__).resolve().parents[2])
if _ROOT not in sys.path:
    sys.path.insert(0, _ROOT)

from tests.support.account_backend import account_backend  # noqa: E402,F401
from tests.support.clock import wall_clock  # noqa: E402,F401

_STARTUP_TIMEOUT = 5.0
_SHUTDOWN_TIMEOUT = 5.0


class EchoApp:
    """Answers every HTTP request with the "mcp_" scope keys and the request context it ran
    under, as ordered [name, value] pairs. On lifespan shutdown it closes the gate's client,
    because that client's connections belong to the server's event loop."""

    def __init__(self):
        self.gate = None
        self.calls = 0

    async def __call__(self, scope, receive, send):
        if scope["type"] == "lifespan":
            await self._lifespan(receive, send)
            return
        self.calls += 1
        from vexlo.mcp.context import mcp_request_ctx
        ctx = mcp_request_ctx.get()
        body = json.dumps({
            "scope": [[k, v] for k, v in scope.items() if k.startswith("mcp_")],
            "ctx": None if ctx is None else [[k, v] for k, v in ctx.items()],
        }).encode()
        more = True
        while more:
            message = await receive()
            more = message.get("more_body", False)
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"application/json")]})
        await send({"type": "http.response.body", "body": body})

    async def _lifespan(self, receive, send):
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                aclose = getattr(self.gate._client, "aclose", None)
                if aclose is not None:
                    await aclose()
                await send({"type": "lifespan.shutdown.complete"})
                return


@dataclass
class RunningGate:
    url: str
    gate: object
    app: EchoApp
    server: object = field(repr=False)
    thread: threading.Thread = field(repr=False)
    sock: socket.socket = field(repr=False)


@pytest.fixture
def gate_server(wg):
    """Starts `wg.ApiKeyWardgate(EchoApp(), **settings)` under uvicorn; stops it after the test."""
    import uvicorn

    running = []

    def start(**settings):
        app = EchoApp()
        gate = wg.ApiKeyWardgate(app, **settings)
        app.gate = gate
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
        # log_config=None keeps uvicorn from reconfiguring the test process's logging.
        config = uvicorn.Config(gate, host="127.0.0.1", port=port, log_level="warning", log_config=None,
                                access_log=False, lifespan="on", timeout_graceful_shutdown=2)
        server = uvicorn.Server(config)
        thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]},
                                  name="uvicorn-gate", daemon=True)
        thread.start()
        entry = RunningGate(f"http://127.0.0.1:{port}", gate, app, server, thread, sock)
        running.append(entry)
        deadline = time.monotonic() + _STARTUP_TIMEOUT
        while not server.started:
            if not thread.is_alive() or time.monotonic() > deadline:
                raise RuntimeError("uvicorn did not start")
            time.sleep(0.01)
        return entry

    yield start

    for entry in running:
        entry.server.should_exit = True
    for entry in running:
        entry.thread.join(_SHUTDOWN_TIMEOUT)
        entry.sock.close()
        assert not entry.thread.is_alive(), "uvicorn did not stop"
        # The lifespan shutdown reached the app through the gate and closed the client.
        assert getattr(entry.gate._client, "is_closed", True)
