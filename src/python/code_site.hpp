// Code objects, frames and traceback entries for the module's operations,
// as compiled Python extensions give them: a host's introspection
// (inspect, tracebacks, Task.get_stack(), asyncio's reprs) sees the
// operation's qualified name and the C++ source file and line it is at.
//
// A code object runs nothing: it only describes.  Code objects are cached
// by (qualified name, file, line); the names come from the module's own
// functions and the places from its source, so the cache is bounded by the
// number of places in the source, never by the number of events.
#pragma once

#include <source_location>

#include "python/ref.hpp"

namespace py {

// What a code object says about an operation.
struct CodeShape {
    PyObject* name;      // co_name
    PyObject* qualname;  // co_qualname
    PyObject* varnames;  // its parameters' names (a tuple), null for none
    int flags;           // CO_COROUTINE for an asynchronous operation
};

// The code object of the operation `shape` that starts at `where`.
Ref operation_code(const CodeShape& shape, std::source_location where);

// `code` moved to `where` (where a coroutine is suspended, say).
Ref code_at(PyObject* code, std::source_location where);

// A frame showing `code`, its line `code`'s first line, with `globals`
// (null: an empty namespace).
Ref frame_for(PyObject* code, PyObject* globals);

// Adds an entry for `frame` at the head of the traceback of the error being
// raised, as the interpreter does when an error leaves a Python frame.
void add_traceback_entry(PyObject* frame);

}  // namespace py
