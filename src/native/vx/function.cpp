#include "vx/function.hpp"

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace vx {
namespace {

PyObject* g_coroutine_mark = nullptr;  // inspect._is_coroutine_mark, owned, kept for the process

const char* check_name(Check c) {
    switch (c) {
        case Check::Str: return "str";
        case Check::Bytes: return "bytes";
        case Check::Tuple: return "tuple";
        case Check::Dict: return "dict";
        default: return "object";
    }
}

bool type_ok(Check c, PyObject* o) {
    switch (c) {
        case Check::Str: return PyUnicode_CheckExact(o);
        case Check::Bytes: return PyBytes_CheckExact(o);
        case Check::Tuple: return PyTuple_CheckExact(o);
        case Check::Dict: return PyDict_CheckExact(o);
        default: return true;
    }
}

int positional_count(const FuncSpec& s) {
    int n = 0;
    while (n < s.nparams && s.params[n].kind == Kind::PosOrKw) ++n;
    return n;
}

void ensure_spec_strings(FuncSpec& s) {
    if (s.name_obj) return;
    if (s.nparams > kMaxParams) raise(PyExc_SystemError, "too many parameters for a native function");
    for (int i = 0; i < s.nparams; ++i) s.param_names[i] = intern(s.params[i].name);
    s.all_any = true;
    s.all_positional = positional_count(s) == s.nparams;
    for (int i = 0; i < s.nparams; ++i) s.all_any = s.all_any && s.params[i].check == Check::Any;
    s.doc_obj = s.doc ? intern(s.doc) : nullptr;
    s.qualname_obj = intern(s.qualname);
    s.name_obj = intern(s.name);
}


// Names joined as CPython does in arity errors: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
Ref join_names(PyObject* const* names, int n) {
    Ref out = unicode("");
    for (int i = 0; i < n; ++i) {
        const char* sep = "";
        if (i > 0) sep = (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
        out = check(PyUnicode_FromFormat("%U%s'%U'", out.get(), sep, names[i]));
    }
    return out;
}

[[noreturn]] void raise_missing(FuncObject* f, PyObject* const* names, int n, const char* kind) {
    Ref joined = join_names(names, n);
    raise_format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname, n, kind,
                 n == 1 ? "" : "s", joined.get());
}

[[noreturn]] void raise_too_many(FuncObject* f, int npos_params, int ndefaults, Py_ssize_t given,
                                 int kwonly_given) {
    Ref sig = ndefaults ? check(PyUnicode_FromFormat("from %d to %d", npos_params - ndefaults, npos_params))
                        : check(PyUnicode_FromFormat("%d", npos_params));
    bool plural = ndefaults ? true : npos_params != 1;
    Ref kw = kwonly_given ? check(PyUnicode_FromFormat(" positional argument%s (and %d keyword-only argument%s)",
                                                       given != 1 ? "s" : "", kwonly_given,
                                                       kwonly_given != 1 ? "s" : ""))
                          : unicode("");
    raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f->qualname,
                 sig.get(), plural ? "s" : "", given, kw.get(),
                 (given == 1 && !kwonly_given) ? "was" : "were");
}

// The interpreter's "Did you mean" for a mistyped keyword: the parameter name within an
// edit cost of a third of the characters involved (a case flip costs half a change).
Py_ssize_t edit_cost(const char* a, size_t na, const char* b, size_t nb, size_t max_cost) {
    constexpr size_t kMove = 2, kMaxLen = 40;
    auto sub = [](char x, char y) -> size_t {
        if ((x & 31) != (y & 31)) return kMove;
        if (x == y) return 0;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        return x == y ? 1 : kMove;
    };
    while (na && nb && a[0] == b[0]) ++a, ++b, --na, --nb;
    while (na && nb && a[na - 1] == b[nb - 1]) --na, --nb;
    if (!na || !nb) return static_cast<Py_ssize_t>((na + nb) * kMove);
    if (na > kMaxLen || nb > kMaxLen) return static_cast<Py_ssize_t>(max_cost + 1);
    if (nb < na) std::swap(a, b), std::swap(na, nb);
    if ((nb - na) * kMove > max_cost) return static_cast<Py_ssize_t>(max_cost + 1);
    size_t row[kMaxLen];
    for (size_t i = 0; i < na; ++i) row[i] = (i + 1) * kMove;
    size_t result = 0;
    for (size_t j = 0; j < nb; ++j) {
        size_t diag = result = j * kMove;
        size_t lowest = SIZE_MAX;
        for (size_t i = 0; i < na; ++i) {
            size_t substitute = diag + sub(b[j], a[i]);
            diag = row[i];
            result = std::min(std::min(result, diag) + kMove, substitute);
            row[i] = result;
            lowest = std::min(lowest, result);
        }
        if (lowest > max_cost) return static_cast<Py_ssize_t>(max_cost + 1);
    }
    return static_cast<Py_ssize_t>(result);
}

PyObject* suggest_param(const FuncSpec& s, PyObject* key) {
    Py_ssize_t nkey = 0;
    const char* k = PyUnicode_AsUTF8AndSize(key, &nkey);
    if (!k) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    Py_ssize_t best_cost = PY_SSIZE_T_MAX;
    for (int i = 0; i < s.nparams; ++i) {
        const char* name = s.params[i].name;
        const Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(name));
        if (n == nkey && std::memcmp(name, k, static_cast<size_t>(n)) == 0) continue;
        Py_ssize_t limit = std::min((nkey + n + 3) * 2 / 6, best_cost - 1);
        if (limit < 0) continue;
        Py_ssize_t cost = edit_cost(k, static_cast<size_t>(nkey), name, static_cast<size_t>(n), static_cast<size_t>(limit));
        if (cost > limit) continue;
        if (!best || cost < best_cost) {
            best = s.param_names[i];
            best_cost = cost;
        }
    }
    return best;
}

