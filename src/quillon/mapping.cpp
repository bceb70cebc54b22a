// Result-to-response mapping: the envelope goes out unchanged; only the HTTP status (and a
// Retry-After hint for 429) follows its stable error code.
#include "router.hpp"

namespace quillon {
namespace {

vx::Ref result_response_impl(vx::FuncObject*, PyObject* const* a) {
    PyObject* result = a[0];
    vx::Ref json_response = G("JSONResponse");
    vx::Ref success = vx::call_method(result, VX_STR("get"), VX_STR("success"));
    if (success.get() == Py_True) return vx::call(json_response.get(), result);

    vx::Ref error = vx::call_method(result, VX_STR("get"), VX_STR("error"));
    if (!PyDict_Check(error.get())) error = vx::check(PyDict_New());
    vx::Ref code_value = vx::call_method(error.get(), VX_STR("get"), VX_STR("code"));
    vx::Ref code = vx::truthy(code_value.get()) ? vx::str(code_value.get()) : vx::Ref::borrow(VX_STR(""));

    // Never changed after it is built, so one table serves every call.
    static PyObject* const status_by_code =
        vx::check(Py_BuildValue("{sisisisi}", "QUILLON_AUTH_ERROR", 401, "QUILLON_FORBIDDEN", 403,
                                "QUILLON_QUOTA_INSUFFICIENT", 429, "QUILLON_RATE_LIMITED", 429))
            .release();
    PyObject* found = nullptr;
    vx::check(PyDict_GetItemRef(status_by_code, code.get(), &found));
    vx::Ref status = found ? vx::Ref::steal(found) : vx::check(PyLong_FromLong(200));

    vx::Ref headers = vx::check(PyDict_New());
    vx::Ref retry = vx::call_method(error.get(), VX_STR("get"), VX_STR("retry_after_seconds"));
    if (PyLong_AsLong(status.get()) == 429 && retry.get() != Py_None)
        vx::check(PyDict_SetItemString(headers.get(), "Retry-After", vx::str(retry.get()).get()));
    return vx::call_kw(json_response.get(), {result}, {{VX_STR("status_code"), status.get()}, {VX_STR("headers"), headers.get()}});
}

vx::Param result_params[] = {{"result", "dict", vx::Check::Dict}};

}  // namespace

vx::FuncSpec result_response_spec{"_quillon_result_response", "_quillon_result_response",
                                  "按 Quillon 稳定错误码选择 HTTP 状态，并保留 MCP 错误信封。", result_params, 1,
                                  "JSONResponse", vx::Ret::Any, false, result_response_impl};

}  // namespace quillon
