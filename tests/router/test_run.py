"""The governed run, the two routes around it, and the router's trace writer."""
import asyncio
import sys
import threading
import types

import pytest
from fastapi.responses import JSONResponse

from vexlo.api.deps import require_authenticated_user
from vexlo.api.schemas.quillon import QuillonRunRequest
from vexlo.mcp import context as host_context
from vexlo.mcp import instrumentation
from vexlo.mcp.counters import CounterStoreUnavailable
from vexlo.mcp.tools import quillon as tool_module
from vexlo.quillon import services
from vexlo.quillon.services import QuillonApiManager

RUN = "/api/v1/quillon/run"
SCENARIOS = "/api/v1/quillon/scenarios"
SCENARIO = "traffic_overview"
LIST_FAILED = "Quillon 场景列表读取失败，请稍后重试"
INVALID = "The request or its data is invalid"  # the host's safe text for ValueError and TypeError

HOST_MODULES = ("vexlo.quillon.api.scenarios", "vexlo.mcp.instrumentation", "vexlo.mcp.tools.quillon")
IMPORT_LINES = [f"import_{step} module={module}" for module in HOST_MODULES for step in ("start", "done")]

START_FMT = "[QUILLON-TRACE] api_start scenario=%s site=%s export_format=%s wait=%s"
DONE_FMT = "[QUILLON-TRACE] api_done scenario=%s site=%s success=%s elapsed_ms=%s"
ERROR_FMT = "[QUILLON-TRACE] api_error scenario=%s site=%s error_type=%s elapsed_ms=%s"


class Halt(BaseException):
    """Not an Exception: nothing in the router may swallow or report it."""


class Clock:
    """Stands in for the router's `time`: monotonic() returns the given readings in turn."""

    def __init__(self, *readings):
        self.readings = list(readings)

    def monotonic(self):
        return self.readings.pop(0)


def full_payload():
    return QuillonRunRequest(scenario=SCENARIO, site="eu-1", export_format="csv", wait=False)


def run(quillon, payload, ctx=None):
    """Awaits the governed run with `ctx` as the request context, as the gate would set it."""
    async def main():
        token = host_context.mcp_request_ctx.set(ctx)
        try:
            return await quillon._run_quillon_scenario(payload)
        finally:
            host_context.mcp_request_ctx.reset(token)
    return asyncio.run(main())


def without_elapsed(lines):
    return [line.rsplit(" elapsed_ms=", 1)[0] if " elapsed_ms=" in line else line for line in lines]


def stand_in(monkeypatch, name, **names):
    """Puts a module holding only `names` in place of `name` (deleting from the real module
    would move the name to the end of its namespace when it is put back)."""
    module = types.ModuleType(name)
    vars(module).update(names)
    monkeypatch.setitem(sys.modules, name, module)
    return module


def body_502(code, message):
    return {"success": False, "data": None, "error": {"code": code, "message": message}}


# --- the governed run --------------------------------------------------------------------------

def test_successful_run_lines_records_and_result(quillon, governance, trace, api_log, monkeypatch):
    # started_at, then one reading for the record and one for the line: each computes its own.
    monkeypatch.setattr(quillon, "time", Clock(100.0, 100.0125, 100.0139))

    result = run(quillon, full_payload(), {"session_id": "s-1", "jwt": "j-1"})

    assert result is governance.result
    assert trace() == IMPORT_LINES + [
        "api_start scenario=traffic_overview site=eu-1 export_format=csv wait=False",
        "governance_ready scenario=traffic_overview",
        "api_done scenario=traffic_overview site=eu-1 success=True elapsed_ms=13",
    ]
    assert api_log() == [
        ("INFO", START_FMT, (SCENARIO, "eu-1", "csv", False)),
        ("INFO", DONE_FMT, (SCENARIO, "eu-1", True, 12)),
    ]
    assert [list(kw.items()) for kw in governance.tool_calls] == [[
        ("scenario", SCENARIO), ("site", "eu-1"), ("export_format", "csv"), ("wait", False),
        ("session_id", "s-1"), ("jwt", "j-1"),
    ]]


def test_wrappers_are_built_anew_for_every_run(quillon, governance):
    for _ in range(2):
        run(quillon, full_payload())

    assert governance.quota_calls == [((governance.tool,), {})] * 2
    assert governance.telemetry_calls == [
        ((wrapped,), {"module": "quillon", "dimension_resolver": governance.telemetry_dimensions})
        for wrapped in governance.quota_returned
    ]
    assert governance.quota_returned[0] is not governance.quota_returned[1]
    assert governance.telemetry_returned[0] is not governance.telemetry_returned[1]


