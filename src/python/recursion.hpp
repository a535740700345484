// Driving another coroutine is recursion on the C stack.
//
// A coroutine that sends into, throws into or closes the coroutine it
// awaits nests one C++ call chain per level, so a deep chain of coroutines
// awaiting each other would overflow the C stack where Python raises
// RecursionError.  Every entry that drives a coroutine holds a NestedDrive
// for as long as it runs: it counts against the interpreter's recursion
// limit and refuses to go on when the thread's C stack is nearly used up
// (a level costs far more C stack than the interpreter allows for, and a
// thread can be made with a small stack).
#pragma once

#include "python/ref.hpp"

namespace py {

// The lowest address this thread's stack may grow to before a nested drive
// is refused, found once per thread (see recursion.cpp).
extern thread_local constinit char* t_stack_floor __attribute__((tls_model("initial-exec")));
char* find_stack_floor() noexcept;

// True when less than a safe margin of this thread's C stack remains.
inline bool c_stack_nearly_exhausted() noexcept {
    char here;
    char* floor = t_stack_floor;
    if (!floor) floor = find_stack_floor();
    return &here < floor;
}

class NestedDrive {
public:
    NestedDrive() noexcept : entered_(enter()) {}
    // A forced unwind at interpreter exit passes here without the GIL (see
    // ref.hpp): the thread's count is gone with its thread state then.
    ~NestedDrive() {
        if (entered_ && interpreter_attached()) Py_LeaveRecursiveCall();
    }
    NestedDrive(const NestedDrive&) = delete;
    NestedDrive& operator=(const NestedDrive&) = delete;

    // False when the level was refused; RecursionError is set then.
    explicit operator bool() const noexcept { return entered_; }

private:
    static bool enter() noexcept {
        if (c_stack_nearly_exhausted()) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            return false;
        }
        return Py_EnterRecursiveCall("") == 0;
    }
    bool entered_;
};

}  // namespace py
