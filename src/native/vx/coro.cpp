#include "vx/coro.hpp"

#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#ifdef VX_CHECK_SUSPENSION
#include <set>
#endif

namespace vx {

#ifdef VX_CHECK_SUSPENSION
// The checking build's proof of the rule in coro.hpp: every Ref that holds an object is
// registered by address, every coroutine frame knows its extent, and each co_await refuses to
// start while a registered Ref lies inside the awaiting frame (a local that would cross it).
namespace detail {
std::set<const void*>& live_refs() {
    static auto* refs = new std::set<const void*>;  // never destroyed: Refs outlive statics
    return *refs;
}
void track_ref(const void* where, bool holds) noexcept {
    try {
        if (holds)
            live_refs().insert(where);
        else
            live_refs().erase(where);
    } catch (...) {
    }
}
}  // namespace detail

namespace {
constexpr std::size_t kFrameHeader = 16;

// The offset of a Ref holding an object inside the frame of `co`, or -1.
long ref_inside_frame(CoroObject* co) {
    if (!co->h) return -1;
    const char* start = static_cast<const char*>(co->h.address());
    const std::size_t size = *reinterpret_cast<const std::size_t*>(start - kFrameHeader);
    const char* promise = reinterpret_cast<const char*>(&co->h.promise());
    if (promise < start || promise >= start + size) return -1;  // not the layout this check knows
    auto& refs = detail::live_refs();
    auto it = refs.lower_bound(start);
    if (it == refs.end() || static_cast<const char*>(*it) >= start + size) return -1;
    return static_cast<const char*>(*it) - start;
}
}  // namespace
#endif

PySendResult coro_send_ex(CoroObject* co, PyObject* value, PyObject* exc, PyObject** presult);
PyObject* coro_close_impl(CoroObject* co);

namespace {

// Whether a coroutine already sits in an await of its own (`await` refuses it then).
bool awaited_elsewhere(PyObject* o) {
    if (is_coroutine(o)) return reinterpret_cast<CoroObject*>(o)->awaiting != nullptr;
    // A suspended `async def` coroutine is always inside an await. cr_suspended is read through
    // its descriptor, taken once from the coroutine type (an immutable built-in type, so the
    // descriptor cannot be replaced) and called by the documented descriptor protocol: the
    // same answer as the attribute lookup without the search, for every await of one.
    static PyObject* const descr = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyCoro_Type), "cr_suspended");
    if (!descr) PyErr_Clear();
    descrgetfunc get = descr ? Py_TYPE(descr)->tp_descr_get : nullptr;
    Ref suspended = get ? check(get(descr, o, reinterpret_cast<PyObject*>(Py_TYPE(o))))
                        : check(PyObject_GetAttr(o, VX_STR("cr_suspended")));
    return suspended.get() == Py_True;
}

// A generator marked by types.coroutine is awaitable as it stands.
bool iterable_coroutine(PyObject* gen) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(gen))));
    if (!code) return false;
    Ref flags = check(PyObject_GetAttr(code.get(), VX_STR("co_flags")));
    long v = PyLong_AsLong(flags.get());
    if (v == -1 && PyErr_Occurred()) throw_error();
    return (v & CO_ITERABLE_COROUTINE) != 0;
}

// The iterator behind an awaitable, as the `await` expression finds it.
Ref awaitable_iter(PyObject* o) {
    if (PyCoro_CheckExact(o) || is_coroutine(o)) {
        if (awaited_elsewhere(o)) raise(PyExc_RuntimeError, "coroutine is being awaited already");
        return Ref::borrow(o);
    }
    if (PyGen_CheckExact(o) && iterable_coroutine(o)) return Ref::borrow(o);
    // The type's am_await slot is how `await` finds __await__ (classes defining it in Python
    // get a slot that looks it up), so calling the slot is the lookup itself.
    PyTypeObject* t = Py_TYPE(o);
    unaryfunc getter = t->tp_as_async ? t->tp_as_async->am_await : nullptr;
    if (!getter)
        raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", t->tp_name);
    Ref it = check(getter(o));
    if (PyCoro_CheckExact(it.get()) || is_coroutine(it.get()))
        raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.get()))
        raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    return it;
}

