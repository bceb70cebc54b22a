"""The service as deployed: the app factory under each ASGI server with two workers, and two
servers sharing one Redis; real processes, real HTTP on loopback."""
import asyncio
import importlib.util
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import httpx
import pytest

from tests.support.redis_server import free_port, redis_url  # noqa: F401

BIN = Path(sys.executable).parent
DEMO_KEY = "demo-key-for-deploy-tests-0123"
RUN = "/api/v1/quillon/run"
FACTORY = "vexlo.server.app:build_from_env"


def _command(server, port, args=()):
    host = ["--host", "127.0.0.1", "--port", str(port)]
    return {
        "vexlo": [sys.executable, "-m", "vexlo.server", *host, "--workers", "2"],
        "uvicorn": [sys.executable, "-m", "uvicorn", "--factory", FACTORY, *host, "--workers", "2"],
        "hypercorn": [str(BIN / "hypercorn"), "--workers", "2", "--bind", f"127.0.0.1:{port}", FACTORY + "()"],
        "granian": [str(BIN / "granian"), "--interface", "asgi", "--factory", *host, "--workers", "2", FACTORY],
    }[server] + list(args)


class Server:
    def __init__(self, folder, server, env, args=()):
        self.folder = folder
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        # The embedded key backend is reached on VEXLO_PORT by the gate.
        self.env = {**{k: v for k, v in os.environ.items() if not k.startswith("VEXLO_")},
                    "VEXLO_DATA_DIR": str(folder / "data"), "VEXLO_PORT": str(self.port), **env}
        self.log = folder / "server.log"
        with open(self.log, "wb") as log:
            # A session of its own, so that stopping it reaches every worker.
            self.proc = subprocess.Popen(_command(server, self.port, args), cwd=folder, env=self.env, stdout=log,
                                         stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 30
        while True:
            try:
                if httpx.get(self.url + "/healthz", timeout=1).status_code == 200:
                    break
            except httpx.TransportError:
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                pytest.fail(f"{server} did not start:\n{self.output()}")
            time.sleep(0.1)

    def output(self):
        return self.log.read_text(errors="replace")

    def trace(self):
        path = self.folder / ".tmp" / "quillon-trace.log"
        return path.read_text() if path.exists() else ""

    def pids(self, since=0):
        """Processes that started runs, from the trace file (from offset ``since`` on)."""
        return set(re.findall(r" pid=(\d+) \[QUILLON-TRACE\] api_start ", self.trace()[since:]))

    def warm_up(self, key, workers=2):
        """Runs of another user until every worker has served one: a server answers as soon as
        its first worker is up."""
        deadline = time.monotonic() + 20
        while len(self.pids()) < workers:
            assert time.monotonic() < deadline, "not every worker served"
            asyncio.run(_burst([self.url], key, 8))

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(5)


@pytest.fixture
def start(tmp_path):
    servers = []

    def start(server, name="a", args=(), **env):
        folder = tmp_path / name
        folder.mkdir()
        servers.append(Server(folder, server, env, args))
        return servers[-1]

    yield start
    for server in servers:
        server.stop()


async def _burst(targets, key, count):
    """``count`` concurrent runs spread over ``targets``, each on a connection of its own."""
    async def one(i):
        async with httpx.AsyncClient(timeout=30, trust_env=False) as client:
            return await client.post(targets[i % len(targets)] + RUN, headers={"Authorization": f"Bearer {key}"},
                                     json={"scenario": "traffic_overview"})
    return await asyncio.gather(*(one(i) for i in range(count)))


def _runs_counted(server):
    """Governed runs by outcome as /metrics reports them, summed over the workers."""
    text = httpx.get(server.url + "/metrics", timeout=10).text
    runs = {k: float(v) for k, v in re.findall(r'^vexlo_governed_runs_total\{outcome="(\w+)"\} (\S+)$', text, re.M)}
    # Each run is one store decision, timed with its outcome.
    decided = re.findall(r'^vexlo_store_op_seconds_count\{op="decide",outcome="(\w+)"\} (\S+)$', text, re.M)
    runs.update({"decided_" + k: float(v) for k, v in decided})
    return runs


def _outcomes(responses):
    codes = [r.json()["error"]["code"] if r.status_code == 429 else r.status_code for r in responses]
    return {c: codes.count(c) for c in set(codes)}


# Whether VEXLO_DEMO_KEY is set or a demo key is made alternates, to keep the servers few.
_GRANIAN = pytest.mark.skipif(importlib.util.find_spec("granian") is None, reason="granian does not install here")
SERVERS = [("vexlo", True), ("uvicorn", False), ("hypercorn", True), pytest.param("granian", False, marks=_GRANIAN)]
EVERY_SERVER = ["vexlo", "uvicorn", "hypercorn", pytest.param("granian", marks=_GRANIAN)]


@pytest.mark.parametrize("server, demo_key", SERVERS)
def test_one_quota_across_workers(start, tmp_path, server, demo_key):
    env = {"VEXLO_QUILLON_DAILY_QUOTA": "6", "VEXLO_QUILLON_RATE_PER_MINUTE": "1000"}
    if demo_key:
        env["VEXLO_DEMO_KEY"] = DEMO_KEY
    if server != "vexlo":
        # The service gives its own workers a folder to count in; other servers are given one.
        (tmp_path / "metrics").mkdir()
        env["PROMETHEUS_MULTIPROC_DIR"] = str(tmp_path / "metrics")
    running = start(server, **env)
    # Two workers set up one data folder: a generated demo key is made, and shown, once.
    made = re.findall(r"^    (vx_\S+)$", running.output(), re.M)
    assert len(made) == (0 if demo_key else 1), running.output()
    key = DEMO_KEY if demo_key else made[0]
    # The key command finds the server's store through the same VEXLO_DATA_DIR, with no option.
    added = subprocess.run([str(BIN / "vexlo-keys"), "add", "--email", "alice@example.com"], env=running.env,
                           cwd=running.folder, capture_output=True, text=True, check=True)
    alice = added.stdout.split()[-1]
    whoami = httpx.get(running.url + "/api/v1/whoami", headers={"Authorization": f"Bearer {alice}"})
    assert whoami.json()["data"]["email"] == "alice@example.com"
    running.warm_up(alice)
    before = len(running.trace())
    counted = _runs_counted(running)

    responses = asyncio.run(_burst([running.url], key, 30))
    # The kernel may hand a whole burst to one worker; more runs reach the other, which must
    # find the quota spent.
    deadline = time.monotonic() + 20
    while len(running.pids(before)) < 2 and time.monotonic() < deadline:
        responses += asyncio.run(_burst([running.url], key, 8))

    assert len(running.pids(before)) == 2, "the runs did not reach both workers"
    assert _outcomes(responses) == {200: 6, "QUILLON_QUOTA_INSUFFICIENT": len(responses) - 6}
    # Whichever worker answers the scrape, it counts the runs of both.
    now = _runs_counted(running)
    assert (now["ran"] - counted.get("ran", 0), now["quota"] - counted.get("quota", 0)) == (6, len(responses) - 6)
    assert (now["decided_taken"] - counted.get("decided_taken", 0),
            now["decided_quota"] - counted.get("decided_quota", 0)) == (6, len(responses) - 6)


def test_two_servers_share_one_quota_through_redis(start, redis_url):  # noqa: F811
    env = {"VEXLO_QUILLON_DAILY_QUOTA": "5", "VEXLO_QUILLON_RATE_PER_MINUTE": "1000",
           "VEXLO_DEMO_KEY": DEMO_KEY, "VEXLO_REDIS_URL": redis_url}
    first, second = start("vexlo", "first", **env), start("vexlo", "second", **env)
    assert first.env["VEXLO_DATA_DIR"] != second.env["VEXLO_DATA_DIR"]

    responses = asyncio.run(_burst([first.url, second.url], DEMO_KEY, 16))

    assert _outcomes(responses) == {200: 5, "QUILLON_QUOTA_INSUFFICIENT": 11}
    assert first.pids() and second.pids()


# How each server is told that the app is mounted below /vx, and the path a client then requests:
# uvicorn expects a proxy that strips the prefix, the others take it in the request.
ROOT_PATHS = [("uvicorn", ["--root-path", "/vx"], ""), ("hypercorn", ["--root-path", "/vx"], "/vx"),
              pytest.param("granian", ["--url-path-prefix", "/vx"], "/vx", marks=SERVERS[-1].marks)]


@pytest.mark.parametrize("server, args, prefix", ROOT_PATHS)
def test_root_path_keeps_routes_behind_the_gate(start, server, args, prefix):
    running = start(server, args=args, VEXLO_DEMO_KEY=DEMO_KEY)
    bearer = {"Authorization": f"Bearer {DEMO_KEY}"}
    tools_list = {"jsonrpc": "2.0", "id": 1, "method": "tools/list"}
    mcp_headers = {"accept": "application/json, text/event-stream"}
    with httpx.Client(base_url=running.url + prefix, timeout=10) as client:
        with client.stream("GET", "/sse") as anonymous:
            assert anonymous.status_code == 401
        assert client.post("/mcp", json=tools_list, headers=mcp_headers).status_code == 401
        assert client.get("/api/v1/whoami").status_code == 401
        whoami = client.get("/api/v1/whoami", headers=bearer)
        assert whoami.status_code == 200 and whoami.json()["data"]["email"] == "demo@vexlo.local"
        assert client.post("/mcp", json=tools_list, headers={**mcp_headers, **bearer}).status_code == 200


# Each server with its access log on, as an operator would run it.
ACCESS_LOGS = [("vexlo", []), ("uvicorn", []), ("hypercorn", ["--access-logfile", "-"]),
               pytest.param("granian", ["--access-log"], marks=SERVERS[-1].marks)]


@pytest.mark.parametrize("server, args", ACCESS_LOGS)
def test_log_lines_hold_no_secret_and_no_forged_line(start, server, args):
    running = start(server, args=args, VEXLO_DEMO_KEY=DEMO_KEY)
    session = "0123456789abcdef" * 2
    with httpx.Client(base_url=running.url, timeout=10) as client:
        assert client.get(f"/api/v1/whoami?api%5Fkey={DEMO_KEY}&x=1").status_code == 200
        client.get("/healthz%0A2026-01-01 INFO forged valid=True")
        client.get("/" + "p" * 60_000)
        posted = client.post(f"/messages/?session%5Fid={session}", json={"jsonrpc": "2.0", "method": "ping", "id": 1})
        assert posted.status_code == 404
        client.post("/messages/?session_id=..%0Ax", json={})
    time.sleep(0.5)  # servers write access lines after the response
    out = running.output()
    assert "/api/v1/whoami" in out  # the access lines are written
    assert DEMO_KEY not in out and session not in out
    assert not any(line.startswith("2026-01-01 INFO forged") for line in out.splitlines()), out
    assert len(out) < 20_000, out[-3000:]


@pytest.mark.parametrize("server", EVERY_SERVER)
def test_sse_sessions_open_close_and_the_server_stops_with_one_open(start, server):
    running = start(server, VEXLO_DEMO_KEY=DEMO_KEY)
    auth = {"Authorization": f"Bearer {DEMO_KEY}"}
    with httpx.Client(base_url=running.url, headers=auth, timeout=10) as client:
        for _ in range(3):  # more than one worker's worth: each closes its stream without a last chunk
            with client.stream("GET", "/sse") as stream:
                assert stream.status_code == 200
                assert next(stream.iter_lines()).startswith("event: endpoint")
        held = client.send(client.build_request("GET", "/sse"), stream=True)
        lines = held.iter_lines()  # kept: a dropped iterator would close the stream
        assert next(lines).startswith("event: endpoint")
        time.sleep(0.5)  # the closed streams are noticed and ended
        started = time.monotonic()
        os.killpg(running.proc.pid, signal.SIGTERM)
        running.proc.wait(8)  # hangs (and fails) when an open stream holds the worker
        stopped = time.monotonic() - started
        lines.close()
        held.close()
    output = running.output()
    assert stopped < 8
    for fault in ("Traceback", "UnexpectedMessageError", "ASGI flow error", "Response already started"):
        assert fault not in output, output