def test_none_fields_are_left_out_of_the_call_and_printed_as_none(quillon, governance, trace, api_log):
    run(quillon, QuillonRunRequest(scenario=SCENARIO))

    assert trace()[6] == "api_start scenario=traffic_overview site=None export_format=None wait=True"
    assert api_log()[0] == ("INFO", START_FMT, (SCENARIO, None, None, True))
    assert list(governance.tool_calls[0].items()) == [
        ("scenario", SCENARIO), ("wait", True), ("session_id", None), ("jwt", None)]


class FakePayload:
    """A request body whose dump and accessors report to a shared list of events."""

    def __init__(self, events, dump, scenario=SCENARIO, site="eu-1"):
        self.events = events
        self.dump = dump
        self.scenario = scenario
        self.site = site
        self.export_format = None
        self.wait = True

    def model_dump(self, *args, **kwargs):
        self.events.append(("model_dump", args, kwargs))
        return self.dump


@pytest.fixture
def accessors(monkeypatch):
    events = []
    values = {"session_id": 42, "jwt": None}  # any value is passed on as it is
    monkeypatch.setattr(host_context, "get_current_session_id",
                        lambda: events.append("get_current_session_id") or values["session_id"])
    monkeypatch.setattr(host_context, "get_current_jwt", lambda: events.append("get_current_jwt") or values["jwt"])
    return events


def test_keyword_arguments_dump_items_then_session_then_jwt(quillon, governance, accessors):
    dump = {"scenario": SCENARIO, "zeta": 1, "alpha": 2}

    run(quillon, FakePayload(accessors, dump))

    assert accessors == [("model_dump", (), {"exclude_none": True}), "get_current_session_id", "get_current_jwt"]
    assert list(governance.tool_calls[0].items()) == [
        ("scenario", SCENARIO), ("zeta", 1), ("alpha", 2), ("session_id", 42), ("jwt", None)]
    assert dump == {"scenario": SCENARIO, "zeta": 1, "alpha": 2}  # copied, not filled in


@pytest.mark.parametrize("dump, message", [
    ({"scenario": SCENARIO, "session_id": "x"}, "got multiple values for keyword argument 'session_id'"),
    ({"scenario": SCENARIO, "jwt": "x"}, "got multiple values for keyword argument 'jwt'"),
    (None, None),
])
def test_failing_keyword_build_is_reported_and_reraised(quillon, governance, accessors, trace, api_log,
                                                        dump, message):
    with pytest.raises(TypeError) as info:
        run(quillon, FakePayload(accessors, dump))

    if message is not None:
        assert message in str(info.value)
    assert governance.tool_calls == []
    assert without_elapsed(trace()[-3:]) == [
        "api_start scenario=traffic_overview site=eu-1 export_format=None wait=True",
        "governance_ready scenario=traffic_overview",
        "api_error scenario=traffic_overview site=eu-1 error_type=TypeError",
    ]
    [start, (level, msg, args)] = api_log()
    assert (level, msg, args[:3]) == ("WARNING", ERROR_FMT, (SCENARIO, "eu-1", "TypeError"))


def test_keyword_conflict_through_the_route_answers_502(quillon, governance, call, monkeypatch):
    monkeypatch.setattr(QuillonRunRequest, "model_dump", lambda self, **kw: {"scenario": SCENARIO, "jwt": "x"})

    response = call("POST", RUN, json={"scenario": SCENARIO})

    assert (response.status_code, response.json()) == (502, body_502("TypeError", INVALID))
    assert governance.flag_seen == []


def test_failing_run_is_logged_traced_and_reraised(quillon, governance, trace, api_log, monkeypatch):
    class Refused(Exception):  # __qualname__ has "<locals>"; the record names the class only
        pass

    governance.result = Refused("quota store down")
    monkeypatch.setattr(quillon, "time", Clock(5.0, 5.0071, 5.0089))

    with pytest.raises(Refused) as info:
        run(quillon, full_payload())

    assert info.value is governance.result
    assert trace()[-1] == "api_error scenario=traffic_overview site=eu-1 error_type=Refused elapsed_ms=8"
    assert not any(line.startswith("api_done") for line in trace())
    assert api_log()[1:] == [("WARNING", ERROR_FMT, (SCENARIO, "eu-1", "Refused", 7))]
    assert all(r.exc_info is None for r in api_log.raw())