Ref fetch_error() { return Ref::steal(PyErr_GetRaisedException()); }

// Inert once finished: the object is marked closed, and forgets its frame, before the frame is
// destroyed. Destroying it runs the body's destructors, which can run Python, and that Python
// can reach this object (gc.get_objects() from a __del__); every entry then finds it closed
// and raises as for a finished coroutine instead of resuming a destroyed frame.
void destroy_frame(CoroObject* co) noexcept {
    co->state = CoroState::Closed;
    co->delivery = nullptr;
    if (co->h) {
        auto h = co->h;
        co->h = {};
        h.destroy();
    }
}

// Finishes the coroutine after the body ran to its end.
PySendResult finish(CoroObject* co, PyObject** presult) {
    auto& p = co->h.promise();
    Ref result = std::move(p.result);
    Ref error = std::move(p.error);
    destroy_frame(co);
    co->state = CoroState::Closed;
    if (error) {
        if (PyErr_GivenExceptionMatches(error.get(), PyExc_StopIteration)) {
            // A StopIteration leaving a coroutine body would end the awaiting loop silently.
            PyErr_SetRaisedException(error.release());
            PyObject* cause = PyErr_GetRaisedException();
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            PyObject* exc = PyErr_GetRaisedException();
            PyException_SetCause(exc, Py_NewRef(cause));
            PyException_SetContext(exc, cause);
            PyErr_SetRaisedException(exc);
        } else {
            PyErr_SetRaisedException(error.release());
        }
        *presult = nullptr;
        return PYGEN_ERROR;
    }
    *presult = result ? result.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Resumes the body (state already Running) and reports how it stopped.
PySendResult resume_body(CoroObject* co, PyObject** presult) {
    co->h.resume();
    if (co->h.done()) return finish(co, presult);
    co->state = CoroState::Suspended;
    *presult = co->yielded;
    co->yielded = nullptr;
    return PYGEN_NEXT;
}

// Delivers what the delegated iterator produced to the suspended await, then resumes.
PySendResult deliver(CoroObject* co, Outcome out, PyObject** presult) {
    Py_CLEAR(co->awaiting);
    if (co->delivery) *co->delivery = std::move(out);
    co->delivery = nullptr;
    return resume_body(co, presult);
}

int close_iter(PyObject* it) {
    if (is_coroutine(it)) {
        PyObject* r = coro_close_impl(reinterpret_cast<CoroObject*>(it));
        if (!r) return -1;
        Py_DECREF(r);
        return 0;
    }
    PyObject* meth = nullptr;
    if (PyObject_GetOptionalAttr(it, VX_STR("close"), &meth) < 0) return -1;
    if (!meth) return 0;
    PyObject* r = PyObject_CallNoArgs(meth);
    Py_DECREF(meth);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

}  // namespace

static PySendResult coro_send_ex_impl(CoroObject* co, PyObject* value, PyObject* exc, PyObject** presult);

// Sends `value` into the coroutine, or throws `exc` (owned by the caller) into it. Deep
// chains of awaits nest on the C stack, so they count against the recursion limit.
PySendResult coro_send_ex(CoroObject* co, PyObject* value, PyObject* exc, PyObject** presult) {
    *presult = nullptr;
    if (Py_EnterRecursiveCall(" in a native coroutine")) return PYGEN_ERROR;
    PySendResult r = coro_send_ex_impl(co, value, exc, presult);
    Py_LeaveRecursiveCall();
    return r;
}

static PySendResult coro_send_ex_impl(CoroObject* co, PyObject* value, PyObject* exc, PyObject** presult) {
    // A frame that is gone means finished, whatever the state says.
    if (!co->h) co->state = CoroState::Closed;
    switch (co->state) {
        case CoroState::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return PYGEN_ERROR;
        case CoroState::Closed:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case CoroState::Created:
            if (exc) {
                // Thrown in before the first step: the body never runs.
                destroy_frame(co);
                co->state = CoroState::Closed;
                PyErr_SetRaisedException(Py_NewRef(exc));
                return PYGEN_ERROR;
            }
            if (value != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            co->state = CoroState::Running;
            return resume_body(co, presult);
        case CoroState::Suspended:
            break;
    }
    co->state = CoroState::Running;
    PyObject* it = co->awaiting;
    if (!it) {
        // Suspended without a delegate cannot happen; treat as a finished await of None.
        return deliver(co, exc ? Outcome::error(Ref::borrow(exc)) : Outcome::value(none()), presult);
    }
    if (exc) {
        if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            // Like `yield from`: close the delegate, then raise GeneratorExit at the await.
            Ref keep = Ref::borrow(it);
            if (close_iter(it) < 0) return deliver(co, Outcome::error(fetch_error()), presult);
            return deliver(co, Outcome::error(Ref::borrow(exc)), presult);
        }
        PyObject* r;
        if (is_coroutine(it)) {
            PySendResult sr = coro_send_ex(reinterpret_cast<CoroObject*>(it), nullptr, exc, &r);
            if (sr == PYGEN_NEXT) {
                co->state = CoroState::Suspended;
                *presult = r;
                return PYGEN_NEXT;
            }
            if (sr == PYGEN_RETURN) return deliver(co, Outcome::value(Ref::steal(r)), presult);
            return deliver(co, Outcome::error(fetch_error()), presult);
        }
        PyObject* meth = nullptr;
        if (PyObject_GetOptionalAttr(it, VX_STR("throw"), &meth) < 0)
            return deliver(co, Outcome::error(fetch_error()), presult);
        if (!meth) return deliver(co, Outcome::error(Ref::borrow(exc)), presult);
        r = PyObject_CallOneArg(meth, exc);
        Py_DECREF(meth);
        if (r) {
            co->state = CoroState::Suspended;
            *presult = r;
            return PYGEN_NEXT;
        }
        Ref err = fetch_error();
        if (PyErr_GivenExceptionMatches(err.get(), PyExc_StopIteration)) {
            Ref v = Ref::steal(PyObject_GetAttrString(err.get(), "value"));
            if (v) return deliver(co, Outcome::value(std::move(v)), presult);
            err = fetch_error();
        }
        return deliver(co, Outcome::error(std::move(err)), presult);
    }
    PyObject* r = nullptr;
    PySendResult sr = PyIter_Send(it, value, &r);
    if (sr == PYGEN_NEXT) {
        co->state = CoroState::Suspended;
        *presult = r;
        return PYGEN_NEXT;
    }
    if (sr == PYGEN_RETURN) return deliver(co, Outcome::value(Ref::steal(r)), presult);
    return deliver(co, Outcome::error(fetch_error()), presult);
}

PyObject* coro_close_impl(CoroObject* co) {
    if (!co->h) co->state = CoroState::Closed;
    switch (co->state) {
        case CoroState::Created:
            destroy_frame(co);
            co->state = CoroState::Closed;
            Py_RETURN_NONE;
        case CoroState::Closed:
            Py_RETURN_NONE;
        case CoroState::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return nullptr;
        case CoroState::Suspended:
            break;
    }
    PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exc) return nullptr;
    PyObject* r = nullptr;
    PySendResult sr = coro_send_ex(co, nullptr, exc, &r);
    Py_DECREF(exc);
    if (sr == PYGEN_NEXT) {
        Py_DECREF(r);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (sr == PYGEN_RETURN) return r;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

namespace {

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** presult) {
    return coro_send_ex(reinterpret_cast<CoroObject*>(self), arg, nullptr, presult);
}

// send()/throw() report a return as StopIteration(value), built by a call so a tuple
// value is not unpacked into arguments.
PyObject* result_to_method(PySendResult r, PyObject* res) {
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_RETURN) {
        if (res == Py_None) {
            Py_DECREF(res);
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            PyObject* e = PyObject_CallOneArg(PyExc_StopIteration, res);
            Py_DECREF(res);
            if (e) {
                PyErr_SetRaisedException(e);
            }
        }
    }
    return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* res;
    PySendResult r = coro_send_ex(reinterpret_cast<CoroObject*>(self), arg, nullptr, &res);
    return result_to_method(r, res);
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* res;
    PySendResult r = coro_send_ex(reinterpret_cast<CoroObject*>(self), Py_None, nullptr, &res);
    if (r == PYGEN_RETURN) {
        // A None result ends iteration without building a StopIteration: tp_iternext may
        // return NULL with no exception set, and every caller reads that as a None result.
        if (res == Py_None) {
            Py_DECREF(res);
            return nullptr;
        }
        return result_to_method(r, res);
    }
    return r == PYGEN_NEXT ? res : nullptr;
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1) {
        if (PyErr_WarnEx(PyExc_DeprecationWarning,
                         "the (type, exc, tb) signature of throw() is deprecated, "
                         "use the single-arg signature instead.",
                         1) < 0)
            return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Ref exc;
    if (PyExceptionClass_Check(typ)) {
        if (val && PyExceptionInstance_Check(val) && PyObject_IsInstance(val, typ) == 1) {
            exc = Ref::borrow(val);
        } else if (!val || val == Py_None) {
            exc = Ref::steal(PyObject_CallNoArgs(typ));
        } else if (PyTuple_Check(val)) {
            exc = Ref::steal(PyObject_Call(typ, val, nullptr));
        } else {
            exc = Ref::steal(PyObject_CallOneArg(typ, val));
        }
        if (!exc) return nullptr;
        if (!PyExceptionInstance_Check(exc.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s", typ,
                         Py_TYPE(exc.get())->tp_name);
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Ref::borrow(typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb && PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
    PyObject* res;
    PySendResult r = coro_send_ex(reinterpret_cast<CoroObject*>(self), nullptr, exc.get(), &res);
    return result_to_method(r, res);
}

PyObject* coro_close(PyObject* self, PyObject*) { return coro_close_impl(reinterpret_cast<CoroObject*>(self)); }

PyObject* coro_await(PyObject* self) {
    if (reinterpret_cast<CoroObject*>(self)->awaiting) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
}

void coro_finalize(PyObject* self) {
    auto* co = reinterpret_cast<CoroObject*>(self);
    if (co->state == CoroState::Closed || co->state == CoroState::Running) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (co->state == CoroState::Created) {
        // As for a Python coroutine: dropping one that was never awaited is a caller's bug.
        destroy_frame(co);
        co->state = CoroState::Closed;
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", co->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        PyObject* r = coro_close_impl(co);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* co = reinterpret_cast<CoroObject*>(self);
    Py_VISIT(co->awaiting);
    Py_VISIT(co->yielded);
    for (Py_ssize_t i = 0; i < Py_SIZE(co); ++i) Py_VISIT(co->slots[i]);
    if (co->delivery) {
        Py_VISIT(co->delivery->get());
        Py_VISIT(co->delivery->exception());
    }
    if (co->h) {
        auto& p = co->h.promise();
        Py_VISIT(p.result.get());
        Py_VISIT(p.error.get());
    }
    return 0;
}

int coro_clear(PyObject* self) {
    auto* co = reinterpret_cast<CoroObject*>(self);
    // The frame may hold borrowed pointers into the slots: destroy it first (marked closed
    // before, see destroy_frame).
    destroy_frame(co);
    Py_CLEAR(co->awaiting);
    Py_CLEAR(co->yielded);
    for (Py_ssize_t i = 0; i < Py_SIZE(co); ++i) Py_CLEAR(co->slots[i]);
    return 0;
}

void coro_dealloc(PyObject* self) {
    auto* co = reinterpret_cast<CoroObject*>(self);
    // A finished coroutine has nothing to finalise (its tp_finalize returns at once for a
    // closed one); skip the call on the common path.
    if (co->state != CoroState::Closed && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    if (co->weakreflist) PyObject_ClearWeakRefs(self);
    coro_clear(self);
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    PyObject_GC_Del(self);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", reinterpret_cast<CoroObject*>(self)->qualname, self);
}

PyObject* get_cr_await(PyObject* self, void*) {
    auto* co = reinterpret_cast<CoroObject*>(self);
    return Py_NewRef(co->awaiting ? co->awaiting : Py_None);
}
PyObject* get_cr_running(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<CoroObject*>(self)->state == CoroState::Running);
}
PyObject* get_cr_suspended(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<CoroObject*>(self)->state == CoroState::Suspended);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<CoroObject*>(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<CoroObject*>(self)->qualname); }

PyGetSetDef coro_getset[] = {
    {"cr_await", get_cr_await, nullptr, nullptr, nullptr},
    {"cr_running", get_cr_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_cr_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr},
};

PyAsyncMethods coro_async = {coro_await, nullptr, nullptr, coro_am_send};

}  // namespace

PyTypeObject CoroutineType = {PyVarObject_HEAD_INIT(nullptr, 0)};

void init_coroutine_type() {
    if (CoroutineType.tp_flags & Py_TPFLAGS_READY) return;
    CoroutineType.tp_name = "vexlo.native_coroutine";
    CoroutineType.tp_basicsize = offsetof(CoroObject, slots);
    CoroutineType.tp_itemsize = sizeof(PyObject*);
    CoroutineType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    CoroutineType.tp_as_async = &coro_async;
    // Stepping with __next__ is offered, but like a Python coroutine it is no iterable.
    CoroutineType.tp_iternext = coro_iternext;
    CoroutineType.tp_methods = coro_methods;
    CoroutineType.tp_getset = coro_getset;
    CoroutineType.tp_repr = coro_repr;
    CoroutineType.tp_traverse = coro_traverse;
    CoroutineType.tp_clear = coro_clear;
    CoroutineType.tp_dealloc = coro_dealloc;
    CoroutineType.tp_finalize = coro_finalize;
    CoroutineType.tp_weaklistoffset = offsetof(CoroObject, weakreflist);
    CoroutineType.tp_doc = "A coroutine implemented in native code.";
    check(PyType_Ready(&CoroutineType));
}

// The C++ frames of coroutine bodies are plain memory, recycled per size class. They hold no
// Python reference once destroyed (a body's locals are destructed before the memory comes
// back), and they are only taken and returned with the GIL held by the one interpreter that
// may load this layer, so the lists need no other guard.
namespace {
constexpr std::size_t kFrameGranule = 64;
constexpr std::size_t kFrameClasses = 32;   // frames up to 2 KiB are recycled
constexpr int kFramesKept = 64;             // per size class
struct FreeFrame { FreeFrame* next; };
FreeFrame* g_free_frames[kFrameClasses] = {};
int g_free_count[kFrameClasses] = {};
}  // namespace

void* frame_alloc(std::size_t size) {
#ifdef VX_CHECK_SUSPENSION
    // Each frame carries its size before it, for ref_inside_frame.
    auto* raw = static_cast<char*>(PyMem_RawMalloc(size + kFrameHeader));
    if (!raw) throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(raw) = size;
    return raw + kFrameHeader;
#endif
    std::size_t cls = (size + kFrameGranule - 1) / kFrameGranule;
    if (cls < kFrameClasses && g_free_frames[cls]) {
        FreeFrame* f = g_free_frames[cls];
        g_free_frames[cls] = f->next;
        --g_free_count[cls];
        return f;
    }
    if (cls < kFrameClasses) size = cls * kFrameGranule;
    void* p = PyMem_RawMalloc(size);
    if (!p) throw std::bad_alloc();
    return p;
}

void frame_free(void* p, std::size_t size) noexcept {
#ifdef VX_CHECK_SUSPENSION
    PyMem_RawFree(static_cast<char*>(p) - kFrameHeader);
    return;
#endif
    std::size_t cls = (size + kFrameGranule - 1) / kFrameGranule;
    if (cls < kFrameClasses && g_free_count[cls] < kFramesKept) {
        auto* f = static_cast<FreeFrame*>(p);
        f->next = g_free_frames[cls];
        g_free_frames[cls] = f;
        ++g_free_count[cls];
        return;
    }
    PyMem_RawFree(p);
}

Ref make_coroutine(PyObject* name, PyObject* qualname, PyObject* const* args, int nargs, int nlocals, Body body) {
    init_coroutine_type();
    const Py_ssize_t n = nargs + nlocals;
    auto* co = PyObject_GC_NewVar(CoroObject, &CoroutineType, n);
    if (!co) throw_error();
    co->h = {};
    co->awaiting = nullptr;
    co->yielded = nullptr;
    co->delivery = nullptr;
    co->name = Py_NewRef(name);
    co->qualname = Py_NewRef(qualname);
    co->weakreflist = nullptr;
    co->state = CoroState::Created;
    co->nargs = static_cast<uint8_t>(nargs);
    for (int i = 0; i < nargs; ++i) co->slots[i] = Py_NewRef(args[i]);
    for (int i = nargs; i < nargs + nlocals; ++i) co->slots[i] = nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(co));
    Async a = body(Frame{co});
    co->h = a.release();
    co->h.promise().owner = co;
    PyObject_GC_Track(co);
    return owner;
}

void Async::promise_type::unhandled_exception() noexcept {
    try {
        throw;
    } catch (Error& e) {
        error = e.take();
    } catch (...) {
        set_python_error_from_current();
        error = Ref::steal(PyErr_GetRaisedException());
    }
}

bool Async::promise_type::PyAwaiter::await_ready() noexcept {
    Ref awaitable = std::move(obj_);
#ifdef VX_CHECK_SUSPENSION
    if (long at = ref_inside_frame(co_); at >= 0) {
        PyErr_Format(PyExc_SystemError,
                     "native coroutine '%U' awaits while a C++ local (frame offset %ld) holds a Python reference",
                     co_->qualname, at);
        out_ = Outcome::error(Ref::steal(PyErr_GetRaisedException()));
        return true;
    }
#endif
    Ref it;
    try {
        it = awaitable_iter(awaitable.get());
    } catch (Error& e) {
        out_ = Outcome::error(e.take());
        return true;
    }
    // As `await` does, only the iterator is kept from here on.
    awaitable.reset();
    PyObject* r = nullptr;
    PySendResult sr;
    if (is_coroutine(it.get()))
        sr = coro_send_ex(reinterpret_cast<CoroObject*>(it.get()), Py_None, nullptr, &r);
    else
        sr = PyIter_Send(it.get(), Py_None, &r);
    if (sr == PYGEN_RETURN) {
        out_ = Outcome::value(Ref::steal(r));
        return true;
    }
    if (sr == PYGEN_ERROR) {
        out_ = Outcome::error(fetch_error());
        return true;
    }
    co_->awaiting = it.release();
    co_->yielded = r;
    co_->delivery = &out_;
    return false;
}

Ref Async::promise_type::PyAwaiter::await_resume() { return out_.unwrap(); }

Outcome Async::promise_type::OutcomeAwaiter::await_resume() noexcept { return std::move(out_); }

}  // namespace vx
