#include "vx/module.hpp"

#include "vx/coro.hpp"
#include "vx/function.hpp"

namespace vx {
namespace {

int64_t g_interpreter_id = -1;  // the one interpreter every module of this process lives in

bool check_single_interpreter() {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
        return true;
    }
    if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return false;
    }
    return true;
}

}  // namespace

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

Ref import_from(PyObject* module_name, PyObject* name) {
    // A module already in sys.modules is taken from there, as the import statement does (the
    // statement also waits for a module another thread is still importing; one event loop
    // never meets that, so the dict lookup alone serves the request path).
    Ref mod;
    {
        PyObject* found = nullptr;
        PyObject* modules = PyImport_GetModuleDict();
        if (PyDict_CheckExact(modules) && check(PyDict_GetItemRef(modules, module_name, &found)))
            mod = Ref::steal(found);
    }
    if (!mod || mod.get() == Py_None) {
        mod.reset();
        Ref fromlist = check(PyTuple_Pack(1, name));
        mod = check(PyImport_ImportModuleLevelObject(module_name, nullptr, nullptr, fromlist.get(), 0));
    }
    PyObject* v = nullptr;
    if (check(PyObject_GetOptionalAttr(mod.get(), name, &v))) return Ref::steal(v);
    // Same text and attributes as the `from ... import ...` statement.
    PyObject* modname = nullptr;
    PyObject_GetOptionalAttr(mod.get(), VX_STR("__name__"), &modname);
    Ref pkgname = modname ? Ref::steal(modname) : Ref::borrow(module_name);
    PyErr_Clear();
    Ref path = Ref::steal(PyModule_Check(mod.get()) ? PyModule_GetFilenameObject(mod.get()) : nullptr);
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

Ref import_from(const char* module, const char* name) { return import_from(unicode(module).get(), unicode(name).get()); }

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
