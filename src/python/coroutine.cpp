// The state machine of a body, modelled on `await` in CPython's
// genobject.c: how a body starts, what send, throw and close forward to the
// object it awaits, and how that object's outcome arrives back at the
// body's co_await.
#include "python/coroutine.hpp"

#include <utility>

#include "python/body_object.hpp"
#include "python/object.hpp"
#include "python/recursion.hpp"

namespace py {

thread_local constinit LocalList* t_running_locals __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

PyObject* g_name_close = nullptr;
PyObject* g_name_throw = nullptr;
PyObject* g_name_cr_suspended = nullptr;
FailureObserver g_failure_observer = nullptr;

using Promise = Coro::promise_type;

Ref take_raised() { return Ref::steal(PyErr_GetRaisedException()); }

// Takes the outcome of a failed step: a StopIteration is its value
// (PYGEN_RETURN), and so is a failure with no exception set, which `await`
// reads as the awaitable finishing with None.
PySendResult take_error_or_return(Ref* value, Ref* exc) {
    Ref raised = take_raised();
    if (!raised) {
        *value = none();
        return PYGEN_RETURN;
    }
    if (PyErr_GivenExceptionMatches(raised.get(), PyExc_StopIteration)) {
        *value = Ref::borrow(reinterpret_cast<PyStopIterationObject*>(raised.get())->value);
        if (!*value) *value = none();
        return PYGEN_RETURN;
    }
    *exc = std::move(raised);
    return PYGEN_ERROR;
}

// Ends the body: its frame (with the arguments and locals it owns) is
// destroyed and the Body object, if any, no longer refers to it.
void end(Coro::Handle frame) {
    Promise& p = frame.promise();
    p.state = BodyState::Done;
    if (p.owner) p.owner->frame = {};
    frame.destroy();
}

// Shows the failure observer the ordinary error an observed body ended
// with (as a done-callback would see it: not as an error being handled);
// an error the observer raises instead ends the operation.
void report_failure(Ref& observed) {
    Ref name = std::move(observed);
    if (!name || !g_failure_observer || !PyErr_ExceptionMatches(PyExc_Exception)) return;
    Ref error = take_raised();
    try {
        g_failure_observer(name.get(), error.get());
    } catch (PyError& e) {
        error = e.take();
    }
    PyErr_SetRaisedException(error.release());
}

// Raises `error` as the error that ended the body; a StopIteration becomes
// RuntimeError, as in Python (the Python frame awaiting a Body would read a
// StopIteration as its result).
void raise_from_body(Ref error) {
    PyErr_SetRaisedException(error.release());
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    Ref stop = take_raised();
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    PyObject* wrapped = PyErr_GetRaisedException();
    PyException_SetCause(wrapped, stop.new_ref());
    PyException_SetContext(wrapped, stop.release());
    PyErr_SetRaisedException(wrapped);
}

// The body has run to its end: collect its outcome and drop the frame.
PySendResult finish(Coro::Handle frame, PyObject** out) {
    Promise& p = frame.promise();
    Ref result = std::move(p.result);
    Ref error = std::move(p.error);
    Ref observed = std::move(p.observed);
    end(frame);  // may run Python code (finalisers): nothing is set meanwhile
    if (error) {
        raise_from_body(std::move(error));
        report_failure(observed);
        return PYGEN_ERROR;
    }
    *out = result ? result.release() : none().release();
    return PYGEN_RETURN;
}

// Resumes the body at its pending co_await with `value` (or raises `exc`
// there) and drives it until an awaited object yields or the body ends.
PySendResult resume_body(Coro::Handle frame, Ref value, Ref exc, PyObject** out) {
    Promise& p = frame.promise();
    for (;;) {
        p.state = BodyState::Running;
        p.delivered = std::move(value);
        p.thrown = std::move(exc);
        LocalList* outer = std::exchange(t_running_locals, &p.locals);
        frame.resume();
        t_running_locals = outer;
        if (frame.done()) return finish(frame, out);
        // A new delegate: start it, as `await` does.
        PyObject* yielded = nullptr;
        Ref delegate = p.delegate;
        PySendResult r = PyIter_Send(delegate.get(), Py_None, &yielded);
        if (r == PYGEN_NEXT) {
            p.state = BodyState::Suspended;
            *out = yielded;
            return PYGEN_NEXT;
        }
        p.delegate.reset();
        if (r == PYGEN_RETURN) {
            value = Ref::steal(yielded);
        } else {
            take_error_or_return(&value, &exc);
        }
    }
}

// Continues after the delegate answered a send or throw.
PySendResult after_delegate(Coro::Handle frame, PySendResult r, PyObject* yielded, PyObject** out) {
    Promise& p = frame.promise();
    if (r == PYGEN_NEXT) {
        p.state = BodyState::Suspended;
        *out = yielded;
        return PYGEN_NEXT;
    }
    p.delegate.reset();
    if (r == PYGEN_RETURN) return resume_body(frame, Ref::steal(yielded), Ref(), out);
    Ref value, exc;
    take_error_or_return(&value, &exc);
    return resume_body(frame, std::move(value), std::move(exc), out);
}

PySendResult already_executing() {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
}

PySendResult already_awaited() {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
}

// The state a driver finds the body in: Done once the frame is gone.
BodyState state_of(BodyObject* b) { return b->frame ? b->frame.promise().state : BodyState::Done; }

// Closes what the body awaits, leaving it in place: 0, or -1 with the error
// closing it raised.  A `close` that cannot even be looked up is reported
// as unraisable and counts as closed, as in Python.
int close_delegate(Coro::Handle frame) {
    Ref delegate = frame.promise().delegate;
    if (Py_TYPE(delegate.get()) == body_type()) return body_close(as_body(delegate.get()));
    PyObject* found = nullptr;
    if (lookup_attr(delegate.get(), g_name_close, &found) < 0) PyErr_WriteUnraisable(delegate.get());
    Ref method = Ref::steal(found);
    if (!method) return 0;
    Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
    return result ? 0 : -1;
}

// What throw()'s arguments raise where they land, into *exc (an error
// raised while making the exception lands instead); -1 with TypeError set
// when the arguments are refused, and then nothing is thrown anywhere.
int exception_to_throw(Thrown t, Ref* exc) {
    PyObject* tb = t.tb == Py_None ? nullptr : t.tb;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return -1;
    }
    if (PyExceptionInstance_Check(t.type)) {
        if (t.value && t.value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return -1;
        }
        *exc = Ref::borrow(t.type);
        if (tb && PyException_SetTraceback(exc->get(), tb) < 0) *exc = take_raised();
        return 0;
    }
    if (!PyExceptionClass_Check(t.type)) {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(t.type)->tp_name);
        return -1;
    }
    PyObject* value = t.value;
    int is_instance = 0;
    if (value && PyExceptionInstance_Check(value)) {
        is_instance = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value)), t.type);
        if (is_instance < 0) {
            *exc = take_raised();
            return 0;
        }
    }
    Ref made;
    if (is_instance) {
        made = Ref::borrow(value);
    } else if (!value || value == Py_None) {
        made = Ref::steal(PyObject_CallNoArgs(t.type));
    } else if (PyTuple_Check(value)) {
        made = Ref::steal(PyObject_Call(t.type, value, nullptr));
    } else {
        made = Ref::steal(PyObject_CallOneArg(t.type, value));
    }
    if (made && !PyExceptionInstance_Check(made.get())) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", t.type,
                     Py_TYPE(made.get())->tp_name);
        made.reset();
    }
    if (!made || PyException_SetTraceback(made.get(), tb ? tb : Py_None) < 0) {
        *exc = take_raised();
        return 0;
    }
    *exc = std::move(made);
    return 0;
}

