// Placeholder until the gate lands: an importable, empty module.
#include "vx/vx.hpp"

namespace {
void body(PyObject*) {}
vx::ModuleInit g_init{"wardgate", body};
PyObject* create(PyObject* spec, PyModuleDef*) { return vx::module_create(g_init, spec); }
int exec(PyObject* m) { return vx::module_exec(g_init, m); }
PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "wardgate", nullptr, 0, nullptr, slots};
}  // namespace

PyMODINIT_FUNC PyInit_wardgate() { return PyModuleDef_Init(&def); }
