"""The service in embedded mode under real uvicorn: the gate verifies keys against the key
backend inside the same process, while the backend's endpoint stays served, with redacted
access lines, for services that use it from outside."""
import asyncio
import logging
import socket

import httpx
import pytest

from vexlo.server.app import create_app
from vexlo.server.keystore import KeyStore
from vexlo.server.settings import VERIFY_PATH, Settings


@pytest.fixture
def native(monkeypatch, tmp_path):
    wardgate = pytest.importorskip("vexlo.mcp.wardgate")
    monkeypatch.setattr(wardgate, "_QUILLON_TRACE_FILE", tmp_path / "trace.log")
    for name in ("VEXLO_CORS_ORIGINS", "VEXLO_PROTECTED_PREFIXES", "HTTP_PROXY", "http_proxy", "ALL_PROXY"):
        monkeypatch.delenv(name, raising=False)


def _held_port():
    """A bound socket that never listens: a port nobody answers on."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    return sock


@pytest.mark.usefixtures("native")
def test_embedded_checks_stay_in_process(tmp_path, caplog):
    store = KeyStore(tmp_path)
    store.initialise()
    key = store.ensure_demo_key()
    # The configured port is not the one served: checks must not go over the network at all.
    elsewhere, served = _held_port(), _held_port()
    served.listen()
    try:
        settings = Settings(data_dir=tmp_path, port=elsewhere.getsockname()[1])
        gate = create_app(settings)
        import uvicorn
        server = uvicorn.Server(uvicorn.Config(gate, log_config=None, log_level="info", access_log=True,
                                               lifespan="off", ws="none"))
        base = "http://127.0.0.1:%d" % served.getsockname()[1]
        caplog.set_level(logging.INFO, logger="uvicorn.access")

        async def main():
            serving = asyncio.ensure_future(server.serve(sockets=[served]))
            try:
                while not server.started:
                    assert not serving.done()
                    await asyncio.sleep(0.01)
                async with httpx.AsyncClient(base_url=base, timeout=10, trust_env=False) as c:
                    known = await c.get("/api/v1/whoami", headers={"Authorization": f"Bearer {key}"})
                    unknown = await c.get("/api/v1/whoami", params={"api_key": "vx_" + "0" * 40})
                    outside = await c.get(VERIFY_PATH, params={"api_key": key})
                return known, unknown, outside
            finally:
                await gate._client.aclose()
                server.should_exit = True
                await serving

        known, unknown, outside = asyncio.run(main())
    finally:
        elsewhere.close()
        served.close()
    assert known.status_code == 200 and known.json()["data"]["email"] == "demo@vexlo.local"
    assert unknown.status_code == 401
    assert outside.status_code == 200 and outside.json()["valid"] is True
    lines = [r.getMessage() for r in caplog.records if r.name == "uvicorn.access"]
    # Three requests from outside, one line each; the gate's own checks wrote none.
    assert len(lines) == 3 and sum(VERIFY_PATH in line for line in lines) == 1
    assert not any(key in line for line in lines)
    assert any("api_key=[redacted]" in line for line in lines)


SECRET = "vx_secret_4f1e"


@pytest.mark.parametrize("logger, msg, args", [
    ("uvicorn.access", '%s - "%s %s HTTP/%s" %d', ("1.2.3.4", "GET", f"{VERIFY_PATH}?api_key={SECRET}", "1.1", 200)),
    ("hypercorn.access", '%(h)s "%(r)s" %(s)s', ({"h": "1.2.3.4", "r": f"GET {VERIFY_PATH}?api_key={SECRET} HTTP/1.1",
                                                  "s": 200, "q": f"api_key={SECRET}"},)),
    ("granian.access", f'1.2.3.4 "GET {VERIFY_PATH}?x=1&api_key={SECRET} HTTP/1.1" 200', ()),
    ("gunicorn.access", '%s "%s"', ("1.2.3.4", f"GET {VERIFY_PATH}?API_KEY={SECRET}&b=2")),
], ids=["uvicorn", "hypercorn", "granian", "gunicorn"])
def test_access_lines_are_redacted_under_any_server(tmp_path, monkeypatch, logger, msg, args):
    # The filter comes with the app, not with one server's logging set-up.
    for name in ("VEXLO_CORS_ORIGINS", "VEXLO_PROTECTED_PREFIXES"):
        monkeypatch.delenv(name, raising=False)
    log = logging.getLogger(logger)
    monkeypatch.setattr(log, "filters", [])
    create_app(Settings(data_dir=tmp_path, api_key="fixed-key-0123456789abcdef"))
    record = log.makeRecord(logger, logging.INFO, "", 0, msg, args, None)
    assert log.filter(record)
    text = record.getMessage()
    assert SECRET not in text and "[redacted]" in text