// throw() where no delegate takes the exception: raised at the body's
// co_await.
PySendResult throw_here(BodyObject* b, Thrown t, PyObject** out) {
    Ref exc;
    if (exception_to_throw(t, &exc) < 0) {
        if (b->frame && b->frame.promise().state == BodyState::Running)
            b->frame.promise().state = BodyState::Suspended;  // the delegate is still there
        return PYGEN_ERROR;
    }
    if (!b->frame) return already_awaited();
    b->frame.promise().delegate.reset();
    return resume_body(b->frame, Ref(), std::move(exc), out);
}

// The delegate is not a Body: its own `throw` takes the arguments as
// given, or, without one, the body gets the exception.
PySendResult throw_into_foreign(BodyObject* b, Thrown t, PyObject** out) {
    Ref delegate = b->frame.promise().delegate;
    PyObject* found = nullptr;
    if (lookup_attr(delegate.get(), g_name_throw, &found) < 0) return PYGEN_ERROR;
    Ref method = Ref::steal(found);
    // The lookup ran Python code (a property, __getattr__), which may have
    // driven this body on: to its end, or to another await.  The throw
    // then goes where the body now is.
    if (state_of(b) != BodyState::Suspended || b->frame.promise().delegate.get() != delegate.get()) {
        if (state_of(b) == BodyState::Done) return already_awaited();
        return body_throw(b, t, out);
    }
    if (!method) return throw_here(b, t, out);
    b->frame.promise().state = BodyState::Running;
    PyObject* yielded = PyObject_CallFunctionObjArgs(method.get(), t.type, t.value, t.tb, nullptr);
    if (yielded) return after_delegate(b->frame, PYGEN_NEXT, yielded, out);
    return after_delegate(b->frame, PYGEN_ERROR, nullptr, out);
}

}  // namespace

