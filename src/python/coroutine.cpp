// The steps of a body: how it starts, how the outcome of what it awaited
// arrives back at its co_await, and how it ends.
#include "python/coroutine.hpp"

#include <utility>

#include "python/body_object.hpp"
#include "python/object.hpp"

namespace py {

thread_local constinit LocalList* t_running_locals __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

FailureObserver g_failure_observer = nullptr;

using Promise = Coro::promise_type;

// Ends the body: its frame (with the arguments and locals it owns) is
// destroyed and the Body object, if any, no longer refers to it.
void end(Coro::Handle frame) {
    Promise& p = frame.promise();
    if (p.owner) {
        p.owner->frame = {};
        p.owner->awaiting.reset();
    }
    frame.destroy();
}

// Shows the failure observer the ordinary error an observed body ended
// with (as a done-callback would see it: not as an error being handled);
// an error the observer raises instead ends the operation.
void report_failure(Ref& observed) {
    Ref name = std::move(observed);
    if (!name || !g_failure_observer || !PyErr_ExceptionMatches(PyExc_Exception)) return;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    try {
        g_failure_observer(name.get(), error.get());
    } catch (PyError& e) {
        error = e.take();
    }
    PyErr_SetRaisedException(error.release());
}

// The body has run to its end: collect its outcome and drop the frame.
PyObject* finish(Coro::Handle frame) {
    Promise& p = frame.promise();
    Ref result = std::move(p.result);
    Ref error = std::move(p.error);
    Ref observed = std::move(p.observed);
    end(frame);  // may run Python code (finalisers): nothing is set meanwhile
    if (error) {
        PyErr_SetRaisedException(error.release());
        report_failure(observed);
        return nullptr;
    }
    return result ? result.release() : none().release();
}

}  // namespace

void set_failure_observer(FailureObserver observer) noexcept { g_failure_observer = observer; }

PyObject* step(Coro::Handle frame, BodyObject* body, Ref value, Ref exc) {
    Promise& p = frame.promise();
    p.delivered = std::move(value);
    p.thrown = std::move(exc);
    if (body) body->running = true;
    LocalList* outer = std::exchange(t_running_locals, &p.locals);
    frame.resume();
    t_running_locals = outer;
    if (body) body->running = false;
    if (frame.done()) return finish(frame);
    Ref waiting = body ? Ref::borrow(reinterpret_cast<PyObject*>(body)) : make_body_object(frame);
    if (!waiting) {  // no memory for it: the body goes without being resumed
        Ref error = Ref::steal(PyErr_GetRaisedException());
        end(frame);
        PyErr_SetRaisedException(error.release());
        return nullptr;
    }
    as_body(waiting.get())->awaiting = std::move(p.awaiting);
    return waiting.release();
}

PyObject* start_body(BodyFn body, MethodBodyFn method, PyObject* observed, PyObject* const* args, Py_ssize_t nargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs > kMaxCoroArgs || (method && nargs < 1)) raise(PyExc_TypeError, "wrong arguments for a body");
        Coro::Handle frame = (method ? method(args[0]) : body(args)).release();
        Promise& p = frame.promise();
        for (Py_ssize_t i = 0; i < nargs; ++i) p.args[i] = Ref::borrow(args[i]);
        p.nargs = static_cast<int>(nargs);
        p.observed = Ref::borrow(observed);
        return step(frame, nullptr, none(), Ref());
    });
}

PyObject* go_on(Coro rest, PyObject* self) {
    Coro::Handle frame = rest.release();
    Promise& p = frame.promise();
    p.args[0] = Ref::borrow(self);
    p.nargs = 1;
    return step(frame, nullptr, none(), Ref());
}

void drop_frame(BodyObject* body) {
    if (body->frame && !body->running) end(body->frame);
}

int traverse_frame(BodyObject* body, visitproc visit, void* arg) {
    if (!body->frame) return 0;
    Promise& p = body->frame.promise();
    for (int i = 0; i < p.nargs; ++i) Py_VISIT(p.args[i].get());
    for (const Ref* member : {&p.awaiting, &p.result, &p.error, &p.delivered, &p.thrown, &p.observed})
        Py_VISIT(member->get());
    return Local::traverse(p.locals, visit, arg);
}

bool Coro::Awaiter::await_ready() noexcept {
    promise->awaiting = std::move(awaitable);
    return false;
}

bool Coro::OutcomeAwaiter::await_ready() noexcept {
    promise->awaiting = std::move(awaitable);
    return false;
}

Outcome Coro::OutcomeAwaiter::await_resume() noexcept {
    if (promise->thrown) return Outcome{Ref(), std::move(promise->thrown)};
    if (!promise->delivered) return Outcome{none(), Ref()};
    return Outcome{std::move(promise->delivered), Ref()};
}

Ref Coro::Awaiter::await_resume() {
    if (promise->thrown) throw PyError(std::move(promise->thrown));
    if (!promise->delivered) return none();  // never NULL into a body
    return std::move(promise->delivered);
}

void Coro::promise_type::unhandled_exception() {
    try {
        throw;
    } catch (PyError& e) {
        error = e.take();
    } catch (...) {
        set_error_from_current_exception();  // a forced unwind goes on from here
        error = Ref::steal(PyErr_GetRaisedException());
    }
}

}  // namespace py
