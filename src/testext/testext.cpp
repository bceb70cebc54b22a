// A test-only extension that exercises the native layer on its own terms: argument binding
// and type rules, and coroutines that await Python awaitables.
#include "vx/vx.hpp"

#include <cstring>

namespace {

PyObject* g_module_name = nullptr;

// echo(a: str, b: str | None = None, *, flag: bool = False, data: dict | None = None) -> dict
vx::Param echo_params[] = {
    {"a", "str", vx::Check::Str},
    {"b", "str | None", vx::Check::Str, true, vx::Kind::PosOrKw, true},
    {"flag", "bool", vx::Check::Bool, false, vx::Kind::KwOnly, true},
    {"data", "dict | None", vx::Check::Dict, true, vx::Kind::KwOnly, true},
};
vx::FuncSpec echo_spec{"echo", "echo", "Returns its bound arguments.", echo_params, 4, "dict", vx::Ret::Dict};

vx::Ref echo_impl(vx::FuncObject*, PyObject* const* a) {
    return vx::check(Py_BuildValue("{sOsOsOsO}", "a", a[0], "b", a[1], "flag", a[2], "data", a[3]));
}

// returns(value) -> "str | None": returns `value` unchanged, to test the return check.
vx::Param returns_params[] = {{"value"}};
vx::FuncSpec returns_spec{"returns", "returns", nullptr, returns_params, 1, "str | None", vx::Ret::Str};
vx::Ref returns_impl(vx::FuncObject*, PyObject* const* a) { return vx::Ref::borrow(a[0]); }

// handling(exc, fn): fn() while exc is the exception being handled, as inside `except`.
vx::Ref handling_impl(vx::FuncObject*, PyObject* const* a) {
    const vx::Handling handling(a[0]);
    return vx::call(a[1]);
}

// async await_one(awaitable): returns what the awaitable returned.
vx::Async await_one_body(vx::Frame f) {
    vx::Ref r = co_await vx::Await(vx::Ref::borrow(f.arg(0)));
    co_return r;
}

// async await_outcome(awaitable): returns ("ok", value) or ("error", exception), never raises.
vx::Async await_outcome_body(vx::Frame f) {
    vx::Outcome o = co_await vx::TryAwait(vx::Ref::borrow(f.arg(0)));
    if (o.ok()) co_return vx::check(Py_BuildValue("(sO)", "ok", o.get()));
    co_return vx::check(Py_BuildValue("(sO)", "error", o.exception()));
}

// async await_then_cleanup(awaitable, cleanup): awaits awaitable; then, whatever happened,
// awaits cleanup(); a cleanup failure is chained to the original one, which wins.
// slots: the main await's value and exception, kept across the cleanup's await.
vx::Async await_then_cleanup_body(vx::Frame f) {
    {
        vx::Outcome main = co_await vx::TryAwait(vx::Ref::borrow(f.arg(0)));
        f.set_slot(0, main.take_value());
        f.set_slot(1, main.take_error());
    }
    vx::Outcome clean;
    {
        vx::Ref aw;
        try {
            aw = vx::call(f.arg(1));
        } catch (vx::Error& e) {
            clean = vx::Outcome::error(e.take());
        }
        if (aw) clean = co_await vx::TryAwait(std::move(aw));
    }
    PyObject* main_error = f.slot(1);
    if (!clean.ok()) {
        if (main_error && clean.exception() != main_error) {
            PyObject* ctx = PyException_GetContext(clean.exception());
            if (!ctx) PyException_SetContext(clean.exception(), Py_NewRef(main_error));
            Py_XDECREF(ctx);
        }
        throw vx::Error(clean.take_error());
    }
    if (main_error) throw vx::Error(f.take_slot(1));
    co_return f.take_slot(0);
}

// async await_twice_sum(a, b): awaits both in sequence and adds the results.
vx::Async await_sum_body(vx::Frame f) {
    f.set_slot(0, co_await vx::Await(vx::Ref::borrow(f.arg(0))));
    vx::Ref y = co_await vx::Await(vx::Ref::borrow(f.arg(1)));
    co_return vx::check(PyNumber_Add(f.slot(0), y.get()));
}

// async keep(obj, awaitable): keeps obj in a traversed slot while awaiting.
vx::Async keep_body(vx::Frame f) {
    f.set_slot(0, vx::Ref::borrow(f.arg(0)));
    vx::Ref r = co_await vx::Await(vx::Ref::borrow(f.arg(1)));
    co_return r;
}

// async stubborn(make, on_destroy): awaits make() again and again, whatever each await gives
// (GeneratorExit included); destroying its frame calls on_destroy(), so Python runs while the
// collector clears it.
struct CallOnDestroy {
    explicit CallOnDestroy(PyObject* fn) noexcept : fn_(fn) {}
    ~CallOnDestroy() {
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* r = PyObject_CallNoArgs(fn_);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(fn_);
        PyErr_SetRaisedException(pending);
    }
    PyObject* fn_;  // borrowed from the argument slot, which outlives the frame
};
vx::Async stubborn_body(vx::Frame f) {
    CallOnDestroy guard(f.arg(1));
    for (;;) {
        vx::Outcome o = co_await vx::try_call([&] { return vx::call(f.arg(0)); });
        (void)o;
    }
}

// clear(obj): what the cycle collector does to an object it breaks a cycle at (the native
// types of every extension module; each links its own copy of the layer).
vx::Ref clear_impl(vx::FuncObject*, PyObject* const* a) {
    const char* name = Py_TYPE(a[0])->tp_name;
    if (std::strcmp(name, "vexlo.native_coroutine") != 0 && std::strcmp(name, "vexlo.native_function") != 0)
        vx::raise(PyExc_TypeError, "clear() takes a native coroutine or function");
    Py_TYPE(a[0])->tp_clear(a[0]);
    return vx::none();
}

// async fail(exc): raises exc without awaiting.
vx::Async fail_body(vx::Frame f) {
    vx::raise_object(reinterpret_cast<PyObject*>(Py_TYPE(f.arg(0))), f.arg(0));
    co_return vx::none();
}

// async give(value): returns value without awaiting.
vx::Async give_body(vx::Frame f) { co_return vx::Ref::borrow(f.arg(0)); }

template <vx::Body B, int NARGS, int NLOCALS>
vx::Ref coro_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, NARGS, NLOCALS, B);
}

