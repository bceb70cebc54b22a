// Remote key verification: one pooled HTTP client per gate, a 60 s cache of successes and
// a 300 s grace for them while the account backend fails transiently.
#include "gate.hpp"

namespace wardgate {
namespace {

// The checks in flight on our own client never outnumber its pool's connections: the pool's
// own queue loses a connection slot for good whenever a check that was waiting in it is
// cancelled or times out just as it is handed a new connection, and once every slot is lost
// each check fails until a restart. Checks beyond the bound wait here instead, within the same
// budget as the pool wait, and a check given up while waiting here passes its permit on. A
// client that the host provided is left as it is: its limits (or its lack of a pool, for an
// in-process transport) are the host's.
//
// Per client an anyio.Semaphore, keyed weakly so the entry goes with the client. The table
// lives for the process: a raw reference without a destructor, so nothing runs after the
// interpreter is gone; it holds only the semaphores, whose waiters come and go with checks.
PyObject* g_slots = nullptr;

PyObject* slots_table() {
    if (!g_slots) {
        vx::Ref weakref = vx::check(PyImport_ImportModule("weakref"));
        vx::Ref table = vx::call_method(weakref.get(), VX_STR("WeakKeyDictionary"));
        if (!g_slots) g_slots = table.release();  // the import may have run a check already
    }
    return g_slots;
}

// Gives the client we just built as many permits as its pool has connections, from the same
// setting the pool was built with.
void bound_client(PyObject* client) {
    vx::Ref anyio = vx::check(PyImport_ImportModule("anyio"));
    vx::Ref cls = vx::getattr(anyio.get(), VX_STR("Semaphore"));
    vx::Ref limit = G(N._VERIFY_MAX_CONNECTIONS);
    vx::Ref slots = vx::call_kw(cls.get(), {limit.get()}, {{VX_STR("fast_acquire"), Py_True}});
    vx::check(PyObject_SetItem(slots_table(), client, slots.get()));
}

// The client's semaphore; null for a client we did not build (or could not bound).
vx::Ref slots_of(PyObject* client) {
    if (!g_slots) return vx::Ref();
    if (PyObject* found = PyObject_GetItem(g_slots, client)) return vx::Ref::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_KeyError) && !PyErr_ExceptionMatches(PyExc_TypeError)) vx::throw_error();
    PyErr_Clear();
    return vx::Ref();
}

