// C++20 coroutines that run the bodies of the module's asynchronous
// operations.
//
// An operation is a real Python coroutine: its method is a Python `async
// def` (see function.hpp) whose frame starts the C++ body with
// `start_body` (a started method's with its own entry and `go_on`) and
// then drives it.  The body runs until its next
// `co_await x` and hands `x` back; the Python frame awaits `x` itself, with
// CPython's own `await`, and passes the outcome back in (`send` or `throw`
// of the `Body` object that stands for the waiting body).  So whatever the
// operation awaits is its `cr_await`, a cancellation or `close()` reaches
// the awaited object the way it does from any coroutine, and the body never
// drives another coroutine itself.  A body that never waits hands its
// result straight back and no Body object is made.
#pragma once

#include <coroutine>
#include <cstddef>
#include <new>
#include <utility>

#include "python/local.hpp"
#include "python/ref.hpp"

namespace py {

// The most arguments a body keeps.
inline constexpr int kMaxCoroArgs = 6;

struct BodyObject;

// What an awaited object gave: its value, or the error it raised (and no
// value).
struct Outcome {
    Ref value;
    Ref error;
};

// `co_await py::outcome_of(x)` awaits `x` as `co_await x` does, but hands
// an error back in the Outcome instead of throwing it: a C++ throw costs
// thousands of instructions, which an expected cancellation should not.
struct OutcomeOf {
    Ref awaitable;
};
inline OutcomeOf outcome_of(Ref awaitable) noexcept { return OutcomeOf{std::move(awaitable)}; }

// `co_return py::Raise{error}` ends a body with `error` without a C++ throw.
struct Raise {
    Ref error;
};

class Coro {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    // The `co_await` of a Python awaitable.
    struct Awaiter {
        promise_type* promise;
        Ref awaitable;
        bool await_ready() noexcept;
        void await_suspend(Handle) noexcept {}
        Ref await_resume();
    };

    // The `co_await` of py::outcome_of(x).
    struct OutcomeAwaiter {
        promise_type* promise;
        Ref awaitable;
        bool await_ready() noexcept;
        void await_suspend(Handle) noexcept {}
        Outcome await_resume() noexcept;
    };

    // The body's state lives here, in the C++ frame: the arguments it was
    // started with (owned, since a debugger may rebind the Python frame's
    // locals), what it keeps across waits, what it awaits, and how its
    // pending co_await is answered.
    struct promise_type {
        // The Body object, once the body first waits.  (Typed: g++ 12 fails to
        // compile the module's bodies when this is a PyObject*.)
        BodyObject* owner = nullptr;
        int nargs = 0;
        Ref args[kMaxCoroArgs];
        LocalList locals;  // what the body keeps across a co_await
        Ref awaiting;      // what the body's pending co_await waits for
        Ref result;        // the value of co_return
        Ref error;         // the exception that ended the body
        Ref delivered;     // value for the pending co_await
        Ref thrown;        // exception for the pending co_await
        Ref observed;      // the operation's qualified name, when its failure is reported (see start_body)

        // Frames come from the interpreter's allocator.
        static void* operator new(std::size_t size) {
            void* frame = PyMem_Malloc(size);
            if (!frame) throw std::bad_alloc();
            return frame;
        }
        static void operator delete(void* frame) noexcept { PyMem_Free(frame); }

        Coro get_return_object() noexcept { return Coro(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref value) noexcept { result = std::move(value); }
        void return_value(Raise raised) noexcept { error = std::move(raised.error); }
        void unhandled_exception();
        Awaiter await_transform(Ref awaitable) noexcept { return Awaiter{this, std::move(awaitable)}; }
        OutcomeAwaiter await_transform(OutcomeOf of) noexcept { return OutcomeAwaiter{this, std::move(of.awaitable)}; }
    };

    Coro() noexcept = default;  // no body
    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
    Coro(Coro&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Coro(const Coro&) = delete;
    Coro& operator=(const Coro&) = delete;
    ~Coro() {
        if (handle_) handle_.destroy();
    }
    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    explicit Coro(Handle h) noexcept : handle_(h) {}
    Handle handle_{};
};

// A body: made from the arguments of the operation's Python function (all
// borrowed; the body's frame owns them from its start).
using BodyFn = Coro (*)(PyObject* const* args);
// A body that takes only the instance.
using MethodBodyFn = Coro (*)(PyObject* self);

// How a body that often ends without waiting starts: a plain function runs
// its steps up to the first wait and gives the body's result, or the
// coroutine that goes on from there.  Ending at once then makes no C++
// frame.  References handed to that coroutine as arguments live in its
// frame, which the collector cannot see: each is awaited or let go of
// before the coroutine first waits, or is null by then.  Making the
// coroutine is the last thing the function does: nothing destroys a frame
// it has made.
struct Started {
    Started(Ref value) noexcept : result(std::move(value)) {}         // NOLINT: converts
    Started(Coro coroutine) noexcept : rest(std::move(coroutine)) {}  // NOLINT: converts
    Ref result;
    Coro rest;
};
using MethodStartFn = Started (*)(PyObject* self);

// Starts `body(args)` (or `method(args[0])`) and runs it until it ends or
// first waits: its result (a new reference), the Body object standing for
// the waiting body (of body_type()), or null with an error set.  With
// `observed` (the operation's qualified name, else null), an ordinary
// error the body ends with is first shown to the failure observer.
PyObject* start_body(BodyFn body, MethodBodyFn method, PyObject* observed, PyObject* const* args, Py_ssize_t nargs);

// Runs `rest`, which a started body's function gave for `self`, until it
// ends or first waits: as start_body answers.
PyObject* go_on(Coro rest, PyObject* self);

// Told, once, of the ordinary error (an Exception) an observed body ended
// with, before the error goes on to whoever drives the operation.  It may
// throw PyError: that error then ends the operation instead.
using FailureObserver = void (*)(PyObject* qualname, PyObject* error);
void set_failure_observer(FailureObserver observer) noexcept;

// The type of the objects that stand for a waiting body, made ready once at
// module initialisation.
PyTypeObject* body_type();
int body_type_ready();

}  // namespace py
