// Owning reference to a Python object and the C++ exception that carries a
// raised Python exception across C++ frames and coroutine suspensions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <utility>

namespace py {

// The interpreter's record of finalisation (see runtime_state.c): null
// until finalisation begins.
extern "C" void* const* const group_bridge_finalizing_slot;

// True when this thread holds the interpreter (an attached thread state).
// False only in one situation the module meets: a daemon thread that
// interpreter exit ends with a forced unwind (pthread_exit while asking for
// the GIL) runs C++ destructors without the GIL, after finalisation has
// begun.  Code that would touch the interpreter from a destructor asks this
// first and does nothing otherwise; the process is ending and owns nothing
// anymore.  Read from the interpreter's own state, which no Python code can
// change: until finalisation begins every thread running module code holds
// the GIL (one load answers), and from then on the thread's own state says.
inline bool interpreter_attached() noexcept {
    if (__atomic_load_n(group_bridge_finalizing_slot, __ATOMIC_RELAXED) == nullptr) return true;
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// The only place that changes reference counts.  A null Ref owns nothing.
// Releasing happens only with the interpreter attached (see above): during
// a forced unwind at exit a Ref lets go of its object without touching it,
// so neither a count change nor a finaliser runs without the GIL.
//
// Releasing is never noexcept.  The last release runs the object's
// finaliser, which is Python code, and Python code on a daemon thread at
// interpreter exit can end in that forced unwind; a forced unwind meeting a
// noexcept frame is std::terminate.  The same holds for anything else that
// releases a reference or calls Python: no `noexcept` on it, and no
// standard container (whose destructors are noexcept) of references.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() noexcept(false) {
        if (p_) drop(p_);  // a null Ref's end costs no call
    }

    Ref& operator=(Ref other) {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed one (may be null).
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    // Takes over the result of a C API call; null means a Python error is set.
    static Ref check(PyObject* p);

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() { drop(std::exchange(p_, nullptr)); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    // An immortal object (None, True, an interned name) has no count to
    // change: nothing to ask.
    static void drop(PyObject* p) {
        if (p && !_Py_IsImmortal(p) && interpreter_attached()) Py_DECREF(p);
    }
    PyObject* p_ = nullptr;
};

inline PyObject* ptr(PyObject* p) noexcept { return p; }
inline PyObject* ptr(const Ref& r) noexcept { return r.get(); }

// A raised Python exception in flight through C++ code.  Built from the
// interpreter's error indicator and put back there at the boundary where
// Python called into C++.
// Not a std::exception: whose destructor must be noexcept, and this one
// releases the exception object.
class PyError {
public:
    explicit PyError(Ref exception) noexcept : exc_(std::move(exception)) {}

    // Takes the exception currently set in the interpreter.
    static PyError fetch() noexcept;

    // Hands the exception back to the interpreter's error indicator.
    void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }

    const Ref& value() const noexcept { return exc_; }
    Ref take() noexcept { return std::move(exc_); }
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(exc_.get(), type); }
    // An ordinary error is an instance of Exception; cancellation,
    // GeneratorExit and KeyboardInterrupt are not.
    bool is_ordinary() const noexcept { return matches(PyExc_Exception); }

private:
    Ref exc_;
};

[[noreturn]] inline void throw_error() { throw PyError::fetch(); }

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    throw_error();
}

inline Ref Ref::check(PyObject* p) {
    if (!p) throw_error();
    return Ref(p);
}

inline PyError PyError::fetch() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_RuntimeError, "error return without exception set");
        exc = PyErr_GetRaisedException();
    }
    return PyError(Ref::steal(exc));
}

// Converts a C++ exception escaping into a C frame into a set Python error.
// Called from inside a catch block only.  Not noexcept: the forced unwind of
// a thread torn down at interpreter exit is rethrown and must pass.
void set_error_from_current_exception();

// Runs `body` and translates any C++ exception into a set Python error and
// the given failure value.  Every entry point called by Python goes
// through it.
template <class T, class F>
T guard(T failure, F&& body) {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return failure;
    }
}

}  // namespace py
