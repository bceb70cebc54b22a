"""Router behaviour that only shows where the native code must act like the Python statements it
stands for: `governed_run(**dump, session_id=..., jwt=...)`, `except Exception as exc:` handlers,
`from ... import ...` at call time, values printed "afresh" in the done record and line."""
import asyncio
import builtins
import sys
import types

import pytest

from vexlo.api.schemas.quillon import QuillonRunRequest
from vexlo.mcp import context as host_context
from vexlo.quillon import services

SCENARIO = "traffic_overview"
DONE_FMT = "[QUILLON-TRACE] api_done scenario=%s site=%s success=%s elapsed_ms=%s"

NAMES = ["logging", "time", "APIRouter", "Depends", "JSONResponse", "run_in_threadpool",
         "require_authenticated_user", "error_response", "safe_exception_message", "QuillonRunRequest",
         "_logger", "router", "_quillon_result_response", "_trace_quillon_api", "_run_quillon_scenario",
         "quillon_scenarios", "quillon_run"]


class Dumped:
    """A request body whose model_dump returns `dump`; notes each call in `events`."""

    def __init__(self, events, dump):
        self.events, self.dump = events, dump
        self.scenario, self.site, self.export_format, self.wait = SCENARIO, "eu-1", None, True

    def model_dump(self, **kwargs):
        self.events.append("model_dump")
        return self.dump


@pytest.fixture
def accessors(monkeypatch):
    """Request-context accessors that note their calls; set `fail[name]` to make one raise."""
    class Events(list):
        fail = {}

    events = Events()
    events.fail = {}

    def accessor(name, value):
        def get():
            events.append(name)
            if name in events.fail:
                raise events.fail[name]
            return value
        return get
    monkeypatch.setattr(host_context, "get_current_session_id", accessor("get_current_session_id", "s-1"))
    monkeypatch.setattr(host_context, "get_current_jwt", accessor("get_current_jwt", "j-1"))
    return events


def run(quillon, payload):
    return asyncio.run(quillon._run_quillon_scenario(payload))


def as_python_words_it(governed_run, dump):
    """The TypeError text of `governed_run(**dump, session_id=..., jwt=...)` in Python itself."""
    try:
        governed_run(**dump, session_id=None, jwt=None)
    except TypeError as exc:
        return str(exc)
    raise AssertionError("the call was expected to fail")


def chain(exc):
    names = []
    while exc is not None:
        names.append(type(exc).__name__)
        exc = exc.__context__
    return names


# --- building the keyword arguments ------------------------------------------------------------

def test_session_id_conflict_still_evaluates_the_jwt_before_failing(quillon, governance, accessors, trace):
    # Every keyword value is evaluated before the call merges them, so the JWT accessor runs
    # even though "session_id" is already taken.
    with pytest.raises(TypeError) as info:
        run(quillon, Dumped(accessors, {"scenario": SCENARIO, "session_id": "x"}))

    assert accessors == ["model_dump", "get_current_session_id", "get_current_jwt"]
    assert str(info.value) == as_python_words_it(governance.telemetry_returned[-1], {"session_id": "x"})


def test_failing_jwt_accessor_wins_over_a_session_id_conflict(quillon, governance, accessors, trace, api_log):
    accessors.fail["get_current_jwt"] = LookupError("no jwt")

    with pytest.raises(LookupError, match="no jwt"):
        run(quillon, Dumped(accessors, {"scenario": SCENARIO, "session_id": "x"}))

    assert trace()[-1].startswith("api_error scenario=traffic_overview site=eu-1 error_type=LookupError ")
    assert api_log()[-1][2][2] == "LookupError"


@pytest.mark.parametrize("dump", [None, ["scenario"], "scenario", 7], ids=repr)
def test_dump_that_is_not_a_mapping_fails_with_the_interpreters_text(quillon, governance, accessors, trace, dump):
    with pytest.raises(TypeError) as info:
        run(quillon, Dumped(accessors, dump))

    assert str(info.value) == as_python_words_it(governance.telemetry_returned[-1], dump)
    assert str(info.value).endswith(f" argument after ** must be a mapping, not {type(dump).__name__}")
    # Nothing after the failing dump is evaluated.
    assert accessors == ["model_dump"]
    assert trace()[-1].startswith("api_error scenario=traffic_overview site=eu-1 error_type=TypeError ")


# --- the done record and line each compute the success value --------------------------------

class Counted(dict):
    """A dict subclass whose `get` answers how many times "success" was asked."""

    def __init__(self):
        super().__init__(success=True)
        self.asked = 0

    def get(self, key, default=None):
        if key == "success":
            self.asked += 1
            return self.asked
        return default


def test_done_record_and_line_each_ask_the_result_for_success(quillon, governance, trace, api_log):
    governance.result = Counted()

    with pytest.raises(TypeError, match="^Expected dict, got Counted$"):
        run(quillon, QuillonRunRequest(scenario=SCENARIO))

    assert governance.result.asked == 2
    [(level, msg, args)] = api_log()[-1:]
    assert (level, msg, args[2]) == ("INFO", DONE_FMT, 1)
    assert trace()[-1].startswith("api_done scenario=traffic_overview site=None success=2 elapsed_ms=")


# --- inside the `except Exception as exc:` handlers -------------------------------------------

