#include "vx/ref.hpp"

#include <cstdarg>
#include <exception>
#include <new>

namespace vx {

void throw_error() { throw Error(); }

// None is how the handled exception is cleared.
Handling::Handling(PyObject* exc) noexcept : saved_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exc ? exc : Py_None);
}

Handling::~Handling() {
    // What was visible before is written back into the innermost entry. The public API shows
    // the innermost non-empty entry only, so an entry of its own that holds the same object as
    // the one below it looks like an empty one: clearing ours in that case dropped the awaiting
    // coroutine's own exception (a bare `raise` failed after us). Writing it back keeps it; an
    // entry that was empty then shows what its driver shows, which is what it saw before while
    // driven from there.
    PyErr_SetHandledException(saved_ ? saved_ : Py_None);
    Py_XDECREF(saved_);
}

void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw Error();
}

void raise_format(PyObject* type, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw Error();
}

void raise_object(PyObject* type, PyObject* arg) {
    PyErr_SetObject(type, arg);
    throw Error();
}

void set_python_error_from_current() noexcept {
    try {
        throw;
    } catch (Error& e) {
        e.restore();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_Format(PyExc_SystemError, "native error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown native error");
    }
}

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw_error();
    return o;  // deliberately kept for the life of the process
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<PyObject*, PyObject*>> kwargs) {
    constexpr size_t kMax = 16;
    if (args.size() + kwargs.size() > kMax) raise(PyExc_SystemError, "call_kw: too many arguments");
    PyObject* argv[kMax + 1] = {nullptr};
    size_t n = 1;
    for (PyObject* a : args) argv[n++] = a;
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t i = 0;
    for (auto& [k, v] : kwargs) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(k));
        argv[n++] = v;
    }
    return check(PyObject_Vectorcall(callable, argv + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwargs.size() ? names.get() : nullptr));
}

}  // namespace vx
