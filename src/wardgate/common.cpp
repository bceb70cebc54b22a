// Interned names and small helpers shared by the gate's request path.
#include "gate.hpp"

#include <cstring>

namespace wardgate {

void init_names() {
    using vx::intern;
    N.type = intern("type");
    N.http = intern("http");
    N.method = intern("method");
    N.OPTIONS = intern("OPTIONS");
    N.path = intern("path");
    N.headers = intern("headers");
    N.query_string = intern("query_string");
    N.get = intern("get");
    N.app = intern("app");
    N._api_key = intern("_api_key");
    N._auth_verify_url = intern("_auth_verify_url");
    N._protected_path_prefixes = intern("_protected_path_prefixes");
    N._trust_upstream_corvane_identity = intern("_trust_upstream_corvane_identity");
    N._verify_cache = intern("_verify_cache");
    N._client = intern("_client");
    N._is_protected_path = intern("_is_protected_path");
    N._extract_token = intern("_extract_token");
    N._internal_identity = intern("_internal_identity");
    N._verify_remote = intern("_verify_remote");
    N._send_401 = intern("_send_401");
    N._send_503 = intern("_send_503");
    N._get_client = intern("_get_client");
    N._header = intern("_header");
    N.__call__ = intern("__call__");
    N.mcp_api_key = intern("mcp_api_key");
    N.mcp_auth_mode = intern("mcp_auth_mode");
    N.mcp_user_id = intern("mcp_user_id");
    N.mcp_user_email = intern("mcp_user_email");
    N.mcp_allowed_tools = intern("mcp_allowed_tools");
    N.mcp_permission_enabled = intern("mcp_permission_enabled");
    N.internal = intern("internal");
    N.remote = intern("remote");
    N.fixed = intern("fixed");
    N.api_key = intern("api_key");
    N.auth_mode = intern("auth_mode");
    N.user_id = intern("user_id");
    N.email = intern("email");
    N.allowed_tools = intern("allowed_tools");
    N.permission_enabled = intern("permission_enabled");
    N.reason = intern("reason");
    N.invalid_api_key = intern("invalid_api_key");
    N.auth_service_unavailable = intern("auth_service_unavailable");
    N.status = intern("status");
    N.body = intern("body");
    N.more_body = intern("more_body");
    N.http_request = intern("http.request");
    N.http_response_start = intern("http.response.start");
    N.http_response_body = intern("http.response.body");
    N.set = intern("set");
    N.reset = intern("reset");
    N.mcp_request_ctx = intern("mcp_request_ctx");
    N.vexlo_mcp_context = intern("vexlo.mcp.context");
    N._logger = intern("_logger");
    N.debug = intern("debug");
    N.info = intern("info");
    N.warning = intern("warning");
    N.time = intern("time");
    N.monotonic = intern("monotonic");
    N.time_fn = intern("time");
    N._CLIENT_DISCONNECT_ERRORS = intern("_CLIENT_DISCONNECT_ERRORS");
    N.ApiKeyVerificationUnavailable = intern("ApiKeyVerificationUnavailable");
    N._trace_quillon = intern("_trace_quillon");
    N._QUILLON_TRACE_FILE = intern("_QUILLON_TRACE_FILE");
    N.cors_headers_for_scope = intern("cors_headers_for_scope");
    N.__version__ = intern("__version__");
    N._VERIFY_CACHE_TTL_SECONDS = intern("_VERIFY_CACHE_TTL_SECONDS");
    N._VERIFY_STALE_GRACE_SECONDS = intern("_VERIFY_STALE_GRACE_SECONDS");
    N._VERIFY_CONNECT_TIMEOUT_SECONDS = intern("_VERIFY_CONNECT_TIMEOUT_SECONDS");
    N._VERIFY_READ_TIMEOUT_SECONDS = intern("_VERIFY_READ_TIMEOUT_SECONDS");
    N._VERIFY_MAX_CONNECTIONS = intern("_VERIFY_MAX_CONNECTIONS");
    N._VERIFY_MAX_KEEPALIVE = intern("_VERIFY_MAX_KEEPALIVE");
    N._VERIFY_KEEPALIVE_EXPIRY_SECONDS = intern("_VERIFY_KEEPALIVE_EXPIRY_SECONDS");
    N.status_code = intern("status_code");
    N.json = intern("json");
    N.pop = intern("pop");
    N.params = intern("params");
    N.X_MCP_API_Key = intern("X-MCP-API-Key");
    N.X_Vexlo_Version = intern("X-Vexlo-Version");
    N.urllib = intern("urllib");
    N.parse = intern("parse");
    N.parse_qs = intern("parse_qs");
    N.keys = intern("keys");
    N.decode = intern("decode");
    N.lower = intern("lower");
    N.strip = intern("strip");
    N.latin_1 = intern("latin-1");
    N.utf_8 = intern("utf-8");
    N.replace = intern("replace");
    N.errors = intern("errors");
    N.empty_str = intern("");
    N.empty_bytes = vx::check(PyBytes_FromStringAndSize("", 0)).release();
    N.empty_tuple = vx::check(PyTuple_New(0)).release();
    N.zero_float = vx::check(PyFloat_FromDouble(0.0)).release();
    N.Expected_ASGI_message = intern("Expected ASGI message");
    N.kw_params_headers = vx::check(PyTuple_Pack(2, intern("params"), intern("headers"))).release();
    N.kw_errors = vx::check(PyTuple_Pack(1, N.errors)).release();
    N.token = intern("token");
    N.client_id = intern("client_id");
    N.scopes = intern("scopes");
    N.default_ = intern("default");
    N.vexlo_mcp = intern("vexlo:mcp");
    N.AccessToken = intern("AccessToken");
    N.__module__ = intern("__module__");
}

namespace {

PyTypeObject* g_gate_type = nullptr;
unsigned int g_gate_tag = 0;
constexpr int kMethods = 9;
PyObject* g_method_names[kMethods];
PyObject* g_method_funcs[kMethods];  // the class's own definitions (kept for the process)
bool g_method_static[kMethods];

// True when `t` is ApiKeyWardgate and its dict still holds our definitions and nothing that
// would change attribute access.
bool fast_type(PyTypeObject* t) {
    if (t != g_gate_type) return false;
    if (t->tp_version_tag != 0 && t->tp_version_tag == g_gate_tag) return true;
    if (!PyUnstable_Type_AssignVersionTag(t)) return false;
    vx::Ref d = vx::Ref::steal(PyType_GetDict(t));
    for (int i = 0; i < kMethods; ++i) {
        if (!g_method_names[i]) break;
        PyObject* v = PyDict_GetItemWithError(d.get(), g_method_names[i]);
        if (!v) {
            PyErr_Clear();
            return false;
        }
        if (g_method_static[i]) {
            if (!PyObject_TypeCheck(v, &PyStaticMethod_Type)) return false;
            vx::Ref fn = vx::Ref::steal(PyObject_GetAttrString(v, "__func__"));
            if (fn.get() != g_method_funcs[i]) {
                PyErr_Clear();
                return false;
            }
        } else if (v != g_method_funcs[i]) {
            return false;
        }
    }
    for (PyObject* n : {N.app, N._api_key, N._auth_verify_url, N._protected_path_prefixes,
                        N._trust_upstream_corvane_identity, N._verify_cache, N._client, VX_STR("__getattribute__"),
                        VX_STR("__getattr__"), VX_STR("__dict__")}) {
        PyObject* v = PyDict_GetItemWithError(d.get(), n);
        if (v && n != VX_STR("__dict__")) return false;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    g_gate_tag = t->tp_version_tag;
    return g_gate_tag != 0;
}

ternaryfunc g_generic_call = nullptr;

PyObject* gate_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!kwargs && Py_TYPE(self) == g_gate_type && PyTuple_GET_SIZE(args) <= 4) {
        int fast = vx::guard<int>(-1, [&] { return fast_type(Py_TYPE(self)) ? 1 : 0; });
        if (fast < 0) return nullptr;
        if (fast) {
            PyObject* stack[5] = {self};
            const Py_ssize_t n = PyTuple_GET_SIZE(args);
            for (Py_ssize_t i = 0; i < n; ++i) stack[i + 1] = PyTuple_GET_ITEM(args, i);
            // The usual call with all three arguments: straight to the coroutine (nothing to
            // bind or check); any other arity goes the way that reports it.
            if (n == 3)
                return vx::guard<PyObject*>(nullptr, [&] {
                    return call_impl(reinterpret_cast<vx::FuncObject*>(g_method_funcs[kMethods - 1]), stack).release();
                });
            return PyObject_Vectorcall(g_method_funcs[kMethods - 1], stack, static_cast<size_t>(n + 1), nullptr);
        }
    }
    return g_generic_call(self, args, kwargs);
}

}  // namespace

