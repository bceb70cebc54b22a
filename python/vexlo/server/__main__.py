"""Run the vexlo service: ``python -m vexlo.server [options]`` (``make run ARGS="..."``).

Every option falls back to a VEXLO_* environment variable, then to its default. Without
--api-key or --auth-verify-url, keys are verified by the service's own key backend
(GET /v1/mcp/verify-key) against the SQLite key store in the data folder.
"""
from __future__ import annotations

import argparse
import dataclasses
import ipaddress
import os
import socket
import sys
from collections.abc import Mapping, Sequence
from typing import Any

from vexlo.server import metrics, startup
from vexlo.server.keys import OneLineParser, program_name
from vexlo.server.logs import log_config
from vexlo.server.settings import DEFAULT_PROTECTED_PREFIXES, Settings, parse_int, resolve_data_dir
from vexlo.server.startup import StartupError

APP_FACTORY = "vexlo.server.app:build_from_env"
# How long uvicorn waits for a worker's answer to its health check. A spawned worker answers only
# once it has imported the service; on a loaded machine that took over 5 s (uvicorn's default),
# and the worker was killed as dead while it was still starting. A hung worker is found later.
WORKER_HEALTHCHECK_SECONDS = 60


def build_parser() -> argparse.ArgumentParser:
    parser = OneLineParser(prog=program_name("vexlo.server"), description="Run the vexlo MCP and REST service.")
    parser.add_argument("--host", help="address to listen on (VEXLO_HOST, default 127.0.0.1)")
    parser.add_argument("--port", help="port to listen on (VEXLO_PORT, default 8000)")
    parser.add_argument("--data-dir", help="folder of the key store (VEXLO_DATA_DIR, default ./data)")
    parser.add_argument("--api-key", help="fixed-key mode: accept only this key (VEXLO_API_KEY; "
                                          "prefer the variable, command lines are visible to other users)")
    parser.add_argument("--auth-verify-url", help="verify keys with this external account backend "
                                                  "(VEXLO_AUTH_VERIFY_URL; default: the embedded one)")
    parser.add_argument("--protected-prefix", action="append", metavar="PREFIX",
                        help="path prefix that needs a key; repeatable (VEXLO_PROTECTED_PREFIXES, comma-separated; "
                             f"default {' '.join(DEFAULT_PROTECTED_PREFIXES)})")
    parser.add_argument("--trust-upstream-identity", action="store_true", default=None,
                        help="accept the upstream platform's identity headers instead of a key "
                             "(VEXLO_TRUST_UPSTREAM_IDENTITY); only behind a proxy that sets them")
    parser.add_argument("--workers", help="worker processes (VEXLO_WORKERS, default 1)")
    return parser


def settings_from_args(args: argparse.Namespace, environ: Mapping[str, str]) -> Settings:
    settings = Settings.from_env(environ)
    changes: dict[str, Any] = {}
    if args.host is not None:
        changes["host"] = args.host
    if args.port is not None:
        changes["port"] = parse_int("--port", args.port, low=1, high=65535)
    if args.data_dir is not None:
        changes["data_dir"] = resolve_data_dir(args.data_dir, environ)
    if args.api_key is not None:
        changes["api_key"] = args.api_key
    if args.auth_verify_url is not None:
        changes["auth_verify_url"] = args.auth_verify_url
    if args.protected_prefix:
        changes["protected_prefixes"] = tuple(args.protected_prefix)
    if args.trust_upstream_identity:
        changes["trust_upstream_identity"] = True
    if args.workers is not None:
        changes["workers"] = parse_int("--workers", args.workers, low=1)
    return dataclasses.replace(settings, **changes)


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _check_port(host: str, port: int) -> None:
    """StartupError when the server could not listen there (probed as uvicorn binds, with SO_REUSEADDR)."""
    try:
        family, kind, proto, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                                             flags=socket.AI_PASSIVE)[0]
        with socket.socket(family, kind, proto) as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            probe.bind(address)
    except OSError as exc:
        raise StartupError(f"cannot listen on {host}:{port}: {exc.strerror or exc}") from None


def _serving_line(settings: Settings) -> str:
    where = f"http://{settings.host}:{settings.port}" if ":" not in settings.host \
        else f"http://[{settings.host}]:{settings.port}"
    if settings.host in ("0.0.0.0", "::", ""):
        where += f" (every address of this machine; locally {settings.local_base_url})"
    return (f"vexlo: serving on {where} ({settings.workers} worker(s)); protected: "
            + ", ".join(settings.protected_prefixes))


def _prepare(settings: Settings) -> tuple[list[str], list[str]]:
    """Check the settings, the port and the data folder; returns the lines for stdout and stderr."""
    settings.validate()
    _check_port(settings.host, settings.port)
    prepared = startup.prepare(settings)
    prepared.store.close()  # the workers open their own
    base = settings.local_base_url
    lines = [_serving_line(settings)]
    if settings.api_key:
        lines.append("vexlo: fixed-key mode; try: "
                     f"curl -H \"Authorization: Bearer <your key>\" {base}/api/v1/whoami")
        lines.append("vexlo: note: fixed-key mode identifies no account, so /api/v1/whoami shows no e-mail "
                     "and /api/v1/quillon/run answers 401")
    elif settings.auth_verify_url:
        lines.append(f"vexlo: keys are verified by {settings.auth_verify_url}")
    else:
        assert prepared.key_store is not None
        lines.append(f"vexlo: keys are verified by the embedded backend, store {prepared.key_store.path}")
    lines += startup.key_lines(settings, prepared, hints=True)
    lines.append(startup.store_line(settings))
    warnings = [prepared.warning] if prepared.warning else []
    if prepared.warning:
        os.environ[startup.ENV_STORE_WARNED] = "1"  # shown here: the workers need not say it again
    if settings.trust_upstream_identity and not _is_loopback(settings.host):
        warnings.append("vexlo: warning: upstream identity headers are trusted on a non-loopback address; "
                        "anyone who can reach this port can claim any e-mail")
    return lines, warnings


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        settings = settings_from_args(args, os.environ)
        lines, warnings = _prepare(settings)
    except startup.STARTUP_ERRORS as exc:
        print(f"vexlo: error: {exc}", file=sys.stderr)
        return 2
    for line in lines:
        print(line, flush=True)
    for line in warnings:
        print(line, file=sys.stderr, flush=True)

    import uvicorn

    from vexlo.server.serving import raise_descriptor_limit, uvicorn_options

    # Before the workers start, so that they inherit it; their connection limit is kept below it.
    raise_descriptor_limit()
    # Workers build the app from the environment (see build_from_env), so export the settings.
    os.environ.update(settings.to_env())
    metrics_dir = metrics.prepare_multiprocess_dir()
    try:
        uvicorn.run(APP_FACTORY, factory=True, host=settings.host, port=settings.port,
                    workers=settings.workers, log_config=log_config(),
                    timeout_worker_healthcheck=WORKER_HEALTHCHECK_SECONDS, **uvicorn_options())
    finally:
        metrics.remove_multiprocess_dir(metrics_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
