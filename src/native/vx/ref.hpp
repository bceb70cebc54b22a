// Owning and borrowed references to Python objects, and the C++ exception that carries a
// Python error. Everything in the native layer builds on these two ideas:
//   * a Ref owns one strong reference and releases it in its destructor;
//   * a C API failure becomes `throw Error()`, which takes the raised Python exception
//     object with it, so C++ try/catch reads like Python try/except.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>

namespace vx {

#ifdef VX_CHECK_SUSPENSION
namespace detail {
// Where every Ref holding an object lives, so a suspending coroutine can find any inside its
// frame (checking builds only).
void track_ref(const void* where, bool holds) noexcept;
}  // namespace detail
#define VX_TRACK_REF() ::vx::detail::track_ref(this, p_ != nullptr)
#else
#define VX_TRACK_REF() ((void)0)
#endif

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) { VX_TRACK_REF(); }
    Ref(Ref&& o) noexcept : p_(o.p_) {
        o.p_ = nullptr;
        o.track();
        VX_TRACK_REF();
    }
    ~Ref() {
        PyObject* p = p_;
        p_ = nullptr;
        VX_TRACK_REF();
        Py_XDECREF(p);
    }
    Ref& operator=(const Ref& o) noexcept {
        PyObject* old = p_;
        p_ = Py_XNewRef(o.p_);
        VX_TRACK_REF();
        Py_XDECREF(old);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            o.track();
            VX_TRACK_REF();
            Py_XDECREF(old);
        }
        return *this;
    }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p, 0); }
    // Adds a reference to a borrowed pointer (may be null).
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p), 0); }

    PyObject* get() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to C API callers).
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        VX_TRACK_REF();
        return p;
    }
    PyObject* newref() const noexcept { return Py_XNewRef(p_); }
    void reset() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        VX_TRACK_REF();
        Py_XDECREF(p);
    }

private:
    Ref(PyObject* p, int) noexcept : p_(p) { VX_TRACK_REF(); }
    void track() noexcept { VX_TRACK_REF(); }
    PyObject* p_ = nullptr;
};

// A Python exception in flight through C++ code. Holds the exception object (with its
// traceback), never the thread's error indicator; restore() puts it back for the C API.
class Error {
public:
    // Takes the currently raised Python exception. Must only be used when one is set.
    Error() noexcept : exc_(Ref::steal(PyErr_GetRaisedException())) {
        if (!exc_) exc_ = Ref::steal(PyObject_CallOneArg(PyExc_SystemError, nullptr));
    }
    explicit Error(Ref exc) noexcept : exc_(std::move(exc)) {}
    Error(const Error&) = default;
    Error(Error&&) noexcept = default;
    Error& operator=(const Error&) = default;
    Error& operator=(Error&&) noexcept = default;

    PyObject* value() const noexcept { return exc_.get(); }
    Ref take() noexcept { return std::move(exc_); }
    // isinstance(exc, cls); cls may be a class or a tuple of classes.
    bool matches(PyObject* cls) const noexcept {
        return exc_ && PyErr_GivenExceptionMatches(exc_.get(), cls);
    }
    // As Python does for an exception raised while `pending` was being handled: `pending`
    // becomes its __context__ unless it already has one.
    Error& chain(PyObject* pending) noexcept {
        if (pending && exc_ && exc_.get() != pending) {
            PyObject* ctx = PyException_GetContext(exc_.get());
            if (!ctx) PyException_SetContext(exc_.get(), Py_NewRef(pending));
            Py_XDECREF(ctx);
        }
        return *this;
    }
    // Puts the exception back as the thread's raised exception.
    void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }

private:
    Ref exc_;
};

// Raised exceptions are built and thrown through these helpers.
[[noreturn]] void throw_error();                                     // PyErr is set
[[noreturn]] void raise(PyObject* type, const char* msg);
[[noreturn]] void raise_format(PyObject* type, const char* fmt, ...);
[[noreturn]] void raise_object(PyObject* type, PyObject* arg);       // type(arg)

// While alive, `exc` is the exception being handled (what sys.exception() returns, and what
// exceptions raised meanwhile take as their context), as inside a Python `except` block.
// Only for code that does not suspend while it is alive.
class Handling {
public:
    explicit Handling(PyObject* exc) noexcept;
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_;  // the exception handled before, owned; null for none
};

// Checks a C API result: a null object or a negative int means a Python error is set.
inline Ref check(PyObject* p) {
    if (!p) throw_error();
    return Ref::steal(p);
}
inline int check(int r) {
    if (r < 0) throw_error();
    return r;
}
inline Py_ssize_t check_size(Py_ssize_t r) {
    if (r < 0 && PyErr_Occurred()) throw_error();
    return r;
}

// Converts the C++ exception in flight into a raised Python exception; for C entry points.
void set_python_error_from_current() noexcept;

// Runs `f` and converts C++ exceptions into a raised Python exception (returns fail).
template <class R, class F>
inline R guard(R fail, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        set_python_error_from_current();
        return fail;
    }
}

// Frequently used object helpers.
inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }
inline Ref str(PyObject* o) { return check(PyObject_Str(o)); }
inline Ref repr(PyObject* o) { return check(PyObject_Repr(o)); }
inline Ref unicode(const char* s) { return check(PyUnicode_FromString(s)); }
inline Ref unicode(const char* s, Py_ssize_t n) { return check(PyUnicode_FromStringAndSize(s, n)); }
inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) noexcept { return Ref::borrow(b ? Py_True : Py_False); }
// Interned string that lives as long as the process (never released: no static destructors).
PyObject* intern(const char* s);
// A constant interned str, created once per use site (cheap on hot paths).
#define VX_STR(literal) ([]() -> PyObject* { static PyObject* const s_ = ::vx::intern(literal); return s_; }())

// Calls with positional arguments (borrowed), through vectorcall.
template <class... A>
inline Ref call(PyObject* callable, A... args) {
    PyObject* argv[sizeof...(A) + 1] = {nullptr, args...};
    return check(PyObject_Vectorcall(callable, argv + 1,
                                     sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// Calls method `name` (interned str) on `self` with positional arguments.
template <class... A>
inline Ref call_method(PyObject* self, PyObject* name, A... args) {
    PyObject* argv[sizeof...(A) + 1] = {self, args...};
    return check(PyObject_VectorcallMethod(name, argv,
                                           (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

// Calls with positional arguments, then keyword arguments (names as interned strs, in order).
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<PyObject*, PyObject*>> kwargs);

}  // namespace vx