namespace {

// Instance attributes read on every request.
constexpr int kAttrs = 5;
PyObject* g_attr_names[kAttrs];

// What the instance dict of the last gate served on the fast path held. A dict watcher
// forgets it as soon as that dict changes or goes away, so a request reads these attributes
// and learns that no method is overridden on the instance without a lookup each.
struct Snapshot {
    PyObject* dict = nullptr;       // borrowed and watched; null: no snapshot
    PyObject* values[kAttrs] = {};  // borrowed from the dict; null: not in it
    bool overrides = false;         // the dict holds the name of one of the class's methods
};
Snapshot g_snap;
int g_watcher = -1;

int on_dict_event(PyDict_WatchEvent, PyObject* d, PyObject*, PyObject*) {
    if (d == g_snap.dict) g_snap.dict = nullptr;
    return 0;
}

void take_snapshot(PyObject* dict) {
    g_snap.dict = nullptr;
    if (g_watcher < 0 || !PyDict_CheckExact(dict)) return;
    // An attribute store into an instance's inline values bypasses dict watchers. Once the
    // dict's table is of the general kind (a non-str key passed through it), every later
    // store goes through the dict, where the watcher sees it.
    if (!vx::check(PyDict_Contains(dict, Py_None))) {
        vx::check(PyDict_SetItem(dict, Py_None, Py_None));
        vx::check(PyDict_DelItem(dict, Py_None));
    }
    vx::check(PyDict_Watch(g_watcher, dict));
    // Published first: a change made while reading (a key's __eq__) withdraws it again, and so
    // does a failure.
    g_snap.dict = dict;
    try {
        for (int i = 0; i < kAttrs; ++i) {
            PyObject* v = nullptr;
            if (vx::check(PyDict_GetItemRef(dict, g_attr_names[i], &v))) Py_DECREF(v);  // the dict keeps it
            g_snap.values[i] = v;
        }
        bool overrides = false;
        for (int i = 0; i < kMethods && !overrides; ++i)
            overrides = vx::check(PyDict_Contains(dict, g_method_names[i]));
        g_snap.overrides = overrides;
    } catch (...) {
        g_snap.dict = nullptr;
        throw;
    }
}

int attr_index(PyObject* name) {
    for (int i = 0; i < kAttrs; ++i)
        if (g_attr_names[i] == name) return i;
    return -1;
}

}  // namespace