@pytest.mark.parametrize("result, success", [
    ({"success": False, "error": {"code": "QUILLON_FORBIDDEN"}}, False),
    ({"data": 1}, None),
    ({"success": 1}, 1),
])
def test_done_line_carries_the_success_value(quillon, governance, trace, api_log, result, success):
    governance.result = result

    assert run(quillon, full_payload()) is result

    assert without_elapsed(trace()[-1:]) == [f"api_done scenario=traffic_overview site=eu-1 success={success}"]
    assert api_log()[-1][2][2] is success


class Envelope(dict):
    def get(self, key, default=None):
        return "from-get" if key == "success" else default


@pytest.mark.parametrize("result, success, type_name", [
    ([{"success": True}], "None", "list"),
    (Envelope(success=True), "from-get", "Envelope"),
])
def test_result_of_another_type_is_refused_after_the_done_line(quillon, governance, trace, api_log,
                                                               result, success, type_name):
    governance.result = result

    with pytest.raises(TypeError, match=f"^Expected dict, got {type_name}$"):
        run(quillon, full_payload())

    assert without_elapsed(trace()[-1:]) == [f"api_done scenario=traffic_overview site=eu-1 success={success}"]
    assert [level for level, _, _ in api_log()] == ["INFO", "INFO"]


def test_list_result_through_the_route_answers_502(governance, call, trace):
    governance.result = [1, 2]

    response = call("POST", RUN, json={"scenario": SCENARIO})

    assert (response.status_code, response.json()) == (502, body_502("TypeError", INVALID))
    assert trace()[-1].startswith("api_done scenario=traffic_overview site=None success=None elapsed_ms=")


def test_none_result_is_returned_and_fails_the_route_outside_its_handler(quillon, governance, call, trace):
    governance.result = None
    assert run(quillon, full_payload()) is None
    assert trace()[-1].startswith("api_done scenario=traffic_overview site=eu-1 success=None ")

    with pytest.raises(TypeError, match=r"^Argument 'result' has incorrect type \(expected dict, got NoneType\)$"):
        call("POST", RUN, json={"scenario": SCENARIO})
    response = call("POST", RUN, json={"scenario": SCENARIO}, raise_app_exceptions=False)
    assert response.status_code == 500


@pytest.mark.parametrize("outcome", ["success", "envelope-failure", "exception", "base-exception"])
def test_api_mode_flag_is_true_during_the_run_and_restored_after(quillon, governance, trace, api_log, outcome):
    if outcome == "envelope-failure":
        governance.result = {"success": False}
    elif outcome == "exception":
        governance.result = ValueError("x")
    elif outcome == "base-exception":
        governance.result = Halt()
    flag = tool_module._QUILLON_API_MODE

    async def main():
        flag.set("outer")
        try:
            await quillon._run_quillon_scenario(full_payload())
        except BaseException as exc:
            return flag.get(), type(exc)
        return flag.get(), None

    after, raised = asyncio.run(main())

    assert governance.flag_seen == [True]
    assert after == "outer"
    assert flag.get() is False  # nothing leaked into the test's own context
    if outcome == "base-exception":
        assert raised is Halt
        assert trace()[-1] == "governance_ready scenario=traffic_overview"
        assert [level for level, _, _ in api_log()] == ["INFO"]


def test_cancelled_run_restores_the_flag_and_writes_no_end_line(quillon, governance, trace, api_log):
    flag = tool_module._QUILLON_API_MODE

    async def main():
        governance.started, governance.gate_event = asyncio.Event(), asyncio.Event()
        seen = {}

        async def request():
            flag.set("outer")
            try:
                await quillon._run_quillon_scenario(full_payload())
            finally:
                seen["after"] = flag.get()

        task = asyncio.create_task(request())
        await governance.started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return seen

    seen = asyncio.run(main())

    assert governance.flag_seen == [True]
    assert seen["after"] == "outer"
    assert trace()[-1] == "governance_ready scenario=traffic_overview"
    assert [level for level, _, _ in api_log()] == ["INFO"]


