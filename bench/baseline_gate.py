"""MCP Server API Key 鉴权中间件。

服务端不保存任何用户的 OAuth 凭据（无状态模式），但 SSE 连接层仍通过 API Key
做基础访问控制，防止未授权访问。

两种工作模式：
- 固定 API Key 模式（单用户，向后兼容）：与本地持有的 Key 直接比对。
- 远程校验模式（多用户）：通过 --auth-verify-url 指定的账号后端校验 Key。

凭据可以通过 Header ``Authorization: Bearer <api_key>`` 传入，也可以通过
Query Param ``?api_key=<api_key>`` 传入（后者用于只能传递查询参数的客户端）。

FastMCP 的 AuthProvider 鉴权中间件在 Starlette 中间件栈中注册得很早，无法在它
之前把 Query Param 转成 Header，因此全部鉴权都放在本中间件中完成，不再使用
FastMCP 内置的 AuthProvider。
"""

from __future__ import annotations

import hmac
import logging
import os
import time
import urllib.parse
import weakref
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from vexlo.api.cors import cors_headers_for_scope
from vexlo.config import __version__
from starlette.types import ASGIApp, Receive, Scope, Send

_logger = logging.getLogger("vexlo.mcp")

_QUILLON_TRACE_FILE = Path.cwd() / ".tmp" / "quillon-trace.log"


def _check_arg(name, value, expected, none_ok=False):
    # Exact types only: a str or tuple subclass could smuggle in its own
    # __eq__/__hash__/startswith and change what the gate compares.
    if type(value) is expected or (none_ok and value is None):
        return
    raise TypeError(
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
        % (name, expected.__name__, type(value).__name__)
    )


def _same_key(presented, expected):
    # Constant-time for the normal str case so response timing does not leak
    # how much of the key matched. surrogatepass keeps lone surrogates from
    # raising and maps distinct strings to distinct bytes, so the answer is
    # exactly that of ==.
    if type(presented) is str and type(expected) is str:
        return hmac.compare_digest(
            presented.encode("utf-8", errors="surrogatepass"),
            expected.encode("utf-8", errors="surrogatepass"),
        )
    return presented == expected


def _transmittable(key):
    # Printable ASCII, tabs and spaces allowed inside only.
    return key.isascii() and key.replace("\t", " ").isprintable() and key == key.strip(" \t")


_TRACE_VALUE_CHARS = 160
_TRACE_MESSAGE_CHARS = 2000
_TRACE_DEFAULT_CAP = 32 * 1024 * 1024


def _route_path(scope, path):
    # As the framework routes: "path" below "root_path" when it starts with it.
    root_path = scope.get("root_path", "")
    if not root_path or not path.startswith(root_path):
        return path
    if path == root_path:
        return ""
    if path[len(root_path)] == "/":
        return path[len(root_path):]
    return path


def _cut(value, limit=_TRACE_VALUE_CHARS):
    # Client-chosen values (paths, header names) must not make a trace line long.
    if not isinstance(value, str) or len(value) <= limit:
        return value
    return "%s...[+%d chars]" % (value[:limit], len(value) - limit)


def _trace_cap():
    try:
        cap = int(os.environ.get("VEXLO_TRACE_MAX_BYTES", ""))
    except ValueError:
        return _TRACE_DEFAULT_CAP
    return cap if cap > 0 else _TRACE_DEFAULT_CAP


def _trace_quillon(message: str) -> None:
    """写入不依赖 logging 配置的 Quillon 请求诊断信息。"""
    _check_arg("message", message, str)
    message = _cut(message, _TRACE_MESSAGE_CHARS)
    # One call, one line: a CR or LF from caller text (paths, header names)
    # would otherwise split the entry or forge a line of its own.
    message = message.replace("\r", "\\r").replace("\n", "\\n")
    timestamp = datetime.now(timezone.utc).isoformat(timespec="milliseconds")
    line = timestamp + " pid=" + str(os.getpid()) + " [QUILLON-TRACE] " + message
    try:
        print(line, flush=True)
    except Exception:
        pass
    try:
        entry = (line + "\n").encode("utf-8", "surrogatepass")  # its size; the write encodes again
        try:
            size = os.stat(_QUILLON_TRACE_FILE).st_size
        except OSError:
            size = 0
        if size and size + len(entry) > _trace_cap():
            # One backup; if it cannot be made, the line is lost rather than the cap.
            os.replace(_QUILLON_TRACE_FILE, str(_QUILLON_TRACE_FILE) + ".1")
        _QUILLON_TRACE_FILE.parent.mkdir(parents=True, exist_ok=True)
        with open(_QUILLON_TRACE_FILE, "a", encoding="utf-8") as trace_file:
            trace_file.write(line + "\n")
    except Exception:
        pass


