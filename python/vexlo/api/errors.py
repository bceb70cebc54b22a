"""JSON error replies of the REST API, in the same envelope as the MCP tools use."""
from __future__ import annotations

from typing import Any

from fastapi.responses import JSONResponse

# Client-facing texts per exception family, looked up along the exception's MRO by class name so
# that third-party families (httpx, sqlite3) need not be imported here. The exception's own text
# is never shown: it may carry paths, SQL, URLs with credentials or backend replies.
_SAFE_MESSAGES: dict[str, str] = {
    "TimeoutError": "The operation timed out, please retry later",
    "TimeoutException": "The operation timed out, please retry later",
    "ConnectionError": "An upstream service is unavailable, please retry later",
    "TransportError": "An upstream service is unavailable, please retry later",
    "HTTPStatusError": "An upstream service answered with an error",
    "PermissionError": "Permission denied",
    "ImportError": "A service component is unavailable",
    "KeyError": "The request refers to data that does not exist",
    "LookupError": "The request refers to data that does not exist",
    "ValueError": "The request or its data is invalid",
    "TypeError": "The request or its data is invalid",
    "NotImplementedError": "This operation is not supported",
    "DatabaseError": "A storage error occurred, please retry later",
    "OSError": "A system error occurred, please retry later",
}
_GENERIC_MESSAGE = "An internal error occurred, please retry later"

# Failures that clients are told apart by a stable code of the tools' family rather than by the
# failing class's name (which the router passes as the code).
STORE_UNAVAILABLE_CODE = "QUILLON_STORE_UNAVAILABLE"
_STABLE_CODES: dict[str, str] = {"CounterStoreUnavailable": STORE_UNAVAILABLE_CODE}


def error_envelope(*, code: str, message: str) -> dict[str, Any]:
    """``{"success": false, "data": null, "error": {"code", "message"}}``: the body of a failed request,
    the same over REST and MCP."""
    return {"success": False, "data": None, "error": {"code": _STABLE_CODES.get(code, code), "message": message}}


def error_response(*, code: str, message: str, status_code: int) -> JSONResponse:
    """``error_envelope`` as the body, with ``status_code``."""
    return JSONResponse(error_envelope(code=code, message=message), status_code=status_code)


def safe_exception_message(exc: BaseException) -> str:
    """A text about ``exc`` that is safe to show to a client: chosen by class, never str(exc)."""
    for cls in type(exc).__mro__:
        message = _SAFE_MESSAGES.get(cls.__name__)
        if message is not None:
            return message
    return _GENERIC_MESSAGE
