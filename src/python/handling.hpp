// The exception a C++ handler is handling, as Python code called from it
// sees it.
#pragma once

#include "python/ref.hpp"

namespace py {

// While it lives, `error` is the exception being handled: Python code called
// meanwhile (a collaborator, a log handler) sees it as sys.exception(), and
// an error raised there gets it as __context__, as inside an `except`
// block.  The exception handled before is restored at the end.
class Handling {
public:
    explicit Handling(PyObject* error) noexcept : outer_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(error);
    }
    ~Handling() noexcept(false) {
        // A forced unwind at exit passes here without the interpreter.
        if (interpreter_attached()) PyErr_SetHandledException(outer_.get());
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref outer_;
};

}  // namespace py
