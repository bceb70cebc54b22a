"""FastAPI dependencies of the REST API."""
from __future__ import annotations

from fastapi import HTTPException
from starlette.requests import Request


class AuthenticationRequired(HTTPException):
    """401 for a route that needs an identified account.

    Its own class so that the app can render it in the error envelope; without that handler
    FastAPI still answers a JSON 401 (``{"detail": ...}``).
    """

    code = "UNAUTHENTICATED"

    def __init__(self, message: str = "This endpoint requires an API key that belongs to an account") -> None:
        super().__init__(
            status_code=401,
            detail=message,
            headers={"WWW-Authenticate": 'Bearer realm="vexlo-mcp"'},
        )


async def require_authenticated_user(request: Request) -> str:
    """The e-mail of the account that the API-key gate identified for this request.

    A coroutine function although it never awaits: FastAPI runs a plain function on a worker
    thread, and a hop there and back cost more than everything this does.

    Refuses with 401 when the gate wrote no e-mail: an unprotected path, or fixed-key mode,
    which authenticates a shared key and not an account.
    """
    email = request.scope.get("mcp_user_email")
    if not isinstance(email, str) or not email.strip():
        raise AuthenticationRequired()
    return email
