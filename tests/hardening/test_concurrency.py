"""Many interleaved requests through one remote-mode gate against a live, slow account backend:
each request keeps its own identity from the scope and the request context, nothing leaks
across requests, the cache ends up with exactly the valid keys, and the backend is asked once
per key that was not cached yet."""
import asyncio
import collections
import pathlib
import sys

ROOT = str(pathlib.Path(__file__).resolve().parents[2])
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from tests.support.account_backend import account_backend, reply  # noqa: E402,F401
from vexlo.mcp.context import mcp_request_ctx  # noqa: E402

VALID_ONCE = [f"vk-once-{i:03d}" for i in range(600)]
VALID_TWICE = [f"vk-twice-{i:03d}" for i in range(100)]
INVALID = [f"vk-bad-{i:03d}" for i in range(200)]
BACKEND_DELAY = 0.003
# Requests in flight at once; well above the client's 20 connections, so requests queue for the
# pool and interleave, but low enough that none waits the 5 s pool timeout on a slow machine.
IN_FLIGHT = 200
OUTER = {"outer": True}
EXPECTED_KEY = "vexlo.test.expected_key"
SEEN = "vexlo.test.seen"


def user_of(key):
    n = int(key.rsplit("-", 1)[1])
    return {"valid": True, "user_id": f"{key}-user", "email": f"{key}@example.com",
            "allowed_tools": [f"tool-{n}"], "permission_enabled": n % 2 == 0}


def seen_of(key):
    """What the application must see for `key`: the scope keys, then the request context."""
    u = user_of(key)
    scope_keys = [("mcp_api_key", key), ("mcp_auth_mode", "remote"), ("mcp_user_id", u["user_id"]),
                  ("mcp_user_email", u["email"]), ("mcp_allowed_tools", u["allowed_tools"]),
                  ("mcp_permission_enabled", u["permission_enabled"])]
    ctx = {"api_key": key, "auth_mode": "remote", "user_id": u["user_id"], "email": u["email"],
           "allowed_tools": u["allowed_tools"], "permission_enabled": u["permission_enabled"]}
    return scope_keys, ctx


class IdentityApp:
    """Reads its identity in pieces, yielding to the other requests between the reads, and
    leaves what it saw in the scope for the test. `peak` is the most calls that overlapped."""

    def __init__(self):
        self.inside = 0
        self.peak = 0

    async def __call__(self, scope, receive, send):
        self.inside += 1
        self.peak = max(self.peak, self.inside)
        seen = []
        for name, _ in seen_of(scope[EXPECTED_KEY])[0]:
            await asyncio.sleep(0)
            seen.append((name, scope.get(name)))
        contexts = []
        for _ in range(3):
            await asyncio.sleep(0)
            contexts.append(mcp_request_ctx.get())
        scope[SEEN] = seen, contexts
        self.inside -= 1
        await receive()
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await asyncio.sleep(0)
        await send({"type": "http.response.body", "body": b"ok"})


def test_interleaved_requests_keep_their_own_identity(wg, account_backend):
    for key in VALID_ONCE + VALID_TWICE:
        account_backend.set_key(key, reply(200, json=user_of(key), delay=BACKEND_DELAY))
    for key in INVALID:
        account_backend.set_key(key, reply(200, json={"valid": False}, delay=BACKEND_DELAY))
    app = IdentityApp()
    gate = wg.ApiKeyWardgate(app, auth_verify_url=account_backend.url)
    slots = asyncio.Semaphore(IN_FLIGHT)
    results = collections.defaultdict(list)

    async def request(key):
        sent = []

        async def receive():
            return {"type": "http.request", "body": b"", "more_body": False}

        async def send(message):
            await asyncio.sleep(0)
            sent.append(message)
        scope = {"type": "http", "method": "POST", "path": "/api/v1/tools", "query_string": b"",
                 "headers": [(b"authorization", b"Bearer " + key.encode())], EXPECTED_KEY: key}
        async with slots:
            token = mcp_request_ctx.set(OUTER)
            try:
                await gate(scope, receive, send)
                results[key].append((sent, scope.get(SEEN), mcp_request_ctx.get()))
            finally:
                mcp_request_ctx.reset(token)

    async def twice(key):
        await request(key)
        await request(key)  # after the first completed: served from the cache

    async def main():
        try:
            jobs = [request(k) for k in VALID_ONCE + INVALID] + [twice(k) for k in VALID_TWICE]
            # Interleave the kinds rather than running them in blocks.
            jobs = jobs[::3] + jobs[1::3] + jobs[2::3]
            await asyncio.wait_for(asyncio.gather(*jobs), timeout=20)
        finally:
            await gate._client.aclose()

    asyncio.run(main())

    for key in VALID_ONCE + VALID_TWICE:
        scope_keys, ctx = seen_of(key)
        runs = results[key]
        assert len(runs) == (2 if key in VALID_TWICE else 1), key
        for sent, (seen, contexts), ctx_after in runs:
            assert [m["type"] for m in sent] == ["http.response.start", "http.response.body"]
            assert seen == scope_keys, key
            assert contexts == [ctx] * 3, key
            assert ctx_after is OUTER
    for key in INVALID:
        [(sent, seen, ctx_after)] = results[key]
        assert sent[0]["status"] == 401 and seen is None and ctx_after is OUTER, key

    assert app.peak > 10  # the application calls did overlap
    assert sorted(gate._verify_cache) == sorted(VALID_ONCE + VALID_TWICE)
    assert all(data == user_of(key) for key, (_, data) in gate._verify_cache.items())
    asked = collections.Counter(r.api_key for r in account_backend.requests)
    assert asked == collections.Counter(VALID_ONCE + VALID_TWICE + INVALID)
