// Module initialisation and module-level helpers.
//
// Each extension module is initialised once per process and into one interpreter only:
// importing it again (after removal from sys.modules) yields the same module object without
// running its body again; running the body into a second module object raises RuntimeError;
// another interpreter gets ImportError.
#pragma once
#include "vx/ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace vx {

struct ModuleInit {
    const char* short_name;              // for the re-initialisation message
    void (*body)(PyObject* module);      // defines the module's names; may throw
    PyObject* module = nullptr;          // the one module object (kept for the process)
};

PyObject* module_create(ModuleInit& init, PyObject* module_spec) noexcept;
int module_exec(ModuleInit& init, PyObject* module) noexcept;

// module.<name> = value
inline void set_attr(PyObject* module, const char* name, const Ref& value) {
    check(PyObject_SetAttrString(module, name, value.get()));
}

// Reads a module global by name at the moment of use, as Python code would (then builtins).
Ref global(PyObject* globals, PyObject* name);

// `import a.b.c` binds the top-level package; returns it.
Ref import_top(const char* dotted);
// Whether `f` is the interpreter's own builtins.__import__ (not a hook put in its place).
bool is_original_import(PyObject* f);
// `from module import name`
Ref import_from(const char* module, const char* name);
Ref import_from(PyObject* module_name, PyObject* name);
// `from module import a, b`: one import, then each name in order.
std::vector<Ref> import_names(const char* module, std::initializer_list<const char*> names);

// int((time_module.monotonic() - started_at) * 1000): whole milliseconds since `started_at`,
// with Python's arithmetic (so a patched clock of any numeric type works as it would there).
Ref elapsed_ms(PyObject* time_module, PyObject* started_at);

// obj.name() where obj is usually a module (time.time()): a plain module's function is
// taken from its dict, anything else is called as a method.
Ref call_module_function(PyObject* obj, PyObject* name);

// Creates a class the way a class statement does: type(name, bases, namespace), with
// __module__, __qualname__ and __doc__ set and the members in the given order.
Ref make_class(const char* name, PyObject* module_name, PyObject* bases, const char* doc,
               std::initializer_list<std::pair<const char*, PyObject*>> members);

}  // namespace vx

// Defines the extension module NAME whose body is BODY (void(PyObject* module)), with the
// initialisation rules above. Every kind of subinterpreter is let through to our own check,
// which refuses it with its own message.
#define VX_DEFINE_MODULE(NAME, BODY)                                                               \
    namespace {                                                                                    \
    ::vx::ModuleInit vx_module_init_{#NAME, BODY};                                                 \
    PyObject* vx_module_create_(PyObject* module_spec, PyModuleDef*) {                             \
        return ::vx::module_create(vx_module_init_, module_spec);                                  \
    }                                                                                              \
    int vx_module_exec_(PyObject* m) { return ::vx::module_exec(vx_module_init_, m); }            \
    PyModuleDef_Slot vx_module_slots_[] = {                                                        \
        {Py_mod_create, reinterpret_cast<void*>(vx_module_create_)},                               \
        {Py_mod_exec, reinterpret_cast<void*>(vx_module_exec_)},                                   \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                      \
        {0, nullptr},                                                                              \
    };                                                                                             \
    PyModuleDef vx_module_def_ = {PyModuleDef_HEAD_INIT, #NAME, nullptr, 0, nullptr, vx_module_slots_}; \
    }                                                                                              \
    PyMODINIT_FUNC PyInit_##NAME() { return PyModuleDef_Init(&vx_module_def_); }