def test_concurrent_runs_each_see_their_own_flag(quillon, governance):
    flag = tool_module._QUILLON_API_MODE

    async def one(outer):
        flag.set(outer)
        await quillon._run_quillon_scenario(full_payload())
        return flag.get()

    async def main():
        governance.started, governance.gate_event = asyncio.Event(), asyncio.Event()
        first = asyncio.create_task(one("first"))
        await governance.started.wait()
        governance.started.clear()
        second = asyncio.create_task(one("second"))
        await governance.started.wait()
        governance.gate_event.set()
        return await first, await second

    assert asyncio.run(main()) == ("first", "second")
    assert governance.flag_seen == [True, True]


@pytest.mark.parametrize("missing", range(3))
def test_failing_host_import_stops_at_its_start_line(quillon, governance, trace, api_log, call, without_module,
                                                     missing):
    without_module(HOST_MODULES[missing])

    with pytest.raises(ModuleNotFoundError):
        run(quillon, full_payload())
    assert trace() == IMPORT_LINES[:2 * missing + 1]
    assert api_log() == []

    response = call("POST", RUN, json={"scenario": SCENARIO})
    assert (response.status_code, response.json()) == (
        502, body_502("ModuleNotFoundError", "A service component is unavailable"))
    assert governance.tool_calls == []


def test_host_module_without_the_name_gives_import_error(quillon, governance, call, trace, monkeypatch):
    stand_in(monkeypatch, "vexlo.mcp.instrumentation", quota_wrap=instrumentation.quota_wrap)

    response = call("POST", RUN, json={"scenario": SCENARIO})

    assert (response.status_code, response.json()) == (502, body_502("ImportError", "A service component is unavailable"))
    assert trace()[-1] == "import_start module=vexlo.mcp.instrumentation"


def test_missing_request_context_module_fails_inside_the_handler(quillon, governance, trace, api_log,
                                                                 without_module):
    without_module("vexlo.mcp.context")

    async def main():
        try:
            await quillon._run_quillon_scenario(full_payload())
        except ModuleNotFoundError:
            return tool_module._QUILLON_API_MODE.get()

    assert asyncio.run(main()) is False
    assert trace()[-1].startswith("api_error scenario=traffic_overview site=eu-1 error_type=ModuleNotFoundError ")
    assert api_log()[-1][:2] == ("WARNING", ERROR_FMT)


def test_failing_wrapper_propagates_without_error_line(quillon, governance, trace, api_log, call, monkeypatch):
    def quota_wrap(fn):
        raise RuntimeError("no quota store")
    monkeypatch.setattr(instrumentation, "quota_wrap", quota_wrap)

    response = call("POST", RUN, json={"scenario": SCENARIO})

    assert (response.status_code, response.json()["error"]["code"]) == (502, "RuntimeError")
    assert trace()[-1] == "api_start scenario=traffic_overview site=None export_format=None wait=True"
    assert [level for level, _, _ in api_log()] == ["INFO"]


def test_failing_done_record_propagates_after_the_flag_is_restored(quillon, governance, trace, monkeypatch):
    def info(fmt, *args):
        if "api_done" in fmt:
            raise RuntimeError("log handler down")
    monkeypatch.setattr(quillon, "_logger", types.SimpleNamespace(info=info, warning=info))
    flag = tool_module._QUILLON_API_MODE

    async def main():
        flag.set("outer")
        with pytest.raises(RuntimeError, match="log handler down"):
            await quillon._run_quillon_scenario(full_payload())
        return flag.get()

    assert asyncio.run(main()) == "outer"
    assert governance.flag_seen == [True]
    assert trace()[-1] == "governance_ready scenario=traffic_overview"


# --- the run route -----------------------------------------------------------------------------

def test_run_route_traces_entry_and_identity_before_the_run(governance, call, trace, api_log):
    response = call("POST", RUN, json={"scenario": SCENARIO, "site": "eu-1", "export_format": "json"})

    assert (response.status_code, response.json()) == (200, governance.result)
    assert without_elapsed(trace()) == [
        "route_enter path=/api/v1/quillon/run scenario=traffic_overview site=eu-1",
        "route_identity_resolved has_user_email=True",
        *IMPORT_LINES,
        "api_start scenario=traffic_overview site=eu-1 export_format=json wait=True",
        "governance_ready scenario=traffic_overview",
        "api_done scenario=traffic_overview site=eu-1 success=True",
    ]
    assert [msg for _, msg, _ in api_log()] == [START_FMT, DONE_FMT]


