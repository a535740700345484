// C++20 coroutines that run the bodies of the module's asynchronous
// operations.
//
// An operation is a real Python coroutine: its method is a Python function
// whose small `async def` body (see function.hpp) starts the C++ body with
// `start_body`.  The body runs at once, inside that Python frame, until it
// ends or an object it awaits yields.  A body that ends there hands its
// result straight back; one that waits is given a `Body` object, which the
// Python frame awaits: send, throw and close reach the body through it, and
// the collector sees what the body keeps through it.
//
// `co_await x` accepts any Python awaitable and delegates to it the way
// `await` does: what the awaitable yields goes up to whoever drives the
// coroutine, `send`/`throw`/`close` are forwarded to it, and its result or
// raised exception arrives back at the `co_await` (a cancellation arrives as
// a CancelledError thrown as PyError).
#pragma once

#include <coroutine>
#include <cstddef>
#include <new>

#include "python/local.hpp"
#include "python/ref.hpp"

namespace py {

// The most arguments a body keeps.
inline constexpr int kMaxCoroArgs = 6;

struct BodyObject;

enum class BodyState { Running, Suspended, Done };

class Coro {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    // The `co_await` of a Python awaitable.
    struct Awaiter {
        promise_type* promise;
        Ref awaitable;
        bool await_ready();
        void await_suspend(Handle) noexcept {}
        Ref await_resume();
    };

    // The body's state lives here, in the C++ frame: the arguments it was
    // started with (owned, since a debugger may rebind the Python frame's
    // locals), what it keeps across waits, what it awaits, and how its
    // pending co_await is answered.
    struct promise_type {
        // The Body object, once the body first waits.  (Typed: g++ 12 fails to
        // compile the module's bodies when this is a PyObject*.)
        BodyObject* owner = nullptr;
        BodyState state = BodyState::Running;
        int nargs = 0;
        Ref args[kMaxCoroArgs];
        LocalList locals;  // what the body keeps across a co_await
        Ref delegate;      // what the body currently awaits (an iterator)
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
        void unhandled_exception();
        Awaiter await_transform(Ref awaitable) noexcept { return Awaiter{this, std::move(awaitable)}; }
    };

    Coro(Coro&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Coro(const Coro&) = delete;
    Coro& operator=(const Coro&) = delete;
    ~Coro() {
        if (handle_) handle_.destroy();
    }
    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    explicit Coro(Handle h) noexcept : handle_(h) {}
    Handle handle_;
};

// A body: made from the arguments of the operation's Python function (all
// borrowed; the body's frame owns them from its start).
using BodyFn = Coro (*)(PyObject* const* args);
// A body that takes only the instance.
using MethodBodyFn = Coro (*)(PyObject* self);

// Starts `body(args)` (or `method(args[0])`) and runs it until it ends or first waits: its result
// (a new reference), the Body object to await (of body_type()), or null
// with an error set.  With `observed` (the operation's qualified name, else
// null), an ordinary error the body ends with is first shown to the
// failure observer.
PyObject* start_body(BodyFn body, MethodBodyFn method, PyObject* observed, PyObject* const* args, Py_ssize_t nargs);

// Told, once, of the ordinary error (an Exception) an observed body ended
// with, before the error goes on to whoever drives the operation.  It may
// throw PyError: that error then ends the operation instead.
using FailureObserver = void (*)(PyObject* qualname, PyObject* error);
void set_failure_observer(FailureObserver observer) noexcept;

// The type of the objects a waiting body is awaited through, made ready once
// at module initialisation.
PyTypeObject* body_type();
int body_type_ready();

}  // namespace py