vx::Param handling_params[] = {{"exc"}, {"fn"}};
vx::FuncSpec handling_spec{"handling", "handling", nullptr, handling_params, 2, nullptr, vx::Ret::Any, false,
                           handling_impl};

vx::Param one_param[] = {{"awaitable"}};
vx::Param two_params[] = {{"awaitable"}, {"cleanup"}};
vx::Param sum_params[] = {{"a"}, {"b"}};
vx::Param keep_params[] = {{"obj"}, {"awaitable"}};
vx::Param exc_params[] = {{"exc", "BaseException"}};
vx::Param value_params[] = {{"value", "Any"}};

vx::FuncSpec await_one_spec{"await_one", "await_one", "Awaits one awaitable.", one_param, 1, "Any",
                            vx::Ret::Any, true, coro_impl<await_one_body, 1, 0>};
vx::FuncSpec await_outcome_spec{"await_outcome", "await_outcome", nullptr, one_param, 1, nullptr,
                                vx::Ret::Any, true, coro_impl<await_outcome_body, 1, 0>};
vx::FuncSpec await_cleanup_spec{"await_then_cleanup", "await_then_cleanup", nullptr, two_params, 2, nullptr,
                                vx::Ret::Any, true, coro_impl<await_then_cleanup_body, 2, 2>};
vx::FuncSpec await_sum_spec{"await_sum", "await_sum", nullptr, sum_params, 2, nullptr,
                            vx::Ret::Any, true, coro_impl<await_sum_body, 2, 1>};
vx::FuncSpec keep_spec{"keep", "keep", nullptr, keep_params, 2, nullptr, vx::Ret::Any, true,
                       coro_impl<keep_body, 2, 1>};
vx::Param clear_params[] = {{"coro"}};
vx::FuncSpec clear_spec{"clear", "clear", nullptr, clear_params, 1, "None", vx::Ret::Any, false, clear_impl};
vx::Param stubborn_params[] = {{"make"}, {"on_destroy"}};
vx::FuncSpec stubborn_spec{"stubborn", "stubborn", nullptr, stubborn_params, 2, nullptr, vx::Ret::Any, true,
                           coro_impl<stubborn_body, 2, 0>};
vx::FuncSpec fail_spec{"fail", "fail", nullptr, exc_params, 1, "None", vx::Ret::Any, true,
                       coro_impl<fail_body, 1, 0>};
vx::FuncSpec give_spec{"give", "give", nullptr, value_params, 1, "Any", vx::Ret::Any, true,
                       coro_impl<give_body, 1, 0>};

void body(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    vx::check(PyModule_SetDocString(module, "Native layer test module."));
    g_module_name = vx::intern("vexlo._vxtest");
    echo_spec.impl = echo_impl;
    returns_spec.impl = returns_impl;
    auto add = [&](vx::FuncSpec& s, std::initializer_list<PyObject*> defaults = {}) {
        vx::Ref f = vx::make_function(s, globals, g_module_name, defaults);
        vx::check(PyDict_SetItemString(globals, s.name, f.get()));
    };
    add(echo_spec, {Py_None, Py_False, Py_None});
    add(returns_spec);
    add(handling_spec);
    add(await_one_spec);
    add(await_outcome_spec);
    add(await_cleanup_spec);
    add(await_sum_spec);
    add(keep_spec);
    add(stubborn_spec);
    add(clear_spec);
    add(fail_spec);
    add(give_spec);
}

}  // namespace

VX_DEFINE_MODULE(_vxtest, body)