void init_fast_path(PyObject* gate_class) {
    g_gate_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(gate_class));
    PyObject* names[] = {N._is_protected_path, N._extract_token, N._internal_identity, N._verify_remote,
                         N._send_401, N._send_503, N._get_client, N._header, N.__call__};
    vx::Ref d = vx::Ref::steal(PyType_GetDict(g_gate_type));
    for (int i = 0; i < kMethods; ++i) {
        PyObject* v = PyDict_GetItemWithError(d.get(), names[i]);
        if (!v) vx::raise(PyExc_SystemError, "gate class lacks a method");
        g_method_names[i] = names[i];
        g_method_static[i] = PyObject_TypeCheck(v, &PyStaticMethod_Type);
        g_method_funcs[i] = g_method_static[i] ? vx::getattr(v, VX_STR("__func__")).release() : Py_NewRef(v);
    }
    g_gate_tag = 0;
    PyObject* attrs[kAttrs] = {N.app, N._api_key, N._auth_verify_url, N._protected_path_prefixes,
                               N._trust_upstream_corvane_identity};
    for (int i = 0; i < kAttrs; ++i) g_attr_names[i] = attrs[i];
    if (g_watcher < 0) g_watcher = vx::check_size(PyDict_AddWatcher(on_dict_event));
    // Instances are called by the server for every connection. The class's generic call slot
    // looks __call__ up and packs arguments again; while the class is unchanged, go straight to
    // our own __call__. Reassigning __call__ on the class restores the generic slot by itself.
    g_generic_call = g_gate_type->tp_call;
    g_gate_type->tp_call = gate_call;
    PyType_Modified(g_gate_type);
}

