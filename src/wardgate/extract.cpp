// Credential extraction and path scope: which paths the gate guards, which API key the
// caller presented, and whether a trusted upstream platform already identified the user.
#include "gate.hpp"

#include <cstring>
#include <iterator>
#include <string>

namespace wardgate {
namespace {

// `header_name.lower() == name`, with `name` compared as given (an upper-case `name` matches
// nothing, as in Python).
bool name_matches(PyObject* header_name, PyObject* name) {
    if (PyBytes_CheckExact(header_name) && PyBytes_CheckExact(name)) {
        Py_ssize_t n = PyBytes_GET_SIZE(header_name);
        if (n != PyBytes_GET_SIZE(name)) return false;
        const char* p = PyBytes_AS_STRING(header_name);
        const char* q = PyBytes_AS_STRING(name);
        for (Py_ssize_t i = 0; i < n; ++i) {
            char c = p[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
            if (c != q[i]) return false;
        }
        return true;
    }
    vx::Ref lowered = vx::call_method(header_name, N.lower);
    return vx::check(PyObject_RichCompareBool(lowered.get(), name, Py_EQ));
}

// value.decode("utf-8", errors="replace")
vx::Ref decode_replace(PyObject* value) {
    if (PyBytes_CheckExact(value))
        return vx::check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), "replace"));
    vx::Ref meth = vx::getattr(value, N.decode);
    PyObject* argv[3] = {nullptr, N.utf_8, N.replace};
    return vx::check(PyObject_Vectorcall(meth.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, N.kw_errors));
}

// str.strip() of a str object (whitespace as str.isspace() sees it).
vx::Ref strip(PyObject* s) {
    if (!PyUnicode_CheckExact(s)) return vx::call_method(s, N.strip);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t i = 0, j = n;
    while (i < j && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
    while (j > i && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, j - 1))) --j;
    if (i == 0 && j == n) return vx::Ref::borrow(s);
    return vx::check(PyUnicode_Substring(s, i, j));
}

// scope.get("headers", []); a dict scope without headers needs no new list.
vx::Ref headers_of(PyObject* scope) {
    if (PyDict_CheckExact(scope)) return mapping_get(scope, N.headers, N.empty_tuple);
    vx::Ref empty = vx::check(PyList_New(0));
    return mapping_get(scope, N.headers, empty.get());
}

// Iterates `headers` calling f(name, value) until it returns true.
template <class F>
void each_header(PyObject* headers, F&& f) {
    vx::Ref a, b;
    if (PyList_CheckExact(headers) || PyTuple_CheckExact(headers)) {
        // As list iteration does: the length is read again before each item, and the item is
        // held while `f` (which may run Python that changes the list) looks at it.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(headers); ++i) {
            vx::Ref item = vx::Ref::borrow(PySequence_Fast_GET_ITEM(headers, i));
            if (PyTuple_CheckExact(item.get()) && PyTuple_GET_SIZE(item.get()) == 2) {
                // A pair as servers build it: a tuple's items never change, and the tuple we
                // hold holds them, so they are used as they are.
                if (f(PyTuple_GET_ITEM(item.get(), 0), PyTuple_GET_ITEM(item.get(), 1))) return;
                continue;
            }
            unpack2(item.get(), a, b);
            if (f(a.get(), b.get())) return;
        }
        return;
    }
    vx::Ref it = vx::check(PyObject_GetIter(headers));
    while (vx::Ref item = vx::Ref::steal(PyIter_Next(it.get()))) {
        unpack2(item.get(), a, b);
        if (f(a.get(), b.get())) return;
    }
    if (PyErr_Occurred()) vx::throw_error();
}

