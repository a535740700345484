// A small function type for the module's methods: it binds like a Python
// function (a bound method on instances), carries __name__, __qualname__,
// __module__, __doc__, string __annotations__, __defaults__, __kwdefaults__,
// __globals__ and a __code__ naming its C++ source, answers
// inspect.signature and inspect.iscoroutinefunction, and binds "by position
// or by keyword" arguments with Python's own error messages before calling
// its C++ implementation.
#pragma once

#include <source_location>

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

inline constexpr int kMaxParams = 6;

// The implementation receives the function object and one argument per
// parameter (defaults filled in), all borrowed.
using ImplFn = Ref (*)(PyObject* function, PyObject* const* args);

// An implementation and whether calling it builds a coroutine object (an
// asynchronous method, which inspect and asyncio must recognise as one).
// A plain ImplFn converts to a synchronous one.
struct Impl {
    constexpr Impl(ImplFn function, bool builds_coroutine = false) noexcept  // NOLINT: converts
        : call(function), coroutine(builds_coroutine) {}
    ImplFn call;
    bool coroutine;
};

// An asynchronous method whose implementation builds its coroutine object
// itself (with make_coroutine and function_names).
template <ImplFn F>
inline constexpr Impl coroutine_impl{F, true};

struct FunctionSpec {
    const char* name;
    const char* doc;      // nullptr: no docstring
    const Param* params;  // the first is the instance
    int nparams;
    const char* returns;  // return annotation, nullptr when not declared
    Impl impl;
    // Where this method is declared in the C++ source; its __code__ names that place.
    std::source_location where = std::source_location::current();
};

// A function named `<owner>.<name>` of module `module_name`, whose globals
// are `globals`.
Ref make_function(const FunctionSpec& spec, PyObject* owner, PyObject* module_name, PyObject* globals);

// The names a coroutine made by this function reports, and the function.
CoroNames function_names(PyObject* function);

// The function's __code__ and __globals__ (borrowed; either may be null
// once the collector has cleared the function).
PyObject* function_code(PyObject* function);
PyObject* function_globals(PyObject* function);

namespace detail {
template <Coro (*Body)(PyObject*)>
Ref build_coroutine_method(PyObject* function, PyObject* const* args) {
    return make_coroutine(function_names(function), {args[0]}, [](PyObject* const* kept) { return Body(kept[0]); });
}
}  // namespace detail

// The implementation of an async method that takes only the instance: it
// builds the coroutine object that runs `Body(self)`.
template <Coro (*Body)(PyObject*)>
inline constexpr Impl coroutine_method{&detail::build_coroutine_method<Body>, true};

int function_type_ready();

}  // namespace py
