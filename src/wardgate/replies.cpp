// The gate's own replies: 401 for a missing or invalid key, 503 when the key cannot be
// judged because the account backend is unavailable.
#include "gate.hpp"

namespace wardgate {
namespace {

// Immutable header pairs and body pieces, shared by every reply.
PyObject* g_content_type = nullptr;
PyObject* g_challenge = nullptr;
PyObject* g_retry_after = nullptr;
PyObject* g_prefix_401 = nullptr;
PyObject* g_prefix_503 = nullptr;
PyObject* g_suffix = nullptr;

vx::Ref pair(const char* name, const char* value) {
    return vx::check(Py_BuildValue("(y y)", name, value));
}

// args: self, scope, send, reason; slots: none.
template <int STATUS>
vx::Async send_reply(vx::Frame f) {
    PyObject* scope = f.arg(1);
    PyObject* send = f.arg(2);
    PyObject* reason = f.arg(3);
    PyObject* prefix = STATUS == 401 ? g_prefix_401 : g_prefix_503;
    vx::Ref text = vx::check(PyUnicode_Concat(prefix, reason));
    text = vx::check(PyUnicode_Concat(text.get(), g_suffix));
    vx::Ref fixed = vx::check(PyList_New(2));
    PyList_SET_ITEM(fixed.get(), 0, Py_NewRef(g_content_type));
    PyList_SET_ITEM(fixed.get(), 1, Py_NewRef(STATUS == 401 ? g_challenge : g_retry_after));
    vx::Ref cors_fn = G(N.cors_headers_for_scope);
    vx::Ref cors = vx::call(cors_fn.get(), scope);
    vx::Ref headers = vx::check(PySequence_Concat(fixed.get(), cors.get()));
    vx::Ref status = vx::check(PyLong_FromLong(STATUS));
    vx::Ref start = vx::check(PyDict_New());
    vx::check(PyDict_SetItem(start.get(), N.type, N.http_response_start));
    vx::check(PyDict_SetItem(start.get(), N.status, status.get()));
    vx::check(PyDict_SetItem(start.get(), N.headers, headers.get()));
    {
        vx::Ref aw = vx::call(send, start.get());
        co_await vx::Await(aw);
    }
    vx::Ref body_bytes = vx::check(PyUnicode_AsUTF8String(text.get()));
    vx::Ref body = vx::check(PyDict_New());
    vx::check(PyDict_SetItem(body.get(), N.type, N.http_response_body));
    vx::check(PyDict_SetItem(body.get(), N.body, body_bytes.get()));
    {
        vx::Ref aw = vx::call(send, body.get());
        co_await vx::Await(aw);
    }
    co_return vx::none();
}

vx::Ref send_401_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, 4, 0, send_reply<401>);
}
vx::Ref send_503_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, 4, 0, send_reply<503>);
}

vx::Param params_401[] = {
    {"self"}, {"scope", "Scope"}, {"send", "Send"},
    {"reason", "str", vx::Check::Str, false, vx::Kind::PosOrKw, true},
};
vx::Param params_503[] = {
    {"self"}, {"scope", "Scope"}, {"send", "Send"}, {"reason", "str", vx::Check::Str},
};

}  // namespace

void init_replies() {
    g_content_type = pair("content-type", "application/json").release();
    g_challenge = pair("www-authenticate", "Bearer realm=\"vexlo-mcp\"").release();
    g_retry_after = pair("retry-after", "5").release();
    g_prefix_401 = VX_STR("{\"error\":\"Unauthorized\",\"message\":\"Invalid or missing API Key\",\"reason\":\"");
    g_prefix_503 = vx::intern(
        "{\"error\":\"Service Unavailable\",\"message\":\"API Key verification service temporarily unavailable\","
        "\"reason\":\"");
    g_suffix = VX_STR("\"}");
}

vx::FuncSpec send_401_spec{"_send_401", "ApiKeyWardgate._send_401", nullptr, params_401, 4, "None",
                           vx::Ret::Any, true, send_401_impl};
vx::FuncSpec send_503_spec{"_send_503", "ApiKeyWardgate._send_503",
                           "返回鉴权依赖临时不可用，避免把未完成校验的 Key 误判为无效。", params_503, 4, "None",
                           vx::Ret::Any, true, send_503_impl};

}  // namespace wardgate
