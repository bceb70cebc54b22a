// Native coroutines: a C++20 coroutine body (returning vx::Async) wrapped in a Python object
// that behaves like a Python coroutine (await, send, throw, close, finalisation), and that
// can itself `co_await` any Python awaitable with `yield from` semantics.
//
//   vx::Async body(vx::Frame f) {
//       vx::Ref r = co_await vx::Await(std::move(awaitable));   // raises vx::Error on failure
//       vx::Outcome o = co_await vx::TryAwait(std::move(other)); // never throws
//       co_return r;
//   }
//   vx::Ref coro = vx::make_coroutine(name, qualname, nslots, args, body);
//
// Nothing hidden from the collector: no Python reference lives in a C++ local (a vx::Ref,
// vx::Outcome or vx::Error of the body) across a `co_await`. What the body keeps across one
// lives in the coroutine object's slots (f.slot(i)), where the cycle collector sees it; end
// the locals' scope before the await, or move them into the await or a slot. A local that holds
// a reference to an object reachable from the coroutine makes a dropped, suspended coroutine
// look alive to the collector for good: it is never collected and its cleanup never runs.
// The sanitizer build (VX_CHECK_SUSPENSION) enforces this: every co_await fails with
// SystemError while a Ref holding an object lies inside the awaiting frame.
//
// Inert once finished: a coroutine is marked closed before its frame is destroyed (clear,
// finalisation, close), and send/throw/close of a closed one raise as for a finished Python
// coroutine; see destroy_frame.
#pragma once
#include "vx/ref.hpp"

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace vx {

struct CoroObject;

// The value or the exception of an awaited operation.
class Outcome {
public:
    Outcome() noexcept = default;
    static Outcome value(Ref v) noexcept { Outcome o; o.value_ = std::move(v); return o; }
    static Outcome error(Ref e) noexcept { Outcome o; o.error_ = std::move(e); return o; }
    bool ok() const noexcept { return !error_; }
    PyObject* get() const noexcept { return value_.get(); }
    PyObject* exception() const noexcept { return error_.get(); }
    bool matches(PyObject* cls) const noexcept {
        return error_ && PyErr_GivenExceptionMatches(error_.get(), cls);
    }
    Ref take_value() noexcept { return std::move(value_); }
    Ref take_error() noexcept { return std::move(error_); }
    // The value, or throws the exception.
    Ref unwrap() {
        if (error_) throw Error(std::move(error_));
        return std::move(value_);
    }

private:
    Ref value_;
    Ref error_;
};

class Async {
public:
    struct promise_type;
    using handle_type = std::coroutine_handle<promise_type>;

    explicit Async(handle_type h) noexcept : h_(h) {}
    Async(Async&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Async(const Async&) = delete;
    ~Async() {
        if (h_) h_.destroy();
    }
    handle_type release() noexcept { return std::exchange(h_, {}); }

private:
    handle_type h_;
};

// Awaiting a Python awaitable: the result, or vx::Error. The await takes the awaitable over:
// while suspended, the coroutine object holds only the iterator it delegates to, in a field the
// cycle collector visits, and no C++ local keeps another reference to it (a Ref given as an
// lvalue would do that, hence rvalues only: `Await(std::move(aw))`, `Await(Ref::borrow(arg))`).
struct Await {
    explicit Await(Ref&& awaitable) noexcept : obj(std::move(awaitable)) {}
    Ref obj;
};
// Awaiting a Python awaitable without throwing: an Outcome.
struct TryAwait {
    explicit TryAwait(Ref&& awaitable) noexcept : obj(std::move(awaitable)) {}
    Ref obj;
};

// Calls `make` (which returns the awaitable, or throws) and awaits the result without
// throwing: a failure of either the call or the await becomes the Outcome's exception, as in
// `try: await make() except ...` where the call itself sits inside the try.
template <class F>
struct TryCall {
    explicit TryCall(F f) : make(std::move(f)) {}
    F make;
};
template <class F>
TryCall<F> try_call(F f) {
    return TryCall<F>(std::move(f));
}

struct Frame {
    CoroObject* co;
    PyObject* arg(int i) const noexcept;          // borrowed, owned by the coroutine object
    PyObject* slot(int i) const noexcept;         // borrowed
    void set_slot(int i, Ref v) noexcept;
    Ref take_slot(int i) noexcept;
    PyObject* self() const noexcept;              // the coroutine object itself
};

// Coroutine frames come and go with every request: recycle their memory instead of going
// to the system allocator each time. Only used with the GIL held.
void* frame_alloc(std::size_t size);
void frame_free(void* p, std::size_t size) noexcept;

struct Async::promise_type {
    static void* operator new(std::size_t size) { return frame_alloc(size); }
    static void operator delete(void* p, std::size_t size) noexcept { frame_free(p, size); }

    CoroObject* owner = nullptr;
    Ref result;
    Ref error;

    Async get_return_object() noexcept { return Async(handle_type::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(Ref v) noexcept { result = std::move(v); }
    void unhandled_exception() noexcept;

    struct PyAwaiter {
        PyAwaiter(CoroObject* co, Ref obj, bool throwing) noexcept
            : co_(co), obj_(std::move(obj)), throwing_(throwing) {}
        bool await_ready() noexcept;
        void await_suspend(std::coroutine_handle<>) noexcept {}
        Ref await_resume();
        CoroObject* co_;
        Ref obj_;       // empty once await_ready ran: the coroutine object holds the iterator
        bool throwing_;
        Outcome out_;
    };
    struct OutcomeAwaiter : PyAwaiter {
        using PyAwaiter::PyAwaiter;
        Outcome await_resume() noexcept;
    };

    // The awaitable that the call produced, or the failure of the call.
    struct CallAwaiter : OutcomeAwaiter {
        CallAwaiter(CoroObject* co, Ref awaitable, Outcome failed) noexcept
            : OutcomeAwaiter(co, std::move(awaitable), false) {
            if (!obj_) out_ = std::move(failed);
        }
        bool await_ready() noexcept { return !obj_ || OutcomeAwaiter::await_ready(); }
    };

    PyAwaiter await_transform(Await a) noexcept { return PyAwaiter(owner, std::move(a.obj), true); }
    OutcomeAwaiter await_transform(TryAwait a) noexcept { return OutcomeAwaiter(owner, std::move(a.obj), false); }
    template <class F>
    CallAwaiter await_transform(TryCall<F> c) noexcept {
        try {
            Ref awaitable = c.make();
            return CallAwaiter(owner, std::move(awaitable), Outcome());
        } catch (Error& e) {
            return CallAwaiter(owner, Ref(), Outcome::error(e.take()));
        } catch (...) {
            set_python_error_from_current();
            return CallAwaiter(owner, Ref(), Outcome::error(Ref::steal(PyErr_GetRaisedException())));
        }
    }
};

enum class CoroState : uint8_t { Created, Suspended, Running, Closed };

struct CoroObject {
    PyObject_VAR_HEAD
    Async::handle_type h;
    PyObject* awaiting;   // the iterator we delegate to while suspended
    PyObject* yielded;    // value the iterator yielded while the body was suspending
    Outcome* delivery;    // where the driver puts what the awaited iterator produced
    PyObject* name;
    PyObject* qualname;
    PyObject* weakreflist;
    CoroState state;
    uint8_t nargs;
    PyObject* slots[1];   // nargs arguments, then the body's own slots
};

extern PyTypeObject CoroutineType;
void init_coroutine_type();

using Body = Async (*)(Frame);

// Creates a coroutine object with `nargs` arguments (borrowed; stored as its first slots)
// plus `nlocals` empty slots, and the body created from `body`. `name`/`qualname` are
// borrowed strs.
Ref make_coroutine(PyObject* name, PyObject* qualname, PyObject* const* args, int nargs, int nlocals, Body body);

inline bool is_coroutine(PyObject* o) { return Py_IS_TYPE(o, &CoroutineType); }

inline PyObject* Frame::arg(int i) const noexcept { return co->slots[i]; }
inline PyObject* Frame::slot(int i) const noexcept { return co->slots[co->nargs + i]; }
inline void Frame::set_slot(int i, Ref v) noexcept {
    PyObject* old = co->slots[co->nargs + i];
    co->slots[co->nargs + i] = v.release();
    Py_XDECREF(old);
}
inline Ref Frame::take_slot(int i) noexcept {
    PyObject* v = co->slots[co->nargs + i];
    co->slots[co->nargs + i] = nullptr;
    return Ref::steal(v);
}
inline PyObject* Frame::self() const noexcept { return reinterpret_cast<PyObject*>(co); }

}  // namespace vx
