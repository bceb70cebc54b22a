// The gate's own replies: 401 for a missing or invalid key, 503 when the key cannot be
// judged because the account backend is unavailable.
#include "gate.hpp"

#include <cstring>
#include <string_view>

namespace wardgate {
namespace {

// Immutable header pairs and body pieces, shared by every reply.
PyObject* g_content_type = nullptr;
PyObject* g_challenge = nullptr;
PyObject* g_retry_after = nullptr;
PyObject* g_prefix_401 = nullptr;
PyObject* g_prefix_503 = nullptr;
PyObject* g_suffix = nullptr;
// Message dicts with their keys in order; each reply copies one and fills it in.
PyObject* g_start_401 = nullptr;
PyObject* g_start_503 = nullptr;
PyObject* g_body_message = nullptr;

constexpr std::string_view kPrefix401 = "{\"error\":\"Unauthorized\",\"message\":\"Invalid or missing API Key\",\"reason\":\"";
constexpr std::string_view kPrefix503 =
    "{\"error\":\"Service Unavailable\",\"message\":\"API Key verification service temporarily unavailable\","
    "\"reason\":\"";

vx::Ref pair(const char* name, const char* value) {
    return vx::check(Py_BuildValue("(y y)", name, value));
}

// args: self, scope, send, reason; slot 0: the body bytes, when made before the start goes out.
template <int STATUS>
vx::Async send_reply(vx::Frame f) {
    PyObject* scope = f.arg(1);
    PyObject* send = f.arg(2);
    PyObject* reason = f.arg(3);
    // Body bytes straight from the stored pieces: prefix + reason + '"}', UTF-8.
    vx::Ref aw;
    {
        Py_ssize_t reason_len = 0;
        const char* reason_utf8 = PyUnicode_AsUTF8AndSize(reason, &reason_len);
        vx::Ref body_bytes;
        if (reason_utf8) {
            const std::string_view prefix = STATUS == 401 ? kPrefix401 : kPrefix503;
            body_bytes = vx::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(prefix.size()) + reason_len + 2));
            char* out = PyBytes_AS_STRING(body_bytes.get());
            std::memcpy(out, prefix.data(), prefix.size());
            std::memcpy(out + prefix.size(), reason_utf8, static_cast<size_t>(reason_len));
            std::memcpy(out + prefix.size() + reason_len, "\"}", 2);
        } else if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            vx::throw_error();
        } else {
            // Lone surrogates: fail on the body encoding, after the start message, as str.encode would.
            PyErr_Clear();
        }
        vx::Ref cors_fn = G(N.cors_headers_for_scope);
        vx::Ref cors = vx::call(cors_fn.get(), scope);
        vx::Ref headers;
        if (PyList_CheckExact(cors.get())) {
            // The two fixed headers, then a copy of the list as it is when copied (an allocation
            // may run a finaliser that changes it, so its length is not taken beforehand).
            headers = vx::check(PyList_New(2));
            PyList_SET_ITEM(headers.get(), 0, Py_NewRef(g_content_type));
            PyList_SET_ITEM(headers.get(), 1, Py_NewRef(STATUS == 401 ? g_challenge : g_retry_after));
            vx::check_size(PyList_SetSlice(headers.get(), 2, 2, cors.get()));
        } else {
            vx::Ref fixed = vx::check(PyList_New(2));
            PyList_SET_ITEM(fixed.get(), 0, Py_NewRef(g_content_type));
            PyList_SET_ITEM(fixed.get(), 1, Py_NewRef(STATUS == 401 ? g_challenge : g_retry_after));
            headers = vx::check(PyNumber_Add(fixed.get(), cors.get()));  // `+`, so __radd__ is honoured
        }
        vx::Ref start = vx::check(PyDict_Copy(STATUS == 401 ? g_start_401 : g_start_503));
        vx::check(PyDict_SetItem(start.get(), N.headers, headers.get()));
        aw = vx::call(send, start.get());
        f.set_slot(0, std::move(body_bytes));
    }
    co_await vx::Await(std::move(aw));
    vx::Ref body_bytes = f.take_slot(0);
    if (!body_bytes) {
        vx::Ref text = vx::check(PyUnicode_Concat(STATUS == 401 ? g_prefix_401 : g_prefix_503, reason));
        text = vx::check(PyUnicode_Concat(text.get(), g_suffix));
        body_bytes = vx::check(PyUnicode_AsUTF8String(text.get()));
    }
    vx::Ref body = vx::check(PyDict_Copy(g_body_message));
    vx::check(PyDict_SetItem(body.get(), N.body, body_bytes.get()));
    aw = vx::call(send, body.get());
    body = {};
    body_bytes = {};
    co_await vx::Await(std::move(aw));
    co_return vx::none();
}

vx::Ref send_401_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, 4, 1, send_reply<401>);
}
vx::Ref send_503_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, 4, 1, send_reply<503>);
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
    g_prefix_401 = vx::unicode(kPrefix401.data(), static_cast<Py_ssize_t>(kPrefix401.size())).release();
    g_prefix_503 = vx::unicode(kPrefix503.data(), static_cast<Py_ssize_t>(kPrefix503.size())).release();
    g_suffix = vx::intern("\"}");
    g_start_401 = vx::check(Py_BuildValue("{sOsisO}", "type", N.http_response_start, "status", 401, "headers", Py_None)).release();
    g_start_503 = vx::check(Py_BuildValue("{sOsisO}", "type", N.http_response_start, "status", 503, "headers", Py_None)).release();
    g_body_message = vx::check(Py_BuildValue("{sOsO}", "type", N.http_response_body, "body", Py_None)).release();
}

vx::FuncSpec send_401_spec{"_send_401", "ApiKeyWardgate._send_401", nullptr, params_401, 4, "None",
                           vx::Ret::Any, true, send_401_impl};
vx::FuncSpec send_503_spec{"_send_503", "ApiKeyWardgate._send_503",
                           "返回鉴权依赖临时不可用，避免把未完成校验的 Key 误判为无效。", params_503, 4, "None",
                           vx::Ret::Any, true, send_503_impl};

}  // namespace wardgate