// A "Bearer " credential in one header value, or null when the scheme does not match.
vx::Ref bearer(PyObject* value) {
    vx::Ref auth;
    if (PyBytes_CheckExact(value)) {
        // The scheme test only looks at the first seven characters, which are then ASCII.
        const char* p = PyBytes_AS_STRING(value);
        Py_ssize_t n = PyBytes_GET_SIZE(value);
        static const char kScheme[] = "bearer ";
        if (n < 7) return {};
        for (int i = 0; i < 7; ++i) {
            char c = p[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
            if (c != kScheme[i]) return {};
        }
        return strip(vx::check(PyUnicode_DecodeUTF8(p + 7, n - 7, "replace")).get());
    }
    auth = decode_replace(value);
    vx::Ref lowered = vx::call_method(auth.get(), N.lower);
    vx::Ref prefix = vx::Ref::borrow(VX_STR("bearer "));
    vx::Ref starts = vx::call_method(lowered.get(), VX_STR("startswith"), prefix.get());
    if (!vx::truthy(starts.get())) return {};
    vx::Ref rest = vx::check(PySequence_GetSlice(auth.get(), 7, PY_SSIZE_T_MAX));
    return strip(rest.get());
}

vx::Ref bearer_from(PyObject* scope, PyObject* name) {
    vx::Ref headers = headers_of(scope);
    vx::Ref found;
    each_header(headers.get(), [&](PyObject* n, PyObject* v) {
        if (!name_matches(n, name)) return false;
        found = bearer(v);
        return static_cast<bool>(found);
    });
    return found;
}

int hexval(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Unquotes one query component (after "+" to space) into bytes. Only ASCII runs carry
// escapes; other bytes (of valid UTF-8) are kept. Decoding the whole result once with
// replacement then gives exactly what the standard parser gives piece by piece.
void unquote_plus(const unsigned char* p, size_t n, std::string& out) {
    out.clear();
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < n && hexval(p[i + 1]) >= 0 && hexval(p[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexval(p[i + 1]) * 16 + hexval(p[i + 2])));
            i += 2;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
}

// The first value of the query parameter "api_key", as parse_qs would report it, or null.
vx::Ref query_api_key(const unsigned char* q, size_t n) {
    std::string name, value;
    size_t start = 0;
    while (start <= n) {
        size_t end = start;
        while (end < n && q[end] != '&') ++end;
        // piece = q[start:end]
        size_t eq = start;
        while (eq < end && q[eq] != '=') ++eq;
        if (eq < end && eq + 1 < end) {  // has "=" and a non-empty value
            unquote_plus(q + start, eq - start, name);
            if (name == "api_key") {
                unquote_plus(q + eq + 1, end - eq - 1, value);
                return vx::check(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
            }
        }
        start = end + 1;
    }
    return {};
}

vx::Ref header_impl(vx::FuncObject*, PyObject* const* a) {
    vx::Ref v = header_value(a[0], a[1]);
    return v ? v : vx::none();
}

vx::Ref is_protected_path_impl(vx::FuncObject*, PyObject* const* a) {
    PyObject* path = a[1];
    vx::Ref prefixes = Self(a[0]).attr(N._protected_path_prefixes);
    if (prefixes.get() == Py_None) return vx::boolean(true);
    if (PyTuple_CheckExact(prefixes.get())) {
        // The constructor's own form: indexed directly, the general route below otherwise. A
        // tuple cannot change while we walk it, and a str prefix is matched without Python.
        PyObject* t = prefixes.get();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t); ++i) {
            PyObject* prefix = PyTuple_GET_ITEM(t, i);
            if (!PyUnicode_Check(prefix)) break;
            if (vx::check_size(PyUnicode_Tailmatch(path, prefix, 0, PY_SSIZE_T_MAX, -1))) return vx::boolean(true);
            if (i + 1 == PyTuple_GET_SIZE(t)) return vx::boolean(false);
        }
    }
    vx::Ref it = vx::check(PyObject_GetIter(prefixes.get()));
    while (vx::Ref prefix = vx::Ref::steal(PyIter_Next(it.get()))) {
        if (PyUnicode_Check(prefix.get())) {
            if (vx::check_size(PyUnicode_Tailmatch(path, prefix.get(), 0, PY_SSIZE_T_MAX, -1))) return vx::boolean(true);
        } else {
            // path.startswith(non-str) raises as str.startswith does.
            vx::Ref r = vx::call_method(path, VX_STR("startswith"), prefix.get());
            if (vx::truthy(r.get())) return vx::boolean(true);
        }
    }
    if (PyErr_Occurred()) vx::throw_error();
    return vx::boolean(false);
}

vx::Ref internal_identity_impl(vx::FuncObject*, PyObject* const* a) {
    const Self self(a[0]);
    PyObject* scope = a[1];
    vx::Ref trust = self.attr(N._trust_upstream_corvane_identity);
    if (!vx::truthy(trust.get())) return vx::none();
    static PyObject* email_header = nullptr;
    static PyObject* id_header = nullptr;
    if (!email_header) {
        email_header = vx::check(PyBytes_FromString("x-corvane-user-email")).release();
        id_header = vx::check(PyBytes_FromString("x-corvane-user-id")).release();
    }
    vx::Ref email = self.call(N._header, {scope, email_header});
    if (!vx::truthy(email.get())) return vx::none();
    vx::Ref stripped = strip(email.get());
    vx::Ref lowered = vx::call_method(stripped.get(), N.lower);
    vx::Ref user_id = self.call(N._header, {scope, id_header});
    vx::Ref d = vx::check(PyDict_New());
    vx::check(PyDict_SetItem(d.get(), N.email, lowered.get()));
    vx::check(PyDict_SetItem(d.get(), N.user_id, user_id.get()));
    return d;
}

// The native search stands in for urllib.parse.parse_qs only while it gives that function's
// exact answer: parse_qs is the library's own, and everything it reaches at run time is as the
// library defined it (the functions it calls through its module's globals, their code and
// defaults, the builtins they use, and the lazily built unescape table). Dict watchers
// (documented API) clear `g_parser_checked` on any change to the module's globals, its
// builtins or that table; the checks run again at the next query. What cannot be watched
// (a function's code or defaults) is compared on every use. Everything here is held by a
// strong reference, so no pointer can outlive its object.
constexpr int kParts = 6;
const char* const kPartNames[kParts] = {"parse_qs", "parse_qsl", "unquote_plus", "unquote", "_unquote_impl",
                                        "_generate_unquoted_parts"};
// Every input of the uncached path, each guarded below: the functions above (identity, code,
// defaults), the module globals `_asciire`, `_hexdig` (the table is built from it while
// `_hextobyte` is None) and `_hextobyte`, and these builtins. remember_library_parser refuses
// the native search when the library's code names any other global or builtin.
const char* const kBuiltinsUsed[] = {"isinstance", "str", "bytes", "memoryview", "bytearray", "ValueError", "len",
                                     "KeyError"};
const char* const kOtherGlobals[] = {"_asciire", "_hexdig", "_hextobyte"};
// Named by the library's code on its bytes route only (parse_qsl's nested unquote for a bytes
// query); the native search stands in for str queries, which never reach it.
const char* const kBytesRouteOnly[] = {"unquote_to_bytes"};
struct PartState {
    PyObject* fn;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
};
PartState g_parts[kParts];
PyObject* g_library_parse_qs = nullptr;  // the library's own, as the module found it
PyObject* g_parse_globals = nullptr;
PyObject* g_parse_builtins = nullptr;
PyObject* g_asciire = nullptr;
PyObject* g_builtins_used[std::size(kBuiltinsUsed)];
PyObject* g_hextobyte = nullptr;  // the unescape table, once built
PyObject* g_hexdig = nullptr;     // the digits it is built from, as the library defined them
// Found as built and unchanged since (any change to it is final: the slow route from then on).
enum { TABLE_UNSEEN, TABLE_CHECKING, TABLE_GOOD, TABLE_BAD } g_table = TABLE_UNSEEN;
bool g_parser_checked = false;
unsigned long g_parser_changes = 0;


// A module global of urllib.parse, or null when absent; never runs Python (str keys only are
// looked up, and a hostile key's __eq__ is the caller's concern through the change counter).
vx::Ref parse_global(PyObject* dict, const char* name) {
    PyObject* v = nullptr;
    vx::Ref key = vx::unicode(name);
    return vx::check(PyDict_GetItemRef(dict, key.get(), &v)) ? vx::Ref::steal(v) : vx::Ref{};
}

// The unescape table _unquote_impl builds on first use, with exactly its entries.
bool hextobyte_as_built(PyObject* table) {
    if (!PyDict_CheckExact(table) || PyDict_GET_SIZE(table) != 22 * 22) return false;
    static const char kHex[] = "0123456789ABCDEFabcdef";
    for (int i = 0; i < 22; ++i)
        for (int j = 0; j < 22; ++j) {
            const char pair[2] = {kHex[i], kHex[j]};
            vx::Ref key = vx::check(PyBytes_FromStringAndSize(pair, 2));
            PyObject* v = nullptr;
            if (!vx::check(PyDict_GetItemRef(table, key.get(), &v))) return false;
            vx::Ref value = vx::Ref::steal(v);
            const char byte = static_cast<char>(hexval(pair[0]) * 16 + hexval(pair[1]));
            if (!PyBytes_CheckExact(v) || PyBytes_GET_SIZE(v) != 1 || PyBytes_AS_STRING(v)[0] != byte) return false;
        }
    return true;
}

bool parser_globals_intact() {
    const unsigned long changes = g_parser_changes;
    for (int i = 0; i < kParts; ++i) {
        vx::Ref v = parse_global(g_parse_globals, kPartNames[i]);
        if (v.get() != g_parts[i].fn) return false;
    }
    if (parse_global(g_parse_globals, "_asciire").get() != g_asciire) return false;
    // Exact str with the library's digits: the table built from it is the one searched natively.
    if (!g_hexdig || parse_global(g_parse_globals, "_hexdig").get() != g_hexdig) return false;
    for (size_t i = 0; i < std::size(kBuiltinsUsed); ++i) {
        if (parse_global(g_parse_globals, kBuiltinsUsed[i])) return false;
        if (parse_global(g_parse_builtins, kBuiltinsUsed[i]).get() != g_builtins_used[i]) return false;
    }
    vx::Ref table = parse_global(g_parse_globals, "_hextobyte");
    if (!table) return false;
    if (table.get() != Py_None) {
        if (!g_hextobyte && PyDict_CheckExact(table.get())) {
            // Watched before it is read, so a change made while reading it counts.
            vx::check(PyDict_Watch(dict_watcher(), table.get()));
            g_hextobyte = Py_NewRef(table.get());
            g_table = TABLE_CHECKING;
            const bool built = hextobyte_as_built(table.get());
            g_table = built && g_table == TABLE_CHECKING ? TABLE_GOOD : TABLE_BAD;
        }
        if (table.get() != g_hextobyte || g_table != TABLE_GOOD) return false;
    }
    return changes == g_parser_changes;
}

bool library_parser_in_use(PyObject* parse_qs) {
    if (parse_qs != g_library_parse_qs) return false;
    for (const PartState& p : g_parts)
        if (PyFunction_GetCode(p.fn) != p.code || PyFunction_GetDefaults(p.fn) != p.defaults ||
            PyFunction_GetKwDefaults(p.fn) != p.kwdefaults)
            return false;
    if (!g_parser_checked) g_parser_checked = parser_globals_intact();
    return g_parser_checked;
}

// urllib.parse.parse_qs as the module global `urllib` reaches it now.
vx::Ref current_parse_qs() {
    vx::Ref urllib = G(N.urllib);
    vx::Ref parse = vx::getattr(urllib.get(), N.parse);
    return vx::getattr(parse.get(), N.parse_qs);
}

// parse_qs(text).get("api_key", [])[0] when that list is not empty; null otherwise.
vx::Ref first_api_key(PyObject* parse_qs, PyObject* text) {
    vx::Ref params = vx::call(parse_qs, text);
    vx::Ref empty = vx::check(PyList_New(0));
    vx::Ref keys = vx::call_method(params.get(), N.get, N.api_key, empty.get());
    if (vx::truthy(keys.get())) return vx::check(PySequence_GetItem(keys.get(), 0));
    return {};
}

vx::Ref extract_token_impl(vx::FuncObject*, PyObject* const* a) {
    PyObject* scope = a[1];
    vx::Ref qs = mapping_get(scope, N.query_string, N.empty_bytes);
    if (PyBytes_CheckExact(qs.get())) {
        const char* p = PyBytes_AS_STRING(qs.get());
        Py_ssize_t n = PyBytes_GET_SIZE(qs.get());
        // Strict decode first: invalid UTF-8 raises, as the standard decoder says it.
        bool ascii = true;
        for (Py_ssize_t i = 0; i < n && ascii; ++i) ascii = static_cast<unsigned char>(p[i]) < 0x80;
        vx::Ref text;
        if (!ascii) text = vx::check(PyUnicode_DecodeUTF8(p, n, nullptr));
        if (n) {
            // The library's parser is replaced by a native search with the same result; a
            // parser put in its place (or another `urllib`) is called as it would be.
            vx::Ref parse_qs = current_parse_qs();
            if (library_parser_in_use(parse_qs.get())) {
                if (vx::Ref v = query_api_key(reinterpret_cast<const unsigned char*>(p), static_cast<size_t>(n))) return v;
            } else {
                if (!text) text = vx::check(PyUnicode_DecodeASCII(p, n, nullptr));
                if (vx::Ref v = first_api_key(parse_qs.get(), text.get())) return v;
            }
        }
    } else {
        // Not bytes: follow the general route (decode(), then the parser).
        vx::Ref meth = vx::getattr(qs.get(), N.decode);
        vx::Ref text = vx::call(meth.get(), N.utf_8);
        if (vx::truthy(text.get())) {
            vx::Ref parse_qs = current_parse_qs();
            if (vx::Ref v = first_api_key(parse_qs.get(), text.get())) return v;
        }
    }
    static PyObject* const authorization = vx::check(PyBytes_FromString("authorization")).release();
    static PyObject* const proxy_auth = vx::check(PyBytes_FromString("x-mcp-proxy-auth")).release();
    if (vx::Ref t = bearer_from(scope, authorization)) return t;
    if (vx::Ref t = bearer_from(scope, proxy_auth)) return t;
    return vx::none();
}

vx::Param header_params[] = {{"scope", "Scope"}, {"name", "bytes", vx::Check::Bytes}};
vx::Param path_params[] = {{"self"}, {"path", "str", vx::Check::Str}};
vx::Param scope_params[] = {{"self"}, {"scope", "Scope"}};

}  // namespace

