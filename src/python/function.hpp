// The module's methods are real Python functions.
//
// Each is made from a small Python function whose only statement calls the
// C++ implementation with the function's own parameters, so everything a
// Python function is (its type, binding, argument errors, signature,
// defaults, annotations, frames, f_locals, pickling by reference) is
// CPython's own.  A synchronous one (and a checked coroutine's), called with all its arguments by
// position, goes to the implementation without running that one-line frame
// (its vectorcall, which CPython lets a function have for this); an error
// then gets the traceback entry the frame would have given.  An asynchronous method is an `async def` whose
// coroutine starts the C++ body (see coroutine.hpp) and awaits it only
// when the body waits: calling it gives a real coroutine object.
//
// The code objects name the C++ file as `<vesbel.group_bridge:FILE>`, with
// the line the method is declared at: tracebacks and log records show
// where the operation is, and a tool asking for its source gets the
// OSError it gets for any compiled extension.
#pragma once

#include <initializer_list>
#include <source_location>
#include <utility>

#include "python/coroutine.hpp"
#include "python/ref.hpp"

namespace py {

// One parameter; `optional` ones default to None.  Optional parameters
// come last, as in Python.
struct Param {
    const char* name;
    const char* annotation = nullptr;
    bool optional = false;
};

inline constexpr int kMaxParams = kMaxCoroArgs;

// A synchronous implementation: one argument per parameter, all borrowed.
// For an asynchronous method that checks its arguments when it is called,
// `function` is the coroutine function to call with the checked ones;
// otherwise it is null.
using ImplFn = Ref (*)(PyObject* function, PyObject* const* args);

// What runs when the method is called: a synchronous implementation, a
// body (an asynchronous method), or both (the check, then the body).  A
// body that takes only the instance is kept as it is written.
struct Impl {
    constexpr Impl(ImplFn function) noexcept : call(function) {}  // NOLINT: converts
    constexpr Impl(ImplFn function, BodyFn coroutine_body) noexcept : call(function), body(coroutine_body) {}
    constexpr Impl(MethodBodyFn method_body) noexcept : method(method_body) {}
    constexpr Impl(PyObject* (*start_entry)(PyObject*, PyObject* const*, Py_ssize_t)) noexcept : started(start_entry) {}
    ImplFn call = nullptr;
    BodyFn body = nullptr;
    MethodBodyFn method = nullptr;
    PyObject* (*started)(PyObject*, PyObject* const*, Py_ssize_t) = nullptr;  // a started method's `_start` entry
    constexpr bool asynchronous() const noexcept { return body || method || started; }
};

// An asynchronous method whose body gets the arguments as they are.
template <BodyFn Body>
inline constexpr Impl coroutine_body{nullptr, Body};

// An asynchronous method that takes only the instance.
template <MethodBodyFn Body>
inline constexpr Impl coroutine_method{Body};

// The TypeError for a started method's `_start` entry called with `nargs`
// arguments (function.cpp).
PyObject* refuse_start_arguments(PyObject* entry, Py_ssize_t nargs);

// The `_start` entry of a method started by `Start` (METH_FASTCALL):
// `Start(self)` runs as no body's step, so a Local it makes belongs to no
// body, and then what it gave goes on.  A function of its own for each
// method, with `Start` inlined into it: an operation that ends at once
// costs one C call.
template <MethodStartFn Start>
PyObject* start_started(PyObject* entry, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) return refuse_start_arguments(entry, nargs);
    LocalList* outer = std::exchange(t_running_locals, nullptr);
    try {
        Started started = Start(args[0]);
        t_running_locals = outer;
        if (started.rest) return go_on(std::move(started.rest), args[0]);
        return started.result ? started.result.release() : Py_NewRef(Py_None);
    } catch (...) {
        t_running_locals = outer;
        set_error_from_current_exception();
        return nullptr;
    }
}

// The same, started by a plain function (see Started).  Never observed:
// call_observed answers a null Ref for it.
template <MethodStartFn Start>
inline constexpr Impl started_method{start_started<Start>};

// An asynchronous method that checks (and may convert) its arguments when
// it is called: `Check` raises for bad ones, else calls the coroutine
// function it is given with the arguments `Body` gets.  Such a method is a
// plain function marked as a coroutine function, as
// inspect.markcoroutinefunction does.
template <ImplFn Check, BodyFn Body>
inline constexpr Impl checked_coroutine{Check, Body};

// The functions made from a spec, kept for the process.
struct MadeFunction {
    PyObject* function = nullptr;
    PyObject* name = nullptr;
    PyObject* coroutine_function = nullptr;  // runs the body (the function itself, unless checked)
    PyObject* observed = nullptr;            // the same, with its failure observed (see call_observed)
    PyObject* attribute = nullptr;           // what the class holds: the function, or a property of it
    PyObject* code = nullptr;                // the function's own code (see direct_vectorcall in function.cpp)
    PyObject* entry = nullptr;               // what its `_call` cell holds
    PyMethodDef started{};                   // a started method's `_start` entry
};

struct FunctionSpec {
    const char* name;
    const char* doc;      // nullptr: no docstring
    const Param* params;  // the first is the instance
    int nparams;
    const char* returns;  // return annotation, nullptr when not declared
    Impl impl;
    // Where this method is declared in the C++ source; its code names that place.
    std::source_location where = std::source_location::current();
    mutable MadeFunction made{};
};

// The function of `spec`, named `<owner>.<name>` (just `<name>` when owner
// is null), of module `module_name`, whose globals are `globals`.  Made
// once; later calls give the same function.
Ref make_function(const FunctionSpec& spec, PyObject* owner, PyObject* module_name, PyObject* globals);

// `args[0].<name>(*args[1:])` for the method `spec` (made already), looked
// up on the instance as a method call is.  When the lookup finds the
// class's own function, its implementation is called directly, without
// the Python function's frame: the same lookups, the same result.
Ref call_method_of(const FunctionSpec& spec, std::initializer_list<PyObject*> args);

// `self.<name>` of the read-only property made of `spec`: its
// implementation called directly when the class's own property is found.
Ref attribute_of(const FunctionSpec& spec, PyObject* self);

// Records what the class holds under the method's name (the function, or
// a property made of it), which the calls above compare with.
void note_class_attribute(const FunctionSpec& spec, PyObject* attribute) noexcept;

// The same for an asynchronous method whose attribute is the class's own
// function: the coroutine it gives, made to report an ordinary failure to
// the failure observer as it ends (see coroutine.hpp).  A null Ref when
// the attribute is anything else: the caller then calls it as usual.
Ref call_observed(const FunctionSpec& spec, std::initializer_list<PyObject*> args);

int function_support_ready();

}  // namespace py
