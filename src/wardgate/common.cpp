// Interned names and small helpers shared by the gate's request path.
#include "gate.hpp"

#include <cstdint>
#include <cstring>

namespace wardgate {

void init_names() {
    using vx::intern;
    N.type = intern("type");
    N.http = intern("http");
    N.method = intern("method");
    N.OPTIONS = intern("OPTIONS");
    N.path = intern("path");
    N.root_path = intern("root_path");
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

// The gate class and its own definitions, to call them without a lookup while the class
// still holds them.
PyTypeObject* g_gate_type = nullptr;
constexpr int kMethods = 9;
PyObject* g_method_names[kMethods];
PyObject* g_method_funcs[kMethods];  // the class's own definitions (kept for the process)
bool g_method_static[kMethods];

// Whether the class was found unchanged since it was last modified. A type watcher clears it
// on every PyType_Modified of the class (attribute stores, __bases__, anything that changes
// lookups). The watcher is documented to hear at least of the first change after an attribute
// lookup on the type, so the check below looks one up (`__mro__`) and assigns a version tag
// (documented unstable API) before it reads anything; a change made while it reads (Python can
// run in a key's __eq__) bumps the counter, and the check does not count.
int g_type_watcher = -1;
bool g_gate_checked = false;
unsigned long g_gate_changes = 0;

int on_type_event(PyTypeObject* t) {
    if (t == g_gate_type) {
        g_gate_checked = false;
        ++g_gate_changes;
    }
    return 0;
}

// Our own definitions are what `self.<method>` finds through the class, and nothing on the
// class or its bases changes how an instance's attributes are found.
bool class_intact(PyTypeObject* t) {
    const unsigned long changes = g_gate_changes;
    if (!PyUnstable_Type_AssignVersionTag(t)) return false;
    vx::Ref mro = vx::getattr(reinterpret_cast<PyObject*>(t), VX_STR("__mro__"));
    if (!PyTuple_CheckExact(mro.get()) || PyTuple_GET_SIZE(mro.get()) != 2 ||
        PyTuple_GET_ITEM(mro.get(), 0) != reinterpret_cast<PyObject*>(t) ||
        PyTuple_GET_ITEM(mro.get(), 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type))
        return false;
    vx::Ref d = vx::Ref::steal(PyType_GetDict(t));
    for (int i = 0; i < kMethods; ++i) {
        PyObject* v = nullptr;
        if (!vx::check(PyDict_GetItemRef(d.get(), g_method_names[i], &v))) return false;
        vx::Ref held = vx::Ref::steal(v);
        if (g_method_static[i]) {
            // Exactly staticmethod: a subclass may bind through a __get__ of its own.
            if (!Py_IS_TYPE(v, &PyStaticMethod_Type)) return false;
            vx::Ref fn = vx::getattr(v, VX_STR("__func__"));
            if (fn.get() != g_method_funcs[i]) return false;
        } else if (v != g_method_funcs[i]) {
            return false;
        }
    }
    // No class attribute of a setting's name either: an instance's settings are then exactly
    // its dict entries.
    for (PyObject* n : {VX_STR("__getattribute__"), VX_STR("__getattr__"), N.app, N._api_key, N._auth_verify_url,
                        N._protected_path_prefixes, N._trust_upstream_corvane_identity, N._verify_cache, N._client})
        if (vx::check(PyDict_Contains(d.get(), n))) return false;
    return changes == g_gate_changes;
}

// True when `t` is the gate class and it still holds what class_intact checks.
bool fast_type(PyTypeObject* t) {
    if (t != g_gate_type) return false;
    if (g_gate_checked) return true;
    if (g_type_watcher < 0 || !class_intact(t)) return false;
    g_gate_checked = true;
    return true;
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
    g_gate_checked = false;
    if (g_type_watcher < 0) g_type_watcher = vx::check_size(PyType_AddWatcher(on_type_event));
    vx::check(PyType_Watch(g_type_watcher, gate_class));
}

// Attributes are looked up afresh at every read: nothing about an instance is kept between
// reads, so a call into Python (a key's __eq__, an await) cannot leave a stale or borrowed
// view behind. While the class is intact (no class attribute of that name, generic attribute
// access), `self.name` is the instance dict's entry when there is one; the dict is held while
// its lookup may run a key's __eq__, as the interpreter's own lookup holds it. Anything else
// (a missing entry, another class) takes the attribute protocol.
vx::Ref Self::attr(PyObject* name) const {
    if (fast_type(Py_TYPE(self_))) {
        vx::Ref dict = vx::check(PyObject_GenericGetDict(self_, nullptr));
        PyObject* v = nullptr;
        if (vx::check(PyDict_GetItemRef(dict.get(), name, &v))) return vx::Ref::steal(v);
    }
    return vx::getattr(self_, name);
}

// Our own definition that `self.<name>` reaches now, or null. Python's method lookup finds the
// class's entry first and then lets an instance dict entry of that name win; the same order
// here, and the dict is held while its lookup may run a key's __eq__.
PyObject* Self::original(PyObject* name) const {
    if (!fast_type(Py_TYPE(self_))) return nullptr;
    PyObject* fn = nullptr;
    for (int i = 0; i < kMethods && !fn; ++i)
        if (g_method_names[i] == name) fn = g_method_funcs[i];
    if (!fn) return nullptr;
    vx::Ref dict = vx::check(PyObject_GenericGetDict(self_, nullptr));
    // A dict subclass is searched as a dict, as attribute lookup does.
    if (vx::check(PyDict_Contains(dict.get(), name))) return nullptr;
    return fn;
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
        // Our own definition, called as the bound method would call it (the class keeps it alive).
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

// ---- caches kept valid by a dict watcher -------------------------------------------------
//
// The request path reads a few module globals and imports the host's request context on every
// request. Both are cached, holding strong references, and every dict they were read from is
// watched (PyDict_Watch is documented API; a module's or sys.modules' dict is a plain dict, so
// every change to it goes through the dict and reaches the watcher). Any event bumps a
// generation counter; an entry counts only if the counter has not moved since it was read,
// so a change made while it was read (a key's __eq__) leaves it unused.

namespace {
int g_dict_watcher = -1;
unsigned long g_globals_gen = 1;  // module dict and builtins
unsigned long g_import_gen = 1;   // sys.modules, builtins and the context module's dict
PyObject* g_watched_builtins = nullptr;  // owned
PyObject* g_watched_modules = nullptr;   // owned
PyObject* g_watched_ctx_dict = nullptr;  // owned

int on_dict_event(PyDict_WatchEvent, PyObject* d, PyObject*, PyObject*) {
    if (d == g_globals || d == g_watched_builtins) ++g_globals_gen;
    if (d == g_watched_modules || d == g_watched_builtins || d == g_watched_ctx_dict) ++g_import_gen;
    parser_dict_event(d);
    return 0;
}

// Only what the module itself defines is kept (a builtin could come from another frame's builtins).
struct GlobalEntry {
    PyObject* name = nullptr;   // interned, borrowed from N
    PyObject* value = nullptr;  // owned
    unsigned long gen = 0;
};
// Open addressing on the name's address (names are interned and live for the process), so a
// read costs one probe instead of a scan.
constexpr size_t kGlobalSlots = 64;
GlobalEntry g_global_cache[kGlobalSlots];

// Replaces an owned pointer; the old object is released last, when the slot is already
// consistent (its finaliser may run Python that comes back here).
void replace_owned(PyObject*& slot, PyObject* value) {
    PyObject* old = slot;
    slot = value;
    Py_XDECREF(old);
}
}  // namespace

int dict_watcher() {
    if (g_dict_watcher < 0) g_dict_watcher = vx::check_size(PyDict_AddWatcher(on_dict_event));
    return g_dict_watcher;
}

vx::Ref G(PyObject* name) {
    GlobalEntry* slot = nullptr;
    const size_t start = (reinterpret_cast<uintptr_t>(name) >> 4) % kGlobalSlots;
    for (size_t probe = 0; probe < kGlobalSlots; ++probe) {
        GlobalEntry& e = g_global_cache[(start + probe) % kGlobalSlots];
        if (e.name == name) {
            if (e.gen == g_globals_gen && e.value) return vx::Ref::borrow(e.value);
            slot = &e;
            break;
        }
        if (!e.name) {
            slot = &e;
            break;
        }
    }
    const unsigned long gen = g_globals_gen;
    PyObject* v = nullptr;
    if (!slot || g_dict_watcher < 0 || !vx::check(PyDict_GetItemRef(g_globals, name, &v)))
        return vx::global(g_globals, name);
    vx::Ref value = vx::Ref::steal(v);
    slot->name = name;
    slot->gen = gen;
    replace_owned(slot->value, Py_NewRef(value.get()));
    return value;
}

// The cached variable stands for `from vexlo.mcp.context import mcp_request_ctx` while all of its
// inputs are as they were: builtins (the `__import__` hook) and sys.modules, both the same dicts
// and unchanged (watched), the module found there, unchanged (its dict watched) and still of
// exactly the module type (`__class__` can be assigned without touching any dict, and a
// subclass can change attribute lookup), and the module fully initialised when it was read.
vx::Ref request_ctx_var() {
    static GlobalEntry entry;
    static PyObject* entry_module = nullptr;  // owned: the module the entry was read from
    PyObject* builtins = PyEval_GetBuiltins();
    if (entry.value && entry.gen == g_import_gen && builtins == g_watched_builtins &&
        PyImport_GetModuleDict() == g_watched_modules && entry_module && PyModule_CheckExact(entry_module))
        return vx::Ref::borrow(entry.value);
    const unsigned long gen = g_import_gen;
    vx::Ref var = vx::import_from(N.vexlo_mcp_context, N.mcp_request_ctx);
    // Kept only when what answered was the plain route: the interpreter's own import through
    // sys.modules to a plain module whose dict holds the name (nothing ran that we cannot watch).
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = nullptr;
    if (g_dict_watcher < 0 || !builtins || !PyDict_CheckExact(builtins) || !PyDict_CheckExact(modules) ||
        !vx::check(PyDict_GetItemRef(modules, N.vexlo_mcp_context, &found)))
        return var;
    vx::Ref mod = vx::Ref::steal(found);
    if (!PyModule_CheckExact(mod.get())) return var;
    PyObject* mdict = PyModule_GetDict(mod.get());
    PyObject* in_dict = nullptr;
    if (!vx::check(PyDict_GetItemRef(mdict, N.mcp_request_ctx, &in_dict))) return var;
    vx::Ref held = vx::Ref::steal(in_dict);
    PyObject* hook = nullptr;
    if (!vx::check(PyDict_GetItemRef(builtins, VX_STR("__import__"), &hook))) return var;
    vx::Ref hook_ref = vx::Ref::steal(hook);
    if (in_dict != var.get() || !vx::is_original_import(hook)) return var;
    for (PyObject* d : {builtins, modules, mdict}) vx::check(PyDict_Watch(g_dict_watcher, d));
    if (gen != g_import_gen) return var;
    if (mod.get() != entry_module) replace_owned(entry_module, Py_NewRef(mod.get()));
    if (gen != g_import_gen) return var;
    if (builtins != g_watched_builtins) replace_owned(g_watched_builtins, Py_NewRef(builtins));
    if (modules != g_watched_modules) replace_owned(g_watched_modules, Py_NewRef(modules));
    if (mdict != g_watched_ctx_dict) replace_owned(g_watched_ctx_dict, Py_NewRef(mdict));
    entry.gen = gen;
    replace_owned(entry.value, Py_NewRef(var.get()));
    return var;
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
        // An exact dict's get() is its item lookup (its type cannot be given another get); the
        // value comes back as a strong reference even if a key's __eq__ changes the dict.
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
// an encoding that passes lone surrogates through. The cached form is documented to live as
// long as the str, which the caller holds.
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
