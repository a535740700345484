// The state machine of the module's coroutine objects, modelled on
// `yield from`/`await` in CPython's genobject.c: what send, throw and close
// forward to the awaited object, and how its outcome arrives back at the
// body's co_await.
#include "python/coroutine.hpp"

#include <new>
#include <utility>

#include "python/coroutine_object.hpp"
#include "python/object.hpp"
#include "python/recursion.hpp"

namespace py {

thread_local constinit LocalList* t_running_locals __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

PyObject* g_name_close = nullptr;
PyObject* g_name_throw = nullptr;
PyObject* g_name_cr_suspended = nullptr;

Ref take_raised() { return Ref::steal(PyErr_GetRaisedException()); }

// Takes the pending error; a StopIteration becomes its value (PYGEN_RETURN).
PySendResult take_error_or_return(Ref* value, Ref* exc) {
    Ref raised = take_raised();
    if (raised && PyErr_GivenExceptionMatches(raised.get(), PyExc_StopIteration)) {
        *value = Ref::borrow(reinterpret_cast<PyStopIterationObject*>(raised.get())->value);
        if (!*value) *value = none();
        return PYGEN_RETURN;
    }
    *exc = std::move(raised);
    return PYGEN_ERROR;
}

void release_args(CoroObject* c) {
    for (int i = 0; i < c->nargs; ++i) c->args[i].reset();
    c->nargs = 0;
}

void destroy_frame(CoroObject* c) {
    if (c->frame) {
        Coro::Handle frame = std::exchange(c->frame, {});
        frame.destroy();
    }
}

// Shows the observer (if any) the ordinary error the body ended with; the
// error stays set for the driver.
void report_failure(CoroObject* c) {
    FailureObserver observer = std::exchange(c->failure_observer, nullptr);
    if (!observer || !PyErr_ExceptionMatches(PyExc_Exception)) return;
    Ref error = take_raised();
    observer(reinterpret_cast<PyObject*>(c), error.get());
    PyErr_SetRaisedException(error.release());
}

void end(CoroObject* c) {
    c->state = CoroState::Done;
    destroy_frame(c);
    release_args(c);
    c->frame_object.reset();
}

// Raises `error` as the error that ended the body, with the body's
// traceback entry; a StopIteration becomes RuntimeError, as in Python.
void raise_from_body(CoroObject* c, Ref error) {
    PyErr_SetRaisedException(error.release());
    add_body_traceback(c);
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    Ref stop = take_raised();
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    PyObject* wrapped = PyErr_GetRaisedException();
    PyException_SetCause(wrapped, stop.new_ref());
    PyException_SetContext(wrapped, stop.release());
    PyErr_SetRaisedException(wrapped);
}

// Ends the coroutine with `error`, raised as the body's; the error is set
// for the driver once the frame is gone.
PySendResult end_with_error(CoroObject* c, Ref error) {
    raise_from_body(c, std::move(error));
    error = take_raised();  // destroying the frame may run Python code
    end(c);
    PyErr_SetRaisedException(error.release());
    report_failure(c);
    return PYGEN_ERROR;
}

// The body has run to its end: collect its outcome and drop the frame.
PySendResult finish(CoroObject* c, PyObject** out) {
    auto& promise = c->frame.promise();
    Ref result = std::move(promise.result);
    Ref error = std::move(promise.error);
    if (error) return end_with_error(c, std::move(error));
    end(c);
    *out = result ? result.release() : none().release();
    return PYGEN_RETURN;
}

// Resumes the body at its pending co_await with `value` (or raises `exc`
// there) and drives it until an awaited object yields or the body ends.
PySendResult resume_body(CoroObject* c, Ref value, Ref exc, PyObject** out) {
    auto& promise = c->frame.promise();
    for (;;) {
        promise.delivered = std::move(value);
        promise.thrown = std::move(exc);
        LocalList* outer = std::exchange(t_running_locals, &c->locals);
        c->frame.resume();
        t_running_locals = outer;
        if (c->frame.done()) return finish(c, out);
        // A new delegate: start it, as `await` does.
        PyObject* yielded = nullptr;
        Ref delegate = c->delegate;
        PySendResult r = PyIter_Send(delegate.get(), Py_None, &yielded);
        if (r == PYGEN_NEXT) {
            c->state = CoroState::Suspended;
            *out = yielded;
            return PYGEN_NEXT;
        }
        c->delegate.reset();
        if (r == PYGEN_RETURN) {
            value = Ref::steal(yielded);
        } else {
            exc = take_raised();
        }
    }
}

// Continues after the delegate answered a send or throw.
PySendResult after_delegate(CoroObject* c, PySendResult r, PyObject* yielded, PyObject** out) {
    if (r == PYGEN_NEXT) {
        c->state = CoroState::Suspended;
        *out = yielded;
        return PYGEN_NEXT;
    }
    c->delegate.reset();
    if (r == PYGEN_RETURN) return resume_body(c, Ref::steal(yielded), Ref(), out);
    return resume_body(c, Ref(), take_raised(), out);
}

PySendResult already_executing() {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
}

PySendResult already_awaited() {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
}

// Closes what the body awaits, leaving it in place: 0, or -1 with the error
// closing it raised.  A `close` that cannot even be looked up is reported
// as unraisable and counts as closed, as in Python.
int close_delegate(CoroObject* c) {
    Ref delegate = c->delegate;
    if (is_module_coroutine(delegate.get())) return coro_close(as_coro(delegate.get()));
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
// co_await (or ending a body that never started).
PySendResult throw_here(CoroObject* c, Thrown t, PyObject** out) {
    Ref exc;
    if (exception_to_throw(t, &exc) < 0) {
        if (c->state == CoroState::Running) c->state = CoroState::Suspended;  // the delegate is still there
        return PYGEN_ERROR;
    }
    switch (c->state) {
        case CoroState::Done:
            return already_awaited();
        case CoroState::Created:
            c->state = CoroState::Running;
            return end_with_error(c, std::move(exc));
        default:
            c->state = CoroState::Running;
            c->delegate.reset();
            return resume_body(c, Ref(), std::move(exc), out);
    }
}

// The delegate is not a module coroutine: its own `throw` takes the
// arguments as given, or, without one, the body gets the exception.
PySendResult throw_into_foreign(CoroObject* c, Thrown t, PyObject** out) {
    Ref delegate = c->delegate;
    PyObject* found = nullptr;
    if (lookup_attr(delegate.get(), g_name_throw, &found) < 0) return PYGEN_ERROR;
    Ref method = Ref::steal(found);
    // The lookup ran Python code (a property, __getattr__), which may have
    // driven this coroutine on: to its end, or to another await.  The
    // throw then goes where the coroutine now is.
    if (c->state != CoroState::Suspended || c->delegate.get() != delegate.get()) {
        if (c->state == CoroState::Done) return already_awaited();
        return coro_throw(c, t, out);
    }
    if (!method) return throw_here(c, t, out);
    c->state = CoroState::Running;
    PyObject* yielded = PyObject_CallFunctionObjArgs(method.get(), t.type, t.value, t.tb, nullptr);
    if (yielded) return after_delegate(c, PYGEN_NEXT, yielded, out);
    c->delegate.reset();
    Ref value, error;
    if (take_error_or_return(&value, &error) == PYGEN_RETURN) return resume_body(c, std::move(value), Ref(), out);
    return resume_body(c, Ref(), std::move(error), out);
}

}  // namespace

void end_unstarted(CoroObject* c) { end(c); }

PySendResult coro_send(CoroObject* c, PyObject* arg, PyObject** out) {
    NestedDrive depth;
    if (!depth) {
        // As for a Python coroutine whose first step hits the limit: the
        // body has started and ended with the RecursionError.
        if (c->state == CoroState::Created) {
            Ref error = take_raised();
            end(c);
            PyErr_SetRaisedException(error.release());
            report_failure(c);
        }
        return PYGEN_ERROR;
    }
    switch (c->state) {
        case CoroState::Running:
            return already_executing();
        case CoroState::Done:
            return already_awaited();
        case CoroState::Created:
            if (arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            c->state = CoroState::Running;
            return resume_body(c, none(), Ref(), out);
        case CoroState::Suspended:
            break;
    }
    c->state = CoroState::Running;
    PyObject* yielded = nullptr;
    Ref delegate = c->delegate;
    PySendResult r = PyIter_Send(delegate.get(), arg, &yielded);
    return after_delegate(c, r, yielded, out);
}

PySendResult coro_throw(CoroObject* c, Thrown t, PyObject** out) {
    NestedDrive depth;
    if (!depth) return PYGEN_ERROR;
    if (c->state == CoroState::Running) return already_executing();
    if (c->state != CoroState::Suspended) return throw_here(c, t, out);
    if (PyErr_GivenExceptionMatches(t.type, PyExc_GeneratorExit)) {
        // Close the delegate, then raise in the body; an error closing it
        // is raised there instead.
        c->state = CoroState::Running;
        if (close_delegate(c) < 0) {
            c->delegate.reset();
            return resume_body(c, Ref(), take_raised(), out);
        }
        return throw_here(c, t, out);
    }
    if (!is_module_coroutine(c->delegate.get())) return throw_into_foreign(c, t, out);
    c->state = CoroState::Running;
    Ref delegate = c->delegate;
    PyObject* yielded = nullptr;
    PySendResult r = coro_throw(as_coro(delegate.get()), t, &yielded);
    return after_delegate(c, r, yielded, out);
}

int coro_close(CoroObject* c) {
    NestedDrive depth;
    if (!depth) return -1;
    switch (c->state) {
        case CoroState::Running:
            already_executing();
            return -1;
        case CoroState::Done:
            return 0;
        case CoroState::Created:
            end(c);
            return 0;
        case CoroState::Suspended:
            break;
    }
    c->state = CoroState::Running;
    if (close_delegate(c) == 0) PyErr_SetNone(PyExc_GeneratorExit);
    c->delegate.reset();
    PyObject* out = nullptr;
    PySendResult r = resume_body(c, Ref(), take_raised(), &out);
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

Ref being_awaited_already() {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return Ref();
}

// The iterator `await x` would use for `x`, or a null Ref with an error
// set, with Python's checks and messages.  A module coroutine is its own.
Ref awaitable_iter(PyObject* o) {
    if (is_module_coroutine(o)) {
        if (as_coro(o)->state == CoroState::Suspended) return being_awaited_already();
        return Ref::borrow(o);
    }
    if (PyCoro_CheckExact(o)) {
        int awaited = native_coroutine_awaited(o);
        if (awaited < 0) return Ref();
        if (awaited) return being_awaited_already();
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
    if (PyCoro_CheckExact(it.get()) || is_module_coroutine(it.get()) || is_iterable_coroutine(it.get())) {
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
    promise->owner->delegate = std::move(it);
    return false;
}

Ref Coro::Awaiter::await_resume() {
    if (promise->thrown) throw PyError(std::move(promise->thrown));
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

Ref coro_alloc(CoroNames names, std::initializer_list<PyObject*> args, PyObject* const** kept,
               std::source_location where) {
    if (args.size() > kMaxCoroArgs) raise(PyExc_RuntimeError, "too many coroutine arguments");
    Ref origin = origin_here();
    CoroObject* c = PyObject_GC_New(CoroObject, g_coroutine_type);
    if (!c) throw_error();
    c->frame = {};
    c->state = CoroState::Done;
    new (&c->delegate) Ref();
    new (&c->name) Ref(Ref::borrow(names.name));
    new (&c->qualname) Ref(Ref::borrow(names.qualname));
    new (&c->function) Ref(Ref::borrow(names.function));
    new (&c->code) Ref();
    new (&c->frame_object) Ref();
    new (&c->origin) Ref(std::move(origin));
    c->created_at = where;
    c->weakreflist = nullptr;
    new (&c->locals) LocalList();
    c->failure_observer = nullptr;
    c->nargs = 0;
    for (Ref& arg : c->args) new (&arg) Ref();
    for (PyObject* a : args) {
        c->args[c->nargs] = Ref::borrow(a);
        c->body_args[c->nargs++] = a;
    }
    *kept = c->body_args;
    return Ref::steal(reinterpret_cast<PyObject*>(c));
}

void coro_attach(PyObject* coro, Coro::Handle frame) noexcept {
    CoroObject* c = as_coro(coro);
    frame.promise().owner = c;
    c->frame = frame;
    c->state = CoroState::Created;
    PyObject_GC_Track(coro);
}

bool observe_failure(PyObject* coro, FailureObserver observer) noexcept {
    if (!is_module_coroutine(coro) || as_coro(coro)->state != CoroState::Created) return false;
    as_coro(coro)->failure_observer = observer;
    return true;
}

int coroutine_state_machine_ready() {
    for (auto [name, text] : {std::pair{&g_name_close, "close"}, std::pair{&g_name_throw, "throw"},
                              std::pair{&g_name_cr_suspended, "cr_suspended"}}) {
        if (!*name) *name = PyUnicode_InternFromString(text);
        if (!*name) return -1;
    }
    return 0;
}

}  // namespace py
