// The governed run: the host's MCP tool behind the same quota and telemetry wrappers the
// MCP server uses, with the tool's API-mode flag set for exactly the time of the run.
#include "router.hpp"
#include "../wardgate/trace_value.hpp"

namespace quillon {
namespace {

// A traced value: str() of it, cut to a bounded length.
vx::Ref text(PyObject* o) { return wardgate::trace_value(o); }

vx::Ref concat(std::initializer_list<PyObject*> parts) {
    vx::Ref empty = vx::Ref::borrow(VX_STR(""));
    vx::Ref list = vx::check(PyList_New(0));
    for (PyObject* p : parts) vx::check(PyList_Append(list.get(), p));
    return vx::check(PyUnicode_Join(empty.get(), list.get()));
}

void trace_literal(const char* s) {
    vx::Ref m = vx::unicode(s);
    trace_api(m.get());
}

vx::Ref elapsed_ms(PyObject* started_at) { return vx::elapsed_ms(G("time").get(), started_at); }

// "<qualified name>()" as the interpreter names a callee in argument errors.
vx::Ref function_str(PyObject* func) {
    PyObject* qualname = nullptr;
    if (PyObject_GetOptionalAttr(func, VX_STR("__qualname__"), &qualname) < 0) vx::throw_error();
    if (!qualname) return vx::str(func);
    vx::Ref q = vx::Ref::steal(qualname);
    PyObject* module = nullptr;
    if (PyObject_GetOptionalAttr(func, VX_STR("__module__"), &module) < 0) vx::throw_error();
    vx::Ref m = vx::Ref::steal(module);
    if (m && PyUnicode_Check(m.get()) && PyUnicode_CompareWithASCIIString(m.get(), "builtins") != 0)
        return vx::check(PyUnicode_FromFormat("%U.%S()", m.get(), q.get()));
    return vx::check(PyUnicode_FromFormat("%S()", q.get()));
}

void add_keyword(PyObject* kwargs, PyObject* func, const char* key, PyObject* value) {
    vx::Ref k = vx::unicode(key);
    if (vx::check(PyDict_Contains(kwargs, k.get()))) {
        vx::Ref fs = function_str(func);
        vx::raise_format(PyExc_TypeError, "%U got multiple values for keyword argument '%s'", fs.get(), key);
    }
    vx::check(PyDict_SetItem(kwargs, k.get(), value));
}

enum Slot { PAYLOAD };
// What the body keeps across its await; its C++ locals end before it (checked in the sanitizer
// build, see vx/coro.hpp).
enum Local { MODE_VAR, MODE_TOKEN, GOVERNED, STARTED_AT, SCENARIO, SITE, NLOCALS };

vx::Async run_body(vx::Frame f) {
    PyObject* payload = f.arg(PAYLOAD);

    {
        trace_literal("import_start module=vexlo.quillon.api.scenarios");
        vx::Ref telemetry_dimensions = vx::import_from("vexlo.quillon.api.scenarios", "telemetry_dimensions");
        trace_literal("import_done module=vexlo.quillon.api.scenarios");

        trace_literal("import_start module=vexlo.mcp.instrumentation");
        auto instrumentation = vx::import_names("vexlo.mcp.instrumentation", {"quota_wrap", "telemetry_wrap"});
        vx::Ref quota_wrap = std::move(instrumentation[0]);
        vx::Ref telemetry_wrap = std::move(instrumentation[1]);
        trace_literal("import_done module=vexlo.mcp.instrumentation");

        trace_literal("import_start module=vexlo.mcp.tools.quillon");
        auto tools = vx::import_names("vexlo.mcp.tools.quillon", {"_QUILLON_API_MODE", "quillon_run"});
        vx::Ref mode_var = std::move(tools[0]);
        vx::Ref tool = std::move(tools[1]);
        trace_literal("import_done module=vexlo.mcp.tools.quillon");

        {
            vx::Ref time_mod = G("time");
            f.set_slot(STARTED_AT, vx::call_module_function(time_mod.get(), VX_STR("monotonic")));
        }
        f.set_slot(SCENARIO, vx::getattr(payload, VX_STR("scenario")));
        f.set_slot(SITE, vx::getattr(payload, VX_STR("site")));
        PyObject* const scenario = f.slot(SCENARIO);
        PyObject* const site = f.slot(SITE);
        {
            vx::Ref export_format = vx::getattr(payload, VX_STR("export_format"));
            vx::Ref wait = vx::getattr(payload, VX_STR("wait"));
            vx::Ref fmt = vx::Ref::borrow(VX_STR("[QUILLON-TRACE] api_start scenario=%s site=%s export_format=%s wait=%s"));
            log("info", {fmt.get(), scenario, site, export_format.get(), wait.get()});
            vx::Ref line = concat({VX_STR("api_start scenario="), text(scenario).get(),
                                   VX_STR(" site="), text(site).get(), VX_STR(" export_format="),
                                   text(export_format.get()).get(), VX_STR(" wait="), text(wait.get()).get()});
            trace_api(line.get());
        }
        {
            vx::Ref quota_wrapped = vx::call(quota_wrap.get(), tool.get());
            vx::Ref quillon = vx::Ref::borrow(VX_STR("quillon"));
            f.set_slot(GOVERNED, vx::call_kw(telemetry_wrap.get(), {quota_wrapped.get()},
                                             {{VX_STR("module"), quillon.get()}, {VX_STR("dimension_resolver"), telemetry_dimensions.get()}}));
        }
        {
            vx::Ref fmt = vx::Ref::borrow(VX_STR("governance_ready scenario=%s"));
            vx::Ref line = vx::check(PyUnicode_Format(fmt.get(), text(scenario).get()));
            trace_api(line.get());
        }
        {
            vx::Ref token = PyContextVar_CheckExact(mode_var.get()) ? vx::check(PyContextVar_Set(mode_var.get(), Py_True))
                                                                    : vx::call_method(mode_var.get(), VX_STR("set"), Py_True);
            f.set_slot(MODE_VAR, std::move(mode_var));
            f.set_slot(MODE_TOKEN, std::move(token));
        }
    }
    vx::Outcome out = co_await vx::try_call([&]() -> vx::Ref {
        PyObject* governed = f.slot(GOVERNED);
        auto accessors = vx::import_names("vexlo.mcp.context", {"get_current_jwt", "get_current_session_id"});
        vx::Ref get_jwt = std::move(accessors[0]);
        vx::Ref get_session = std::move(accessors[1]);
        vx::Ref kwargs = vx::check(PyDict_New());
        {
            vx::Ref exclude = vx::boolean(true);
            vx::Ref dump_fn = vx::getattr(payload, VX_STR("model_dump"));
            vx::Ref dump = vx::call_kw(dump_fn.get(), {}, {{VX_STR("exclude_none"), exclude.get()}});
            if (PyDict_Update(kwargs.get(), dump.get()) < 0) {
                if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                    PyErr_Clear();
                    vx::Ref fs = function_str(governed);
                    vx::raise_format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", fs.get(),
                                     Py_TYPE(dump.get())->tp_name);
                }
                vx::throw_error();
            }
        }
        // As in a call written `governed_run(**dump, session_id=..., jwt=...)`: both values
        // are computed before the keywords meet the dump's.
        vx::Ref session_id = vx::call(get_session.get());
        vx::Ref jwt = vx::call(get_jwt.get());
        add_keyword(kwargs.get(), governed, "session_id", session_id.get());
        add_keyword(kwargs.get(), governed, "jwt", jwt.get());
        vx::Ref no_args = vx::check(PyTuple_New(0));
        return vx::check(PyObject_Call(governed, no_args.get(), kwargs.get()));
    });
    if (!out.ok() && out.matches(PyExc_Exception)) {
        try {
            const vx::Handling handling(out.exception());
            vx::Ref error_type = vx::check(PyType_GetName(Py_TYPE(out.exception())));
            vx::Ref fmt = vx::Ref::borrow(VX_STR("[QUILLON-TRACE] api_error scenario=%s site=%s error_type=%s elapsed_ms=%s"));
            log("warning", {fmt.get(), f.slot(SCENARIO), f.slot(SITE), error_type.get(), elapsed_ms(f.slot(STARTED_AT)).get()});
            vx::Ref line = concat({VX_STR("api_error scenario="), text(f.slot(SCENARIO)).get(),
                                   VX_STR(" site="), text(f.slot(SITE)).get(),
                                   VX_STR(" error_type="), error_type.get(),
                                   VX_STR(" elapsed_ms="), text(elapsed_ms(f.slot(STARTED_AT)).get()).get()});
            trace_api(line.get());
        } catch (vx::Error& e) {
            // A failure while reporting replaces the run's exception, which becomes its context.
            out = vx::Outcome::error(e.chain(out.exception()).take());
        }
    }
    // The flag is restored whatever happened, cancellation included.
    try {
        PyObject* var = f.slot(MODE_VAR);
        if (PyContextVar_CheckExact(var))
            vx::check(PyContextVar_Reset(var, f.slot(MODE_TOKEN)));
        else
            vx::call_method(var, VX_STR("reset"), f.slot(MODE_TOKEN));
    } catch (vx::Error& e) {
        e.chain(out.exception());
        throw;
    }
    if (!out.ok()) throw vx::Error(out.take_error());