void Self::fast(PyObject* dict) {
    dict_ = dict;
    if (g_snap.dict != dict) take_snapshot(dict);
}

Self::Self(PyObject* self) : self_(self) {
    if (fast_type(Py_TYPE(self))) {
        owned_ = vx::check(PyObject_GenericGetDict(self, nullptr));
        fast(owned_.get());
    }
}

Self::Self(PyObject* self, vx::Frame f, int slot) : self_(self) {
    if (fast_type(Py_TYPE(self))) {
        f.set_slot(slot, vx::check(PyObject_GenericGetDict(self, nullptr)));
        fast(f.slot(slot));
    }
}

vx::Ref Self::attr(PyObject* name) const {
    if (dict_) {
        if (g_snap.dict == dict_) {
            const int i = attr_index(name);
            if (i >= 0) return g_snap.values[i] ? vx::Ref::borrow(g_snap.values[i]) : vx::getattr(self_, name);
        }
        PyObject* v = nullptr;
        if (vx::check(PyDict_GetItemRef(dict_, name, &v))) return vx::Ref::steal(v);
    }
    return vx::getattr(self_, name);
}

PyObject* Self::original(PyObject* name) const {
    if (!dict_) return nullptr;
    if (g_snap.dict != dict_ || g_snap.overrides) {
        if (vx::check(PyDict_Contains(dict_, name))) return nullptr;  // overridden on the instance
    }
    for (int i = 0; i < kMethods; ++i)
        if (g_method_names[i] == name) return g_method_funcs[i];
    return nullptr;
}

vx::FuncObject* Self::own(PyObject* name) const {
    PyObject* fn = original(name);
    return fn && vx::is_function(fn) ? reinterpret_cast<vx::FuncObject*>(fn) : nullptr;
}