void set_failure_observer(FailureObserver observer) noexcept { g_failure_observer = observer; }

PyObject* start_body(BodyFn body, MethodBodyFn method, PyObject* observed, PyObject* const* args, Py_ssize_t nargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs > kMaxCoroArgs) raise(PyExc_TypeError, "too many arguments for a coroutine body");
        NestedDrive depth;
        if (!depth) return nullptr;
        Coro::Handle frame = (method ? method(args[0]) : body(args)).release();
        Promise& p = frame.promise();
        for (Py_ssize_t i = 0; i < nargs; ++i) p.args[i] = Ref::borrow(args[i]);
        p.nargs = static_cast<int>(nargs);
        p.observed = Ref::borrow(observed);
        PyObject* out = nullptr;
        PySendResult r = resume_body(frame, none(), Ref(), &out);
        if (r == PYGEN_RETURN) return out;
        if (r == PYGEN_ERROR) return nullptr;
        Ref waiting = make_body_object(frame, Ref::steal(out));
        if (!waiting) {  // no memory for it: the body goes without being driven further
            Ref error = take_raised();
            end(frame);
            PyErr_SetRaisedException(error.release());
        }
        return waiting.release();
    });
}

PySendResult body_send(BodyObject* b, PyObject* arg, PyObject** out) {
    NestedDrive depth;
    if (!depth) return PYGEN_ERROR;
    switch (state_of(b)) {
        case BodyState::Running:
            return already_executing();
        case BodyState::Done:
            return already_awaited();
        case BodyState::Suspended:
            break;
    }
    if (b->first_yield) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        *out = b->first_yield.release();
        return PYGEN_NEXT;
    }
    b->frame.promise().state = BodyState::Running;
    PyObject* yielded = nullptr;
    Ref delegate = b->frame.promise().delegate;
    PySendResult r = PyIter_Send(delegate.get(), arg, &yielded);
    return after_delegate(b->frame, r, yielded, out);
}

PySendResult body_throw(BodyObject* b, Thrown t, PyObject** out) {
    NestedDrive depth;
    if (!depth) return PYGEN_ERROR;
    BodyState state = state_of(b);
    if (state == BodyState::Running) return already_executing();
    if (state == BodyState::Done) {
        Ref exc;
        if (exception_to_throw(t, &exc) < 0) return PYGEN_ERROR;
        return already_awaited();
    }
    b->first_yield.reset();
    Coro::Handle frame = b->frame;
    if (PyErr_GivenExceptionMatches(t.type, PyExc_GeneratorExit)) {
        // Close the delegate, then raise in the body; an error closing it
        // is raised there instead.
        frame.promise().state = BodyState::Running;
        if (close_delegate(frame) < 0) {
            frame.promise().delegate.reset();
            return resume_body(frame, Ref(), take_raised(), out);
        }
        return throw_here(b, t, out);
    }
    Ref delegate = frame.promise().delegate;
    if (Py_TYPE(delegate.get()) != body_type()) return throw_into_foreign(b, t, out);
    frame.promise().state = BodyState::Running;
    PyObject* yielded = nullptr;
    PySendResult r = body_throw(as_body(delegate.get()), t, &yielded);
    return after_delegate(frame, r, yielded, out);
}

