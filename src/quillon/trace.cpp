// The router's trace lines go through the gate's trace writer, imported at each call so a
// missing or replaced gate module only costs the line, never the request.
#include "router.hpp"

namespace quillon {
namespace {

vx::Ref trace_api_impl(vx::FuncObject*, PyObject* const* a) {
    try {
        static PyObject* module = nullptr;
        static PyObject* name = nullptr;
        if (!module) {
            module = VX_STR("vexlo.mcp.wardgate");
            name = VX_STR("_trace_quillon");
        }
        vx::Ref writer = vx::import_from(module, name);
        vx::call(writer.get(), a[0]);
    } catch (vx::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return vx::none();
}

vx::Param trace_params[] = {{"message", "str", vx::Check::Str}};

}  // namespace

vx::FuncSpec trace_api_spec{"_trace_quillon_api", "_trace_quillon_api", "复用鉴权层的低依赖 Quillon 诊断输出。",
                            trace_params, 1, "None", vx::Ret::Any, false, trace_api_impl};

}  // namespace quillon
