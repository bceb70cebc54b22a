"""Overload check of the service as `make run` starts it (embedded key backend, one worker).

Phases, each bounded in count and time:

With --backend external, a second server's key backend verifies the keys over HTTP, through
the gate's own pooled client.

1. burst: N connections at once to a protected path with a valid key that is not cached yet
   (the /sse stream, whose first line is all that is read, then /api/v1/whoami);
2. flood: C connections sending requests with made-up keys for S seconds;
3. long paths: unauthenticated GETs of "/api/v1/quillon/run/" plus 15,000 characters;
4. exhaustion (the server limited to --nofile descriptors, 1024 by default, soft and hard):
   I unauthenticated sockets that send nothing or half a request head, held for H seconds; then
   one key opening S /sse streams at once, all held. After each, whether /healthz and another
   key's /api/v1/whoami answer 200 within 2 s, and how much the server's stderr grew.

After each of the first two, the check measures the recovery time: how long until a key never
used before gets 200 and an unknown key 401. The third reports how many bytes a request adds to
the trace file. Loopback only; the server is a child of this process, started fresh in a
temporary folder and stopped at the end (it also stops if this process dies).

    .venv/bin/python bench/load.py [--burst 2000] [--flood-connections 1000] [--flood-seconds 10]
    .venv/bin/python bench/load.py --only exhaustion [--server vexlo|uvicorn|hypercorn|granian]
"""
from __future__ import annotations

import argparse
import asyncio
import collections
import json
import os
import resource
import secrets
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from procs import stop_group

STARTUP_TIMEOUT = 20.0
REQUEST_TIMEOUT = 30.0
RECOVERY_LIMIT = 30.0
LONG_PATH = "/api/v1/quillon/run/" + "a" * 15_000
PROBE_LIMIT = 2.0
FACTORY = "vexlo.server.app:build_from_env"


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def status_of(port: int, path: str, key: str | None = None, timeout: float = REQUEST_TIMEOUT) -> str:
    """The status code of one GET on a fresh connection, as text, or what went wrong. Only the
    status line is read, so a stream counts as answered as soon as it starts."""
    async def one() -> str:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            auth = f"Authorization: Bearer {key}\r\n" if key else ""
            writer.write(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{auth}Connection: close\r\n\r\n".encode())
            await writer.drain()
            line = await reader.readline()
            parts = line.split()
            return parts[1].decode() if len(parts) >= 2 else "no-status"
        finally:
            writer.close()
    try:
        return await asyncio.wait_for(one(), timeout)
    except TimeoutError:
        return "timeout"
    except OSError as exc:
        return type(exc).__name__


async def recovery(port: int, fresh_key: str, limit: float = RECOVERY_LIMIT) -> dict:
    """Seconds until a key not yet cached gets 200 and an unknown key gets 401 (None: never)."""
    started = time.monotonic()
    last = None
    while time.monotonic() - started < limit:
        known, unknown = await asyncio.gather(
            status_of(port, "/api/v1/whoami", fresh_key, timeout=limit),
            status_of(port, "/api/v1/whoami", "vx_unknown_" + secrets.token_hex(12), timeout=limit))
        last = (known, unknown)
        if last == ("200", "401"):
            return {"seconds": round(time.monotonic() - started, 2), "answers": list(last)}
        await asyncio.sleep(0.2)
    return {"seconds": None, "answers": list(last or ())}


async def burst(port: int, path: str, key: str, count: int) -> dict:
    started = time.monotonic()
    results = await asyncio.gather(*(status_of(port, path, key) for _ in range(count)))
    return {"path": path, "requests": count, "seconds": round(time.monotonic() - started, 2),
            "statuses": dict(collections.Counter(results))}


async def flood(port: int, connections: int, seconds: float) -> dict:
    deadline = time.monotonic() + seconds
    counts: collections.Counter[str] = collections.Counter()

    async def worker() -> None:
        while time.monotonic() < deadline:
            key = "vx_flood_" + secrets.token_hex(16)
            counts[await status_of(port, "/api/v1/whoami", key, timeout=max(1.0, deadline - time.monotonic() + 5))] += 1

    started = time.monotonic()
    await asyncio.gather(*(worker() for _ in range(connections)))
    elapsed = time.monotonic() - started
    return {"connections": connections, "seconds": round(elapsed, 2), "requests": sum(counts.values()),
            "per_second": round(sum(counts.values()) / elapsed, 1), "statuses": dict(counts)}


async def long_paths(port: int, trace: Path, requests: int, concurrency: int = 20) -> dict:
    before = _trace_bytes(trace)
    sem = asyncio.Semaphore(concurrency)

    async def one() -> str:
        async with sem:
            return await status_of(port, LONG_PATH)

    results = await asyncio.gather(*(one() for _ in range(requests)))
    grown = _trace_bytes(trace) - before
    return {"requests": requests, "path_chars": len(LONG_PATH), "statuses": dict(collections.Counter(results)),
            "trace_bytes": grown, "trace_bytes_per_request": round(grown / requests, 1)}


# The counters that follow the phases; the scrape after each phase shows them moving.
_WATCHED = ("vexlo_gate_requests_total", "vexlo_verify_checks_total", "vexlo_verify_cache_hits_total",
            "vexlo_sse_sessions_open", "vexlo_sse_refusals_total")


async def metrics_snapshot(port: int) -> dict:
    """The watched counters of one /metrics scrape, summed over their labels but the outcome."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        writer.write(f"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode())
        await writer.drain()
        text = (await asyncio.wait_for(reader.read(), REQUEST_TIMEOUT)).decode("utf-8", "replace")
    finally:
        writer.close()
    found: collections.Counter[str] = collections.Counter()
    for line in text.split("\r\n\r\n", 1)[-1].splitlines():
        name, _, value = line.rpartition(" ")
        metric = name.split("{", 1)[0]
        if metric in _WATCHED:
            outcome = name.partition('outcome="')[2].partition('"')[0]
            found[metric.removeprefix("vexlo_").removesuffix("_total") + (f":{outcome}" if outcome else "")] += \
                float(value)
    return dict(found)


async def probe(port: int, other_key: str) -> dict:
    """/healthz and another key's whoami, at once, each with PROBE_LIMIT seconds to answer."""
    started = time.monotonic()
    health, whoami = await asyncio.gather(status_of(port, "/healthz", timeout=PROBE_LIMIT),
                                          status_of(port, "/api/v1/whoami", other_key, timeout=PROBE_LIMIT))
    return {"healthz": health, "whoami": whoami, "seconds": round(time.monotonic() - started, 2)}


async def _open(port: int) -> tuple[asyncio.StreamReader, asyncio.StreamWriter] | str:
    try:
        return await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), REQUEST_TIMEOUT)
    except (OSError, TimeoutError) as exc:
        return type(exc).__name__