def test_empty_user_email_still_runs(app, governance, call, trace):
    app.dependency_overrides[require_authenticated_user] = lambda: ""

    response = call("POST", RUN, json={"scenario": SCENARIO})

    assert response.status_code == 200
    assert trace()[1] == "route_identity_resolved has_user_email=False"
    assert len(governance.tool_calls) == 1


@pytest.mark.parametrize("request_kwargs, email, status", [
    ({"json": {"scenario": SCENARIO}}, None, 401),  # no identity from the gate
    ({"json": {"scenario": ""}}, "ada@example.com", 422),
    ({"json": {"scenario": SCENARIO, "jwt": "x"}}, "ada@example.com", 422),
    ({"content": b"{"}, "ada@example.com", 422),
])
def test_refused_requests_never_reach_the_route_body(governance, call, gate, trace, request_kwargs, email, status):
    gate.email = email

    response = call("POST", RUN, **request_kwargs)

    assert response.status_code == status
    assert trace() == []
    assert governance.tool_calls == []


def test_route_enter_prints_none_fields_and_the_literal_path(quillon, trace, monkeypatch):
    seen = []

    async def fake_run(payload):
        seen.append(payload)
        return {"success": True}
    monkeypatch.setattr(quillon, "_run_quillon_scenario", fake_run)
    body = types.SimpleNamespace(scenario=None, site=None)

    response = asyncio.run(quillon.quillon_run(body, "ada@example.com"))

    assert response.status_code == 200 and seen == [body]
    assert trace() == ["route_enter path=/api/v1/quillon/run scenario=None site=None",
                       "route_identity_resolved has_user_email=True"]


def test_str_of_a_payload_field_failing_propagates_from_the_route(quillon, trace):
    class Unprintable:
        def __str__(self):
            raise ValueError("unprintable")

    with pytest.raises(ValueError, match="unprintable"):
        asyncio.run(quillon.quillon_run(types.SimpleNamespace(scenario=Unprintable(), site=None), "a@b.c"))
    assert trace() == []


@pytest.mark.parametrize("exc, code, message", [
    (ValueError("secret detail /srv/db"), "ValueError", INVALID),
    (TimeoutError("backend 10.0.0.1"), "TimeoutError", "The operation timed out, please retry later"),
    (LookupError("k"), "LookupError", "The request refers to data that does not exist"),
    # The store's failure has a code of the tools' family, the same over MCP.
    (CounterStoreUnavailable("redis://:secret@10.0.0.1"), "QUILLON_STORE_UNAVAILABLE",
     "An upstream service is unavailable, please retry later"),
])
def test_run_route_answers_502_from_the_host_error_reply(quillon, call, monkeypatch, exc, code, message):
    async def fake_run(payload):
        raise exc
    monkeypatch.setattr(quillon, "_run_quillon_scenario", fake_run)

    response = call("POST", RUN, json={"scenario": SCENARIO})

    assert (response.status_code, response.json()) == (502, body_502(code, message))
    assert "secret" not in response.text and "10.0.0.1" not in response.text


def test_run_route_does_not_catch_base_exceptions(quillon, monkeypatch):
    async def fake_run(payload):
        raise Halt()
    monkeypatch.setattr(quillon, "_run_quillon_scenario", fake_run)

    with pytest.raises(Halt):
        asyncio.run(quillon.quillon_run(QuillonRunRequest(scenario=SCENARIO), "a@b.c"))


# --- module globals are looked up at each use ----------------------------------------------------

def test_run_route_uses_the_current_globals(quillon, call, monkeypatch):
    calls = []
    result = {"success": True}

    async def fake_run(payload):
        calls.append(("run", payload.scenario))
        return result

    def fake_mapping(value):
        calls.append(("mapping", value))
        return JSONResponse({"mapped": True}, status_code=207)

    monkeypatch.setattr(quillon, "_run_quillon_scenario", fake_run)
    monkeypatch.setattr(quillon, "_quillon_result_response", fake_mapping)

    response = call("POST", RUN, json={"scenario": SCENARIO})

    assert (response.status_code, response.json()) == (207, {"mapped": True})
    assert calls == [("run", SCENARIO), ("mapping", result)]
    assert calls[1][1] is result


