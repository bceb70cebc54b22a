"""The service as `python -m vexlo.server` starts it, for bench/service.py, in one of three shapes:

- service: unchanged (gate, the counter store the settings name);
- memory:  the same, with the in-process counter store, so a shared store's cost is the difference;
- limit:   no gate and the in-process store: the app alone behind a stub that writes the identity
           the gate would have written. What nothing of ours can go below.

Usage: <checkout>/.venv/bin/python bench/service_server.py SHAPE --max-seconds S -- [vexlo.server options]

It is started with the interpreter of the checkout under test, so it runs that checkout's code
with that checkout's defaults (HTTP stack, logging, workers). It stops after --max-seconds, and
when its parent dies.
"""
import ctypes
import os
import signal
import sys
import threading

SHAPES = ("service", "memory", "limit")


def _memory_store():
    from vexlo.mcp import counters

    counters.install(counters.MemoryCounters()).close()


def memory_app():
    from vexlo.server.app import build_from_env

    app = build_from_env()
    _memory_store()
    return app


class _Identity:
    """What the gate hands a request it accepted with a remote key, and nothing else."""

    def __init__(self, app, key, email):
        self.app = app
        self.key = key
        self.email = email

    async def __call__(self, scope, receive, send):
        from vexlo.mcp.context import mcp_request_ctx

        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        scope["mcp_api_key"] = self.key
        scope["mcp_auth_mode"] = "remote"
        scope["mcp_user_id"] = "1"
        scope["mcp_user_email"] = self.email
        scope["mcp_allowed_tools"] = None
        scope["mcp_permission_enabled"] = False
        token = mcp_request_ctx.set({"api_key": self.key, "auth_mode": "remote", "user_id": "1",
                                     "email": self.email, "allowed_tools": None, "permission_enabled": False})
        try:
            await self.app(scope, receive, send)
        finally:
            mcp_request_ctx.reset(token)


def limit_app():
    from vexlo.server.app import create_inner_app
    from vexlo.server.settings import Settings

    settings = Settings.from_env()
    app = create_inner_app(settings)
    _memory_store()
    return _Identity(app, os.environ.get("VEXLO_DEMO_KEY", ""), "demo@vexlo.local")


def _die_with_parent():
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def main():
    shape, rest = sys.argv[1], sys.argv[2:]
    if shape not in SHAPES or rest[:1] != ["--max-seconds"] or "--" not in rest:
        sys.exit(__doc__)
    max_seconds = float(rest[1])
    argv = rest[rest.index("--") + 1:]
    _die_with_parent()
    timer = threading.Timer(max_seconds, lambda: os.kill(os.getpid(), signal.SIGTERM))
    timer.daemon = True
    timer.start()
    # Worker processes import the factory by name: this folder must be importable there too.
    here = os.path.dirname(os.path.abspath(__file__))
    os.environ["PYTHONPATH"] = here + os.pathsep + os.environ.get("PYTHONPATH", "")
    sys.path.insert(0, here)
    from vexlo.server import __main__ as entry

    if shape != "service":
        # Read by main() at call time, as the workers' factory.
        entry.APP_FACTORY = f"service_server:{shape}_app"
    sys.exit(entry.main(argv))


if __name__ == "__main__":
    main()