async def hold_idle(port: int, count: int, seconds: float, other_key: str) -> dict:
    """``count`` sockets, every other one with half a request head, held for ``seconds``."""
    opened = await asyncio.gather(*(_open(port) for _ in range(count)))
    conns = [c for c in opened if not isinstance(c, str)]
    for i, (_, writer) in enumerate(conns):
        if i % 2:
            writer.write(b"GET /api/v1/whoami HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    await asyncio.sleep(seconds)
    closed_by_server = sum(1 for reader, _ in conns if reader.at_eof() or reader.exception() is not None)
    result = {"sockets": count, "connected": len(conns), "held_seconds": seconds,
              "closed_by_server": closed_by_server,
              "connect_failures": dict(collections.Counter(c for c in opened if isinstance(c, str))),
              "probe": await probe(port, other_key)}
    for _, writer in conns:
        writer.close()
    return result


async def hold_sse(port: int, key: str, count: int, other_key: str) -> dict:
    """``count`` /sse streams of one key opened at once; each stays open (whatever its answer)
    until the probe is done."""
    writers: list[asyncio.StreamWriter] = []

    async def one() -> str:
        conn = await _open(port)
        if isinstance(conn, str):
            return conn
        reader, writer = conn
        writers.append(writer)
        writer.write(f"GET /sse HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nAuthorization: Bearer {key}\r\n\r\n".encode())
        try:
            line = await asyncio.wait_for(reader.readline(), REQUEST_TIMEOUT)
        except (OSError, TimeoutError) as exc:
            return type(exc).__name__
        parts = line.split()
        return parts[1].decode() if len(parts) >= 2 else "closed"

    started = time.monotonic()
    statuses = await asyncio.gather(*(one() for _ in range(count)))
    result = {"streams": count, "seconds": round(time.monotonic() - started, 2),
              "statuses": dict(collections.Counter(statuses)), "probe": await probe(port, other_key)}
    for writer in writers:
        writer.close()
    return result


def _server_command(server: str, port: int) -> list[str]:
    bin_dir = Path(sys.executable).parent
    host = ["--host", "127.0.0.1", "--port", str(port)]
    return {
        "vexlo": [sys.executable, "-m", "vexlo.server"],
        "uvicorn": [sys.executable, "-m", "uvicorn", "--factory", FACTORY, *host],
        "hypercorn": [str(bin_dir / "hypercorn"), "--bind", f"127.0.0.1:{port}", FACTORY + "()"],
        "granian": [str(bin_dir / "granian"), "--interface", "asgi", "--factory", *host, FACTORY],
    }[server]


def _limit_descriptors(count: int | None):  # type: ignore[no-untyped-def]
    if count is None:
        return None

    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_NOFILE, (count, count))  # as `ulimit -n` does: both
    return limit


