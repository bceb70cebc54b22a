// The two routes: the public scenario list and the authenticated, governed run.
#include "router.hpp"
#include "../wardgate/trace_value.hpp"

namespace quillon {
namespace {

// error_response(code=<class name>, message=<message_of(exc)>, status_code=502), evaluated in
// the order Python evaluates that call: the function, then each argument.
template <class M>
vx::Ref error_reply(PyObject* exc, M message_of) {
    vx::Ref error_response = G("error_response");
    vx::Ref code = vx::check(PyType_GetName(Py_TYPE(exc)));
    vx::Ref message = message_of();
    vx::Ref status = vx::check(PyLong_FromLong(502));
    return vx::call_kw(error_response.get(), {},
                       {{VX_STR("code"), code.get()}, {VX_STR("message"), message.get()}, {VX_STR("status_code"), status.get()}});
}

vx::Async scenarios_body(vx::Frame) {
    vx::Outcome out = co_await vx::try_call([&]() -> vx::Ref {
        vx::Ref manager_cls = vx::import_from("vexlo.quillon.services", "QuillonApiManager");
        vx::Ref manager = vx::call(manager_cls.get());
        vx::Ref scenarios = vx::getattr(manager.get(), VX_STR("scenarios"));
        vx::Ref run_in_threadpool = G("run_in_threadpool");
        return vx::call(run_in_threadpool.get(), scenarios.get());
    });
    if (!out.ok()) {
        if (!out.matches(PyExc_Exception)) throw vx::Error(out.take_error());
        try {
            const vx::Handling handling(out.exception());
            co_return error_reply(out.exception(),
                                  [] { return vx::Ref::borrow(VX_STR("Quillon 场景列表读取失败，请稍后重试")); });
        } catch (vx::Error& e) {
            e.chain(out.exception());
            throw;
        }
    }
    vx::Ref body = vx::check(Py_BuildValue("{sOsOsO}", "success", Py_True, "data", out.get(), "error", Py_None));
    vx::Ref json_response = G("JSONResponse");
    co_return vx::call(json_response.get(), body.get());
}

vx::Async run_route_body(vx::Frame f) {
    PyObject* payload = f.arg(0);
    PyObject* user_email = f.arg(1);
    {
        vx::Ref scenario = vx::str(vx::getattr(payload, VX_STR("scenario")).get());
        vx::Ref site = vx::str(vx::getattr(payload, VX_STR("site")).get());
        vx::Ref line = vx::check(
            PyUnicode_FromFormat("route_enter path=/api/v1/quillon/run scenario=%U site=%U", wardgate::trace_value(scenario.get()).get(), wardgate::trace_value(site.get()).get()));
        trace_api(line.get());
        vx::Ref fmt = vx::Ref::borrow(VX_STR("route_identity_resolved has_user_email=%s"));
        vx::Ref has = vx::boolean(PyUnicode_GET_LENGTH(user_email) != 0);
        vx::Ref line2 = vx::check(PyUnicode_Format(fmt.get(), has.get()));
        trace_api(line2.get());
    }
    vx::Outcome out = co_await vx::try_call([&]() -> vx::Ref {
        vx::Ref run = G("_run_quillon_scenario");
        return vx::call(run.get(), payload);
    });
    if (!out.ok()) {
        if (!out.matches(PyExc_Exception)) throw vx::Error(out.take_error());
        try {
            const vx::Handling handling(out.exception());
            co_return error_reply(out.exception(), [&] {
                vx::Ref safe = G("safe_exception_message");
                return vx::call(safe.get(), out.exception());
            });
        } catch (vx::Error& e) {
            e.chain(out.exception());
            throw;
        }
    }
    vx::Ref mapping = G("_quillon_result_response");
    co_return vx::call(mapping.get(), out.get());
}

vx::Ref scenarios_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, 0, 0, scenarios_body);
}
vx::Ref run_route_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, 2, 0, run_route_body);
}

vx::Param run_route_params[] = {
    {"payload", "QuillonRunRequest"},
    {"_user_email", "str", vx::Check::Str, false, vx::Kind::PosOrKw, true},
};

}  // namespace

vx::FuncSpec scenarios_spec{"quillon_scenarios", "quillon_scenarios",
                            "列出可用于 Quillon 场景执行的公开场景定义（公开端点，无需账号授权）。", nullptr, 0,
                            "JSONResponse", vx::Ret::Any, true, scenarios_impl};
vx::FuncSpec run_spec{"quillon_run", "quillon_run", "执行 Quillon 场景并返回完整格式化数据和额度信息。",
                      run_route_params, 2, "JSONResponse", vx::Ret::Any, true, run_route_impl};

}  // namespace quillon
