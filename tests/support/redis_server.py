"""A real redis-server on a loopback port, for the shared counter store."""
import contextlib
import os
import shutil
import socket
import subprocess
import time

import pytest


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def running_redis(folder, port=None):
    """Runs redis-server (no persistence) on ``port`` until the block ends; yields its URL."""
    binary = shutil.which("redis-server")
    if binary is None:
        pytest.fail("redis-server is missing; `make test` installs it (scripts/bootstrap.sh)")
    port = port or free_port()
    # The sanitizer run preloads its runtime for the interpreter; Redis is no concern of it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.Popen([binary, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
                             "--dir", str(folder)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                    s.sendall(b"PING\r\n")
                    if s.recv(16).startswith(b"+PONG"):
                        break
            except OSError:
                pass
            if proc.poll() is not None or time.monotonic() > deadline:
                pytest.fail("redis-server did not start")
            time.sleep(0.02)
        yield f"redis://127.0.0.1:{port}/0"
    finally:
        proc.terminate()
        proc.wait(10)


@pytest.fixture(scope="session")
def redis_url(tmp_path_factory):
    with running_redis(tmp_path_factory.mktemp("redis")) as url:
        yield url
