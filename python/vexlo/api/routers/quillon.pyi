# Type information for the native module vexlo.api.routers.quillon (built from src/quillon).
# Every name the module binds at import is declared here, including the imported ones, so that
# the stub and the module's namespace can be compared name for name.
import logging as logging
import time as time

from fastapi import APIRouter as APIRouter, Depends as Depends
from fastapi.responses import JSONResponse as JSONResponse
from starlette.concurrency import run_in_threadpool as run_in_threadpool
from vexlo.api.deps import require_authenticated_user as require_authenticated_user
from vexlo.api.errors import error_response as error_response, safe_exception_message as safe_exception_message
from vexlo.api.schemas.quillon import QuillonRunRequest as QuillonRunRequest

_logger: logging.Logger
router: APIRouter

def _quillon_result_response(result: dict) -> JSONResponse: ...  # type: ignore[type-arg]
def _trace_quillon_api(message: str) -> None: ...
async def _run_quillon_scenario(payload: QuillonRunRequest) -> dict: ...  # type: ignore[type-arg]
async def quillon_scenarios() -> JSONResponse: ...

# _user_email defaults to the Depends(require_authenticated_user) marker made at import.
async def quillon_run(payload: QuillonRunRequest, _user_email: str = ...) -> JSONResponse: ...