    vx::Ref result = out.take_value();
    {
        // Each use asks the result afresh.
        auto success_of = [&] {
            return PyDict_Check(result.get()) ? vx::call_method(result.get(), VX_STR("get"), VX_STR("success"))
                                              : vx::none();
        };
        vx::Ref fmt = vx::Ref::borrow(VX_STR("[QUILLON-TRACE] api_done scenario=%s site=%s success=%s elapsed_ms=%s"));
        log("info", {fmt.get(), f.slot(SCENARIO), f.slot(SITE), success_of().get(), elapsed_ms(f.slot(STARTED_AT)).get()});
        vx::Ref success = success_of();
        vx::Ref line = concat({VX_STR("api_done scenario="), text(f.slot(SCENARIO)).get(),
                               VX_STR(" site="), text(f.slot(SITE)).get(), VX_STR(" success="),
                               text(success.get()).get(), VX_STR(" elapsed_ms="),
                               text(elapsed_ms(f.slot(STARTED_AT)).get()).get()});
        trace_api(line.get());
    }
    if (result.get() != Py_None && !PyDict_CheckExact(result.get()))
        vx::raise_format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(result.get())->tp_name);
    co_return result;
}

vx::Ref run_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, 1, NLOCALS, run_body);
}

vx::Param run_params[] = {{"payload", "QuillonRunRequest"}};

}  // namespace

vx::FuncSpec run_scenario_spec{"_run_quillon_scenario", "_run_quillon_scenario",
                               "调用 Quillon MCP 同源实现，并保留其额度与遥测治理。", run_params, 1, "dict",
                               vx::Ret::Any, true, run_impl};

}  // namespace quillon
