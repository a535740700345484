// A small function type for the module's methods: it binds like a Python
// function (a bound method on instances), carries __name__, __qualname__,
// __module__, __doc__, string __annotations__, __defaults__ and __globals__,
// answers inspect.signature, and binds "by position or by keyword"
// arguments with Python's own error messages before calling its C++
// implementation.
#pragma once

#include "python/coroutine.hpp"
#include "python/ref.hpp"

namespace py {

// One parameter; `optional` ones default to None.
struct Param {
    const char* name;
    const char* annotation = nullptr;
    bool optional = false;
};

inline constexpr int kMaxParams = 6;

// The implementation receives the function object and one argument per
// parameter (defaults filled in), all borrowed.
using Impl = Ref (*)(PyObject* function, PyObject* const* args);

struct FunctionSpec {
    const char* name;
    const char* doc;      // nullptr: no docstring
    const Param* params;  // the first is the instance
    int nparams;
    const char* returns;  // return annotation, nullptr when not declared
    Impl impl;
};

// A function named `<owner>.<name>` of module `module_name`, whose globals
// are `globals`.
Ref make_function(const FunctionSpec& spec, PyObject* owner, PyObject* module_name, PyObject* globals);

// The names a coroutine made by this function reports.
CoroNames function_names(PyObject* function);

// The implementation of an async method that takes only the instance: it
// builds the coroutine object that runs `Body(self)`.
template <Coro (*Body)(PyObject*)>
Ref coroutine_method(PyObject* function, PyObject* const* args) {
    return make_coroutine(function_names(function), {args[0]}, [](PyObject* const* kept) { return Body(kept[0]); });
}

int function_type_ready();

}  // namespace py
