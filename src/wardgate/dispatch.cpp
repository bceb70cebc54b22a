// Request dispatch: the gate's ASGI entry point.
#include "gate.hpp"
#include "trace_value.hpp"

#include <cstdarg>
#include <cstring>

namespace wardgate {
namespace {

// Slots of the __call__ coroutine after its four arguments (self, scope, receive, send).
// Everything the body keeps across an await lives here, where the collector sees it; C++ locals
// die before each suspension (checked in the sanitizer build, see vx/coro.hpp).
enum Slot { STARTED, COMPLETE, TRACING, CTXVAR, CTXTOKEN, SEND_FN, RECEIVE_FN, HANDLING, PATH, STARTED_AT, TOKEN,
            APP_ERROR, NSLOTS };
enum Arg { SELF, SCOPE, RECEIVE, SEND };

bool eq(PyObject* obj, PyObject* interned) {
    if (obj == interned) return true;
    if (PyUnicode_CheckExact(obj)) {
        // Message types written as literals by the app are equal strs, but not the same object.
        // An exact str's == is its contents; read through the documented accessors, no Python runs.
        const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
        if (n != PyUnicode_GET_LENGTH(interned) || PyUnicode_KIND(obj) != PyUnicode_KIND(interned)) return false;
        return std::memcmp(PyUnicode_DATA(obj), PyUnicode_DATA(interned),
                           static_cast<size_t>(n) * PyUnicode_KIND(obj)) == 0;
    }
    return vx::check(PyObject_RichCompareBool(obj, interned, Py_EQ));
}

bool starts_with(PyObject* s, PyObject* prefix) {
    if (PyUnicode_CheckExact(s)) return vx::check_size(PyUnicode_Tailmatch(s, prefix, 0, PY_SSIZE_T_MAX, -1));
    vx::Ref r = vx::call_method(s, VX_STR("startswith"), prefix);
    return vx::truthy(r.get());
}

// The path the application routes on: "path" below "root_path" when it starts with it, as the
// framework computes it. Without a root path (the usual case) only one lookup is added.
vx::Ref route_path(PyObject* scope, PyObject* path) {
    vx::Ref root = mapping_get(scope, N.root_path, N.empty_str);
    if (PyUnicode_CheckExact(root.get()) ? PyUnicode_GET_LENGTH(root.get()) == 0 : !vx::truthy(root.get()))
        return vx::Ref::borrow(path);
    const bool exact = PyUnicode_CheckExact(path) && PyUnicode_CheckExact(root.get());
    if (!(exact ? starts_with(path, root.get()) : vx::truthy(vx::call_method(path, VX_STR("startswith"), root.get()).get())))
        return vx::Ref::borrow(path);
    if (exact) {
        // Exact strs: length, character and substring are what ==, [] and [:] give, and run no Python.
        const Py_ssize_t n = PyUnicode_GET_LENGTH(path), r = PyUnicode_GET_LENGTH(root.get());
        if (n == r) return vx::Ref::borrow(N.empty_str);
        if (PyUnicode_READ_CHAR(path, r) != '/') return vx::Ref::borrow(path);
        return vx::check(PyUnicode_Substring(path, r, n));
    }
    if (vx::check(PyObject_RichCompareBool(path, root.get(), Py_EQ))) return vx::Ref::borrow(N.empty_str);
    const Py_ssize_t r = vx::check_size(PyObject_Length(root.get()));
    vx::Ref at = vx::check(PySequence_GetItem(path, r));
    if (!vx::check(PyObject_RichCompareBool(at.get(), VX_STR("/"), Py_EQ))) return vx::Ref::borrow(path);
    return vx::check(PySequence_GetSlice(path, r, PY_SSIZE_T_MAX));
}

const char* tf(bool b) { return b ? "True" : "False"; }

vx::Ref elapsed_ms(PyObject* started_at) { return vx::elapsed_ms(G(N.time).get(), started_at); }

// One trace line through the module global `_trace_quillon`, as the Python code calls it (a
// host or test may replace it); our own writer is called directly.
void emit_trace(PyObject* line) {
    vx::Ref writer = G(N._trace_quillon);
    if (vx::is_function(writer.get()) && reinterpret_cast<vx::FuncObject*>(writer.get())->fdef == &trace_quillon_spec)
        trace(line);
    else
        vx::call(writer.get(), line);
}

void trace_fmt(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyObject* s = PyUnicode_FromFormatV(fmt, ap);
    va_end(ap);
    vx::Ref line = vx::check(s);
    emit_trace(line.get());
}

vx::Ref header_names(PyObject* scope) {
    vx::Ref empty = vx::check(PyList_New(0));
    vx::Ref headers = mapping_get(scope, N.headers, empty.get());
    vx::Ref names = vx::check(PyList_New(0));
    vx::Ref it = vx::check(PyObject_GetIter(headers.get()));
    while (vx::Ref item = vx::Ref::steal(PyIter_Next(it.get()))) {
        vx::Ref name_ref, value;
        unpack2(item.get(), name_ref, value);
        PyObject* name = name_ref.get();
        vx::Ref decoded;
        if (PyBytes_CheckExact(name)) {
            decoded = vx::check(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(name), PyBytes_GET_SIZE(name), "replace"));
        } else {
            vx::Ref meth = vx::getattr(name, N.decode);
            PyObject* argv[3] = {nullptr, N.latin_1, N.replace};
            decoded = vx::check(PyObject_Vectorcall(meth.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_errors));
        }
        vx::check(PyList_Append(names.get(), decoded.get()));
    }
    if (PyErr_Occurred()) vx::throw_error();
    vx::Ref comma = vx::Ref::borrow(VX_STR(","));
    return vx::check(PyUnicode_Join(comma.get(), names.get()));
}

vx::Ref query_keys(PyObject* scope) {
    vx::Ref qs = mapping_get(scope, N.query_string, N.empty_bytes);
    vx::Ref meth = vx::getattr(qs.get(), N.decode);
    PyObject* argv[3] = {nullptr, N.utf_8, N.replace};
    vx::Ref text = vx::check(PyObject_Vectorcall(meth.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_errors));
    vx::Ref urllib = G(N.urllib);
    vx::Ref parse = vx::getattr(urllib.get(), N.parse);
    vx::Ref params = vx::call_method(parse.get(), N.parse_qs, text.get());
    vx::Ref keys = vx::check(PySequence_List(params.get()));
    vx::check(PyList_Sort(keys.get()));
    vx::Ref comma = vx::Ref::borrow(VX_STR(","));
    return vx::check(PyUnicode_Join(comma.get(), keys.get()));
}

// mapping[key] for a str key. An exact dict's subscript is its item lookup (the type cannot be
// given __missing__ or another __getitem__), which PyDict_GetItemRef performs with the same
// comparisons; a missing key raises KeyError(key) as the subscript does.
vx::Ref item(PyObject* mapping, PyObject* key) {
    if (!PyDict_CheckExact(mapping)) return vx::check(PyObject_GetItem(mapping, key));
    PyObject* v = nullptr;
    if (vx::check(PyDict_GetItemRef(mapping, key, &v))) return vx::Ref::steal(v);
    vx::raise_object(PyExc_KeyError, key);
}

// scope[key] = value; an exact dict's item store is PyDict_SetItem.
void set_key(PyObject* scope, PyObject* key, PyObject* value) {
    vx::check(PyDict_CheckExact(scope) ? PyDict_SetItem(scope, key, value) : PyObject_SetItem(scope, key, value));
}

// ---- the two closures handed to the application --------------------------------------

// The request a closure belongs to, or null once the collector cleared the closure or the
// request (a cleared closure field or request slot is null; see vx::coro's destroy_frame and
// func_clear, which empty them before anything can run Python). The Python closures fail then
// as reading a cleared cell does, and so do these.
vx::CoroObject* request_of(PyObject* o) {
    if (!o || !vx::is_coroutine(o)) return nullptr;
    auto* st = reinterpret_cast<vx::CoroObject*>(o);
    return st->slots[SEND] && st->slots[RECEIVE] ? st : nullptr;
}

[[noreturn]] void cleared_variable(const char* name) {
    vx::raise_format(PyExc_NameError,
                     "cannot access free variable '%s' where it is not associated with a value in enclosing scope",
                     name);
}

// Stores a flag into the request's slot; a cleared request has none to keep.
void set_flag(PyObject* request, int slot) {
    if (vx::CoroObject* st = request_of(request)) Py_XSETREF(st->slots[4 + slot], Py_NewRef(Py_True));
}

// tracking_send(message): notes the response's start and end, then forwards the message.
vx::Async tracking_send_body(vx::Frame f) {
    PyObject* message = f.arg(1);
    {
        vx::Ref type = item(message, N.type);
        if (eq(type.get(), N.http_response_start)) {
            set_flag(f.arg(0), STARTED);
        } else if (eq(type.get(), N.http_response_body)) {
            vx::Ref more = mapping_get(message, N.more_body, Py_False);
            if (!vx::truthy(more.get())) set_flag(f.arg(0), COMPLETE);
        }
    }
    // Looked up again: the checks above ran Python.
    vx::CoroObject* st = request_of(f.arg(0));
    if (!st) cleared_variable("send");
    {
        vx::Ref aw = vx::call(st->slots[SEND], message);
        co_await vx::Await(std::move(aw));
    }
    co_return vx::none();
}

// tracing_receive(): pulls the next message and traces request body chunks.
vx::Async tracing_receive_body(vx::Frame f) {
    {
        vx::CoroObject* st = request_of(f.arg(0));
        if (!st) cleared_variable("receive");
        vx::Ref aw = vx::call(st->slots[RECEIVE]);
        f.set_slot(0, co_await vx::Await(std::move(aw)));
    }
    vx::CoroObject* st = request_of(f.arg(0));
    if (!st) cleared_variable("trace_quillon");
    if (st->slots[4 + TRACING] == Py_True) {
        PyObject* message = f.slot(0);
        vx::Ref type = mapping_get(message, N.type, nullptr);
        if (eq(type.get(), N.http_request)) {
            vx::Ref body = mapping_get(message, N.body, N.empty_bytes);
            Py_ssize_t n = vx::check_size(PyObject_Size(body.get()));
            vx::Ref more = mapping_get(message, N.more_body, Py_False);
            trace_fmt("request_body_chunk bytes=%zd more_body=%s", n, tf(vx::truthy(more.get())));
        }
    }
    co_return f.take_slot(0);
}

// A closure the collector cleared has no request: its coroutine fails when awaited, as above.
vx::Ref tracking_send_impl(vx::FuncObject* self, PyObject* const* a) {
    PyObject* args[2] = {self->closure ? self->closure : Py_None, a[0]};
    return vx::make_coroutine(self->name, self->qualname, args, 2, 0, tracking_send_body);
}
vx::Ref tracing_receive_impl(vx::FuncObject* self, PyObject* const*) {
    PyObject* args[1] = {self->closure ? self->closure : Py_None};
    return vx::make_coroutine(self->name, self->qualname, args, 1, 1, tracing_receive_body);
}

vx::Param send_params[] = {{"message", "Any"}};
vx::FuncSpec tracking_send_spec{"tracking_send", "ApiKeyWardgate.__call__.<locals>.tracking_send", nullptr,
                                send_params, 1, "None", vx::Ret::Any, true, tracking_send_impl};
vx::FuncSpec tracing_receive_spec{"tracing_receive", "ApiKeyWardgate.__call__.<locals>.tracing_receive", nullptr,
                                  nullptr, 0, "Any", vx::Ret::Any, true, tracing_receive_impl};

// ---- __call__ --------------------------------------------------------------------------

vx::Ref call_app(const Self& self, PyObject* scope, PyObject* receive, PyObject* send) {
    vx::Ref app = self.attr(N.app);
    return vx::call(app.get(), scope, receive, send);
}

vx::Async call_body(vx::Frame f) {
    const Self self(f.arg(SELF));
    PyObject* scope = f.arg(SCOPE);
    PyObject* receive = f.arg(RECEIVE);
    PyObject* send = f.arg(SEND);

    // 1-2: non-HTTP scopes and preflights pass straight through.
    bool pass = false;
    {
        vx::Ref type = item(scope, N.type);
        if (!eq(type.get(), N.http)) {
            pass = true;
        } else {
            vx::Ref method = mapping_get(scope, N.method, nullptr);
            pass = eq(method.get(), N.OPTIONS);
        }
    }
    if (pass) {
        vx::Ref aw = call_app(self, scope, receive, send);
        co_await vx::Await(std::move(aw));
        co_return vx::none();
    }

    f.set_slot(PATH, mapping_get(scope, N.path, N.empty_str));
    PyObject* const path = f.slot(PATH);  // borrowed from its slot, which is never replaced

    // Every prefix rule tests the path the application routes on: tested against the full path,
    // a root path would take the protected routes out of the gate. That path is held only in this
    // block, which awaits nothing; the calls keep their order (messages, protection, token, trace).
    bool messages = false, tracing = false;
    {
        vx::Ref route = route_path(scope, path);
        messages = starts_with(route.get(), VX_STR("/messages/"));
        if (!messages) {
            // 5: unprotected paths.
            vx::Ref prot = self.call(N._is_protected_path, {route.get()});
            pass = !vx::truthy(prot.get());
            if (!pass) {
                f.set_slot(TOKEN, self.call(N._extract_token, {scope}));
                tracing = starts_with(route.get(), VX_STR("/api/v1/quillon"));
            }
        }
    }

    // 4: MCP message posts are never checked; a client that went away is not an error.
    if (messages) {
        vx::Outcome out = co_await vx::try_call([&] { return call_app(self, scope, receive, send); });
        if (!out.ok()) {
            vx::Ref disconnects = G(N._CLIENT_DISCONNECT_ERRORS);
            if (!out.matches(disconnects.get())) throw vx::Error(out.take_error());
            try {
                const vx::Handling handling(out.exception());
                log(N.debug, {VX_STR("客户端在 POST /messages/ 时断开连接，已忽略")});
            } catch (vx::Error& e) {
                throw e.chain(out.exception());
            }
        }
        co_return vx::none();
    }

    if (pass) {
        vx::Ref aw = call_app(self, scope, receive, send);
        co_await vx::Await(std::move(aw));
        co_return vx::none();
    }

    f.set_slot(TRACING, vx::boolean(tracing));
    if (tracing) {
        vx::Ref time_mod = G(N.time);
        f.set_slot(STARTED_AT, vx::call_module_function(time_mod.get(), N.monotonic));
    } else {
        f.set_slot(STARTED_AT, vx::Ref::borrow(N.zero_float));
    }
    PyObject* const started_at = f.slot(STARTED_AT);

    if (tracing) {
        vx::Ref names = header_names(scope);
        vx::Ref keys = query_keys(scope);
        vx::Ref method = mapping_get(scope, N.method, N.empty_str);
        // The pieces are joined as strs: a method that is not one fails as the concatenation does.
        if (!PyUnicode_Check(method.get())) vx::Ref failed = vx::check(PyUnicode_Concat(VX_STR("request_start method="), method.get()));
        trace_fmt("request_start method=%U path=%S query_keys=%U headers=%U", trace_value(method.get()).get(),
                  trace_value(path).get(), trace_value(keys.get()).get(), trace_value(names.get()).get());
        bool has_key = vx::truthy(f.slot(TOKEN));
        {
            vx::Ref url = self.attr(N._auth_verify_url);
            PyObject* mode = vx::truthy(url.get()) ? N.remote : N.fixed;
            vx::Ref fmt = vx::Ref::borrow(VX_STR("[QUILLON-TRACE] auth_verify_start path=%s has_api_key=%s mode=%s"));
            log(N.info, {fmt.get(), path, has_key ? Py_True : Py_False, mode});
        }
        vx::Ref url = self.attr(N._auth_verify_url);
        PyObject* mode = vx::truthy(url.get()) ? N.remote : N.fixed;
        trace_fmt("auth_verify_start path=%S has_api_key=%s mode=%U", trace_value(path).get(), tf(has_key), mode);
    }

    // 10: authentication mode.
    {
    // What the gate wrote into the scope (null: not written), for the request context below.
    struct {
        vx::Ref auth_mode, user_id, email, allowed_tools, permission_enabled;
    } ident;
    auto put = [&](PyObject* key, vx::Ref value, vx::Ref& kept) {
        set_key(scope, key, value.get());
        kept = std::move(value);
    };
    enum { DENY, UNAVAILABLE, ACCEPTED } verdict = DENY;
    bool trusted = false;
    {
        vx::Ref identity = self.call(N._internal_identity, {scope});
        if (vx::truthy(identity.get())) {
            trusted = true;
            f.set_slot(TOKEN, vx::none());
            put(N.mcp_auth_mode, vx::Ref::borrow(N.internal), ident.auth_mode);
            put(N.mcp_user_id, mapping_get(identity.get(), N.user_id, nullptr), ident.user_id);
            put(N.mcp_user_email, mapping_get(identity.get(), N.email, nullptr), ident.email);
            put(N.mcp_allowed_tools, vx::none(), ident.allowed_tools);
            put(N.mcp_permission_enabled, vx::boolean(false), ident.permission_enabled);
            verdict = ACCEPTED;
        }
    }
    if (trusted) {
    } else if (vx::truthy(self.attr(N._auth_verify_url).get())) {
        // Our own _verify_remote answers from its cache without a coroutine of its own; only
        // a call that needs the backend (or a replaced method) is awaited.
        vx::Outcome out;
        vx::Ref pending;
        bool settled = false;
        if (vx::FuncObject* fn = self.own(N._verify_remote)) {
            try {
                vx::Ref r = verify_remote_begin(fn, self.get(), f.slot(TOKEN), settled);
                if (settled)
                    out = vx::Outcome::value(std::move(r));
                else
                    pending = std::move(r);
            } catch (vx::Error& e) {
                out = vx::Outcome::error(e.take());
                settled = true;
            }
        }
        if (pending)
            out = co_await vx::TryAwait(std::move(pending));
        else if (!settled)
            out = co_await vx::try_call([&] { return self.call(N._verify_remote, {f.slot(TOKEN)}); });
        pending = {};
        if (!out.ok()) {
            vx::Ref unavailable = G(N.ApiKeyVerificationUnavailable);
            if (!out.matches(unavailable.get())) throw vx::Error(out.take_error());
            try {
                const vx::Handling handling(out.exception());
                if (tracing) {
                    vx::Ref fmt = vx::Ref::borrow(VX_STR("[QUILLON-TRACE] auth_verify_error path=%s error_type=%s elapsed_ms=%s"));
                    vx::Ref et = vx::Ref::borrow(VX_STR("ApiKeyVerificationUnavailable"));
                    log(N.warning, {fmt.get(), path, et.get(), elapsed_ms(started_at).get()});
                    trace_fmt("auth_verify_error path=%S error_type=ApiKeyVerificationUnavailable elapsed_ms=%S",
                              trace_value(path).get(), elapsed_ms(started_at).get());
                }
            } catch (vx::Error& e) {
                throw e.chain(out.exception());
            }
            verdict = UNAVAILABLE;
            // The 503 goes out while that failure is being handled: a failure of the reply
            // carries it as its context.
            f.set_slot(HANDLING, out.take_error());
        } else {
            PyObject* user_info = out.get();
            bool valid = vx::truthy(user_info);
            if (tracing) {
                vx::Ref fmt = vx::Ref::borrow(VX_STR("[QUILLON-TRACE] auth_verify_done path=%s valid=%s elapsed_ms=%s"));
                log(N.info, {fmt.get(), path, valid ? Py_True : Py_False, elapsed_ms(started_at).get()});
                trace_fmt("auth_verify_done path=%S valid=%s elapsed_ms=%S", trace_value(path).get(), tf(valid),
                          elapsed_ms(started_at).get());
            }
            if (valid) {
                set_key(scope, N.mcp_api_key, f.slot(TOKEN));
                put(N.mcp_auth_mode, vx::Ref::borrow(N.remote), ident.auth_mode);
                put(N.mcp_user_id, mapping_get(user_info, N.user_id, nullptr), ident.user_id);
                put(N.mcp_user_email, mapping_get(user_info, N.email, nullptr), ident.email);
                put(N.mcp_allowed_tools, mapping_get(user_info, N.allowed_tools, nullptr), ident.allowed_tools);
                put(N.mcp_permission_enabled, mapping_get(user_info, N.permission_enabled, nullptr),
                    ident.permission_enabled);
                verdict = ACCEPTED;
            }
        }
    } else {
        vx::Ref key = self.attr(N._api_key);
        if (vx::truthy(key.get()) && same_key(f.slot(TOKEN), key.get())) {
            set_key(scope, N.mcp_api_key, f.slot(TOKEN));
            put(N.mcp_auth_mode, vx::Ref::borrow(N.fixed), ident.auth_mode);
            verdict = ACCEPTED;
        }
    }
    if (verdict != ACCEPTED) {
        vx::Outcome sent = co_await vx::try_call([&]() -> vx::Ref {
            return verdict == UNAVAILABLE ? self.call_reply(N._send_503, scope, send, N.auth_service_unavailable)
                                          : self.call_reply(N._send_401, scope, send, N.invalid_api_key);
        });
        if (!sent.ok()) {
            vx::Error e(sent.take_error());
            throw e.chain(f.slot(HANDLING));
        }
        co_return vx::none();
    }

    // 11: the host's request context.
    {
        vx::Ref ctxvar = request_ctx_var();
        // In the modes that set every identity key on an exact-dict scope just now, the values
        // are the ones set; only keys the gate did not write are looked up.
        const bool own = PyDict_CheckExact(scope);
        auto get = [&](PyObject* key, PyObject* mine) -> vx::Ref {
            return own && mine ? vx::Ref::borrow(mine) : mapping_get(scope, key, nullptr);
        };
        vx::Ref values[6] = {
            vx::Ref::borrow(f.slot(TOKEN)),
            get(N.mcp_auth_mode, ident.auth_mode.get()),
            get(N.mcp_user_id, ident.user_id.get()),
            get(N.mcp_user_email, ident.email.get()),
            get(N.mcp_allowed_tools, ident.allowed_tools.get()),
            get(N.mcp_permission_enabled, ident.permission_enabled.get()),
        };
        // A copy of a dict with the six keys in order: the values are then only replaced. The
        // template is owned for the process and never handed out, so nothing can change it.
        static PyObject* const ctx_template = [] {
            PyObject* t = PyDict_New();
            for (PyObject* k : {N.api_key, N.auth_mode, N.user_id, N.email, N.allowed_tools, N.permission_enabled})
                if (t && PyDict_SetItem(t, k, Py_None) < 0) Py_CLEAR(t);
            return t;
        }();
        if (!ctx_template) vx::throw_error();
        vx::Ref ctx = vx::check(PyDict_Copy(ctx_template));
        PyObject* const keys[6] = {N.api_key, N.auth_mode, N.user_id, N.email, N.allowed_tools, N.permission_enabled};
        for (int i = 0; i < 6; ++i)
            if (values[i].get() != Py_None) vx::check(PyDict_SetItem(ctx.get(), keys[i], values[i].get()));
        vx::Ref ctx_token = PyContextVar_CheckExact(ctxvar.get())
                                ? vx::check(PyContextVar_Set(ctxvar.get(), ctx.get()))
                                : vx::call_method(ctxvar.get(), N.set, ctx.get());
        f.set_slot(CTXVAR, std::move(ctxvar));
        f.set_slot(CTXTOKEN, std::move(ctx_token));
    }
    }  // what the gate wrote is in the scope and the context now, not kept here

    // 12-13: the guarded dispatch.
    f.set_slot(STARTED, vx::boolean(false));
    f.set_slot(COMPLETE, vx::boolean(false));
    {
    vx::Outcome out = co_await vx::try_call([&]() -> vx::Ref {
        // Kept in slots, where the cycle collector sees them (they point back at this coroutine).
        f.set_slot(SEND_FN, vx::make_closure(tracking_send_spec, g_globals, g_module_name, f.self()));
        f.set_slot(RECEIVE_FN, vx::make_closure(tracing_receive_spec, g_globals, g_module_name, f.self()));
        if (tracing) {
            vx::Ref fmt = vx::Ref::borrow(VX_STR("app_dispatch_start path=%s"));
            vx::Ref line = vx::check(PyUnicode_Format(fmt.get(), trace_value(path).get()));
            emit_trace(line.get());
        }
        return call_app(self, scope, f.slot(RECEIVE_FN), f.slot(SEND_FN));
    });
    if (!out.ok()) {
        try {
            const vx::Handling handling(out.exception());
            vx::Ref disconnects = G(N._CLIENT_DISCONNECT_ERRORS);
            if (out.matches(disconnects.get())) {
                vx::Ref fmt = vx::Ref::borrow(VX_STR("客户端断开连接: %s"));
                log(N.debug, {fmt.get(), path});
                out = vx::Outcome::value(vx::none());
            } else if (out.matches(PyExc_RuntimeError)) {
                vx::Ref text = vx::str(out.exception());
                if (vx::check(PyUnicode_Contains(text.get(), N.Expected_ASGI_message))) out = vx::Outcome::value(vx::none());
            }
        } catch (vx::Error& e) {
            out = vx::Outcome::error(e.chain(out.exception()).take());
        }
    }
    // Kept for the end, in a slot: its traceback leads back here through the send closure.
    if (!out.ok()) f.set_slot(APP_ERROR, out.take_error());
    }

    // Given back in the reverse order of their making, so the next request gets each one back
    // as the same function.
    vx::recycle_closure(f.take_slot(RECEIVE_FN));
    vx::recycle_closure(f.take_slot(SEND_FN));

    // Final block.
    try {
        const bool started = f.slot(STARTED) == Py_True;
        const bool complete = f.slot(COMPLETE) == Py_True;
        if (tracing)
            trace_fmt("app_dispatch_done path=%S response_started=%s response_complete=%s", trace_value(path).get(), tf(started),
                      tf(complete));
        PyObject* ctxvar = f.slot(CTXVAR);
        if (PyContextVar_CheckExact(ctxvar))
            vx::check(PyContextVar_Reset(ctxvar, f.slot(CTXTOKEN)));
        else
            vx::call_method(ctxvar, N.reset, f.slot(CTXTOKEN));
    } catch (vx::Error& e) {
        e.chain(f.slot(APP_ERROR));
        throw;
    }
    if (f.slot(STARTED) == Py_True && f.slot(COMPLETE) != Py_True) {
        // Close the half-sent response through the server's own send; any failure is dropped.
        vx::Ref aw;
        try {
            vx::Ref closing = vx::check(PyDict_New());
            vx::check(PyDict_SetItem(closing.get(), N.type, N.http_response_body));
            vx::check(PyDict_SetItem(closing.get(), N.body, N.empty_bytes));
            vx::check(PyDict_SetItem(closing.get(), N.more_body, Py_False));
            aw = vx::call(send, closing.get());
        } catch (vx::Error&) {
        }
        if (aw) {
            vx::Outcome ignored = co_await vx::TryAwait(std::move(aw));
            (void)ignored;
        }
    }
    if (f.slot(APP_ERROR)) throw vx::Error(f.take_slot(APP_ERROR));
    co_return vx::none();
}

vx::Param call_params[] = {{"self"}, {"scope", "Scope"}, {"receive", "Receive"}, {"send", "Send"}};

}  // namespace

vx::Ref call_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, 4, NSLOTS, call_body);
}

vx::FuncSpec call_spec{"__call__", "ApiKeyWardgate.__call__", nullptr, call_params, 4, "None", vx::Ret::Any, true,
                       call_impl};

}  // namespace wardgate