// Keyword names usually are our interned parameter names themselves; identity only spares
// the comparison, which decides every other case.
int find_param(const FuncSpec& s, PyObject* key) {
    for (int i = 0; i < s.nparams; ++i)
        if (s.param_names[i] == key) return i;
    for (int i = 0; i < s.nparams; ++i) {
        int eq = PyUnicode_Compare(s.param_names[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) throw_error();
    }
    return -1;
}

void apply_checks(const FuncSpec& s, PyObject** bound) {
    for (int i = 0; i < s.nparams; ++i) {
        const Param& p = s.params[i];
        if (p.check == Check::Any) continue;
        if (p.check == Check::Bool) {
            bound[i] = truthy(bound[i]) ? Py_True : Py_False;
            continue;
        }
        if (p.or_none && bound[i] == Py_None) continue;
        if (!type_ok(p.check, bound[i])) raise_arg_type(p.name, check_name(p.check), bound[i]);
    }
}

Ref check_return(FuncObject* f, Ref result) {
    FuncSpec& s = *f->fdef;
    if (s.ret != Ret::Any && result.get() != Py_None) {
        bool ok = s.ret == Ret::Str ? PyUnicode_CheckExact(result.get()) : PyDict_CheckExact(result.get());
        if (!ok)
            raise_format(PyExc_TypeError, "Expected %s, got %.200s", s.ret == Ret::Str ? "str" : "dict",
                         Py_TYPE(result.get())->tp_name);
    }
    return result;
}

}  // namespace

Ref call_positional(FuncObject* f, PyObject* const* args) {
    FuncSpec& s = *f->fdef;
    if (s.all_any) return check_return(f, s.impl(f, args));
    PyObject* bound[kMaxParams];
    for (int i = 0; i < s.nparams; ++i) bound[i] = args[i];
    apply_checks(s, bound);
    return check_return(f, s.impl(f, bound));
}