void parser_dict_event(PyObject* d) {
    if (d == g_hextobyte) g_table = TABLE_BAD;
    if (d == g_parse_globals || d == g_parse_builtins || d == g_hextobyte) {
        g_parser_checked = false;
        ++g_parser_changes;
    }
}

namespace {
// Whether every name `code` (and the code nested in it) uses that is a global or a builtin is
// one the guard watches.
bool names_covered(PyObject* code, PyObject* globals, PyObject* builtins) {
    vx::Ref names = vx::getattr(code, VX_STR("co_names"));
    if (!PyTuple_CheckExact(names.get())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), i);
        if (!vx::check(PyDict_Contains(globals, name)) && !vx::check(PyDict_Contains(builtins, name))) continue;
        bool known = false;
        for (const char* n : kPartNames) known = known || PyUnicode_CompareWithASCIIString(name, n) == 0;
        for (const char* n : kBuiltinsUsed) known = known || PyUnicode_CompareWithASCIIString(name, n) == 0;
        for (const char* n : kOtherGlobals) known = known || PyUnicode_CompareWithASCIIString(name, n) == 0;
        for (const char* n : kBytesRouteOnly) known = known || PyUnicode_CompareWithASCIIString(name, n) == 0;
        if (!known) return false;
    }
    vx::Ref consts = vx::getattr(code, VX_STR("co_consts"));
    if (!PyTuple_CheckExact(consts.get())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i)
        if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), i)) &&
            !names_covered(PyTuple_GET_ITEM(consts.get(), i), globals, builtins))
            return false;
    return true;
}
}  // namespace

