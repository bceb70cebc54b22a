"""Every quota unit accounted for when clients go away and the counter store misbehaves.

    .venv/bin/python bench/faults.py [--runs 40] [--workers 4] [--stores sqlite,redis]
                                     [--faults slowed,paused,killed] [--transports rest,mcp,sse]

For each store, fault and transport: the service (`python -m vexlo.server`, N workers, loopback)
gets RUNS scenario runs at once, the store is made to misbehave while they wait on it, and every
client drops its connection part-way (at a random moment within the fault). Once the store answers
again and the service has settled, the units the store holds must equal the runs that executed
(counted by each worker as the scenario runs; see _SITE_HOOK), in every combination.

Faults. SQLite: "slowed", another process takes the write lock for 0.4 s at a time; "paused", a
process holding the lock is stopped (SIGSTOP) for longer than a run may wait, then resumed;
"killed", a process holding the lock is killed. Redis: "slowed", writing clients held (CLIENT PAUSE)
for 0.4 s at a time; "paused", redis-server stopped (SIGSTOP) for longer than a run may wait;
"killed", redis-server killed (SIGKILL) and started again on its port from its append-only file.
Bounded: every wait has a limit, the servers are children of this process and stop with it.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import random
import secrets
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from procs import stop_group

STARTUP_TIMEOUT = 30.0
SETTLE_LIMIT = 60.0
# Longer than a run may wait on the store (the decision deadline), so that runs are refused too.
PAUSE_SECONDS = 7.0

# Written as sitecustomize.py for the server's processes: each executed scenario run appends one
# byte to a file (O_APPEND, one write: safe across processes).
_SITE_HOOK = '''
import importlib.util
import os
import sys

# --against: the governance modules of another checkout stand in for this one's.
_against = os.environ.get("VEXLO_FAULTS_AGAINST")
if _against:
    import vexlo.mcp, vexlo.mcp.tools, vexlo.server, vexlo.api
    for _name in ("vexlo._sqlite", "vexlo.mcp.counters", "vexlo.mcp.instrumentation", "vexlo.mcp.tools.quillon",
                  "vexlo.api.errors", "vexlo.server.mcp_service"):
        _path = os.path.join(_against, *_name.split(".")) + ".py"
        _spec = importlib.util.spec_from_file_location(_name, _path)
        _module = importlib.util.module_from_spec(_spec)
        sys.modules[_name] = _module
        _spec.loader.exec_module(_module)

from vexlo.quillon import services as _services

_real_run = _services.QuillonApiManager.run

def _counted_run(self, *args, **kwargs):
    result = _real_run(self, *args, **kwargs)
    fd = os.open(os.environ["VEXLO_FAULTS_RUNS_FILE"], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
    try:
        os.write(fd, b"r")
    finally:
        os.close(fd)
    return result

_services.QuillonApiManager.run = _counted_run
'''

_HOLD_LOCK = '''
import sqlite3, sys, time
conn = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=30)
conn.execute("BEGIN IMMEDIATE")
print("locked", flush=True)
time.sleep(float(sys.argv[2]))
conn.execute("COMMIT")
'''


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_port(port: int, proc: subprocess.Popen, probe: bytes, expect: bytes, limit: float = STARTUP_TIMEOUT) -> None:
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"{proc.args[0]} exited with {proc.returncode}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.sendall(probe)
                if s.recv(64).startswith(expect):
                    return
        except OSError:
            pass
        time.sleep(0.1)
    raise RuntimeError(f"nothing answers on port {port}")


class Redis:
    """A redis-server of our own that keeps its counters across a kill (append-only file, fsync always)."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.port = _free_port()
        self.proc: subprocess.Popen | None = None
        self.start()

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> None:
        self.proc = subprocess.Popen([shutil.which("redis-server") or "redis-server", "--port", str(self.port),
                                      "--bind", "127.0.0.1", "--save", "", "--appendonly", "yes",
                                      "--appendfsync", "always", "--dir", str(self.folder)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _wait_port(self.port, self.proc, b"PING\r\n", b"+PONG")

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.terminate()
            self.proc.wait(10)

    def client(self):
        import redis
        return redis.Redis.from_url(self.url, socket_timeout=5)


class Service:
    def __init__(self, work: Path, workers: int, redis_url: str | None, against: str | None = None) -> None:
        self.work = work
        self.port = _free_port()
        self.key = "vx_faults_" + secrets.token_hex(16)
        self.runs_file = work / "executed"
        self.runs_file.touch()
        site = work / "site"
        site.mkdir()
        (site / "sitecustomize.py").write_text(_SITE_HOOK)
        root = Path(__file__).resolve().parents[1]
        env = {**os.environ, "VEXLO_HOST": "127.0.0.1", "VEXLO_PORT": str(self.port),
               "VEXLO_DATA_DIR": str(work / "data"), "VEXLO_DEMO_KEY": self.key, "VEXLO_WORKERS": str(workers),
               "VEXLO_QUILLON_DAILY_QUOTA": "1000000", "VEXLO_QUILLON_RATE_PER_MINUTE": "1000000",
               "VEXLO_FAULTS_RUNS_FILE": str(self.runs_file),
               "PYTHONPATH": os.pathsep.join([str(site), str(root / "python")])}
        for name in ("VEXLO_API_KEY", "VEXLO_AUTH_VERIFY_URL", "VEXLO_PROTECTED_PREFIXES", "VEXLO_REDIS_URL"):
            env.pop(name, None)
        if redis_url:
            env["VEXLO_REDIS_URL"] = redis_url
        if against:
            env["VEXLO_FAULTS_AGAINST"] = against
        self.log = open(work / "server.log", "wb")
        self.proc = subprocess.Popen([sys.executable, "-m", "vexlo.server"], cwd=work, env=env,
                                     stdout=subprocess.DEVNULL, stderr=self.log, start_new_session=True)
        _wait_port(self.port, self.proc, b"GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                   b"HTTP/1.1 200")

    def executed(self) -> int:
        return self.runs_file.stat().st_size

    def stop(self) -> None:
        stop_group(self.proc, 15)
        self.log.close()


# --- clients that go away ------------------------------------------------------------------------

def _call_body(request_id: int = 1) -> bytes:
    return json.dumps({"jsonrpc": "2.0", "id": request_id, "method": "tools/call",
                       "params": {"name": "quillon_run", "arguments": {"scenario": "traffic_overview"}}}).encode()


def _post(port: int, path: str, key: str, body: bytes, extra: str = "") -> bytes:
    return (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nAuthorization: Bearer {key}\r\n"
            f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n{extra}\r\n").encode() + body


async def _answer(reader: asyncio.StreamReader, marker: bytes, limit: float) -> str:
    """Reads an answer until the message holding ``marker``: "ok" or "error" by its result."""
    async def scan() -> str:
        seen = b""
        while True:
            chunk = await reader.read(65536)
            if not chunk:
                return "closed"
            seen += chunk
            # An event's data line, or a whole JSON body where the service answers with one.
            compact = seen.replace(b" ", b"")
            at = compact.find(marker)
            if at >= 0:
                end = compact.find(b"\n", at)
                if end >= 0 or compact.rstrip().endswith(b"}"):
                    return "error" if b'"isError":true' in compact[at:] else "ok"
    return await asyncio.wait_for(scan(), limit)


async def _post_to_session(port: int, endpoint: str, key: str, body: bytes) -> None:
    """Posts one message to an SSE session; with several workers, only the one that holds the stream
    takes it (the others answer 404), so the post is repeated until it lands (bounded)."""
    for _ in range(200):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            writer.write(_post(port, endpoint, key, body, "Connection: close\r\n"))
            await writer.drain()
            status = (await asyncio.wait_for(reader.readline(), 10)).split()[1]
        finally:
            writer.close()
        if status.startswith(b"2"):
            return
    raise RuntimeError(f"no worker took the post to {endpoint}")


async def _dropped(port: int, key: str, transport: str, drop_after: float) -> str:
    """One run whose client closes its connection after ``drop_after`` seconds; what it saw by then."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        if transport == "rest":
            writer.write(_post(port, "/api/v1/quillon/run", key, b'{"scenario": "traffic_overview"}'))
        elif transport == "mcp":
            writer.write(_post(port, "/mcp", key, _call_body(),
                               "Accept: application/json, text/event-stream\r\n"))
        else:
            writer.write(f"GET /sse HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nAuthorization: Bearer {key}\r\n"
                         "Accept: text/event-stream\r\n\r\n".encode())
            await writer.drain()
            endpoint = None
            while endpoint is None:
                line = await asyncio.wait_for(reader.readline(), 10)
                if not line:
                    return "no-session"
                if line.startswith(b"data: /messages/"):
                    endpoint = line[6:].strip().decode()
            init = json.dumps({"jsonrpc": "2.0", "id": 0, "method": "initialize", "params": {
                "protocolVersion": "2025-06-18", "capabilities": {},
                "clientInfo": {"name": "faults", "version": "1"}}}).encode()
            done = json.dumps({"jsonrpc": "2.0", "method": "notifications/initialized"}).encode()
            for body in (init, done, _call_body()):
                await _post_to_session(port, endpoint, key, body)
                if body is init:  # the session answers on its stream before it takes further messages
                    await _answer(reader, b'"id":0', 10)
        await writer.drain()
        try:
            if transport == "rest":
                head = await asyncio.wait_for(reader.readline(), drop_after)
                return head.split()[1].decode() if len(head.split()) > 1 else "closed"
            # An event stream starts at once: the answer is the message that carries the call's id.
            return await _answer(reader, b'"id":1', drop_after)
        except TimeoutError:
            return "dropped"
    finally:
        writer.transport.abort()


# --- faults ---------------------------------------------------------------------------------------

class Fault:
    """Makes the store misbehave for a while, in a thread; ``window`` is how long clients may wait."""

    def __init__(self, store: str, kind: str, db: Path, redis: Redis | None) -> None:
        self.store, self.kind, self.db, self.redis = store, kind, db, redis
        self.window = PAUSE_SECONDS if kind == "paused" else 3.0
        self._thread = threading.Thread(target=self._run, daemon=True)
        self.error: BaseException | None = None

    def __enter__(self) -> "Fault":
        self._started = threading.Event()
        self._thread.start()
        self._started.wait(10)
        return self

    def __exit__(self, *exc) -> None:
        self._thread.join(60)

    def _holder(self, seconds: float) -> subprocess.Popen:
        proc = subprocess.Popen([sys.executable, "-c", _HOLD_LOCK, str(self.db), str(seconds)],
                                stdout=subprocess.PIPE, text=True)
        assert proc.stdout is not None and proc.stdout.readline().strip() == "locked"
        return proc

    def _run(self) -> None:
        try:
            getattr(self, f"_{self.store}_{self.kind}")()
        except BaseException as exc:  # reported by the caller
            self.error = exc
            self._started.set()

    def _sqlite_slowed(self) -> None:
        conn = sqlite3.connect(self.db, isolation_level=None, timeout=30)
        end = time.monotonic() + self.window
        self._started.set()
        while time.monotonic() < end:
            conn.execute("BEGIN IMMEDIATE")
            time.sleep(0.4)
            conn.execute("COMMIT")
            time.sleep(0.02)
        conn.close()

    def _sqlite_paused(self) -> None:
        holder = self._holder(0.5)
        holder.send_signal(signal.SIGSTOP)
        self._started.set()
        time.sleep(self.window)
        holder.send_signal(signal.SIGCONT)
        holder.wait(30)

    def _sqlite_killed(self) -> None:
        holder = self._holder(60)
        self._started.set()
        time.sleep(1.5)
        holder.kill()
        holder.wait(30)

    def _redis_slowed(self) -> None:
        client = self.redis.client()
        end = time.monotonic() + self.window
        self._started.set()
        while time.monotonic() < end:
            client.client_pause(400, all=False)
            time.sleep(0.42)
        client.close()

    def _redis_paused(self) -> None:
        self.redis.proc.send_signal(signal.SIGSTOP)
        self._started.set()
        time.sleep(self.window)
        self.redis.proc.send_signal(signal.SIGCONT)

    def _redis_killed(self) -> None:
        self.redis.client().client_pause(60_000, all=False)  # runs wait on it, then it dies under them
        self._started.set()
        time.sleep(1.5)
        self.redis.proc.kill()
        self.redis.proc.wait(10)
        time.sleep(1.0)
        self.redis.start()


def _units(store: str, db: Path, redis: Redis | None) -> int:
    if store == "sqlite":
        conn = sqlite3.connect(db, timeout=30)
        try:
            return int(conn.execute("SELECT coalesce(sum(used), 0) FROM quota_used").fetchone()[0])
        finally:
            conn.close()
    client = redis.client()
    try:
        keys = list(client.scan_iter(match="vexlo:quota:*", count=500))
        return sum(int(v) for v in client.mget(keys) if v is not None) if keys else 0
    finally:
        client.close()


def _settled(service: Service, store: str, db: Path, redis: Redis | None) -> tuple[int, int, float]:
    """Units held and runs executed once both have stopped moving (give-backs retry for a while)."""
    started = time.monotonic()
    last, stable_since = None, time.monotonic()
    while True:
        now = (_units(store, db, redis), service.executed())
        if now != last:
            last, stable_since = now, time.monotonic()
        if time.monotonic() - stable_since >= 3.0 or time.monotonic() - started > SETTLE_LIMIT:
            return last[0], last[1], round(time.monotonic() - started, 1)
        time.sleep(0.2)


def _scenario(service: Service, store: str, kind: str, transport: str, runs: int, db: Path,
              redis: Redis | None, rng: random.Random) -> dict:
    units0, executed0, _ = _settled(service, store, db, redis)
    with Fault(store, kind, db, redis) as fault:
        answered_after: list[float] = []

        async def timed(drop_after: float) -> str:
            started = time.monotonic()
            seen = await _dropped(service.port, service.key, transport, drop_after)
            if seen != "dropped":
                answered_after.append(time.monotonic() - started)
            return seen

        async def all_runs() -> list[str]:
            drops = [rng.uniform(0.2, fault.window - 0.2) for _ in range(runs)]
            return await asyncio.gather(*(timed(d) for d in drops), return_exceptions=True)
        seen = asyncio.run(all_runs())
    if fault.error is not None:
        raise fault.error
    units, executed, waited = _settled(service, store, db, redis)
    counts: dict[str, int] = {}
    for s in seen:
        name = s if isinstance(s, str) else type(s).__name__
        counts[name] = counts.get(name, 0) + 1
    return {"store": store, "fault": kind, "transport": transport, "units": units - units0,
            "executed": executed - executed0, "clients": counts, "settled_in_s": waited,
            "slowest_answer_s": round(max(answered_after, default=0.0), 2)}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--stores", default="sqlite,redis")
    parser.add_argument("--faults", default="slowed,paused,killed")
    parser.add_argument("--transports", default="rest,mcp,sse")
    parser.add_argument("--seed", type=int, default=16)
    parser.add_argument("--against", help="python/ folder of another checkout whose governance modules to run")
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args(argv)
    rng = random.Random(args.seed)
    rows = []
    for store in args.stores.split(","):
        with tempfile.TemporaryDirectory(prefix="vexlo-faults-") as tmp:
            work = Path(tmp)
            redis = None
            service = None
            try:
                if store == "redis":
                    (work / "redis").mkdir()
                    redis = Redis(work / "redis")
                service = Service(work, args.workers, redis.url if redis else None,
                                  str(Path(args.against).resolve()) if args.against else None)
                db = work / "data" / "governance.sqlite3"
                for kind in args.faults.split(","):
                    for transport in args.transports.split(","):
                        row = _scenario(service, store, kind, transport, args.runs, db, redis, rng)
                        rows.append(row)
                        if not args.json:
                            mark = "ok" if row["units"] == row["executed"] else "MISMATCH"
                            print(f"{store:6} {kind:6} {transport:4} units held {row['units']:3} runs executed "
                                  f"{row['executed']:3} {mark:8} clients {row['clients']} slowest answer {row['slowest_answer_s']} s "
                                  f"(settled in {row['settled_in_s']} s)", flush=True)
            finally:
                if service is not None:
                    service.stop()
                    text = (work / "server.log").read_text("utf-8", "replace")
                    if "Traceback" in text and not args.json:
                        print(f"server log of {store} holds {text.count('Traceback')} tracebacks", flush=True)
                if redis is not None:
                    redis.stop()
    if args.json:
        print(json.dumps(rows, indent=2))
    return 0 if all(r["units"] == r["executed"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