namespace {

Ref bind_and_call(FuncObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FuncSpec& s = *f->fdef;
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    if (!kwnames && npos == s.nparams && s.all_positional) {
        // Every argument given by position: binding would put args[i] in parameter i, so only
        // the type rules are left to apply.
        return call_positional(f, args);
    }
    const int npos_params = positional_count(s);
    PyObject* bound[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < npos && i < npos_params; ++i) bound[i] = args[i];
    int kwonly_given = 0;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            int idx = find_param(s, key);
            if (idx < 0) {
                if (PyObject* hint = suggest_param(s, key))
                    raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                                 f->qualname, key, hint);
                raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
            }
            if (bound[idx])
                raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            bound[idx] = args[npos + j];
            if (s.params[idx].kind == Kind::KwOnly) ++kwonly_given;
        }
    }
    if (npos > npos_params) {
        int ndefaults = 0;
        for (int i = 0; i < npos_params; ++i) ndefaults += s.params[i].has_default;
        raise_too_many(f, npos_params, ndefaults, npos, kwonly_given);
    }
    PyObject* missing[kMaxParams];
    int nmissing = 0;
    for (int i = 0; i < npos_params; ++i) {
        if (!bound[i]) bound[i] = f->defvals[i];
        if (!bound[i]) missing[nmissing++] = s.param_names[i];
    }
    if (nmissing) raise_missing(f, missing, nmissing, "positional");
    for (int i = npos_params; i < s.nparams; ++i) {
        if (!bound[i]) bound[i] = f->defvals[i];
        if (!bound[i]) missing[nmissing++] = s.param_names[i];
    }
    if (nmissing) raise_missing(f, missing, nmissing, "keyword-only");
    apply_checks(s, bound);
    return check_return(f, s.impl(f, bound));
}

PyObject* func_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&] {
        auto* f = reinterpret_cast<FuncObject*>(callable);
        const FuncSpec& s = *f->fdef;
        // Every argument by position, none type-checked, any result: the implementation is the
        // call (what bind_and_call would end in, without its steps).
        if (!kwnames && PyVectorcall_NARGS(nargsf) == s.nparams && s.all_positional && s.all_any &&
            s.ret == Ret::Any)
            return s.impl(f, args).release();
        return bind_and_call(f, args, nargsf, kwnames).release();
    });
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    Py_VISIT(f->closure);
    Py_VISIT(f->globals);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->dict);
    Py_VISIT(f->type_params);
    for (PyObject* d : f->defvals) Py_VISIT(d);
    return 0;
}

// Inert once cleared: the closure goes first, and Py_CLEAR empties the field before releasing
// what it held (which can run Python). An implementation that reads `closure` takes null as
// "cleared" and fails as a cleared cell does; the other fields only feed introspection and
// binding, which report a missing value instead of dereferencing one.
int func_clear(PyObject* self) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->type_params);
    for (PyObject*& d : f->defvals) Py_CLEAR(d);
    return 0;
}

void func_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    func_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(self);
}

PyObject* func_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FuncObject*>(self)->qualname, self);
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    if (!f->annotations && f->annotations_reset) {
        f->annotations = PyDict_New();
    } else if (!f->annotations) {
        f->annotations = guard<PyObject*>(nullptr, [&] {
            FuncSpec& s = *f->fdef;
            Ref d = check(PyDict_New());
            for (int i = 0; i < s.nparams; ++i)
                if (s.params[i].annotation)
                    check(PyDict_SetItem(d.get(), s.param_names[i], unicode(s.params[i].annotation).get()));
            if (s.return_annotation)
                check(PyDict_SetItemString(d.get(), "return", unicode(s.return_annotation).get()));
            return d.release();
        });
    }
    return Py_XNewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    if (value == nullptr || value == Py_None) {
        Py_CLEAR(f->annotations);
        f->annotations_reset = true;
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->annotations, Py_NewRef(value));
    return 0;
}

PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    if (!f->signature) {
        f->signature = guard<PyObject*>(nullptr, [&] {
            FuncSpec& s = *f->fdef;
            Ref inspect = check(PyImport_ImportModule("inspect"));
            Ref parameter = getattr(inspect.get(), intern("Parameter"));
            Ref signature = getattr(inspect.get(), intern("Signature"));
            Ref empty = getattr(parameter.get(), intern("empty"));
            Ref pos_or_kw = getattr(parameter.get(), intern("POSITIONAL_OR_KEYWORD"));
            Ref kw_only = getattr(parameter.get(), intern("KEYWORD_ONLY"));
            Ref params = check(PyList_New(0));
            for (int i = 0; i < s.nparams; ++i) {
                const Param& p = s.params[i];
                Ref kwargs = check(PyDict_New());
                check(PyDict_SetItemString(kwargs.get(), "default", f->defvals[i] ? f->defvals[i] : empty.get()));
                check(PyDict_SetItemString(kwargs.get(), "annotation",
                                           p.annotation ? unicode(p.annotation).get() : empty.get()));
                Ref args = check(PyTuple_Pack(2, s.param_names[i],
                                              p.kind == Kind::KwOnly ? kw_only.get() : pos_or_kw.get()));
                Ref param = check(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
                check(PyList_Append(params.get(), param.get()));
            }
            Ref kwargs = check(PyDict_New());
            check(PyDict_SetItemString(kwargs.get(), "return_annotation",
                                       s.return_annotation ? unicode(s.return_annotation).get() : empty.get()));
            Ref args = check(PyTuple_Pack(1, params.get()));
            return check(PyObject_Call(signature.get(), args.get(), kwargs.get())).release();
        });
    }
    return Py_XNewRef(f->signature);
}