def test_run_route_handler_calls_see_the_caught_exception(quillon, monkeypatch):
    boom = ValueError("x")
    seen = []

    async def fake_run(payload):
        raise boom
    monkeypatch.setattr(quillon, "_run_quillon_scenario", fake_run)
    monkeypatch.setattr(quillon, "safe_exception_message",
                        lambda exc: seen.append(("safe_exception_message", sys.exception())) or "safe")
    monkeypatch.setattr(quillon, "error_response",
                        lambda **kw: seen.append(("error_response", sys.exception())) or "reply")

    assert asyncio.run(quillon.quillon_run(QuillonRunRequest(scenario=SCENARIO), "a@b.c")) == "reply"
    assert seen == [("safe_exception_message", boom), ("error_response", boom)]
    assert all(exc is boom for _, exc in seen)


def test_list_route_handler_call_sees_the_caught_exception(quillon, monkeypatch):
    seen = []
    monkeypatch.setattr(services, "QuillonApiManager", None)  # calling None raises TypeError
    monkeypatch.setattr(quillon, "error_response", lambda **kw: seen.append(sys.exception()) or "reply")

    assert asyncio.run(quillon.quillon_scenarios()) == "reply"
    assert [type(exc) for exc in seen] == [TypeError]


def test_error_record_and_line_are_written_while_the_run_error_is_handled(quillon, governance, monkeypatch):
    boom = RuntimeError("run failed")
    governance.result = boom
    seen = []
    monkeypatch.setattr(quillon, "_trace_quillon_api",
                        lambda message: seen.append((message.split(" ", 1)[0], sys.exception())))
    monkeypatch.setattr(quillon, "_logger", types.SimpleNamespace(
        info=lambda *a: seen.append(("info", sys.exception())),
        warning=lambda *a: seen.append(("warning", sys.exception()))))

    with pytest.raises(RuntimeError):
        run(quillon, QuillonRunRequest(scenario=SCENARIO))

    assert seen[-2:] == [("warning", boom), ("api_error", boom)]
    assert all(exc is None for _, exc in seen[:-2])


def _reply_failing_with_its_own_context(**kwargs):
    try:
        raise KeyError("inner")
    except KeyError:
        raise RuntimeError("outer")


@pytest.mark.parametrize("route", ["run", "list"])
def test_failing_error_reply_chains_back_to_the_caught_exception(quillon, monkeypatch, route):
    async def fake_run(payload):
        raise ValueError("run failed")
    monkeypatch.setattr(quillon, "_run_quillon_scenario", fake_run)
    monkeypatch.setattr(services, "QuillonApiManager", None)  # the list route fails with TypeError
    monkeypatch.setattr(quillon, "error_response", _reply_failing_with_its_own_context)

    with pytest.raises(RuntimeError, match="outer") as info:
        if route == "run":
            asyncio.run(quillon.quillon_run(QuillonRunRequest(scenario=SCENARIO), "a@b.c"))
        else:
            asyncio.run(quillon.quillon_scenarios())

    # The KeyError was raised while the route's own exception was being handled.
    assert chain(info.value) == ["RuntimeError", "KeyError", "ValueError" if route == "run" else "TypeError"]


# --- imports at call time ---------------------------------------------------------------------

@pytest.fixture
def imports(monkeypatch):
    """(module, fromlist) of every `vexlo.*` import made through the import statement."""
    seen = []
    real = builtins.__import__

    def hook(name, globals=None, locals=None, fromlist=(), level=0):
        if name.startswith("vexlo."):
            seen.append((name, frozenset(fromlist or ())))
        return real(name, globals, locals, fromlist, level)
    monkeypatch.setattr(builtins, "__import__", hook)
    return seen


def test_trace_writer_imports_the_gate_writer_at_each_call(quillon, trace, imports):
    quillon._trace_quillon_api("one")
    quillon._trace_quillon_api("two")

    assert imports == [("vexlo.mcp.wardgate", frozenset({"_trace_quillon"}))] * 2
    assert trace() == ["one", "two"]


def test_routes_import_their_host_names_at_each_call(quillon, governance, imports):
    run(quillon, QuillonRunRequest(scenario=SCENARIO))
    asyncio.run(quillon.quillon_scenarios())

    host = [entry for entry in imports if entry[0] != "vexlo.mcp.wardgate"]
    assert host == [
        ("vexlo.quillon.api.scenarios", frozenset({"telemetry_dimensions"})),
        ("vexlo.mcp.instrumentation", frozenset({"quota_wrap", "telemetry_wrap"})),
        ("vexlo.mcp.tools.quillon", frozenset({"_QUILLON_API_MODE", "quillon_run"})),
        ("vexlo.mcp.context", frozenset({"get_current_jwt", "get_current_session_id"})),
        ("vexlo.quillon.services", frozenset({"QuillonApiManager"})),
    ]
    # One gate-writer import per trace line: six import lines, start, governance_ready, done.
    assert len(imports) - len(host) == 9


# --- the module namespace ---------------------------------------------------------------------

def test_the_imported_names_follow_each_other_with_nothing_in_between(quillon):
    # A Python module has its dunders (__builtins__ included) before the first statement binds
    # anything; nothing may appear between the names that its statements bind.
    keys = list(vars(quillon))
    assert keys[keys.index("logging"):] == NAMES
