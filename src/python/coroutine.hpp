// C++20 coroutines whose objects are Python coroutine objects.
//
// A body is a C++ coroutine returning `Coro`.  `co_await x` accepts any
// Python awaitable and delegates to it the way `await` does: what the
// awaitable yields goes up to whoever drives the coroutine (an asyncio Task
// or an awaiting Python frame), `send`/`throw`/`close` are forwarded to it,
// and its result or raised exception arrives back at the `co_await`.  A
// cancellation therefore arrives as a CancelledError thrown as PyError.
//
// The C++ frame is invisible to the cyclic GC, so arguments the body needs
// (and `self`) are owned by the coroutine object, which traverses them; the
// body receives them as borrowed pointers that stay valid for its lifetime.
#pragma once

#include <coroutine>
#include <cstddef>
#include <initializer_list>
#include <new>

#include "python/ref.hpp"

namespace py {

struct CoroObject;

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

    struct promise_type {
        CoroObject* owner = nullptr;
        Ref result;     // the value of co_return
        Ref error;      // the exception that ended the body
        Ref delivered;  // value for the pending co_await
        Ref thrown;     // exception for the pending co_await

        // Frames come from the interpreter's small-object allocator.
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

// Names the coroutine object reports (`__name__`, `__qualname__`).
struct CoroNames {
    PyObject* name;
    PyObject* qualname;
};

// The most arguments a coroutine object keeps for its body.
inline constexpr int kMaxCoroArgs = 4;

// Builds a coroutine object that owns `args` and runs `body(args)` when
// driven.  Calling this runs none of the body.
template <class Body>
Ref make_coroutine(CoroNames names, std::initializer_list<PyObject*> args, Body body);

// Implementation details of make_coroutine.
Ref coro_alloc(CoroNames names, std::initializer_list<PyObject*> args, PyObject* const** kept);
void coro_attach(PyObject* coro, Coro::Handle frame) noexcept;

template <class Body>
Ref make_coroutine(CoroNames names, std::initializer_list<PyObject*> args, Body body) {
    PyObject* const* kept = nullptr;
    Ref coro = coro_alloc(names, args, &kept);
    Coro frame = body(kept);
    coro_attach(coro.get(), frame.release());
    return coro;
}

// Told, once, of the ordinary error (an Exception) a coroutine body ended
// with, before the error goes on to whoever drives the coroutine.  Must
// leave no error set.  Cancellation and closing are not failures.
using FailureObserver = void (*)(PyObject* coro, PyObject* error);

// Has `coro`, a coroutine of this type that has not started, report its
// failure to `observer`: the cheap form of a done-callback that logs.
// False (and nothing done) for any other awaitable.
bool observe_failure(PyObject* coro, FailureObserver observer) noexcept;

// The coroutine type, made ready once at module initialisation.
PyTypeObject* coroutine_type();
int coroutine_type_ready();

}  // namespace py
