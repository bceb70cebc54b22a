// The scenario router module: its names in order, the router and the two routes.
#include "router.hpp"

namespace quillon {

PyObject* g_globals = nullptr;
PyObject* g_module_name = nullptr;

namespace {

const char kModuleDoc[] =
    "Quillon 场景 REST 路由（从 api/app 迁移，逻辑保持不变）。\n"
    "\n"
    "REST 不直接调用 Manager：复用 MCP 的 quota_wrap（日额度占用/失败退回）与\n"
    "telemetry_wrap（同一套低敏场景维度统计），保证 REST 与 MCP 同源同治理。\n";


// `from module import a, b, ...` into the module namespace.
void import_names(PyObject* module, const char* from, std::initializer_list<const char*> names) {
    auto values = vx::import_names(from, names);
    size_t i = 0;
    for (const char* n : names) vx::set_attr(module, n, values[i++]);
}

// router.<method>(path)(func): registers the route and returns what the decorator returns.
vx::Ref register_route(const char* method, const char* path, PyObject* func) {
    vx::Ref router = G("router");
    vx::Ref decorator = vx::call_method(router.get(), vx::intern(method), vx::unicode(path).get());
    return vx::call(decorator.get(), func);
}

void body(PyObject* module) {
    g_globals = PyModule_GetDict(module);
    g_module_name = VX_STR("vexlo.api.routers.quillon");
    vx::check(PyModule_SetDocString(module, kModuleDoc));
    // Evaluating the string annotations adds __builtins__ to the namespace; it belongs among
    // the module's own entries, before the names it defines.
    vx::check(PyDict_SetItemString(g_globals, "__builtins__", PyEval_GetBuiltins()));

    vx::set_attr(module, "logging", vx::check(PyImport_ImportModule("logging")));
    vx::set_attr(module, "time", vx::check(PyImport_ImportModule("time")));
    import_names(module, "fastapi", {"APIRouter", "Depends"});
    import_names(module, "fastapi.responses", {"JSONResponse"});
    import_names(module, "starlette.concurrency", {"run_in_threadpool"});
    import_names(module, "vexlo.api.deps", {"require_authenticated_user"});
    import_names(module, "vexlo.api.errors", {"error_response", "safe_exception_message"});
    import_names(module, "vexlo.api.schemas.quillon", {"QuillonRunRequest"});
    {
        vx::Ref logging = G("logging");
        vx::set_attr(module, "_logger", vx::call_method(logging.get(), VX_STR("getLogger"), VX_STR("vexlo.api")));
    }
    {
        vx::Ref api_router = G("APIRouter");
        vx::Ref tags = vx::check(Py_BuildValue("[s]", "quillon"));
        vx::Ref prefix = vx::Ref::borrow(VX_STR("/api/v1"));
        vx::set_attr(module, "router", vx::call_kw(api_router.get(), {}, {{VX_STR("prefix"), prefix.get()}, {VX_STR("tags"), tags.get()}}));
    }
    auto fn = [&](vx::FuncSpec& fdef, std::initializer_list<PyObject*> defaults = {}) {
        return vx::make_function(fdef, g_globals, g_module_name, defaults);
    };
    vx::set_attr(module, "_quillon_result_response", fn(result_response_spec));
    vx::set_attr(module, "_trace_quillon_api", fn(trace_api_spec));
    vx::set_attr(module, "_run_quillon_scenario", fn(run_scenario_spec));

    vx::Ref scenarios = fn(scenarios_spec);
    vx::set_attr(module, "quillon_scenarios", register_route("get", "/quillon/scenarios", scenarios.get()));

    // The one dependency marker shared by every request of the run route.
    vx::Ref depends = G("Depends");
    vx::Ref require_user = G("require_authenticated_user");
    vx::Ref marker = vx::call(depends.get(), require_user.get());
    vx::Ref run = fn(run_spec, {marker.get()});
    vx::set_attr(module, "quillon_run", register_route("post", "/quillon/run", run.get()));
}

}  // namespace

void log(const char* level, std::initializer_list<PyObject*> args) {
    vx::Ref logger = G("_logger");
    vx::Ref meth = vx::getattr(logger.get(), vx::intern(level));
    PyObject* argv[8];
    size_t n = 0;
    for (PyObject* a : args) argv[n++] = a;
    vx::check(PyObject_Vectorcall(meth.get(), argv, n, nullptr));
}

void trace_api(PyObject* message) {
    vx::Ref fn = G("_trace_quillon_api");
    vx::call(fn.get(), message);
}

}  // namespace quillon

VX_DEFINE_MODULE(quillon, quillon::body)
