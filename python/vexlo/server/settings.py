"""Service settings, from command-line options or ``VEXLO_*`` environment variables.

The command line exports its settings to the environment before uvicorn starts, so that every
worker process, which builds the app through ``build_from_env``, sees the same settings.
"""
from __future__ import annotations

import dataclasses
import os
import urllib.parse
from collections.abc import Mapping
from pathlib import Path

from vexlo.mcp.counters import redacted_url
from vexlo.mcp.instrumentation import QUOTA_ENV, parse_daily_quota
from vexlo.mcp.tools.quillon import RATE_ENV, parse_rate_per_minute
from vexlo.server.metrics import ENV_METRICS_TOKEN

DEFAULT_PROTECTED_PREFIXES: tuple[str, ...] = ("/sse", "/mcp", "/api/v1/whoami", "/api/v1/quillon/run")
VERIFY_PATH = "/v1/mcp/verify-key"
MIN_KEY_LENGTH = 16
MAX_KEY_LENGTH = 256

ENV_HOST = "VEXLO_HOST"
ENV_PORT = "VEXLO_PORT"
ENV_DATA_DIR = "VEXLO_DATA_DIR"
ENV_DEMO_KEY = "VEXLO_DEMO_KEY"
ENV_API_KEY = "VEXLO_API_KEY"
ENV_AUTH_VERIFY_URL = "VEXLO_AUTH_VERIFY_URL"
ENV_PROTECTED_PREFIXES = "VEXLO_PROTECTED_PREFIXES"
ENV_TRUST_UPSTREAM = "VEXLO_TRUST_UPSTREAM_IDENTITY"
ENV_WORKERS = "VEXLO_WORKERS"
ENV_REDIS_URL = "VEXLO_REDIS_URL"
ENV_MCP_ALLOWED_HOSTS = "VEXLO_MCP_ALLOWED_HOSTS"
ENV_MAX_CONNECTIONS = "VEXLO_MAX_CONNECTIONS"
ENV_HEAD_TIMEOUT = "VEXLO_REQUEST_HEAD_TIMEOUT"
ENV_SSE_MAX_SESSIONS = "VEXLO_SSE_MAX_SESSIONS"
ENV_SSE_MAX_SESSIONS_PER_KEY = "VEXLO_SSE_MAX_SESSIONS_PER_KEY"
DEFAULT_DATA_DIR = "data"

_TRUE = {"1", "true", "yes", "on"}
_FALSE = {"", "0", "false", "no", "off"}


class SettingsError(ValueError):
    """A setting that cannot work; its text is a one-line message for the operator."""


def key_problem(key: str) -> str | None:
    """Why ``key`` cannot serve as an API key, or None when it can.

    Header credentials reach the gate stripped, so a key with spaces could never match; short
    keys are guessable.
    """
    if not (MIN_KEY_LENGTH <= len(key) <= MAX_KEY_LENGTH):
        return f"must be {MIN_KEY_LENGTH} to {MAX_KEY_LENGTH} characters long"
    if not all("!" <= ch <= "~" for ch in key):
        return "must consist of printable ASCII characters without spaces"
    return None


def parse_bool(name: str, raw: str) -> bool:
    value = raw.strip().lower()
    if value in _TRUE:
        return True
    if value in _FALSE:
        return False
    raise SettingsError(f"{name} must be true or false, not {raw!r}")


def parse_int(name: str, raw: str, *, low: int, high: int | None = None) -> int:
    try:
        value = int(raw.strip())
    except ValueError:
        raise SettingsError(f"{name} must be a whole number, not {raw!r}") from None
    if value < low or (high is not None and value > high):
        bounds = f"between {low} and {high}" if high is not None else f"at least {low}"
        raise SettingsError(f"{name} must be {bounds}, not {value}")
    return value


def resolve_data_dir(option: str | None, environ: Mapping[str, str] | None = None) -> Path:
    """The data folder, resolved alike by the server and the key command: the option, else
    VEXLO_DATA_DIR, else ./data, relative to the current directory."""
    env = os.environ if environ is None else environ
    return Path(option or env.get(ENV_DATA_DIR) or DEFAULT_DATA_DIR).absolute()


