#include "vx/module.hpp"

#include <cstring>

#include "vx/coro.hpp"
#include "vx/function.hpp"

#include <atomic>

namespace vx {
namespace {

// The one interpreter every module of this process lives in (-1: none yet). The module lets
// interpreters with their own GIL reach this check, so two of them may run it at the same
// moment: the first to claim the id wins, atomically, and every other is refused. All other
// process-wide state of the layer is only touched by the interpreter that won.
std::atomic<int64_t> g_interpreter_id{-1};

bool check_single_interpreter() {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    int64_t owner = -1;
    if (g_interpreter_id.compare_exchange_strong(owner, id) || owner == id) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

}  // namespace

namespace {
// The interpreter's own __import__, known by the builtins module's method table rather than by
// what builtins.__import__ held when we were loaded (a hook may already have been in place).
PyCFunction g_original_import = nullptr;

// The `__import__` that an import statement would call now, or null for the original one.
Ref replaced_import() {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* current = nullptr;
    if (!builtins || !check(PyDict_GetItemRef(builtins, VX_STR("__import__"), &current))) return {};
    Ref cur = Ref::steal(current);
    if (is_original_import(cur.get())) return {};
    return cur;
}
}  // namespace

bool is_original_import(PyObject* f) {
    return g_original_import && PyCFunction_Check(f) && PyCFunction_GetFunction(f) == g_original_import;
}

PyObject* module_create(ModuleInit& init, PyObject* module_spec) noexcept {
    if (!check_single_interpreter()) return nullptr;
    if (init.module) return Py_NewRef(init.module);
    PyObject* name = PyObject_GetAttrString(module_spec, "name");
    if (!name) return nullptr;
    PyObject* m = PyModule_NewObject(name);
    Py_DECREF(name);
    return m;
}

int module_exec(ModuleInit& init, PyObject* module) noexcept {
    if (!check_single_interpreter()) return -1;
    if (init.module) {
        if (init.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", init.short_name);
        return -1;
    }
    init.module = Py_NewRef(module);
    try {
        if (!g_original_import) {
            Ref builtins = check(PyImport_ImportModule("builtins"));
            if (PyModuleDef* def = PyModule_GetDef(builtins.get()))
                for (PyMethodDef* m = def->m_methods; m && m->ml_name; ++m)
                    if (std::strcmp(m->ml_name, "__import__") == 0) g_original_import = m->ml_meth;
        }
        init_function_type();
        init_coroutine_type();
        init.body(module);
        return 0;
    } catch (...) {
        set_python_error_from_current();
        // A failed body leaves nothing behind, so a later import can try again.
        Py_CLEAR(init.module);
        return -1;
    }
}

Ref global(PyObject* globals, PyObject* name) {
    PyObject* v = nullptr;
    if (check(PyDict_GetItemRef(globals, name, &v))) return Ref::steal(v);
    if (check(PyDict_GetItemRef(PyEval_GetBuiltins(), name, &v)))
        return Ref::steal(v);
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

Ref import_top(const char* dotted) {
    Ref name = unicode(dotted);
    return check(PyImport_ImportModuleLevelObject(name.get(), nullptr, nullptr, nullptr, 0));
}


namespace {

// `module.__spec__._initializing`, read as the import statement reads it. A plain module's
// `__spec__` is its dict entry (the module type defines no attribute of that name).
bool initializing(PyObject* mod) {
    PyObject* spec = nullptr;
    if (PyModule_CheckExact(mod)) {
        if (!check(PyDict_GetItemRef(PyModule_GetDict(mod), VX_STR("__spec__"), &spec))) return false;
    } else if (check(PyObject_GetOptionalAttr(mod, VX_STR("__spec__"), &spec)) == 0) {
        return false;
    }
    Ref held = Ref::steal(spec);
    if (spec == Py_None) return false;
    PyObject* flag = nullptr;
    if (check(PyObject_GetOptionalAttr(spec, VX_STR("_initializing"), &flag)) == 0) return false;
    Ref flag_held = Ref::steal(flag);
    return flag == Py_True || (flag != Py_False && truthy(flag));
}

// The module for `from module_name import <fromlist>`, as the import statement finds it.
template <class MakeFromlist>
Ref import_for_from(PyObject* module_name, MakeFromlist fromlist) {
    if (Ref hook = replaced_import()) {
        // A replaced __import__ sees the call an import statement makes.
        Ref zero = check(PyLong_FromLong(0));
        Ref names = fromlist();
        return call(hook.get(), module_name, Py_None, Py_None, names.get(), zero.get());
    }
    // A module already in sys.modules is taken from there, as the import statement does, unless
    // its spec says it is still being initialised (by another thread, or further up this one):
    // the statement then takes the import machinery's route, which waits for it.
    PyObject* found = nullptr;
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_CheckExact(modules) && check(PyDict_GetItemRef(modules, module_name, &found))) {
        Ref mod = Ref::steal(found);
        if (mod.get() != Py_None && !initializing(mod.get())) return mod;
    }
    Ref names = fromlist();
    return check(PyImport_ImportModuleLevelObject(module_name, nullptr, nullptr, names.get(), 0));
}

// A plain module's own names come from its dict (its type defines only dunder names, and a
// module's __dict__ cannot be replaced), so a hit there is what getattr would return; anything
// else takes the attribute route, module __getattr__ included.
bool own_module_name(PyObject* mod_obj, PyObject* name, PyObject** v) {
    return PyModule_CheckExact(mod_obj) && PyUnicode_CheckExact(name) && PyUnicode_GET_LENGTH(name) > 0 &&
           PyUnicode_READ_CHAR(name, 0) != '_' && check(PyDict_GetItemRef(PyModule_GetDict(mod_obj), name, v));
}

// getattr(module, name), failing with the text and attributes of the import statement.
Ref name_from(PyObject* mod_obj, PyObject* module_name, PyObject* name) {
    PyObject* v = nullptr;
    if (own_module_name(mod_obj, name, &v)) return Ref::steal(v);
    if (check(PyObject_GetOptionalAttr(mod_obj, name, &v))) return Ref::steal(v);
    PyObject* modname = nullptr;
    PyObject_GetOptionalAttr(mod_obj, VX_STR("__name__"), &modname);
    Ref pkgname = modname ? Ref::steal(modname) : Ref::borrow(module_name);
    PyErr_Clear();
    Ref path = Ref::steal(PyModule_Check(mod_obj) ? PyModule_GetFilenameObject(mod_obj) : nullptr);
    PyErr_Clear();
    Ref msg = path && PyUnicode_Check(path.get())
                  ? check(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, pkgname.get(), path.get()))
                  : check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, pkgname.get()));
    PyErr_SetImportError(msg.get(), pkgname.get(), path ? path.get() : nullptr);
    PyObject* exc = PyErr_GetRaisedException();
    PyObject_SetAttrString(exc, "name_from", name);
    PyErr_SetRaisedException(exc);
    throw_error();
}

}  // namespace

