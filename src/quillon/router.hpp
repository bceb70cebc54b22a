// Shared declarations of the router module.
#pragma once
#include "vx/vx.hpp"

namespace quillon {

extern PyObject* g_globals;      // the module's dict
extern PyObject* g_module_name;  // "vexlo.api.routers.quillon"

inline vx::Ref G(const char* name) { return vx::global(g_globals, vx::intern(name)); }

extern vx::FuncSpec result_response_spec;
extern vx::FuncSpec trace_api_spec;
extern vx::FuncSpec run_scenario_spec;
extern vx::FuncSpec scenarios_spec;
extern vx::FuncSpec run_spec;

// Calls the module global `_trace_quillon_api` with one message, as the routes do.
void trace_api(PyObject* message);
// _logger.<level>(*args) through the module global.
void log(const char* level, std::initializer_list<PyObject*> args);

}  // namespace quillon