@dataclasses.dataclass(frozen=True)
class Settings:
    host: str = "127.0.0.1"
    port: int = 8000
    data_dir: Path = Path("data")
    demo_key: str | None = None
    # Fixed-key mode when set; otherwise keys are verified by auth_verify_url, or by the
    # embedded backend of this service when that is None too.
    api_key: str | None = None
    auth_verify_url: str | None = None
    protected_prefixes: tuple[str, ...] = DEFAULT_PROTECTED_PREFIXES
    trust_upstream_identity: bool = False
    workers: int = 1
    # Quota and rate counters: in Redis when set (shared by several hosts), else in the data folder.
    redis_url: str | None = None
    # Host header values the MCP endpoints accept (name, name:port or name:*); empty: the SDK's
    # own choice, which accepts only loopback names when the server listens on a loopback address.
    mcp_allowed_hosts: tuple[str, ...] = ()
    # Opens /metrics to non-loopback clients that present it as a Bearer credential.
    metrics_token: str | None = None
    # Client connections per worker of `python -m vexlo.server` (also kept below the descriptor
    # limit), and the seconds a connection may take to send a request head.
    max_connections: int = 2048
    request_head_timeout: int = 5
    # Open SSE sessions per worker process, and per key (or per upstream identity).
    sse_max_sessions: int = 200
    sse_max_sessions_per_key: int = 10

    @property
    def uses_embedded_backend(self) -> bool:
        return not self.api_key and not self.auth_verify_url

    @property
    def local_base_url(self) -> str:
        """How a process on this machine reaches the server."""
        host = self.host
        if host in ("0.0.0.0", ""):
            host = "127.0.0.1"
        elif host == "::":
            host = "::1"
        if ":" in host:
            host = f"[{host}]"
        return f"http://{host}:{self.port}"

    @property
    def effective_verify_url(self) -> str | None:
        """The URL the gate verifies keys with; None in fixed-key mode."""
        if self.api_key:
            return None
        return self.auth_verify_url or self.local_base_url + VERIFY_PATH

    def validate(self) -> None:
        """Raise SettingsError for settings that would not work."""
        if not self.host.strip() or any(ch.isspace() for ch in self.host):
            raise SettingsError(f"host {self.host!r} is not a valid host name or address")
        if not 1 <= self.port <= 65535:
            raise SettingsError(f"port must be between 1 and 65535, not {self.port}")
        if self.workers < 1:
            raise SettingsError(f"workers must be at least 1, not {self.workers}")
        if self.api_key is not None and self.auth_verify_url is not None:
            raise SettingsError("--api-key and --auth-verify-url exclude each other: "
                                "the gate would ignore the fixed key and verify every key remotely")
        if self.api_key is not None and (problem := key_problem(self.api_key)):
            raise SettingsError(f"the fixed API key {problem}")
        if self.demo_key is not None and (problem := key_problem(self.demo_key)):
            raise SettingsError(f"{ENV_DEMO_KEY} {problem}")
        if self.metrics_token is not None and (problem := key_problem(self.metrics_token)):
            raise SettingsError(f"{ENV_METRICS_TOKEN} {problem}")
        if self.auth_verify_url is not None:
            url = urllib.parse.urlsplit(self.auth_verify_url)
            if url.scheme not in ("http", "https") or not url.hostname:
                raise SettingsError(f"--auth-verify-url must be an http(s) URL, not {self.auth_verify_url!r}")
        if not self.protected_prefixes:
            raise SettingsError("at least one protected path prefix is needed")
        for prefix in self.protected_prefixes:
            if not prefix.startswith("/") or "," in prefix:
                raise SettingsError(f"protected prefix {prefix!r} must start with '/' and contain no comma")
            if self.uses_embedded_backend and VERIFY_PATH.startswith(prefix):
                # The gate would ask itself to verify the key of its own verification request.
                raise SettingsError(f"protected prefix {prefix!r} covers the embedded key backend {VERIFY_PATH}; "
                                    "use narrower prefixes or --auth-verify-url")
        if self.redis_url is not None:
            url = urllib.parse.urlsplit(self.redis_url)
            if url.scheme not in ("redis", "rediss", "unix") or not (url.hostname or url.path):
                raise SettingsError(f"{ENV_REDIS_URL} must be a redis://, rediss:// or unix:// URL, "
                                    f"not {redacted_url(self.redis_url)!r}")
        for name, parse in ((QUOTA_ENV, parse_daily_quota), (RATE_ENV, parse_rate_per_minute)):
            raw = os.environ.get(name, "")
            if raw.strip():
                try:
                    parse(raw)
                except ValueError:
                    raise SettingsError(f"{name} must be a whole number >= 0, not {raw!r}") from None

    def to_env(self) -> dict[str, str]:
        env = {
            ENV_HOST: self.host,
            ENV_PORT: str(self.port),
            ENV_DATA_DIR: str(self.data_dir),
            ENV_PROTECTED_PREFIXES: ",".join(self.protected_prefixes),
            ENV_TRUST_UPSTREAM: "true" if self.trust_upstream_identity else "false",
            ENV_WORKERS: str(self.workers),
        }
        for name, value in ((ENV_DEMO_KEY, self.demo_key), (ENV_API_KEY, self.api_key),
                            (ENV_AUTH_VERIFY_URL, self.auth_verify_url), (ENV_REDIS_URL, self.redis_url),
                            (ENV_METRICS_TOKEN, self.metrics_token)):
            if value is not None:
                env[name] = value
        env[ENV_MAX_CONNECTIONS] = str(self.max_connections)
        env[ENV_HEAD_TIMEOUT] = str(self.request_head_timeout)
        env[ENV_SSE_MAX_SESSIONS] = str(self.sse_max_sessions)
        env[ENV_SSE_MAX_SESSIONS_PER_KEY] = str(self.sse_max_sessions_per_key)
        if self.mcp_allowed_hosts:
            env[ENV_MCP_ALLOWED_HOSTS] = ",".join(self.mcp_allowed_hosts)
        return env

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None) -> Settings:
        env = os.environ if environ is None else environ

        def text(name: str) -> str | None:
            value = env.get(name)
            return value if value else None  # an empty variable counts as unset

        def items(name: str) -> tuple[str, ...]:
            return tuple(p.strip() for p in (text(name) or "").split(",") if p.strip())

        def number(name: str, default: int, low: int, high: int | None = None) -> int:
            return parse_int(name, env[name], low=low, high=high) if text(name) else default

        prefixes = items(ENV_PROTECTED_PREFIXES)
        return cls(
            host=text(ENV_HOST) or cls.host,
            port=parse_int(ENV_PORT, env[ENV_PORT], low=1, high=65535) if text(ENV_PORT) else cls.port,
            data_dir=resolve_data_dir(None, env),
            demo_key=text(ENV_DEMO_KEY),
            api_key=text(ENV_API_KEY),
            auth_verify_url=text(ENV_AUTH_VERIFY_URL),
            protected_prefixes=prefixes or DEFAULT_PROTECTED_PREFIXES,
            trust_upstream_identity=parse_bool(ENV_TRUST_UPSTREAM, env.get(ENV_TRUST_UPSTREAM, "")),
            workers=parse_int(ENV_WORKERS, env[ENV_WORKERS], low=1) if text(ENV_WORKERS) else cls.workers,
            redis_url=text(ENV_REDIS_URL),
            mcp_allowed_hosts=items(ENV_MCP_ALLOWED_HOSTS),
            metrics_token=text(ENV_METRICS_TOKEN),
            max_connections=number(ENV_MAX_CONNECTIONS, cls.max_connections, 1),
            request_head_timeout=number(ENV_HEAD_TIMEOUT, cls.request_head_timeout, 1, 300),
            sse_max_sessions=number(ENV_SSE_MAX_SESSIONS, cls.sse_max_sessions, 1),
            sse_max_sessions_per_key=number(ENV_SSE_MAX_SESSIONS_PER_KEY, cls.sse_max_sessions_per_key, 1),
        )