int body_close(BodyObject* b) {
    NestedDrive depth;
    if (!depth) return -1;
    switch (state_of(b)) {
        case BodyState::Running:
            already_executing();
            return -1;
        case BodyState::Done:
            return 0;
        case BodyState::Suspended:
            break;
    }
    b->first_yield.reset();
    Coro::Handle frame = b->frame;
    frame.promise().state = BodyState::Running;
    if (close_delegate(frame) == 0) PyErr_SetNone(PyExc_GeneratorExit);
    frame.promise().delegate.reset();
    PyObject* out = nullptr;
    PySendResult r = resume_body(frame, Ref(), take_raised(), &out);
    Ref dropped = Ref::steal(out);
    if (r == PYGEN_NEXT) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return -1;
    }
    if (r == PYGEN_RETURN) return 0;
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

void drop_frame(BodyObject* b) {
    if (b->frame && b->frame.promise().state != BodyState::Running) end(b->frame);
}

int traverse_frame(BodyObject* b, visitproc visit, void* arg) {
    if (!b->frame) return 0;
    Promise& p = b->frame.promise();
    for (int i = 0; i < p.nargs; ++i) Py_VISIT(p.args[i].get());
    for (const Ref* member : {&p.delegate, &p.result, &p.error, &p.delivered, &p.thrown, &p.observed})
        Py_VISIT(member->get());
    return Local::traverse(p.locals, visit, arg);
}

namespace {

// Whether a native coroutine is suspended in an await (so another awaiter
// owns it); -1 with an error set.
int native_coroutine_awaited(PyObject* o) {
    Ref suspended = Ref::steal(PyObject_GetAttr(o, g_name_cr_suspended));
    if (!suspended) return -1;
    return PyObject_IsTrue(suspended.get());
}

bool is_iterable_coroutine(PyObject* o) {
    return PyGen_CheckExact(o) && (PyGen_GetCode(reinterpret_cast<PyGenObject*>(o))->co_flags & CO_ITERABLE_COROUTINE);
}

// The iterator `await x` would use for `x`, or a null Ref with an error
// set, with Python's checks and messages.
Ref awaitable_iter(PyObject* o) {
    if (PyCoro_CheckExact(o)) {
        int awaited = native_coroutine_awaited(o);
        if (awaited < 0) return Ref();
        if (awaited) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return Ref();
        }
        return Ref::borrow(o);
    }
    if (is_iterable_coroutine(o)) return Ref::borrow(o);
    unaryfunc getter = Py_TYPE(o)->tp_as_async ? Py_TYPE(o)->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
        return Ref();
    }
    Ref it = Ref::steal(getter(o));
    if (!it) return Ref();
    if (PyCoro_CheckExact(it.get()) || is_iterable_coroutine(it.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return Ref();
    }
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
        return Ref();
    }
    return it;
}

}  // namespace

bool Coro::Awaiter::await_ready() {
    Ref it = awaitable_iter(awaitable.get());
    awaitable.reset();
    if (!it) {
        promise->thrown = take_raised();
        return true;  // deliver the error at once, without suspending
    }
    promise->delegate = std::move(it);
    return false;
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
        error = take_raised();
    }
}

int body_state_machine_ready() {
    for (auto [name, text] : {std::pair{&g_name_close, "close"}, std::pair{&g_name_throw, "throw"},
                              std::pair{&g_name_cr_suspended, "cr_suspended"}}) {
        if (!*name) *name = PyUnicode_InternFromString(text);
        if (!*name) return -1;
    }
    return 0;
}

}  // namespace py