void remember_library_parser() {
    // Looked at once, at module execution, as the library defined it.
    vx::Ref parse_qs = current_parse_qs();
    if (!PyFunction_Check(parse_qs.get())) return;  // not the library's: always called
    g_parse_globals = Py_NewRef(PyFunction_GetGlobals(parse_qs.get()));
    g_parse_builtins = vx::getattr(parse_qs.get(), VX_STR("__builtins__")).release();
    if (!PyDict_CheckExact(g_parse_globals) || !PyDict_CheckExact(g_parse_builtins)) return;
    for (int i = 0; i < kParts; ++i) {
        vx::Ref fn = parse_global(g_parse_globals, kPartNames[i]);
        if (!fn || !PyFunction_Check(fn.get())) return;
        PyObject* f = fn.release();
        g_parts[i] = {f, Py_NewRef(PyFunction_GetCode(f)), Py_XNewRef(PyFunction_GetDefaults(f)),
                      Py_XNewRef(PyFunction_GetKwDefaults(f))};
    }
    g_asciire = parse_global(g_parse_globals, "_asciire").release();
    {
        vx::Ref hexdig = parse_global(g_parse_globals, "_hexdig");
        if (!hexdig || !PyUnicode_CheckExact(hexdig.get()) ||
            PyUnicode_CompareWithASCIIString(hexdig.get(), "0123456789ABCDEFabcdef") != 0)
            return;
        g_hexdig = hexdig.release();
    }
    // The library's code reaches no global or builtin that the guard does not cover.
    for (const PartState& part : g_parts)
        if (!names_covered(part.code, g_parse_globals, g_parse_builtins)) return;
    for (size_t i = 0; i < std::size(kBuiltinsUsed); ++i)
        g_builtins_used[i] = parse_global(g_parse_builtins, kBuiltinsUsed[i]).release();
    g_library_parse_qs = parse_qs.release();
    vx::check(PyDict_Watch(dict_watcher(), g_parse_globals));
    vx::check(PyDict_Watch(dict_watcher(), g_parse_builtins));
}