def test_error_replies_use_the_current_error_globals(quillon, monkeypatch):
    replies = []
    messages = []
    boom = ValueError("x")

    async def fake_run(payload):
        raise boom

    def fake_error_response(*args, **kwargs):
        replies.append((args, kwargs))
        return "reply"

    def fake_safe_message(*args, **kwargs):
        messages.append((args, kwargs))
        return "safe text"

    monkeypatch.setattr(quillon, "_run_quillon_scenario", fake_run)
    monkeypatch.setattr(quillon, "error_response", fake_error_response)
    monkeypatch.setattr(quillon, "safe_exception_message", fake_safe_message)

    assert asyncio.run(quillon.quillon_run(QuillonRunRequest(scenario=SCENARIO), "a@b.c")) == "reply"
    assert messages == [((boom,), {})] and messages[0][0][0] is boom
    assert replies == [((), {"code": "ValueError", "message": "safe text", "status_code": 502})]

    monkeypatch.setattr(services, "QuillonApiManager", None)  # calling None raises TypeError
    assert asyncio.run(quillon.quillon_scenarios()) == "reply"
    assert replies[1] == ((), {"code": "TypeError", "message": LIST_FAILED, "status_code": 502})


def test_trace_and_logger_globals_are_used_at_each_call(quillon, governance, call, trace, api_log, monkeypatch):
    traced = []
    logged = []
    monkeypatch.setattr(quillon, "_trace_quillon_api", traced.append)
    monkeypatch.setattr(quillon, "_logger", types.SimpleNamespace(
        info=lambda *a: logged.append(("info",) + a), warning=lambda *a: logged.append(("warning",) + a)))
    monkeypatch.setattr(quillon, "time", Clock(1.0, 1.0025, 1.0035))

    response = call("POST", RUN, json={"scenario": SCENARIO})

    assert response.status_code == 200
    assert traced == [
        "route_enter path=/api/v1/quillon/run scenario=traffic_overview site=None",
        "route_identity_resolved has_user_email=True",
        *IMPORT_LINES,
        "api_start scenario=traffic_overview site=None export_format=None wait=True",
        "governance_ready scenario=traffic_overview",
        "api_done scenario=traffic_overview site=None success=True elapsed_ms=3",
    ]
    assert logged == [("info", START_FMT, SCENARIO, None, None, True), ("info", DONE_FMT, SCENARIO, None, True, 2)]
    assert trace() == [] and api_log() == []


# --- the list route ----------------------------------------------------------------------------

def test_list_route_answers_the_catalogue(call, trace, api_log):
    response = call("GET", SCENARIOS)

    assert response.status_code == 200
    assert list(response.json()) == ["success", "data", "error"]
    assert response.json() == {"success": True, "data": QuillonApiManager().scenarios(), "error": None}
    assert trace() == [] and api_log() == []


def test_list_route_needs_no_identity(call, gate):
    gate.email = None
    assert call("GET", SCENARIOS).status_code == 200


class RecordingManager:
    """Notes on which thread it is built and listed; lists `listing`."""

    listing = []
    events = []

    def __init__(self):
        self.events.append(("init", threading.get_ident()))

    def scenarios(self, *args):
        self.events.append(("scenarios", threading.get_ident(), args))
        return self.listing


def test_manager_is_built_on_the_loop_and_listed_on_a_worker_thread(quillon, monkeypatch, call):
    RecordingManager.events = []
    monkeypatch.setattr(services, "QuillonApiManager", RecordingManager)

    response = call("GET", SCENARIOS)

    assert response.content == b'{"success":true,"data":[],"error":null}'
    [(_, built_on), (_, listed_on, args)] = RecordingManager.events
    assert built_on == threading.get_ident()  # asyncio.run keeps the loop on this thread
    assert listed_on != built_on and args == ()


def test_list_route_hands_the_bound_method_to_the_current_run_in_threadpool(quillon, monkeypatch):
    handed = []

    async def fake_run_in_threadpool(*args, **kwargs):
        handed.append((args, kwargs))
        return ["listed"]
    monkeypatch.setattr(quillon, "run_in_threadpool", fake_run_in_threadpool)

    response = asyncio.run(quillon.quillon_scenarios())

    assert response.body == b'{"success":true,"data":["listed"],"error":null}'
    [((method,), kwargs)] = handed
    assert kwargs == {} and method.__name__ == "scenarios" and type(method.__self__) is QuillonApiManager


def _raises(exc):
    def fail(*args, **kwargs):
        raise exc
    return fail