vx::Ref Self::call(PyObject* name, std::initializer_list<PyObject*> args) const {
    PyObject* argv[6];
    size_t n = 0;
    argv[n++] = self_;
    for (PyObject* a : args) argv[n++] = a;
    const bool is_static = name == N._header;
    if (PyObject* fn = original(name)) {
        // Our own definition, called as the bound method would call it.
        if (vx::is_function(fn) && static_cast<size_t>(reinterpret_cast<vx::FuncObject*>(fn)->fdef->nparams) ==
                                       n - (is_static ? 1 : 0))
            return vx::call_positional(reinterpret_cast<vx::FuncObject*>(fn), argv + (is_static ? 1 : 0));
        return vx::check(PyObject_Vectorcall(fn, argv + (is_static ? 1 : 0), is_static ? n - 1 : n, nullptr));
    }
    if (is_static) {
        vx::Ref meth = vx::getattr(self_, name);
        return vx::check(PyObject_Vectorcall(meth.get(), argv + 1, n - 1, nullptr));
    }
    return vx::check(PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

vx::Ref Self::call_reply(PyObject* name, PyObject* scope, PyObject* send, PyObject* reason) const {
    static PyObject* const kw = vx::check(PyTuple_Pack(1, N.reason)).release();
    PyObject* argv[4] = {self_, scope, send, reason};
    if (PyObject* fn = original(name)) {
        // Our own definition binds `reason` to its fourth parameter either way.
        if (vx::is_function(fn) && reinterpret_cast<vx::FuncObject*>(fn)->fdef->nparams == 4 &&
            reinterpret_cast<vx::FuncObject*>(fn)->fdef->all_positional)
            return vx::call_positional(reinterpret_cast<vx::FuncObject*>(fn), argv);
        return vx::check(PyObject_Vectorcall(fn, argv, 3, kw));
    }
    return vx::check(PyObject_VectorcallMethod(name, argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
}

// `a, b = item`, with the interpreter's own errors.
void unpack2(PyObject* item, vx::Ref& a, vx::Ref& b) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(item);
        if (n == 2) {
            a = vx::Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
            b = vx::Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
            return;
        }
        if (n > 2) vx::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        vx::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    }
    vx::Ref it = vx::Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
            PyErr_Clear();
            vx::raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        vx::throw_error();
    }
    vx::Ref got[2];
    for (int i = 0; i < 2; ++i) {
        got[i] = vx::Ref::steal(PyIter_Next(it.get()));
        if (!got[i]) {
            if (PyErr_Occurred()) vx::throw_error();
            vx::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    vx::Ref extra = vx::Ref::steal(PyIter_Next(it.get()));
    if (extra) vx::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) vx::throw_error();
    a = std::move(got[0]);
    b = std::move(got[1]);
}

vx::Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = nullptr;
        if (vx::check(PyDict_GetItemRef(mapping, key, &v))) return vx::Ref::steal(v);
        return vx::Ref::borrow(dflt ? dflt : Py_None);
    }
    if (dflt) return vx::call_method(mapping, N.get, key, dflt);
    return vx::call_method(mapping, N.get, key);
}

void log(PyObject* level, std::initializer_list<PyObject*> args) {
    vx::Ref logger = G(N._logger);
    vx::Ref meth = vx::getattr(logger.get(), level);
    PyObject* argv[8];
    size_t n = 0;
    for (PyObject* a : args) argv[n++] = a;
    vx::check(PyObject_Vectorcall(meth.get(), argv, n, nullptr));
}

namespace {
// UTF-8 bytes of a str, lone surrogates passed through so that no str raises.
vx::Ref key_bytes(PyObject* s) { return vx::check(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass")); }
}  // namespace

// The UTF-8 form of a str: the cached one when it exists (no allocation for ASCII), else
// an encoding that passes lone surrogates through.
const char* utf8_of(PyObject* s, Py_ssize_t* n, vx::Ref& holder) {
    if (const char* p = PyUnicode_AsUTF8AndSize(s, n)) return p;
    PyErr_Clear();
    holder = key_bytes(s);
    *n = PyBytes_GET_SIZE(holder.get());
    return PyBytes_AS_STRING(holder.get());
}

bool same_key(PyObject* token, PyObject* key) {
    // Only exact strs are compared by their bytes; anything else keeps its own equality
    // (no key at all against a str key is simply unequal).
    if (token == Py_None && PyUnicode_CheckExact(key)) return false;
    if (!PyUnicode_CheckExact(token) || !PyUnicode_CheckExact(key))
        return vx::check(PyObject_RichCompareBool(token, key, Py_EQ));
    vx::Ref ha, hb;
    Py_ssize_t na = 0, nb = 0;
    // Compare in time that depends on the presented length only, never on where they differ.
    const auto* pa = reinterpret_cast<const unsigned char*>(utf8_of(token, &na, ha));
    const auto* pb = reinterpret_cast<const unsigned char*>(utf8_of(key, &nb, hb));
    volatile unsigned char diff = static_cast<unsigned char>(na != nb);
    for (Py_ssize_t i = 0; i < na; ++i) diff = diff | static_cast<unsigned char>(pa[i] ^ (nb ? pb[i % nb] : 0));
    return diff == 0;
}

}  // namespace wardgate
