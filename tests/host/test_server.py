"""The runnable service: key store, key command, start-up checks and the host app's routes."""
import asyncio
import io
import logging
import shutil
import socket
import sqlite3
import subprocess
import sys
from pathlib import Path

import httpx
import pytest

from vexlo.server import __main__ as server_main
from vexlo.server import keys as keys_cli
from vexlo.server.app import build_from_env, create_app, create_inner_app
from vexlo.server.keystore import KeyStore, KeyStoreError
from vexlo.server.logs import RedactApiKeys
from vexlo.server.settings import Settings

BIN = Path(sys.executable).parent
ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in ("VEXLO_HOST", "VEXLO_PORT", "VEXLO_DATA_DIR", "VEXLO_DEMO_KEY", "VEXLO_API_KEY",
                 "VEXLO_AUTH_VERIFY_URL", "VEXLO_PROTECTED_PREFIXES", "VEXLO_TRUST_UPSTREAM_IDENTITY",
                 "VEXLO_WORKERS", "VEXLO_CORS_ORIGINS", "VEXLO_QUILLON_DAILY_QUOTA", "VEXLO_QUILLON_RATE_PER_MINUTE",
                 "VEXLO_REDIS_URL", "VEXLO_METRICS_TOKEN"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def store(tmp_path):
    s = KeyStore(tmp_path)
    s.initialise()
    return s


def test_keystore_lifecycle(store):
    record, key = store.add(" Alice@Example.COM ", allowed_tools=["quillon_run"], permission_enabled=True)
    assert record.email == "alice@example.com" and record.prefix == key[:8] and not record.revoked
    assert store.find(key) == record
    assert store.find(key + "x") is None
    with pytest.raises(KeyStoreError):
        store.add("bob@example.com", key=key)
    assert store.revoke(str(record.id)).revoked
    assert store.find(key).revoked
    raw = store.path.read_bytes() + b"".join(p.read_bytes() for p in store.path.parent.glob("*-wal"))
    assert key.encode() not in raw  # only the hash is kept


@pytest.mark.parametrize("kwargs", [{"email": "not-an-email"}, {"email": "a@b.c", "key": "short"},
                                    {"email": "a@b.c", "key": "has space in it 12345"},
                                    {"email": "a@b.c", "allowed_tools": [""]}])
def test_keystore_refuses_bad_input(store, kwargs):
    with pytest.raises(KeyStoreError):
        store.add(**kwargs)


def test_demo_key_created_once(store):
    first = store.ensure_demo_key()
    assert first and store.find(first).email == "demo@vexlo.local"
    assert store.ensure_demo_key() is None
    fixed = "fixed-demo-key-0123456789"
    assert store.ensure_demo_key(fixed) is None and store.find(fixed) is not None
    store.revoke(fixed[:8])
    store.ensure_demo_key(fixed)
    assert store.find(fixed).revoked  # a revoked demo key is not brought back
    assert len(store.list_keys()) == 2


def test_keys_command(tmp_path, capsys):
    d = ["--data-dir", str(tmp_path)]
    assert keys_cli.main(["add", *d, "--email", "a@b.co", "--allowed-tools", "quillon_run, x"]) == 0
    key = capsys.readouterr().out.splitlines()[-1]
    assert KeyStore(tmp_path).find(key).allowed_tools == ["quillon_run", "x"]
    assert keys_cli.main(["list", *d]) == 0
    listing = capsys.readouterr().out
    assert key not in listing and key[:8] in listing and "active" in listing
    assert keys_cli.main(["revoke", *d, key[:8]]) == 0
    assert keys_cli.main(["list", *d]) == 0
    assert "revoked" in capsys.readouterr().out
    assert keys_cli.main(["revoke", *d, "999"]) == 1
    assert capsys.readouterr().err.count("\n") == 1
    assert keys_cli.main(["revoke", key[:8], *d]) == 1  # revoked already: not a second success
    assert "already revoked" in capsys.readouterr().err
    assert keys_cli.main([*d, "list"]) == 0  # the option also goes before the command
    assert key[:8] in capsys.readouterr().out


@pytest.mark.parametrize("command", [["list"], ["revoke", "1"]])
def test_only_add_creates_a_key_store(tmp_path, capsys, command):
    folder = tmp_path / "x" / "y"
    assert keys_cli.main([*command, "--data-dir", str(folder)]) == 1
    err = capsys.readouterr().err
    assert f"there is no key store in {folder}" in err and err.count("\n") == 1
    assert not (tmp_path / "x").exists()


def test_keys_listed_from_a_read_only_folder(tmp_path, capsys, monkeypatch):
    KeyStore(tmp_path).initialise()
    _, key = KeyStore(tmp_path).add("a@b.co")
    # As for a user who may read the folder but not write it (root may write anywhere).
    monkeypatch.setattr("os.access", lambda *a, **k: False)
    assert keys_cli.main(["list", "--data-dir", str(tmp_path)]) == 0
    assert key[:8] in capsys.readouterr().out


@pytest.mark.parametrize("argv, program", [
    ([str(BIN / "vexlo-keys"), "frob"], "vexlo-keys"),
    ([str(BIN / "vexlo-serve"), "--bogus"], "vexlo-serve"),
    ([sys.executable, "-m", "vexlo.server.keys", "frob"], "python -m vexlo.server.keys"),
])
def test_usage_errors_name_the_program_run(tmp_path, argv, program):
    done = subprocess.run(argv, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and done.stderr.startswith(f"{program}: error: "), done.stderr


@pytest.mark.skipif(shutil.which("make") is None, reason="no make here")
def test_make_run_does_not_echo_the_key(tmp_path):
    key = "make-echo-secret-0123456789"
    # -o build: the build is not redone; the bad port stops the start at once.
    done = subprocess.run(["make", "-o", "build", "run", f"ARGS=--api-key {key} --port 0 --data-dir {tmp_path}"],
                          cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert done.returncode != 0 and "--port must be between" in done.stderr
    assert key not in done.stdout + done.stderr


@pytest.mark.parametrize("argv, env, fragment", [
    (["--port", "x"], {}, "--port must be a whole number"),
    (["--port", "0"], {}, "between 1 and 65535"),
    ([], {"VEXLO_PORT": "99999"}, "VEXLO_PORT"),
    (["--workers", "0"], {}, "workers"),
    (["--api-key", "k" * 20, "--auth-verify-url", "http://h/v"], {}, "exclude each other"),
    (["--auth-verify-url", "http://h/v"], {"VEXLO_API_KEY": "k" * 20}, "exclude each other"),
    (["--api-key", "short"], {}, "fixed API key"),
    (["--protected-prefix", "/v1"], {}, "covers the embedded key backend"),
    (["--protected-prefix", "sse"], {}, "must start with '/'"),
    (["--auth-verify-url", "localhost:9000/v"], {}, "http(s) URL"),
    ([], {"VEXLO_DEMO_KEY": "tiny"}, "VEXLO_DEMO_KEY"),
    ([], {"VEXLO_METRICS_TOKEN": "tiny"}, "VEXLO_METRICS_TOKEN"),
    ([], {"VEXLO_QUILLON_DAILY_QUOTA": "many"}, "VEXLO_QUILLON_DAILY_QUOTA"),
    ([], {"VEXLO_QUILLON_RATE_PER_MINUTE": "ten"}, "VEXLO_QUILLON_RATE_PER_MINUTE"),
    ([], {"VEXLO_REDIS_URL": "http://user:secret@h:6379"}, "redis://"),
    ([], {"VEXLO_TRUST_UPSTREAM_IDENTITY": "perhaps"}, "true or false"),
    ([], {"VEXLO_SSE_MAX_SESSIONS_PER_KEY": "0"}, "VEXLO_SSE_MAX_SESSIONS_PER_KEY must be at least 1"),
    ([], {"VEXLO_REQUEST_HEAD_TIMEOUT": "soon"}, "VEXLO_REQUEST_HEAD_TIMEOUT must be a whole number"),
    (["--bogus"], {}, "unrecognized arguments"),
])
def test_bad_settings_exit_with_one_line(monkeypatch, capsys, tmp_path, argv, env, fragment):
    monkeypatch.setattr("uvicorn.run", lambda *a, **k: pytest.fail("must not start"))
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    try:
        code = server_main.main(["--data-dir", str(tmp_path), *argv])
    except SystemExit as exc:  # argparse's own usage errors
        code = exc.code
    assert code == 2
    err = capsys.readouterr().err
    assert fragment in err and err.count("\n") == 1 and "Traceback" not in err


@pytest.mark.parametrize("command, folder, status", [
    (server_main.main, "file", 2), (server_main.main, "file/data", 2), (keys_cli.main, "file/data", 1),
])
def test_unwritable_data_dir(monkeypatch, capsys, tmp_path, command, folder, status):
    monkeypatch.setattr("uvicorn.run", lambda *a, **k: pytest.fail("must not start"))
    (tmp_path / "file").write_text("")
    argv = ["add", "--email", "a@b.co"] if command is keys_cli.main else []
    assert command([*argv, "--data-dir", str(tmp_path / folder)]) == status
    err = capsys.readouterr().err
    assert "cannot create the key store" in err and f"{tmp_path / 'file'} is a file, not a folder" in err
    assert err.count("\n") == 1 and "Errno" not in err


@pytest.mark.parametrize("content", [b"", b"SQLite format 3\x00"], ids=["empty", "other-database"])
def test_key_store_without_its_table_stops_the_start(monkeypatch, capsys, tmp_path, content):
    monkeypatch.setattr("uvicorn.run", lambda *a, **k: pytest.fail("must not start"))
    keys = tmp_path / "keys.sqlite3"
    if content:
        conn = sqlite3.connect(keys)
        conn.execute("CREATE TABLE other (x)")
        conn.close()
    else:
        keys.write_bytes(content)
    before = keys.read_bytes()
    assert server_main.main(["--data-dir", str(tmp_path), "--port", "8125"]) == 2
    out, err = capsys.readouterr()
    assert "vx_" not in out and err.count("\n") == 1 and f"the key store {keys} exists but holds no key table" in err
    assert keys.read_bytes() == before


@pytest.mark.parametrize("loose", [False, True], ids=["new-folder", "folder-of-an-earlier-version"])
def test_data_folder_is_private(tmp_path, loose):
    from vexlo.server import startup

    data = tmp_path / "data"
    if loose:
        data.mkdir(mode=0o755)
        data.chmod(0o755)
        KeyStore(data).initialise()
        (data / "keys.sqlite3").chmod(0o644)
        (data / "notes.txt").touch(mode=0o644)
    first = startup.prepare(Settings(data_dir=data))
    first.store.close()
    modes = {p.name: p.stat().st_mode & 0o777 for p in [data, *data.iterdir()]}
    assert modes.pop("notes.txt", 0o644) == 0o644  # not the service's: left alone
    assert modes == {"data": 0o700, "keys.sqlite3": 0o600, "governance.sqlite3": 0o600, ".startup.lock": 0o600}
    assert (first.warning is not None and "readable by their owner only" in first.warning) == loose
    again = startup.prepare(Settings(data_dir=data))
    again.store.close()
    assert again.warning is None


def test_busy_port_stops_before_any_key_is_made(monkeypatch, capsys, tmp_path):
    monkeypatch.setattr("uvicorn.run", lambda *a, **k: pytest.fail("must not start"))
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = str(taken.getsockname()[1])
        assert server_main.main(["--data-dir", str(tmp_path / "data"), "--port", port]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err == f"vexlo: error: cannot listen on 127.0.0.1:{port}: Address already in use\n"
    assert not (tmp_path / "data").exists()


@pytest.mark.parametrize("env, fragment", [
    ({"VEXLO_QUILLON_RATE_PER_MINUTE": "fast"}, "VEXLO_QUILLON_RATE_PER_MINUTE"),
    ({"VEXLO_API_KEY": "short"}, "fixed API key"),
])
def test_app_factory_stops_a_bad_start_with_one_line(monkeypatch, capsys, tmp_path, env, fragment):
    monkeypatch.setenv("VEXLO_DATA_DIR", str(tmp_path))
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(SystemExit) as stopped:
        build_from_env()
    assert stopped.value.code == 3  # the servers' "worker failed to boot": stop, do not restart
    err = capsys.readouterr().err
    assert err.startswith("vexlo: error: ") and fragment in err and err.count("\n") == 1


def test_start_prints_demo_key_and_exports_settings(monkeypatch, capsys, tmp_path):
    seen = {}
    monkeypatch.setattr("uvicorn.run", lambda app, **kw: seen.update(app=app, **kw))
    monkeypatch.setattr(server_main.os, "environ", {})
    assert server_main.main(["--data-dir", str(tmp_path), "--port", "8123", "--workers", "3"]) == 0
    out = capsys.readouterr().out
    key = next(line.split()[0] for line in out.splitlines() if line.startswith("    vx_"))
    assert f'curl -H "Authorization: Bearer {key}" http://127.0.0.1:8123/api/v1/whoami' in out
    assert seen["app"] == "vexlo.server.app:build_from_env" and seen["factory"] is True
    assert (seen["port"], seen["workers"]) == (8123, 3)
    # A worker still importing on a busy machine must not be killed as dead (uvicorn's default: 5 s).
    assert seen["timeout_worker_healthcheck"] >= 30
    settings = Settings.from_env(server_main.os.environ)
    assert settings.port == 8123 and settings.effective_verify_url == "http://127.0.0.1:8123/v1/mcp/verify-key"
    assert settings.protected_prefixes == ("/sse", "/mcp", "/api/v1/whoami", "/api/v1/quillon/run")
    # Second start: no new key, nothing secret printed; the hint names this installation's
    # key command and this data folder. The wildcard address is announced as such.
    assert server_main.main(["--data-dir", str(tmp_path), "--host", "0.0.0.0"]) == 0
    out = capsys.readouterr().out
    assert "vx_" not in out and "serving on http://0.0.0.0:8123 " in out, out
    hint = next(line for line in out.splitlines() if "add a key with" in line)
    assert hint.endswith(f"vexlo-keys add --data-dir {tmp_path} --email you@example.com")


def test_one_worker_start_says_things_once(monkeypatch, capsys, caplog, tmp_path):
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        redis_down = f"redis://127.0.0.1:{closed.getsockname()[1]}/0"
    monkeypatch.setattr(server_main.os, "environ", {"VEXLO_REDIS_URL": redis_down})
    monkeypatch.setattr(server_main.metrics, "prepare_multiprocess_dir", lambda: None)
    from vexlo.mcp import counters
    monkeypatch.setattr(counters, "_current", counters.current())  # the factory installs its store
    # One worker: uvicorn builds the app in this very process, after the command line's own lines.
    monkeypatch.setattr("uvicorn.run", lambda app, **kw: build_from_env())
    caplog.set_level(logging.INFO, logger="vexlo")
    assert server_main.main(["--data-dir", str(tmp_path)]) == 0
    err = capsys.readouterr().err
    assert err.count("scenario runs are refused until it answers") == 1, err
    # In embedded mode the gate announces remote verification with a URL; the service says what happens.
    assert any("in-process to the key store" in r.getMessage() for r in caplog.records)


@pytest.mark.parametrize("target", ["/v1/mcp/verify-key?x=1&api_key=vx_secret&b=2",
                                    "/messages/?x=1&session_id=vx_secret",
                                    "/v1/mcp/verify-key?x=1&api%5Fkey=vx_secret",
                                    "/messages/?x=1&session%5fid=vx_secret",
                                    "/v1/mcp/verify-key?x=1&API_KEY=vx_secret",
                                    "/v1/mcp/verify-key?x=1&api_\u212aey=vx_secret"])
def test_access_log_redacts_keys(target):
    record = logging.LogRecord("uvicorn.access", logging.INFO, "", 0, '%s - "%s %s HTTP/%s" %d',
                               ("1.2.3.4", "GET", target, "1.1", 200), None)
    RedactApiKeys().filter(record)
    assert "vx_secret" not in record.getMessage() and "x=1" in record.getMessage()


@pytest.fixture
def clean_logs():
    from vexlo.server import logs

    logs.install()
    yield
    logs.uninstall()


def _raised(text):
    try:
        raise ValueError(text)
    except ValueError:
        return sys.exc_info()


SESSION = "0123456789abcdef0123456789abcdef"


@pytest.mark.parametrize("msg, args, exc_info, kept", [
    ("GET %s", ("/x?a=1\nINFO forged valid=True",), None, "GET /x?a=1\\nINFO forged"),
    ("%s", ("/" + "p" * 500,), None, "p...[+341 chars]"),
    ("Could not find session for ID: " + SESSION[:8] + "-" + SESSION[8:12] + "-" + SESSION[12:16] + "-"
     + SESSION[16:20] + "-" + SESSION[20:], (), None, "Could not find session for ID: [redacted]"),
    ("Received invalid session ID: x\r\nforged", (), None, "session ID: [redacted]"),
    ("%(path)s %(status)d", ({"path": "/m?session%5Fid=" + SESSION, "status": 404},), None,
     "session%5Fid=[redacted] 404"),
    ("request failed for %s", (b"\x1b[2J",), _raised("bad\napi_key=vx_secret"),
     "| Traceback (most recent call last):\\n"),
    ("GET %s from %s", ("/x\x1b[2J", "session ID: vx_secret"), None, "GET /x\\x1b[2J from session ID: [redacted]"),
], ids=["forged-line", "long-value", "sdk-unknown-session", "sdk-invalid-session", "access-atoms", "traceback",
        "short-values"])
def test_every_record_is_one_clean_line(clean_logs, msg, args, exc_info, kept):
    given = [dict(a) if isinstance(a, dict) else a for a in args]
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.setFormatter(logging.Formatter("%(levelname)s %(message)s"))
    seen = []  # what a formatter that reads the arguments themselves (an access formatter) gets
    handler.addFilter(lambda record: seen.extend(record.args if isinstance(record.args, tuple) else ()) or True)
    logger = logging.getLogger("vexlo.test.hygiene")
    logger.addHandler(handler)
    try:
        logger.warning(msg, *args, exc_info=exc_info)
    finally:
        logger.removeHandler(handler)
    line = stream.getvalue()
    assert line.count("\n") == 1 and "\r" not in line and "\x1b" not in line, line
    assert kept in line and SESSION not in line and "vx_secret" not in line, line
    assert list(args) == given  # the caller's values are left as they were
    assert not [a for a in seen if isinstance(a, str) and (not a.isprintable() or "vx_secret" in a)], seen


def test_building_the_app_leaves_root_logging_alone(tmp_path, monkeypatch):
    # An INFO root would print httpx's request lines, and the key backend's URLs carry keys.
    root = logging.getLogger()
    monkeypatch.setattr(root, "handlers", [])
    monkeypatch.setattr(root, "level", logging.WARNING)
    create_inner_app(Settings(data_dir=tmp_path), include_quillon=False)
    assert (root.handlers, root.level) == ([], logging.WARNING)


def _client(app):
    return httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test")


def _inner(tmp_path, **kw):
    return create_inner_app(Settings(data_dir=tmp_path, **kw), include_quillon=False)


def test_embedded_backend_replies(tmp_path):
    app = _inner(tmp_path)
    store = KeyStore(tmp_path)
    _, active = store.add("a@b.co", user_id="u1", allowed_tools=["quillon_run"], permission_enabled=True)
    _, revoked = store.add("r@b.co")
    store.revoke(revoked[:8])

    async def main():
        async with _client(app) as c:
            by_query = await c.get("/v1/mcp/verify-key", params={"api_key": active})
            by_header = await c.get("/v1/mcp/verify-key", headers={"X-MCP-API-Key": active})
            others = [await c.get("/v1/mcp/verify-key", params=p)
                      for p in ({"api_key": revoked}, {"api_key": "vx_unknown_unknown"}, {})]
            return by_query, by_header, others

    by_query, by_header, others = asyncio.run(main())
    expected = {"valid": True, "user_id": "u1", "email": "a@b.co", "allowed_tools": ["quillon_run"],
                "permission_enabled": True}
    assert by_query.status_code == by_header.status_code == 200
    assert by_query.json() == by_header.json() == expected
    assert [(r.status_code, r.json()) for r in others] == [(200, {"valid": False})] * 3


def test_whoami_shows_identity_never_key(tmp_path):
    inner = _inner(tmp_path)

    async def as_gate(scope, receive, send):  # what the gate writes for an accepted remote key
        if scope["type"] == "http" and scope["path"] == "/api/v1/whoami":
            scope.update(mcp_api_key="vx_secret_key", mcp_auth_mode="remote", mcp_user_id="u1",
                         mcp_user_email="a@b.co", mcp_allowed_tools=None, mcp_permission_enabled=False)
        await inner(scope, receive, send)

    async def main():
        async with _client(as_gate) as c, _client(inner) as bare:
            return await c.get("/api/v1/whoami"), await bare.get("/api/v1/whoami")

    ok, refused = asyncio.run(main())
    assert ok.json()["data"] == {"auth_mode": "remote", "user_id": "u1", "email": "a@b.co",
                                 "allowed_tools": None, "permission_enabled": False}
    assert "vx_secret_key" not in ok.text
    assert refused.status_code == 401 and refused.json()["error"]["code"] == "UNAUTHENTICATED"


def test_messages_refused_without_an_open_session(tmp_path):
    app = _inner(tmp_path)
    session = {"session_id": "0" * 32}  # well-formed, never issued
    ping = {"jsonrpc": "2.0", "method": "ping", "id": 1}

    async def main():
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://127.0.0.1:8000") as c:
            return [await c.post("/messages/", params=session, json=ping),
                    await c.post("/messages/", params={"session_id": "../x"}, json=ping),
                    await c.post("/messages/", json=ping),
                    await c.post("/messages/", params=session, content=b"[" + b"0," * (1 << 20) + b"0]",
                                 headers={"content-type": "application/json"}),
                    await c.get("/messages/", params=session)]

    # This path needs no key: nothing reaches a session, and the SDK's answers are given as it gives them.
    assert [(r.status_code, r.text) for r in asyncio.run(main())] == [
        (404, "Could not find session"), (400, "Invalid session ID"), (400, "session_id is required"),
        (404, "Could not find session"), (405, '{"detail":"Method Not Allowed"}')]


def test_messages_to_no_session_are_answered_unread_and_unlogged(tmp_path, caplog):
    app = _inner(tmp_path)
    secret = "c0ffee" * 5 + "00"
    sent = []

    async def receive():
        raise AssertionError("the body of a post to no session was read")

    async def send(message):
        sent.append(message)

    scope = {"type": "http", "method": "POST", "path": "/messages/", "raw_path": b"/messages/", "root_path": "",
             "query_string": f"session_id={secret}".encode(), "scheme": "http", "server": ("127.0.0.1", 8000),
             "headers": [(b"host", b"127.0.0.1:8000"), (b"content-type", b"application/json"),
                         (b"content-length", b"1048576")]}
    with caplog.at_level(logging.DEBUG):
        asyncio.run(app(scope, receive, send))
    assert sent[0]["status"] == 404
    assert secret not in caplog.text


@pytest.mark.parametrize("allowed, base, statuses", [
    ((), "http://127.0.0.1:8000", [404, 421]),       # the SDK's loopback names only (its stream is not opened here)
    ((), "http://vexlo.example", [421, 421]),        # a proxy's public name: refused, quietly
    (("vexlo.example",), "http://vexlo.example", [404, 421]),
    (("vexlo.example",), "http://127.0.0.1:8000", [421, 421]),
    (("vexlo.example:*",), "https://vexlo.example", [404, 421]),  # the default port sends no port
    (("vexlo.example:*",), "https://vexlo.example:8443", [404, 421]),
    ((), "http://127.0.0.2:8000", [404, 421]),       # served on another loopback address
], ids=["loopback", "public-name-unlisted", "listed", "loopback-unlisted", "any-port-bare", "any-port", "loopback-2"])
def test_mcp_endpoints_accept_the_listed_host_names(tmp_path, monkeypatch, allowed, base, statuses):
    monkeypatch.setenv("VEXLO_MCP_ALLOWED_HOSTS", ",".join(allowed))
    if "127.0.0.2" in base:
        monkeypatch.setenv("VEXLO_HOST", "127.0.0.2")
    app = create_inner_app(Settings.from_env(), include_quillon=False)

    async def main():
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url=base) as c:
            post = await c.post("/messages/", params={"session_id": "0" * 32}, json={"jsonrpc": "2.0", "id": 1,
                                                                                      "method": "ping"})
            stream = await c.get("/sse", headers={"host": "elsewhere.example"})
            return [post.status_code, stream.status_code]

    assert asyncio.run(main()) == statuses


# --- With the native gate and router -------------------------------------------------------------

def _native(monkeypatch, tmp_path):
    wardgate = pytest.importorskip("vexlo.mcp.wardgate")
    pytest.importorskip("vexlo.api.routers.quillon")
    monkeypatch.setattr(wardgate, "_QUILLON_TRACE_FILE", tmp_path / "trace.log")


def test_gate_in_fixed_key_mode(monkeypatch, tmp_path):
    _native(monkeypatch, tmp_path)
    monkeypatch.setenv("VEXLO_CORS_ORIGINS", "https://app.example.com")
    key = "fixed-key-0123456789abcdef"
    app = create_app(Settings(data_dir=tmp_path, api_key=key))
    auth = {"Authorization": f"Bearer {key}"}

    async def main():
        async with _client(app) as c:
            return (await c.get("/api/v1/whoami", headers={"Origin": "https://app.example.com"}),
                    await c.get("/api/v1/whoami", headers=auth),
                    await c.get("/api/v1/quillon/scenarios"),
                    await c.post("/api/v1/quillon/run", headers=auth, json={"scenario": "traffic_overview"}))

    refused, whoami, scenarios, run = asyncio.run(main())
    assert refused.status_code == 401 and refused.json()["reason"] == "invalid_api_key"
    assert refused.headers["access-control-allow-origin"] == "https://app.example.com"
    assert whoami.json()["data"]["auth_mode"] == "fixed" and key not in whoami.text
    assert scenarios.status_code == 200 and scenarios.json()["data"][0]["id"]
    assert run.status_code == 401  # a shared key names no account


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_served_with_embedded_backend(monkeypatch, tmp_path):
    _native(monkeypatch, tmp_path)
    import uvicorn

    from vexlo.mcp import instrumentation

    monkeypatch.setenv("VEXLO_QUILLON_DAILY_QUOTA", "1")
    instrumentation.reset_quota()
    settings = Settings(data_dir=tmp_path, port=_free_port())
    store = KeyStore(tmp_path)
    store.initialise()
    key = store.ensure_demo_key()
    _, revoked = store.add("r@b.co")
    store.revoke(revoked[:8])
    gate = create_app(settings)
    server = uvicorn.Server(uvicorn.Config(gate, host="127.0.0.1", port=settings.port,
                                           log_level="warning", lifespan="off", ws="none"))

    async def main():
        serving = asyncio.ensure_future(server.serve())
        try:
            while not server.started:
                assert not serving.done()
                await asyncio.sleep(0.01)
            async with httpx.AsyncClient(base_url=settings.local_base_url, timeout=10) as c:
                whoami = await c.get("/api/v1/whoami", params={"api_key": key})
                bad = await c.get("/api/v1/whoami", headers={"Authorization": f"Bearer {revoked}"})
                runs = [await c.post("/api/v1/quillon/run", headers={"Authorization": f"Bearer {key}"},
                                     json={"scenario": "traffic_overview"}) for _ in range(2)]
            return whoami, bad, runs
        finally:
            # The gate keeps its verification client for the life of the process; this loop ends first.
            if getattr(gate, "_client", None) is not None:
                await gate._client.aclose()
            server.should_exit = True
            await serving

    try:
        whoami, bad, runs = asyncio.run(main())
    finally:
        instrumentation.reset_quota()
    assert whoami.status_code == 200 and whoami.json()["data"]["email"] == "demo@vexlo.local"
    assert bad.status_code == 401
    assert runs[0].status_code == 200 and runs[0].json()["success"] is True
    assert runs[1].status_code == 429 and int(runs[1].headers["retry-after"]) > 0