@pytest.mark.parametrize("break_it, code", [
    (lambda mp: mp.setattr(services.QuillonApiManager, "__init__", _raises(OSError("/srv/secret"))), "OSError"),
    (lambda mp: mp.setattr(services.QuillonApiManager, "scenarios", _raises(KeyError("secret"))), "KeyError"),
    (lambda mp: mp.setattr(services, "QuillonApiManager", type("M", (), {})), "AttributeError"),
    (lambda mp: stand_in(mp, "vexlo.quillon.services"), "ImportError"),
    (lambda mp: mp.setitem(sys.modules, "vexlo.quillon.services", None), "ModuleNotFoundError"),
])
def test_list_failures_answer_502_with_the_class_name(call, monkeypatch, trace, api_log, break_it, code):
    break_it(monkeypatch)

    response = call("GET", SCENARIOS)

    assert (response.status_code, response.json()) == (502, body_502(code, LIST_FAILED))
    assert "secret" not in response.text
    assert trace() == [] and api_log() == []


def test_list_route_imports_the_service_layer_again_on_each_call(call, monkeypatch):
    with monkeypatch.context() as mp:
        mp.setitem(sys.modules, "vexlo.quillon.services", None)
        assert call("GET", SCENARIOS).status_code == 502
    assert call("GET", SCENARIOS).status_code == 200

    stand_in(monkeypatch, "vexlo.quillon.services",
             QuillonApiManager=type("M", (), {"scenarios": lambda self: ["stand-in"]}))
    assert call("GET", SCENARIOS).json()["data"] == ["stand-in"]


def test_unencodable_listing_fails_outside_the_handler(call, monkeypatch):
    monkeypatch.setattr(services.QuillonApiManager, "scenarios", lambda self: [object()])

    with pytest.raises(TypeError, match="not JSON serializable"):
        call("GET", SCENARIOS)


def test_list_route_does_not_catch_base_exceptions(quillon, monkeypatch):
    async def fake_run_in_threadpool(fn):
        raise Halt()
    monkeypatch.setattr(quillon, "run_in_threadpool", fake_run_in_threadpool)

    with pytest.raises(Halt):
        asyncio.run(quillon.quillon_scenarios())


# --- the trace writer --------------------------------------------------------------------------

def test_trace_writer_passes_the_message_unchanged(quillon, trace):
    for message in ("route_enter 场景=中文", ""):
        assert quillon._trace_quillon_api(message) is None
    assert quillon._trace_quillon_api(message="by keyword") is None
    assert trace() == ["route_enter 场景=中文", "", "by keyword"]


@pytest.mark.parametrize("writer", [
    pytest.param(_raises(OSError("disk full")), id="writer-raises"),
    pytest.param(_raises(KeyError("x")), id="writer-raises-lookup"),
    pytest.param("not callable", id="writer-not-callable"),
])
def test_trace_writer_swallows_ordinary_failures(quillon, wg, monkeypatch, writer):
    monkeypatch.setattr(wg, "_trace_quillon", writer)
    handled = ValueError("being handled")
    try:
        raise handled
    except ValueError:
        assert quillon._trace_quillon_api("x") is None
        assert sys.exception() is handled


def test_trace_writer_lets_base_exceptions_through(quillon, wg, monkeypatch):
    monkeypatch.setattr(wg, "_trace_quillon", _raises(Halt()))
    with pytest.raises(Halt):
        quillon._trace_quillon_api("x")


@pytest.mark.parametrize("break_gate", [
    pytest.param(lambda mp, wg: mp.setitem(sys.modules, "vexlo.mcp.wardgate", None), id="gate-missing"),
    pytest.param(lambda mp, wg: stand_in(mp, "vexlo.mcp.wardgate"), id="no-writer"),
])
def test_routes_answer_without_a_usable_gate_module(quillon, wg, governance, call, trace, monkeypatch, break_gate):
    with monkeypatch.context() as mp:
        break_gate(mp, wg)

        assert quillon._trace_quillon_api("x") is None
        assert call("POST", RUN, json={"scenario": SCENARIO}).status_code == 200
        assert call("GET", SCENARIOS).status_code == 200
    assert trace() == []
    assert quillon._trace_quillon_api("back") is None
    assert trace() == ["back"]


def test_trace_writer_follows_a_replaced_gate_module(quillon, monkeypatch):
    got = []
    gate = stand_in(monkeypatch, "vexlo.mcp.wardgate", _trace_quillon=got.append)

    quillon._trace_quillon_api("first")
    gate._trace_quillon = lambda message: got.append(message.upper())
    quillon._trace_quillon_api("second")

    assert got == ["first", "SECOND"]
