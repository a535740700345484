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

// The nested drives this thread is inside.
extern thread_local constinit int t_drive_depth __attribute__((tls_model("initial-exec")));

// The first levels only check the C stack; each level beyond them also
// counts against the interpreter's recursion limit.  An ordinary await (a
// task stepping a coroutine that awaits one or two more) never goes that
// deep, and so does not pay for the interpreter's count; a deep chain is
// counted all but its first few levels.
inline constexpr int kUncountedDrives = 32;

class NestedDrive {
public:
    NestedDrive() noexcept : counted_(false), entered_(enter()) {}
    ~NestedDrive() {
        if (!entered_) return;
        --t_drive_depth;
        // A forced unwind at interpreter exit passes here without the GIL
        // (see ref.hpp): the thread's count is gone with its thread state.
        if (counted_ && interpreter_attached()) Py_LeaveRecursiveCall();
    }
    NestedDrive(const NestedDrive&) = delete;
    NestedDrive& operator=(const NestedDrive&) = delete;

    // False when the level was refused; RecursionError is set then.
    explicit operator bool() const noexcept { return entered_; }

private:
    bool enter() noexcept {
        if (c_stack_nearly_exhausted()) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            return false;
        }
        if (t_drive_depth >= kUncountedDrives) {
            if (Py_EnterRecursiveCall("") != 0) return false;
            counted_ = true;
        }
        ++t_drive_depth;
        return true;
    }
    bool counted_;
    bool entered_;
};

}  // namespace py