vx::Ref get_client_impl(vx::FuncObject*, PyObject* const* a) {
    PyObject* self = a[0];
    vx::Ref client = Self(self).attr(N._client);
    if (client.get() == Py_None) {
        vx::Ref httpx = vx::check(PyImport_ImportModule("httpx"));
        vx::Ref read = G(N._VERIFY_READ_TIMEOUT_SECONDS);
        vx::Ref connect = G(N._VERIFY_CONNECT_TIMEOUT_SECONDS);
        vx::Ref max_conn = G(N._VERIFY_MAX_CONNECTIONS);
        vx::Ref max_keep = G(N._VERIFY_MAX_KEEPALIVE);
        vx::Ref expiry = G(N._VERIFY_KEEPALIVE_EXPIRY_SECONDS);
        vx::Ref timeout_cls = vx::getattr(httpx.get(), VX_STR("Timeout"));
        vx::Ref limits_cls = vx::getattr(httpx.get(), VX_STR("Limits"));
        vx::Ref client_cls = vx::getattr(httpx.get(), VX_STR("AsyncClient"));
        vx::Ref kw_connect = vx::check(Py_BuildValue("(s)", "connect"));
        PyObject* targs[3] = {nullptr, read.get(), connect.get()};
        vx::Ref timeout = vx::check(
            PyObject_Vectorcall(timeout_cls.get(), targs + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_connect.get()));
        vx::Ref kw_limits = vx::check(
            Py_BuildValue("(sss)", "max_connections", "max_keepalive_connections", "keepalive_expiry"));
        PyObject* largs[4] = {nullptr, max_conn.get(), max_keep.get(), expiry.get()};
        vx::Ref limits = vx::check(
            PyObject_Vectorcall(limits_cls.get(), largs + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kw_limits.get()));
        vx::Ref kw_client = vx::check(Py_BuildValue("(ss)", "timeout", "limits"));
        PyObject* cargs[3] = {nullptr, timeout.get(), limits.get()};
        client = vx::check(
            PyObject_Vectorcall(client_cls.get(), cargs + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kw_client.get()));
        vx::check(PyObject_SetAttr(self, N._client, client.get()));
        // Without anyio (or its Semaphore) the client works unbounded, as it always did.
        try {
            bound_client(client.get());
        } catch (vx::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    return Self(self).attr(N._client);
}

// "ValueError: ValueError('bad')"
vx::Ref describe(PyObject* exc) {
    vx::Ref name = vx::check(PyType_GetName(Py_TYPE(exc)));
    vx::Ref r = vx::repr(exc);
    return vx::check(PyUnicode_FromFormat("%U: %U", name.get(), r.get()));
}

// now - stamp < limit, with Python's arithmetic and comparison.
bool younger_than(PyObject* now, PyObject* stamp, PyObject* limit) {
    // Exact floats subtract as C doubles, and a float compares with an int that a double holds
    // exactly (or with a float) as doubles do, NaN included: the same answer without objects.
    if (PyFloat_CheckExact(now) && PyFloat_CheckExact(stamp)) {
        const double age = PyFloat_AS_DOUBLE(now) - PyFloat_AS_DOUBLE(stamp);
        if (PyFloat_CheckExact(limit)) return age < PyFloat_AS_DOUBLE(limit);
        int overflow = 0;
        const long long n = PyLong_CheckExact(limit) ? PyLong_AsLongLongAndOverflow(limit, &overflow) : 0;
        constexpr long long kExact = 1LL << 53;
        if (PyLong_CheckExact(limit) && !overflow && n >= -kExact && n <= kExact) return age < static_cast<double>(n);
    }
    vx::Ref age = vx::check(PyNumber_Subtract(now, stamp));
    return vx::check(PyObject_RichCompareBool(age.get(), limit, Py_LT));
}

vx::Ref cache_pop(PyObject* self, PyObject* key) {
    vx::Ref cache = vx::getattr(self, N._verify_cache);
    return vx::call_method(cache.get(), N.pop, key, Py_None);
}

// A key that cannot travel in an HTTP header value (non-ASCII, control characters, or
// surrounding blanks) can never have been issued by the backend; asking would fail inside
// the HTTP client as a "transient" error, answer 503 forever and log the key.
bool transmittable(PyObject* key) {
    if (!PyUnicode_IS_ASCII(key)) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(PyUnicode_DATA(key));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    for (Py_ssize_t i = 0; i < n; ++i) {
        // ASCII, so (c + 1) & 0x7f is at most 0x20 exactly for the controls 0x00-0x1f and 0x7f.
        const unsigned c = p[i];
        if (((c + 1) & 0x7f) <= 0x20 && c != '\t') return false;
    }
    auto blank = [](unsigned char c) { return c == ' ' || c == '\t'; };
    return !blank(p[0]) && !blank(p[n - 1]);
}


// The part of _verify_remote before any I/O: settles the call (true, the answer in `result`)
// when the key cannot be valid or the cache answers; otherwise leaves the clock reading and
// the cached entry (or None) for the rest.
bool verify_prologue(PyObject* self, PyObject* api_key, vx::Ref& result, vx::Ref& now, vx::Ref& cached) {
    result = vx::none();
    if (api_key == Py_None || PyUnicode_GET_LENGTH(api_key) == 0) return true;
    {
        vx::Ref url = Self(self).attr(N._auth_verify_url);
        if (!vx::truthy(url.get())) return true;
    }
    if (!transmittable(api_key)) return true;
    {
        vx::Ref time_mod = G(N.time);
        now = vx::call_module_function(time_mod.get(), N.time_fn);
        vx::Ref cache = Self(self).attr(N._verify_cache);
        cached = mapping_get(cache.get(), api_key, nullptr);
    }
    if (vx::truthy(cached.get())) {
        vx::Ref stamp = vx::check(PySequence_GetItem(cached.get(), 0));
        vx::Ref ttl = G(N._VERIFY_CACHE_TTL_SECONDS);
        if (younger_than(now.get(), stamp.get(), ttl.get())) {
            result = vx::check(PySequence_GetItem(cached.get(), 1));
            return true;
        }
    }
    return false;
}

// args: self, api_key; slots: the cached entry and the clock reading, when the caller already
// ran the prologue; then the client, its check bound and the deadline scope of a wait for it.
// RESP holds a failed check's exception while the wedged client closes. Nothing else crosses
// an await in a C++ local (the sanitizer build checks it, see vx/coro.hpp).
enum VerifySlot { CACHED, NOW, CLIENT, BOUND, DEADLINE, RESP, VERIFY_SLOTS };

// A permit of the BOUND slot's semaphore, given back however the frame is left (destroying a
// suspended frame included).
struct Permit {
    explicit Permit(vx::Frame frame) noexcept : f(frame) {}
    Permit(const Permit&) = delete;
    Permit& operator=(const Permit&) = delete;
    ~Permit() { give_back(); }
    void give_back() noexcept {
        if (!held) return;
        held = false;
        PyObject* slots = f.slot(BOUND);
        if (!slots) return;
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* r = PyObject_CallMethodNoArgs(slots, VX_STR("release"));
        if (r) Py_DECREF(r);
        else PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    vx::Frame f;
    bool held = false;
};

// Takes a free permit without suspending: anyio hands a released permit straight to a waiter,
// so a positive count means nobody waits and taking it jumps no queue.
bool take_free_permit(PyObject* slots) {
    vx::Ref value = vx::getattr(slots, VX_STR("value"));
    vx::Ref zero = vx::check(PyLong_FromLong(0));
    if (!vx::check(PyObject_RichCompareBool(value.get(), zero.get(), Py_GT))) return false;
    vx::call_method(slots, VX_STR("acquire_nowait"));
    return true;
}

// Leaves the DEADLINE scope with what the wait gave: the scope turns its own cancellation into
// TimeoutError; a permit taken while the scope still failed is given back.
vx::Outcome leave_deadline(vx::Frame f, vx::Outcome waited, Permit& permit) {
    vx::Ref scope = f.take_slot(DEADLINE);
    PyObject* value = waited.ok() ? Py_None : waited.exception();
    PyObject* type = waited.ok() ? Py_None : reinterpret_cast<PyObject*>(Py_TYPE(value));
    vx::Ref tb = vx::Ref::steal(waited.ok() ? nullptr : PyException_GetTraceback(value));
    try {
        vx::call_method(scope.get(), VX_STR("__exit__"), type, value, tb ? tb.get() : Py_None);
        return waited;
    } catch (vx::Error& e) {
        if (waited.ok()) permit.give_back();
        return vx::Outcome::error(e.take());
    }
}

// A pool wait that ran out although the check held a permit of our own client means that the
// pool holds connections no request owns: it would fail every check until a restart. The gate
// then drops the client (the next check builds a new one), unless it was replaced meanwhile.
bool replace_if_wedged(PyObject* self, PyObject* client, PyObject* exc) {
    try {
        vx::Ref httpx = vx::check(PyImport_ImportModule("httpx"));
        vx::Ref pool_timeout = vx::getattr(httpx.get(), VX_STR("PoolTimeout"));
        if (!PyErr_GivenExceptionMatches(exc, pool_timeout.get())) return false;
        vx::Ref current = Self(self).attr(N._client);
        if (current.get() != client) return false;
        vx::check(PyObject_SetAttr(self, N._client, Py_None));
        return true;
    } catch (vx::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

vx::Async verify_remote_body(vx::Frame f) {
    PyObject* self = f.arg(0);
    PyObject* api_key = f.arg(1);
    if (!f.slot(NOW)) {
        vx::Ref result, now_read, entry;
        if (verify_prologue(self, api_key, result, now_read, entry)) co_return result;
        f.set_slot(NOW, std::move(now_read));
        f.set_slot(CACHED, std::move(entry));
    }
    PyObject* cached = f.slot(CACHED);
    PyObject* const now = f.slot(NOW);  // borrowed from its slot, set once above

    // Steps up to the backend's answer run under one guard: every failure of the Exception
    // family there is transient; anything else (cancellation) passes through untouched.
    vx::Outcome resp;
    Permit permit(f);
    try {
        f.set_slot(CLIENT, Self(self).call(N._get_client, {}));
    } catch (vx::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        resp = vx::Outcome::error(e.take());
    }
    if (resp.ok()) {
        // The bound is a safeguard, not a step of the check: where it cannot work (no async
        // library that anyio knows) the check goes on unbounded, as it always did.
        try {
            if (vx::Ref slots = slots_of(f.slot(CLIENT))) {
                permit.held = take_free_permit(slots.get());
                f.set_slot(BOUND, std::move(slots));
            }
        } catch (vx::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    if (resp.ok() && f.slot(BOUND) && !permit.held) {
        // Wait for a permit within the budget of a pool wait (the client's default timeout).
        try {
            vx::Ref anyio = vx::check(PyImport_ImportModule("anyio"));
            vx::Ref budget = G(N._VERIFY_READ_TIMEOUT_SECONDS);
            vx::Ref scope = vx::call_method(anyio.get(), VX_STR("fail_after"), budget.get());
            vx::call_method(scope.get(), VX_STR("__enter__"));
            f.set_slot(DEADLINE, std::move(scope));
        } catch (vx::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            resp = vx::Outcome::error(e.take());
        }
        if (resp.ok()) {
            vx::Outcome waited = co_await vx::try_call([&] { return vx::call_method(f.slot(BOUND), VX_STR("acquire")); });
            permit.held = waited.ok();
            resp = leave_deadline(f, std::move(waited), permit);
            // Only a failure is kept: the wait's value is not held across the request below.
            if (resp.ok()) resp = vx::Outcome();
        }
        if (!resp.ok() && !resp.matches(PyExc_Exception)) throw vx::Error(resp.take_error());
        if (resp.matches(PyExc_TimeoutError)) {
            // Reported as the pool reports its own wait running out.
            try {
                vx::Ref httpx = vx::check(PyImport_ImportModule("httpx"));
                vx::Ref cls = vx::getattr(httpx.get(), VX_STR("PoolTimeout"));
                resp = vx::Outcome::error(vx::call(cls.get(), N.empty_str));
            } catch (vx::Error& e) {
                if (!e.matches(PyExc_Exception)) throw;
            }
        }
    }
    if (resp.ok()) {
        const bool bounded = permit.held;
        resp = co_await vx::try_call([&] {
            const Self me(self);
            PyObject* client = f.slot(CLIENT);
            vx::Ref url = me.attr(N._auth_verify_url);
            vx::Ref params = vx::check(PyDict_New());
            vx::check(PyDict_SetItem(params.get(), N.api_key, api_key));
            vx::Ref version = G(N.__version__);
            vx::Ref headers = vx::check(PyDict_New());
            vx::check(PyDict_SetItem(headers.get(), N.X_MCP_API_Key, api_key));
            vx::check(PyDict_SetItem(headers.get(), N.X_Vexlo_Version, version.get()));
            vx::Ref get = vx::getattr(client, N.get);
            PyObject* argv[4] = {nullptr, url.get(), params.get(), headers.get()};
            return vx::check(
                PyObject_Vectorcall(get.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_params_headers));
        });
        permit.give_back();
        if (bounded && !resp.ok() && replace_if_wedged(self, f.slot(CLIENT), resp.exception())) {
            // The old pool's connections are closed now rather than left to the collector;
            // checks still inside it fail as transient failures, as they would have anyway.
            f.set_slot(RESP, resp.take_error());
            vx::Outcome closed = co_await vx::try_call([&] { return vx::call_method(f.slot(CLIENT), VX_STR("aclose")); });
            resp = vx::Outcome::error(f.take_slot(RESP));
            if (!closed.ok() && !closed.matches(PyExc_Exception)) throw vx::Error(closed.take_error());
        }
    }
    f.set_slot(CLIENT, vx::Ref());
    if (!resp.ok() && !resp.matches(PyExc_Exception)) throw vx::Error(resp.take_error());

    vx::Ref failure_desc;
    vx::Ref answer;  // set when the backend gave an authoritative answer
    bool answered = false;
    if (resp.ok()) {
        try {
            vx::Ref status = vx::getattr(resp.get(), N.status_code);
            auto status_is = [&](long code) {
                vx::Ref c = vx::check(PyLong_FromLong(code));
                return vx::check(PyObject_RichCompareBool(status.get(), c.get(), Py_EQ)) != 0;
            };
            if (status_is(200)) {
                vx::Ref data = vx::call_method(resp.get(), N.json);
                vx::Ref valid = vx::call_method(data.get(), N.get, VX_STR("valid"));
                if (vx::truthy(valid.get())) {
                    vx::Ref entry = vx::check(PyTuple_Pack(2, now, data.get()));
                    vx::Ref cache = vx::getattr(self, N._verify_cache);
                    vx::check(PyObject_SetItem(cache.get(), api_key, entry.get()));
                    answer = std::move(data);
                } else {
                    cache_pop(self, api_key);
                    answer = vx::none();
                }
                answered = true;
            } else if (status_is(401) || status_is(403)) {
                cache_pop(self, api_key);
                answer = vx::none();
                answered = true;
            } else {
                failure_desc = vx::check(PyUnicode_FromFormat("HTTP %S", status.get()));
            }
        } catch (vx::Error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            failure_desc = describe(e.value());
        }
    } else {
        failure_desc = describe(resp.exception());
    }
    if (answered) co_return std::move(answer);

    if (vx::truthy(cached)) {
        vx::Ref stamp = vx::check(PySequence_GetItem(cached, 0));
        vx::Ref grace = G(N._VERIFY_STALE_GRACE_SECONDS);
        if (younger_than(now, stamp.get(), grace.get())) {
            vx::Ref fmt = vx::Ref::borrow(VX_STR("远程校验 API Key 临时失败(%s)，命中过期缓存宽限放行"));
            log(N.warning, {fmt.get(), failure_desc.get()});
            co_return vx::check(PySequence_GetItem(cached, 1));
        }
    }
    vx::Ref fmt = vx::Ref::borrow(VX_STR("远程校验 API Key 失败且无可用缓存宽限: %s"));
    log(N.warning, {fmt.get(), failure_desc.get()});
    vx::Ref exc_cls = G(N.ApiKeyVerificationUnavailable);
    vx::Ref exc = vx::call(exc_cls.get(), failure_desc.get());
    throw vx::Error(std::move(exc));
}

vx::Ref verify_remote_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, 2, VERIFY_SLOTS, verify_remote_body);
}

vx::Param get_client_params[] = {{"self"}};
vx::Param verify_params[] = {{"self"}, {"api_key", "str | None", vx::Check::Str, true}};

}  // namespace

vx::Ref verify_remote_begin(vx::FuncObject* fn, PyObject* self, PyObject* api_key, bool& settled) {
    if (api_key != Py_None && !PyUnicode_CheckExact(api_key)) vx::raise_arg_type("api_key", "str", api_key);
    vx::Ref result, now, cached;
    settled = verify_prologue(self, api_key, result, now, cached);
    if (settled) return result;
    PyObject* args[2] = {self, api_key};
    vx::Ref coro = vx::make_coroutine(fn->name, fn->qualname, args, 2, VERIFY_SLOTS, verify_remote_body);
    vx::Frame f{reinterpret_cast<vx::CoroObject*>(coro.get())};
    f.set_slot(NOW, std::move(now));
    f.set_slot(CACHED, std::move(cached));
    return coro;
}

vx::FuncSpec get_client_spec{"_get_client", "ApiKeyWardgate._get_client",
                             "获取共享的 httpx.AsyncClient（懒加载）。\n"
                             "\n"
                             "        整个网关实例复用同一个连接池，避免每次校验都新建 TCP/TLS 连接而耗尽端口。\n"
                             "        ",
                             get_client_params, 1, "Any", vx::Ret::Any, false, get_client_impl};
vx::FuncSpec verify_remote_spec{"_verify_remote", "ApiKeyWardgate._verify_remote",
                                "调用账号后端校验 API Key，成功结果缓存 60 秒。\n"
                                "\n"
                                "        后端明确判定无效（200 且 valid 为假、401、403）时立即删除缓存；\n"
                                "        超时、连接失败、非 JSON 或意外状态码视为临时失败，此时 300 秒内的\n"
                                "        成功缓存仍可放行，否则抛出 ApiKeyVerificationUnavailable。\n"
                                "        ",
                                verify_params, 2, "dict | None", vx::Ret::Any, true, verify_remote_impl};

}  // namespace wardgate
