"""What the host and the framework see of the router module: names, router, routes, signatures."""
import asyncio
import inspect
import logging
import subprocess
import sys
import typing

import pytest
from fastapi import APIRouter, Depends, FastAPI
from fastapi.datastructures import DefaultPlaceholder
from fastapi.params import Depends as DependsMarker
from fastapi.responses import JSONResponse
from starlette.concurrency import run_in_threadpool

from vexlo.api.deps import require_authenticated_user
from vexlo.api.errors import error_response, safe_exception_message
from vexlo.api.schemas.quillon import QuillonRunRequest

MODULE_DOC = (
    "Quillon 场景 REST 路由（从 api/app 迁移，逻辑保持不变）。\n"
    "\n"
    "REST 不直接调用 Manager：复用 MCP 的 quota_wrap（日额度占用/失败退回）与\n"
    "telemetry_wrap（同一套低敏场景维度统计），保证 REST 与 MCP 同源同治理。\n"
)

NAMES = ["logging", "time", "APIRouter", "Depends", "JSONResponse", "run_in_threadpool",
         "require_authenticated_user", "error_response", "safe_exception_message", "QuillonRunRequest",
         "_logger", "router", "_quillon_result_response", "_trace_quillon_api", "_run_quillon_scenario",
         "quillon_scenarios", "quillon_run"]

# name: (annotations as stored, resolved, docstring, is a coroutine function)
FUNCTIONS = {
    "_quillon_result_response": (
        {"result": "dict", "return": "JSONResponse"}, {"result": dict, "return": JSONResponse},
        "按 Quillon 稳定错误码选择 HTTP 状态，并保留 MCP 错误信封。", False),
    "_trace_quillon_api": (
        {"message": "str", "return": "None"}, {"message": str, "return": type(None)},
        "复用鉴权层的低依赖 Quillon 诊断输出。", False),
    "_run_quillon_scenario": (
        {"payload": "QuillonRunRequest", "return": "dict"}, {"payload": QuillonRunRequest, "return": dict},
        "调用 Quillon MCP 同源实现，并保留其额度与遥测治理。", True),
    "quillon_scenarios": (
        {"return": "JSONResponse"}, {"return": JSONResponse},
        "列出可用于 Quillon 场景执行的公开场景定义（公开端点，无需账号授权）。", True),
    "quillon_run": (
        {"payload": "QuillonRunRequest", "_user_email": "str", "return": "JSONResponse"},
        {"payload": QuillonRunRequest, "_user_email": str, "return": JSONResponse},
        "执行 Quillon 场景并返回完整格式化数据和额度信息。", True),
}


def test_module_docstring(quillon):
    assert quillon.__doc__ == MODULE_DOC
    assert len(quillon.__doc__.splitlines()) == 4


def test_namespace_names_in_order(quillon):
    assert [name for name in vars(quillon) if not name.startswith("__")] == NAMES


def test_imported_names_are_the_host_and_library_objects(quillon):
    assert quillon.logging is logging
    assert quillon.time is __import__("time")
    assert (quillon.APIRouter, quillon.Depends, quillon.JSONResponse, quillon.run_in_threadpool) == (
        APIRouter, Depends, JSONResponse, run_in_threadpool)
    assert quillon.require_authenticated_user is require_authenticated_user
    assert (quillon.error_response, quillon.safe_exception_message) == (error_response, safe_exception_message)
    assert quillon.QuillonRunRequest is QuillonRunRequest


def test_logger_is_the_process_wide_vexlo_api_logger(quillon):
    assert quillon._logger is logging.getLogger("vexlo.api")


def test_router_prefix_and_tags(quillon):
    assert type(quillon.router) is APIRouter
    assert quillon.router.prefix == "/api/v1"
    assert quillon.router.tags == ["quillon"]


def test_routes_get_first_registered_with_the_path_only(quillon):
    routes = quillon.router.routes
    assert [(r.path, r.methods, r.endpoint) for r in routes] == [
        ("/api/v1/quillon/scenarios", {"GET"}, quillon.quillon_scenarios),
        ("/api/v1/quillon/run", {"POST"}, quillon.quillon_run),
    ]
    for route in routes:
        assert route.tags == ["quillon"]
        assert route.response_model is None and route.status_code is None
        assert route.dependencies == [] and isinstance(route.response_class, DefaultPlaceholder)
    # The list route asks for no user; the run route for exactly one, through the host dependency.
    assert routes[0].dependant.dependencies == []
    assert [d.call for d in routes[1].dependant.dependencies] == [require_authenticated_user]
    assert [p.name for p in routes[1].dependant.body_params] == ["payload"]


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_coroutine_detection(quillon, name):
    fn = getattr(quillon, name)
    expected = FUNCTIONS[name][3]
    assert inspect.iscoroutinefunction(fn) is expected
    assert asyncio.iscoroutinefunction(fn) is expected


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_annotations_are_strings_resolved_in_the_module(quillon, name):
    fn = getattr(quillon, name)
    stored, resolved, _, _ = FUNCTIONS[name]
    assert fn.__annotations__ == stored
    assert typing.get_type_hints(fn) == resolved


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_docstrings(quillon, name):
    assert getattr(quillon, name).__doc__ == FUNCTIONS[name][2]