try:
    from starlette.requests import ClientDisconnect as _StarletteClientDisconnect
except ImportError:
    _CLIENT_DISCONNECT_ERRORS = ()
else:
    _CLIENT_DISCONNECT_ERRORS = (_StarletteClientDisconnect,)

_VERIFY_CACHE_TTL_SECONDS = 60
_VERIFY_STALE_GRACE_SECONDS = 300
_VERIFY_CONNECT_TIMEOUT_SECONDS = 3.0
_VERIFY_READ_TIMEOUT_SECONDS = 5.0
_VERIFY_MAX_CONNECTIONS = 20
_VERIFY_MAX_KEEPALIVE = 10
_VERIFY_KEEPALIVE_EXPIRY_SECONDS = 30.0

# Per client: the checks it may carry at once (its pool size), so that no check ever queues
# inside the client's pool, whose queue loses slots to checks cancelled while they wait.
_verify_slots: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()


def _bound_client(client):
    # Only our own client: a host-provided one keeps the host's limits.
    try:
        import anyio

        _verify_slots[client] = anyio.Semaphore(_VERIFY_MAX_CONNECTIONS, fast_acquire=True)
    except Exception:
        pass


def _slots_of(client):
    try:
        return _verify_slots.get(client)
    except TypeError:  # not weakly referenceable: never bounded
        return None


def _take_free_slot(slots):
    # anyio hands a released permit straight to a waiter: a free one jumps no queue.
    if slots.value > 0:
        slots.acquire_nowait()
        return True
    return False


async def _wait_for_slot(slots):
    import anyio

    try:
        with anyio.fail_after(_VERIFY_READ_TIMEOUT_SECONDS):
            await slots.acquire()
    except TimeoutError:
        import httpx

        raise httpx.PoolTimeout("") from None


async def _replace_if_wedged(gate, client, exc):
    # A pool wait that ran out although this check held a permit: the pool holds connections
    # no request owns and would fail every check until a restart.
    import httpx

    if isinstance(exc, httpx.PoolTimeout) and gate._client is client:
        gate._client = None
        try:
            await client.aclose()
        except Exception:
            pass


_CONTENT_TYPE_JSON = (b"content-type", b"application/json")
_WWW_AUTHENTICATE = (b"www-authenticate", b'Bearer realm="vexlo-mcp"')
_RETRY_AFTER = (b"retry-after", b"5")
_BODY_401_PREFIX = '{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"'
_BODY_503_PREFIX = (
    '{"error":"Service Unavailable",'
    '"message":"API Key verification service temporarily unavailable","reason":"'
)
_BODY_SUFFIX = '"}'


class ApiKeyVerificationUnavailable(RuntimeError):
    """远程 API Key 校验服务暂时不可用。"""