PyObject* get_coroutine_marker(PyObject* self, void*) {
    auto* f = reinterpret_cast<FuncObject*>(self);
    if (!f->fdef->coroutine) {
        PyErr_SetString(PyExc_AttributeError, "_is_coroutine_marker");
        return nullptr;
    }
    if (!g_coroutine_mark) {
        Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
        if (!inspect) return nullptr;
        g_coroutine_mark = PyObject_GetAttrString(inspect.get(), "_is_coroutine_mark");
        if (!g_coroutine_mark) return nullptr;
    }
    return Py_NewRef(g_coroutine_mark);
}

PyObject* get_str_field(PyObject* self, void* off) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(off));
    return Py_NewRef(v);
}

int set_str_field(PyObject* self, PyObject* value, void* off) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, reinterpret_cast<size_t>(off) == offsetof(FuncObject, qualname)
                                             ? "__qualname__ must be set to a string object"
                                             : "__name__ must be set to a string object");
        return -1;
    }
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(off));
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) {
    PyObject* doc = reinterpret_cast<FuncObject*>(self)->doc;
    return Py_NewRef(doc ? doc : Py_None);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    // Deleting a function's docstring leaves None, as for a def.
    Py_XSETREF(reinterpret_cast<FuncObject*>(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_builtins(PyObject*, void*) {
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) return nullptr;
    PyObject* d = Py_NewRef(PyModule_GetDict(builtins));
    Py_DECREF(builtins);
    return d;
}

PyObject* get_type_params(PyObject* self, void*) {
    PyObject* tp = reinterpret_cast<FuncObject*>(self)->type_params;
    return tp ? Py_NewRef(tp) : PyTuple_New(0);
}

int set_type_params(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FuncObject*>(self)->type_params, Py_NewRef(value));
    return 0;
}

// Functions are pickled and copied by reference to their qualified name.
PyObject* func_reduce(PyObject* self, PyObject*) { return Py_NewRef(reinterpret_cast<FuncObject*>(self)->qualname); }

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr},
};

PyGetSetDef func_getset[] = {
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__name__", get_str_field, set_str_field, nullptr, reinterpret_cast<void*>(offsetof(FuncObject, name))},
    {"__qualname__", get_str_field, set_str_field, nullptr,
     reinterpret_cast<void*>(offsetof(FuncObject, qualname))},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", get_coroutine_marker, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FuncObject, module), 0, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FuncObject, defaults), Py_READONLY, nullptr},
    {"__kwdefaults__", Py_T_OBJECT_EX, offsetof(FuncObject, kwdefaults), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FuncObject, globals), Py_READONLY, nullptr},
    {nullptr},
};

}  // namespace

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