Ref call_module_function(PyObject* obj, PyObject* name) {
    PyObject* v = nullptr;
    if (own_module_name(obj, name, &v)) {
        Ref fn = Ref::steal(v);
        return check(PyObject_CallNoArgs(fn.get()));
    }
    return call_method(obj, name);
}

Ref import_from(PyObject* module_name, PyObject* name) {
    // The fromlist tuple is only built for a call that sees it.
    Ref mod = import_for_from(module_name, [&] { return check(PyTuple_Pack(1, name)); });
    return name_from(mod.get(), module_name, name);
}

std::vector<Ref> import_names(const char* module, std::initializer_list<const char*> names) {
    Ref module_name = unicode(module);
    Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, unicode(n).release());
    Ref mod = import_for_from(module_name.get(), [&] { return fromlist; });
    std::vector<Ref> out;
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i)
        out.push_back(name_from(mod.get(), module_name.get(), PyTuple_GET_ITEM(fromlist.get(), i)));
    return out;
}

Ref import_from(const char* module, const char* name) { return import_from(unicode(module).get(), unicode(name).get()); }

Ref elapsed_ms(PyObject* time_module, PyObject* started_at) {
    Ref now = call_module_function(time_module, VX_STR("monotonic"));
    Ref delta = check(PyNumber_Subtract(now.get(), started_at));
    Ref thousand = check(PyLong_FromLong(1000));
    Ref ms = check(PyNumber_Multiply(delta.get(), thousand.get()));
    return check(PyNumber_Long(ms.get()));
}

Ref make_class(const char* name, PyObject* module_name, PyObject* bases, const char* doc,
               std::initializer_list<std::pair<const char*, PyObject*>> members) {
    Ref ns = check(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "__module__", module_name));
    check(PyDict_SetItemString(ns.get(), "__qualname__", unicode(name).get()));
    if (doc) check(PyDict_SetItemString(ns.get(), "__doc__", unicode(doc).get()));
    for (auto& [key, value] : members) check(PyDict_SetItemString(ns.get(), key, value));
    Ref args = check(Py_BuildValue("(sOO)", name, bases, ns.get()));
    return check(PyObject_Call(reinterpret_cast<PyObject*>(&PyType_Type), args.get(), nullptr));
}

}  // namespace vx