class ApiKeyWardgate:
    """统一校验 API Key 的 ASGI 中间件，支持从 Header 或 Query Param 中读取 Key。

    两种工作模式：
    - 固定 API Key 模式：直接与本地 ``api_key`` 参数比对。
    - 远程校验模式：通过 ``auth_verify_url`` 调用账号后端校验。

    优先检查 Query Param，未找到时再检查 ``Authorization`` Header；
    校验失败时返回 401，请求不会继续向下传递。
    """

    def __init__(
        self,
        app: ASGIApp,
        *,
        api_key: str | None = None,
        auth_verify_url: str | None = None,
        protected_path_prefixes: tuple[str, ...] | None = None,
        trust_upstream_corvane_identity: bool = False,
    ):
        """
        Args:
            app: ASGI 应用。
            api_key: 固定 API Key（单用户模式，向后兼容）。
            auth_verify_url: 账号后端的 Key 校验地址（多用户模式），
                例如 https://account.example.com/v1/mcp/verify-key。
            protected_path_prefixes: 仅对这些路径前缀做鉴权。
            trust_upstream_corvane_identity: 信任上游注入的 Corvane 身份 Header；
                仅可在网络入口受控的内部服务中开启。
        """
        _check_arg("api_key", api_key, str, none_ok=True)
        _check_arg("auth_verify_url", auth_verify_url, str, none_ok=True)
        _check_arg("protected_path_prefixes", protected_path_prefixes, tuple, none_ok=True)
        self.app = app
        self._api_key = api_key
        self._auth_verify_url = auth_verify_url
        self._protected_path_prefixes = protected_path_prefixes
        self._trust_upstream_corvane_identity = bool(trust_upstream_corvane_identity)
        self._verify_cache = {}
        self._client = None

        if auth_verify_url:
            _logger.info("MCP Server 运行在远程校验模式，校验地址: %s", auth_verify_url)
        elif api_key:
            _logger.info("MCP Server 运行在固定 API Key 模式")
        else:
            _logger.warning("MCP Server 未配置任何 API Key 鉴权！")

    @staticmethod
    def _header(scope: Scope, name: bytes) -> str | None:
        _check_arg("name", name, bytes)
        for header_name, value in scope.get("headers", []):
            if header_name.lower() == name:
                normalized = value.decode("utf-8", errors="replace").strip()
                # The first header of that name decides, blank or not.
                return normalized or None
        return None

    def _is_protected_path(self, path: str) -> bool:
        _check_arg("path", path, str)
        if self._protected_path_prefixes is None:
            return True
        for prefix in self._protected_path_prefixes:
            if path.startswith(prefix):
                return True
        return False

    def _internal_identity(self, scope: Scope) -> dict[str, str | None] | None:
        if not self._trust_upstream_corvane_identity:
            return None
        email = self._header(scope, b"x-corvane-user-email")
        if not email:
            return None
        return {
            "email": email.strip().lower(),
            "user_id": self._header(scope, b"x-corvane-user-id"),
        }

    def _extract_token(self, scope: Scope) -> str | None:
        """从 Query Param 或 Header 中提取 API Key。

        查找顺序：
        1. Query Param ``api_key``
        2. ``Authorization: Bearer <key>``
        3. ``X-MCP-Proxy-Auth: Bearer <key>``（MCP Inspector 代理发送的 Header）
        """
        query_string = scope.get("query_string", b"").decode("utf-8")
        if query_string:
            api_keys = urllib.parse.parse_qs(query_string).get("api_key", [])
            if api_keys:
                return api_keys[0]

        # Unlike _header, a same-named header with another scheme does not end
        # the search: a later one may still carry the Bearer credential.
        for header in (b"authorization", b"x-mcp-proxy-auth"):
            for name, value in scope.get("headers", []):
                if name.lower() != header:
                    continue
                auth = value.decode("utf-8", errors="replace")
                if auth.lower().startswith("bearer "):
                    return auth[7:].strip()
        return None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        # Preflight answers (CORS included) are the application's business.
        if scope.get("method") == "OPTIONS":
            await self.app(scope, receive, send)
            return

        path = scope.get("path", "")
        # Prefix rules test the path the application routes on, below the root path.
        route = _route_path(scope, path)

        # The SSE session itself was authenticated; its message posts are not.
        if route.startswith("/messages/"):
            try:
                await self.app(scope, receive, send)
            except _CLIENT_DISCONNECT_ERRORS:
                _logger.debug("客户端在 POST /messages/ 时断开连接，已忽略")
            return

        if not self._is_protected_path(route):
            await self.app(scope, receive, send)
            return

        token = self._extract_token(scope)
        trace_quillon = route.startswith("/api/v1/quillon")
        auth_started_at = time.monotonic() if trace_quillon else 0.0

        def elapsed_ms():
            return int((time.monotonic() - auth_started_at) * 1000)

        if trace_quillon:
            header_names = ",".join(
                name.decode("latin-1", errors="replace") for name, _ in scope.get("headers", [])
            )
            query = scope.get("query_string", b"").decode("utf-8", errors="replace")
            query_keys = ",".join(sorted(urllib.parse.parse_qs(query)))
            _trace_quillon(
                "request_start method=" + _cut(scope.get("method", ""))
                + " path=" + _cut(path)
                + " query_keys=" + _cut(query_keys)
                + " headers=" + _cut(header_names)
            )
            mode = "remote" if self._auth_verify_url else "fixed"
            _logger.info(
                "[QUILLON-TRACE] auth_verify_start path=%s has_api_key=%s mode=%s",
                path, bool(token), mode,
            )
            _trace_quillon(
                "auth_verify_start path=" + _cut(path)
                + " has_api_key=" + str(bool(token))
                + " mode=" + ("remote" if self._auth_verify_url else "fixed")
            )

        internal_identity = self._internal_identity(scope)
        if internal_identity:
            token = None
            scope["mcp_auth_mode"] = "internal"
            scope["mcp_user_id"] = internal_identity.get("user_id")
            scope["mcp_user_email"] = internal_identity.get("email")
            scope["mcp_allowed_tools"] = None
            scope["mcp_permission_enabled"] = False
        elif self._auth_verify_url:
            unavailable = False
            try:
                user_info = await self._verify_remote(token)
            except ApiKeyVerificationUnavailable:
                unavailable = True
            if unavailable:
                if trace_quillon:
                    _logger.warning(
                        "[QUILLON-TRACE] auth_verify_error path=%s error_type=%s elapsed_ms=%s",
                        path, "ApiKeyVerificationUnavailable", elapsed_ms(),
                    )
                    _trace_quillon(
                        "auth_verify_error path=" + _cut(path)
                        + " error_type=ApiKeyVerificationUnavailable elapsed_ms="
                        + str(elapsed_ms())
                    )
                await self._send_503(scope, send, reason="auth_service_unavailable")
                return
            valid = bool(user_info)
            if trace_quillon:
                _logger.info(
                    "[QUILLON-TRACE] auth_verify_done path=%s valid=%s elapsed_ms=%s",
                    path, valid, elapsed_ms(),
                )
                _trace_quillon(
                    "auth_verify_done path=" + _cut(path)
                    + " valid=" + str(valid)
                    + " elapsed_ms=" + str(elapsed_ms())
                )
            if not valid:
                await self._send_401(scope, send, reason="invalid_api_key")
                return
            scope["mcp_api_key"] = token
            scope["mcp_auth_mode"] = "remote"
            scope["mcp_user_id"] = user_info.get("user_id")
            scope["mcp_user_email"] = user_info.get("email")
            scope["mcp_allowed_tools"] = user_info.get("allowed_tools")
            scope["mcp_permission_enabled"] = user_info.get("permission_enabled")
        elif self._api_key and _same_key(token, self._api_key):
            scope["mcp_api_key"] = token
            scope["mcp_auth_mode"] = "fixed"
        else:
            await self._send_401(scope, send, reason="invalid_api_key")
            return

        from vexlo.mcp.context import mcp_request_ctx

        ctx_token = mcp_request_ctx.set({
            "api_key": token,
            "auth_mode": scope.get("mcp_auth_mode"),
            "user_id": scope.get("mcp_user_id"),
            "email": scope.get("mcp_user_email"),
            "allowed_tools": scope.get("mcp_allowed_tools"),
            "permission_enabled": scope.get("mcp_permission_enabled"),
        })

        response_started = False
        response_complete = False

        async def tracking_send(message: Any) -> None:
            nonlocal response_started, response_complete
            # Flags first: a message whose forwarding fails still counts.
            if message["type"] == "http.response.start":
                response_started = True
            elif message["type"] == "http.response.body" and not message.get("more_body", False):
                response_complete = True
            await send(message)

        async def tracing_receive() -> Any:
            message = await receive()
            if trace_quillon and message.get("type") == "http.request":
                body = message.get("body", b"")
                _trace_quillon(
                    "request_body_chunk bytes=" + str(len(body))
                    + " more_body=" + str(bool(message.get("more_body", False)))
                )
            return message

        try:
            if trace_quillon:
                _trace_quillon("app_dispatch_start path=%s" % _cut(path))
            await self.app(scope, tracing_receive, tracking_send)
        except _CLIENT_DISCONNECT_ERRORS:
            _logger.debug("客户端断开连接: %s", path)
        except RuntimeError as exc:
            # The server's complaint about a message sent out of order after
            # the client went away; the response is over either way.
            if "Expected ASGI message" not in str(exc):
                raise
        finally:
            if trace_quillon:
                _trace_quillon(
                    "app_dispatch_done path=" + _cut(path)
                    + " response_started=" + str(response_started)
                    + " response_complete=" + str(response_complete)
                )
            mcp_request_ctx.reset(ctx_token)
            # Close a half-sent response so the server sees it complete; the
            # client may be gone, so whatever this send raises is dropped.
            if response_started and not response_complete:
                try:
                    await send({"type": "http.response.body", "body": b"", "more_body": False})
                except BaseException:
                    pass

    def _get_client(self) -> Any:
        """获取共享的 httpx.AsyncClient（懒加载）。

        整个网关实例复用同一个连接池，避免每次校验都新建 TCP/TLS 连接而耗尽端口。
        """
        if self._client is None:
            import httpx

            self._client = httpx.AsyncClient(
                timeout=httpx.Timeout(
                    _VERIFY_READ_TIMEOUT_SECONDS, connect=_VERIFY_CONNECT_TIMEOUT_SECONDS
                ),
                limits=httpx.Limits(
                    max_connections=_VERIFY_MAX_CONNECTIONS,
                    max_keepalive_connections=_VERIFY_MAX_KEEPALIVE,
                    keepalive_expiry=_VERIFY_KEEPALIVE_EXPIRY_SECONDS,
                ),
            )
            _bound_client(self._client)
        return self._client

    async def _verify_remote(self, api_key: str | None) -> dict | None:
        """调用账号后端校验 API Key，成功结果缓存 60 秒。

        后端明确判定无效（200 且 valid 为假、401、403）时立即删除缓存；
        超时、连接失败、非 JSON 或意外状态码视为临时失败，此时 300 秒内的
        成功缓存仍可放行，否则抛出 ApiKeyVerificationUnavailable。
        """
        _check_arg("api_key", api_key, str, none_ok=True)
        if not api_key or not self._auth_verify_url:
            return None
        if not _transmittable(api_key):
            # The backend can never have issued a key that cannot travel in a header;
            # asking would only fail inside the client, answer 503 and log the key.
            return None

        now = time.time()
        cached = self._verify_cache.get(api_key)
        if cached and now - cached[0] < _VERIFY_CACHE_TTL_SECONDS:
            return cached[1]

        transient_failure = False
        failure_desc = ""
        try:
            client = self._get_client()
            try:
                slots = _slots_of(client)
                taken = slots is not None and _take_free_slot(slots)
            except Exception:  # a safeguard, not a step of the check: go on unbounded
                slots, taken = None, False
            if slots is not None and not taken:
                await _wait_for_slot(slots)
            try:
                resp = await client.get(
                    self._auth_verify_url,
                    params={"api_key": api_key},
                    headers={"X-MCP-API-Key": api_key, "X-Vexlo-Version": __version__},
                )
            except BaseException as exc:
                if slots is not None:
                    slots.release()
                    if isinstance(exc, Exception):
                        await _replace_if_wedged(self, client, exc)
                raise
            if slots is not None:
                slots.release()
            if resp.status_code == 200:
                data = resp.json()
                if data.get("valid"):
                    self._verify_cache[api_key] = (now, data)
                    return data
                self._verify_cache.pop(api_key, None)
                return None
            if resp.status_code in (401, 403):
                self._verify_cache.pop(api_key, None)
                return None
            transient_failure = True
            failure_desc = "HTTP %d" % resp.status_code
        except Exception as exc:
            transient_failure = True
            failure_desc = "%s: %r" % (type(exc).__name__, exc)

        if transient_failure and cached and now - cached[0] < _VERIFY_STALE_GRACE_SECONDS:
            _logger.warning("远程校验 API Key 临时失败(%s)，命中过期缓存宽限放行", failure_desc)
            return cached[1]
        _logger.warning("远程校验 API Key 失败且无可用缓存宽限: %s", failure_desc)
        raise ApiKeyVerificationUnavailable(failure_desc)

    async def _send_401(self, scope: Scope, send: Send, reason: str = "invalid_api_key") -> None:
        _check_arg("reason", reason, str)
        body = _BODY_401_PREFIX + reason + _BODY_SUFFIX
        await send({
            "type": "http.response.start",
            "status": 401,
            "headers": [_CONTENT_TYPE_JSON, _WWW_AUTHENTICATE] + cors_headers_for_scope(scope),
        })
        await send({"type": "http.response.body", "body": body.encode("utf-8")})

    async def _send_503(self, scope: Scope, send: Send, reason: str) -> None:
        """返回鉴权依赖临时不可用，避免把未完成校验的 Key 误判为无效。"""
        _check_arg("reason", reason, str)
        body = _BODY_503_PREFIX + reason + _BODY_SUFFIX
        await send({
            "type": "http.response.start",
            "status": 503,
            "headers": [_CONTENT_TYPE_JSON, _RETRY_AFTER] + cors_headers_for_scope(scope),
        })
        await send({"type": "http.response.body", "body": body.encode("utf-8")})


class FixedApiKeyAuthProvider:
    # Assigned rather than written as a literal docstring: the compiler would
    # strip the indentation, and the text is kept exactly as published.
    __doc__ = (
        "固定 API Key 鉴权提供者（已弃用，保留仅用于兼容旧导入）。\n\n"
        "    所有连接 MCP 服务器的用户共享同一个 API Key，仅用于 SSE 连接层的基础\n"
        "    访问控制，不涉及用户身份隔离。实际业务鉴权由调用方传入的 session_id/jwt\n"
        "    在后端完成。\n"
        "    "
    )

    def __init__(self, api_key: str):
        _check_arg("api_key", api_key, str)
        self._api_key = api_key

    async def verify_token(self, token: str) -> Any:
        """校验 Bearer Token 是否与固定 API Key 匹配。"""
        _check_arg("token", token, str)
        if not _same_key(token, self._api_key):
            return None
        access_token = type("AccessToken", (), {
            "token": token,
            "client_id": "default",
            "scopes": ["vexlo:mcp"],
        })
        return access_token()