void init_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    FunctionType.tp_name = "vexlo.native_function";
    FunctionType.tp_basicsize = sizeof(FuncObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_vectorcall_offset = offsetof(FuncObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_repr = func_repr;
    FunctionType.tp_traverse = func_traverse;
    FunctionType.tp_clear = func_clear;
    FunctionType.tp_dealloc = func_dealloc;
    FunctionType.tp_descr_get = func_descr_get;
    FunctionType.tp_getset = func_getset;
    FunctionType.tp_members = func_members;
    FunctionType.tp_methods = func_methods;
    FunctionType.tp_dictoffset = offsetof(FuncObject, dict);
    FunctionType.tp_weaklistoffset = offsetof(FuncObject, weakreflist);
    FunctionType.tp_doc = "A function implemented in native code.";
    check(PyType_Ready(&FunctionType));
}

Ref make_function(FuncSpec& fdef, PyObject* globals, PyObject* module_name,
                  std::initializer_list<PyObject*> defaults, PyObject* closure) {
    ensure_spec_strings(fdef);
    init_function_type();
    auto* f = PyObject_GC_New(FuncObject, &FunctionType);
    if (!f) throw_error();
    f->vectorcall = func_vectorcall;
    f->fdef = &fdef;
    f->closure = Py_XNewRef(closure);
    f->globals = Py_XNewRef(globals);
    f->name = Py_NewRef(fdef.name_obj);
    f->qualname = Py_NewRef(fdef.qualname_obj);
    f->module = Py_XNewRef(module_name);
    f->doc = Py_NewRef(fdef.doc_obj ? fdef.doc_obj : Py_None);
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->signature = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->type_params = nullptr;
    f->annotations_reset = false;
    for (PyObject*& d : f->defvals) d = nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));
    auto it = defaults.begin();
    Ref pos_defaults = defaults.size() ? check(PyList_New(0)) : Ref();
    Ref kw_defaults;
    for (int i = 0; i < fdef.nparams; ++i) {
        if (!fdef.params[i].has_default) continue;
        if (it == defaults.end()) raise(PyExc_SystemError, "native function: missing default value");
        f->defvals[i] = Py_NewRef(*it++);
        if (fdef.params[i].kind == Kind::KwOnly) {
            if (!kw_defaults) kw_defaults = check(PyDict_New());
            check(PyDict_SetItem(kw_defaults.get(), fdef.param_names[i], f->defvals[i]));
        } else {
            check(PyList_Append(pos_defaults.get(), f->defvals[i]));
        }
    }
    f->defaults = pos_defaults && PyList_GET_SIZE(pos_defaults.get()) ? PyList_AsTuple(pos_defaults.get())
                                                                       : Py_NewRef(Py_None);
    if (!f->defaults) throw_error();
    f->kwdefaults = kw_defaults ? kw_defaults.release() : Py_NewRef(Py_None);
    PyObject_GC_Track(f);
    return owner;
}

// Closures handed to outside code for one request are taken back for the next one only when
// nobody else can reach them. When recycle_closure runs we hold the last reference (a count of
// 1 is exact, as documented for Py_REFCNT), no weak reference, instance dict or cached
// attribute exists, and the parked function is untracked, so neither the collector
// (gc.get_objects, gc.get_referrers) nor anything else can find it until make_closure hands it
// out again, reset and tracked. A live object is reused, never freed memory, so the allocation
// counts stay true and no interpreter-internal state is involved.
namespace {
constexpr int kClosuresKept = 32;
FuncObject* g_spare_closures[kClosuresKept];  // owned, untracked, closure cleared
int g_spare_count = 0;
}  // namespace

Ref make_closure(FuncSpec& fdef, PyObject* globals, PyObject* module_name, PyObject* closure) {
    if (g_spare_count == 0) return make_function(fdef, globals, module_name, {}, closure);
    FuncObject* f = g_spare_closures[--g_spare_count];
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->fdef = &fdef;
    f->closure = Py_XNewRef(closure);
    // Each field is given its fresh value; one that already holds it is left as it is.
    auto reset = [](PyObject*& field, PyObject* value) {
        if (field != value) Py_XSETREF(field, Py_XNewRef(value));
    };
    reset(f->name, fdef.name_obj);
    reset(f->qualname, fdef.qualname_obj);
    reset(f->doc, fdef.doc_obj ? fdef.doc_obj : Py_None);
    reset(f->module, module_name);
    reset(f->globals, globals);
    PyObject_GC_Track(f);
    return owner;
}

void recycle_closure(Ref ref) noexcept {
    auto* f = reinterpret_cast<FuncObject*>(ref.get());
    if (!f || Py_REFCNT(f) != 1 || g_spare_count >= kClosuresKept || f->dict || f->annotations || f->signature ||
        f->weakreflist || f->type_params || f->annotations_reset || f->defaults != Py_None ||
        f->kwdefaults != Py_None)
        return;  // someone else holds it, or it carries state of its own: let it go
    PyObject_GC_UnTrack(f);
    PyObject* closure = std::exchange(f->closure, nullptr);
    g_spare_closures[g_spare_count++] = reinterpret_cast<FuncObject*>(ref.release());
    // Last: releasing the closure may run code, which can no longer reach the parked function.
    Py_XDECREF(closure);
}

void raise_arg_type(const char* name, const char* expected, PyObject* got) {
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(got)->tp_name);
}

}  // namespace vx