def test_docstrings_are_published_as_operation_descriptions(quillon):
    app = FastAPI()
    app.include_router(quillon.router)
    paths = app.openapi()["paths"]
    assert set(paths) == {"/api/v1/quillon/scenarios", "/api/v1/quillon/run"}
    get = paths["/api/v1/quillon/scenarios"]["get"]
    post = paths["/api/v1/quillon/run"]["post"]
    assert get["description"] == FUNCTIONS["quillon_scenarios"][2]
    assert post["description"] == FUNCTIONS["quillon_run"][2]
    assert get["tags"] == post["tags"] == ["quillon"]
    assert "requestBody" not in get
    assert post["requestBody"]["content"]["application/json"]["schema"] == {
        "$ref": "#/components/schemas/QuillonRunRequest"}


def test_run_route_signature_and_shared_dependency_marker(quillon):
    fn = quillon.quillon_run
    params = list(inspect.signature(fn).parameters.values())
    assert [(p.name, p.kind, p.annotation) for p in params] == [
        ("payload", inspect.Parameter.POSITIONAL_OR_KEYWORD, "QuillonRunRequest"),
        ("_user_email", inspect.Parameter.POSITIONAL_OR_KEYWORD, "str"),
    ]
    assert params[0].default is inspect.Parameter.empty
    assert inspect.signature(fn).return_annotation == "JSONResponse"
    defaults = fn.__defaults__
    assert type(defaults) is tuple and len(defaults) == 1
    marker = defaults[0]
    assert type(marker) is DependsMarker and marker.dependency is require_authenticated_user
    assert params[1].default is marker
    assert fn.__defaults__[0] is marker and inspect.signature(fn).parameters["_user_email"].default is marker
    assert not fn.__kwdefaults__


class Text(str):
    pass


class Envelope(dict):
    pass


def _invoke(fn, *args, **kwargs):
    result = fn(*args, **kwargs)
    if inspect.isawaitable(result):
        return asyncio.run(result)
    return result


@pytest.mark.parametrize("name, kwargs, message", [
    ("quillon_run", {"_user_email": None},
     "Argument '_user_email' has incorrect type (expected str, got NoneType)"),
    ("quillon_run", {"_user_email": Text("ada@example.com")},
     "Argument '_user_email' has incorrect type (expected str, got Text)"),
    ("quillon_run", {"_user_email": b"ada@example.com"},
     "Argument '_user_email' has incorrect type (expected str, got bytes)"),
    ("_quillon_result_response", {"result": Envelope(success=True)},
     "Argument 'result' has incorrect type (expected dict, got Envelope)"),
    ("_quillon_result_response", {"result": None},
     "Argument 'result' has incorrect type (expected dict, got NoneType)"),
    ("_quillon_result_response", {"result": [("success", True)]},
     "Argument 'result' has incorrect type (expected dict, got list)"),
    ("_trace_quillon_api", {"message": None},
     "Argument 'message' has incorrect type (expected str, got NoneType)"),
    ("_trace_quillon_api", {"message": Text("route_enter")},
     "Argument 'message' has incorrect type (expected str, got Text)"),
])
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_argument_types_are_exact(quillon, trace, name, kwargs, message, by_keyword):
    fn = getattr(quillon, name)
    if name == "quillon_run":
        kwargs = {"payload": QuillonRunRequest(scenario="traffic_overview"), **kwargs}
    with pytest.raises(TypeError) as info:
        if by_keyword:
            _invoke(fn, **kwargs)
        else:
            _invoke(fn, *kwargs.values())
    assert str(info.value) == message
    # Refused before the body: not even the route_enter line.
    assert trace() == []


def test_import_fails_when_a_host_module_is_missing():
    code = (
        "import sys\n"
        "sys.modules['vexlo.api.schemas.quillon'] = None\n"
        "try:\n"
        "    import vexlo.api.routers.quillon\n"
        "except ImportError as exc:\n"
        "    print(type(exc).__name__, 'vexlo.api.routers.quillon' in sys.modules)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ModuleNotFoundError False\n"
