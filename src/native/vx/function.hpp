// Native function objects that Python introspects like `def`/`async def` functions:
// __name__, __qualname__, __module__, __doc__, __annotations__ (strings), __defaults__,
// __kwdefaults__, __globals__, __signature__ (a real inspect.Signature), method binding,
// and the coroutine marker that inspect/asyncio recognise.
//
// Arguments are bound CPython-style (positional, keyword, keyword-only, defaults, arity
// errors) and type-checked by the rules of the product: an annotated built-in type accepts
// exactly that type ("| None" also None), `bool` takes any truth value.
#pragma once
#include "vx/ref.hpp"

#include <cstdint>

namespace vx {

enum class Check : uint8_t { Any, Str, Bytes, Tuple, Dict, Bool };
enum class Kind : uint8_t { PosOrKw, KwOnly };
enum class Ret : uint8_t { Any, Str, Dict };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as a string; nullptr = not annotated
    Check check = Check::Any;
    bool or_none = false;              // "| None"
    Kind kind = Kind::PosOrKw;
    bool has_default = false;          // default object supplied at creation, in order
};

inline constexpr int kMaxParams = 8;

struct FuncObject;
// The implementation receives one borrowed object per parameter (defaults filled in, `bool`
// parameters already reduced to True/False). It may throw vx::Error.
using Impl = Ref (*)(FuncObject* self, PyObject* const* args);

struct FuncSpec {
    const char* name;
    const char* qualname;
    const char* doc;                  // nullptr = no docstring
    const Param* params;
    int nparams;
    const char* return_annotation;    // nullptr = none
    Ret ret = Ret::Any;               // checked return type (always also admits None)
    bool coroutine = false;
    Impl impl = nullptr;
    // Filled on first use; interned for the life of the process.
    PyObject* name_obj = nullptr;
    PyObject* qualname_obj = nullptr;
    PyObject* doc_obj = nullptr;
    PyObject* param_names[kMaxParams] = {};
    bool all_any = false;             // no parameter is type-checked
    bool all_positional = false;      // no keyword-only parameter
};

struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncSpec* fdef;
    PyObject* closure;       // owned, any object the implementation needs; may be null
    PyObject* globals;       // owned: the defining module's dict
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;      // tuple or None
    PyObject* kwdefaults;    // dict or None
    PyObject* annotations;   // built on first access
    PyObject* signature;     // built on first access
    PyObject* dict;
    PyObject* weakreflist;
    PyObject* type_params;   // __type_params__, set by assignment only
    bool annotations_reset;  // __annotations__ was deleted or set to None: it is {} from then on
    PyObject* defvals[kMaxParams];  // owned, per parameter
};

extern PyTypeObject FunctionType;

// Readies the type (once per extension module that links the layer).
void init_function_type();

// Creates a function. `defaults` are given in parameter order for the parameters marked
// has_default. `module_name` is the __module__ str.
Ref make_function(FuncSpec& fdef, PyObject* globals, PyObject* module_name,
                  std::initializer_list<PyObject*> defaults = {}, PyObject* closure = nullptr);

// A function without defaults whose implementation reads `closure` (owned by the function).
// Closures made per request: one that nobody but the caller can reach at the end of the
// request is taken back by recycle_closure (kept out of the collector's sight) for the next
// make_closure; anything still held elsewhere is simply released.
Ref make_closure(FuncSpec& fdef, PyObject* globals, PyObject* module_name, PyObject* closure);
void recycle_closure(Ref f) noexcept;

// f(*args) with exactly one positional argument per parameter: the type rules and the return
// check apply as for any call, without the call protocol. For callers that already hold the
// function object they would otherwise call through Python.
Ref call_positional(FuncObject* f, PyObject* const* args);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
[[noreturn]] void raise_arg_type(const char* name, const char* expected, PyObject* got);

inline bool is_function(PyObject* o) { return Py_IS_TYPE(o, &FunctionType); }

}  // namespace vx
