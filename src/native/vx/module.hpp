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

namespace vx {

struct ModuleInit {
    const char* short_name;              // for the re-initialisation message
    void (*body)(PyObject* module);      // defines the module's names; may throw
    PyObject* module = nullptr;          // the one module object (kept for the process)
};

PyObject* module_create(ModuleInit& init, PyObject* module_spec) noexcept;
int module_exec(ModuleInit& init, PyObject* module) noexcept;

// Reads a module global by name at the moment of use, as Python code would (then builtins).
Ref global(PyObject* globals, PyObject* name);

// `import a.b.c` binds the top-level package; returns it.
Ref import_top(const char* dotted);
// `from module import name`
Ref import_from(const char* module, const char* name);
Ref import_from(PyObject* module_name, PyObject* name);

// Creates a class the way a class statement does: type(name, bases, namespace), with
// __module__, __qualname__ and __doc__ set and the members in the given order.
Ref make_class(const char* name, PyObject* module_name, PyObject* bases, const char* doc,
               std::initializer_list<std::pair<const char*, PyObject*>> members);

}  // namespace vx