def _trace_bytes(trace: Path) -> int:
    # With rotation, the backup holds what moved out of the file.
    return sum(p.stat().st_size for p in (trace, trace.with_name(trace.name + ".1")) if p.exists())


def _wait_until_up(port: int, proc: subprocess.Popen) -> None:
    deadline = time.monotonic() + STARTUP_TIMEOUT
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"the server exited with {proc.returncode}")
        if asyncio.run(status_of(port, "/healthz", timeout=1.0)) == "200":
            return
        time.sleep(0.1)
    raise RuntimeError("the server did not come up")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--burst", type=int, default=2000)
    parser.add_argument("--burst-paths", default="/sse,/api/v1/whoami")
    parser.add_argument("--flood-connections", type=int, default=1000)
    parser.add_argument("--flood-seconds", type=float, default=10.0)
    parser.add_argument("--long-requests", type=int, default=300)
    parser.add_argument("--backend", choices=("embedded", "external"), default="embedded",
                        help="external: keys are verified over HTTP by a second server's key backend "
                             "(the gate's own pooled client)")
    parser.add_argument("--only", choices=("all", "classic", "exhaustion"), default="all",
                        help="classic: burst, flood, long paths; exhaustion: held sockets and SSE streams")
    parser.add_argument("--server", choices=("vexlo", "uvicorn", "hypercorn", "granian"), default="vexlo",
                        help="how the server under test is started (python -m vexlo.server, or the factory "
                             "under a server's own command line with its defaults)")
    parser.add_argument("--nofile", type=int, default=1024,
                        help="descriptor limit of the server under test, soft and hard (0: unchanged)")
    parser.add_argument("--idle-sockets", type=int, default=1050)
    parser.add_argument("--idle-seconds", type=float, default=12.0)
    parser.add_argument("--sse-streams", type=int, default=1100)
    parser.add_argument("--json", action="store_true", help="print the report as JSON only")
    args = parser.parse_args(argv)
    # This process holds the other end of every socket.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    root = Path(__file__).resolve().parents[1]
    sys.path.insert(0, str(root / "python"))
    from vexlo.server.keystore import KeyStore

    with tempfile.TemporaryDirectory(prefix="vexlo-load-") as tmp:
        work = Path(tmp)
        store = KeyStore(work / "data")
        store.initialise()
        demo = "vx_load_" + secrets.token_hex(16)
        paths = [p for p in args.burst_paths.split(",") if p]
        fresh = [store.add(f"load{i}@example.com")[1] for i in range(2 * len(paths) + 4)]
        port = _free_port()
        env = {**os.environ, "VEXLO_HOST": "127.0.0.1", "VEXLO_PORT": str(port),
               "VEXLO_DATA_DIR": str(work / "data"), "VEXLO_DEMO_KEY": demo}
        for name in ("VEXLO_API_KEY", "VEXLO_AUTH_VERIFY_URL", "VEXLO_WORKERS", "VEXLO_PROTECTED_PREFIXES"):
            env.pop(name, None)
        log = open(work / "server.log", "wb")
        procs = []
        report: dict = {"port": port, "backend": args.backend}
        try:
            if args.backend == "external":
                backend_port = _free_port()
                (work / "backend").mkdir()
                procs.append(subprocess.Popen(
                    [sys.executable, "-m", "vexlo.server"], cwd=work / "backend",
                    env={**env, "VEXLO_PORT": str(backend_port)},
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True))
                _wait_until_up(backend_port, procs[-1])
                env = {**env, "VEXLO_AUTH_VERIFY_URL": f"http://127.0.0.1:{backend_port}/v1/mcp/verify-key",
                       "VEXLO_DATA_DIR": str(work / "gate-data")}
            proc = subprocess.Popen(_server_command(args.server, port), cwd=work, env=env,
                                    stdout=subprocess.DEVNULL, stderr=log, start_new_session=True,
                                    preexec_fn=_limit_descriptors(args.nofile or None))
            procs.append(proc)
            _wait_until_up(port, proc)
            trace = work / ".tmp" / "quillon-trace.log"

            async def run() -> None:
                keys = iter(fresh)
                report["metrics"] = [("start", await metrics_snapshot(port))]
                if args.only in ("all", "exhaustion"):
                    # First, while the server is fresh: the descriptors it holds are all its own.
                    sse_key, other = next(keys), next(keys)
                    log.flush()
                    before = (work / "server.log").stat().st_size
                    report["idle"] = await hold_idle(port, args.idle_sockets, args.idle_seconds, other)
                    report["sse"] = await hold_sse(port, sse_key, args.sse_streams, other)
                    await asyncio.sleep(1.0)  # what the closing streams log
                    report["exhaustion_stderr_bytes"] = (work / "server.log").stat().st_size - before
                    report["metrics"].append(("exhaustion", await metrics_snapshot(port)))
                if args.only in ("all", "classic"):
                    report["bursts"] = []
                    for path in paths:
                        result = await burst(port, path, next(keys), args.burst)
                        result["recovery"] = await recovery(port, next(keys))
                        report["bursts"].append(result)
                        report["metrics"].append((f"burst {path}", await metrics_snapshot(port)))
                    report["flood"] = await flood(port, args.flood_connections, args.flood_seconds)
                    report["flood"]["recovery"] = await recovery(port, next(keys))
                    report["metrics"].append(("flood", await metrics_snapshot(port)))
                    report["long_paths"] = await long_paths(port, trace, args.long_requests)
                    report["metrics"].append(("long paths", await metrics_snapshot(port)))

            asyncio.run(run())
        finally:
            for proc in procs:
                stop_group(proc, 10)
            log.close()
        text = (work / "server.log").read_text("utf-8", "replace")
        report["server_log"] = {name: text.count(name) for name in ("PoolTimeout", "ConnectTimeout", "ReadTimeout",
                                                                    "Traceback")}
        report["trace_file_bytes"] = _trace_bytes(work / ".tmp" / "quillon-trace.log")

    if args.json:
        print(json.dumps(report, indent=2))
        return 0
    ok = True
    if "idle" in report:
        i, s = report["idle"], report["sse"]
        print(f"idle sockets ({args.server}, {args.nofile or 'unchanged'} descriptors): {i['connected']} of "
              f"{i['sockets']} connected {i['connect_failures'] or ''}, {i['closed_by_server']} closed by the "
              f"server within {i['held_seconds']} s; then {i['probe']}")
        print(f"sse streams of one key: {s['streams']} in {s['seconds']} s {s['statuses']}; while held {s['probe']}")
        print(f"server stderr grew {report['exhaustion_stderr_bytes']} bytes")
        ok = all(p["healthz"] == "200" and p["whoami"] == "200" for p in (i["probe"], s["probe"])) \
            and report["exhaustion_stderr_bytes"] < 1 << 20
    if "bursts" not in report:
        print(f"server log: {report['server_log']}")
        for phase, counters in report["metrics"]:
            print(f"/metrics after {phase}: " + ", ".join(f"{k}={v:g}" for k, v in sorted(counters.items())))
        return 0 if ok else 1
    for b in report["bursts"]:
        print(f"burst {b['path']}: {b['requests']} at once in {b['seconds']} s {b['statuses']}; "
              f"recovered in {b['recovery']['seconds']} s {b['recovery']['answers']}")
    f = report["flood"]
    print(f"flood: {f['connections']} connections for {f['seconds']} s, {f['requests']} requests "
          f"({f['per_second']}/s) {f['statuses']}; recovered in {f['recovery']['seconds']} s {f['recovery']['answers']}")
    lp = report["long_paths"]
    print(f"long paths: {lp['requests']} unauthenticated GETs of {lp['path_chars']} characters {lp['statuses']}; "
          f"trace grew {lp['trace_bytes']} bytes ({lp['trace_bytes_per_request']} per request)")
    print(f"server log: {report['server_log']}; trace file total {report['trace_file_bytes']} bytes")
    for phase, counters in report["metrics"]:
        print(f"/metrics after {phase}: " + ", ".join(f"{k}={v:g}" for k, v in sorted(counters.items())))
    ok = ok and all(b["recovery"]["seconds"] is not None for b in report["bursts"]) \
        and f["recovery"]["seconds"] is not None
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