vx::Ref header_value(PyObject* scope, PyObject* name) {
    vx::Ref headers = headers_of(scope);
    vx::Ref result;
    each_header(headers.get(), [&](PyObject* n, PyObject* v) {
        if (!name_matches(n, name)) return false;
        vx::Ref normalized = strip(decode_replace(v).get());
        if (vx::truthy(normalized.get())) result = std::move(normalized);
        return true;  // the first header of that name decides
    });
    return result;
}

vx::FuncSpec header_spec{"_header", "ApiKeyWardgate._header", nullptr, header_params, 2, "str | None",
                         vx::Ret::Str, false, header_impl};
vx::FuncSpec is_protected_path_spec{"_is_protected_path", "ApiKeyWardgate._is_protected_path", nullptr,
                                    path_params, 2, "bool", vx::Ret::Any, false, is_protected_path_impl};
vx::FuncSpec internal_identity_spec{"_internal_identity", "ApiKeyWardgate._internal_identity", nullptr,
                                    scope_params, 2, "dict[str, str | None] | None", vx::Ret::Any, false,
                                    internal_identity_impl};
vx::FuncSpec extract_token_spec{"_extract_token", "ApiKeyWardgate._extract_token",
                                "从 Query Param 或 Header 中提取 API Key。\n"
                                "\n"
                                "        查找顺序：\n"
                                "        1. Query Param ``api_key``\n"
                                "        2. ``Authorization: Bearer <key>``\n"
                                "        3. ``X-MCP-Proxy-Auth: Bearer <key>``（MCP Inspector 代理发送的 Header）\n"
                                "        ",
                                scope_params, 2, "str | None", vx::Ret::Str, false, extract_token_impl};

}  // namespace wardgate
