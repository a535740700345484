#include "python/coroutine.hpp"

#include <cxxabi.h>
#include <structmember.h>

#include <new>

#include "python/local.hpp"
#include "python/object.hpp"
#include "python/slot.hpp"

namespace py {

thread_local constinit LocalList* t_running_locals __attribute__((tls_model("initial-exec"))) = nullptr;

enum class CoroState { Created, Suspended, Running, Done };

// The C++ members are constructed in place after allocation and destroyed
// before the memory is freed (see coro_alloc and tp_dealloc).
struct CoroObject {
    PyObject_HEAD Coro::Handle frame;
    CoroState state;
    Ref delegate;  // what the body currently awaits (an iterator)
    Ref name;
    Ref qualname;
    PyObject* weakreflist;  // managed by the interpreter
    LocalList locals;       // what the body keeps across a co_await
    FailureObserver failure_observer;
    int nargs;
    Ref args[kMaxCoroArgs];             // owned for the body ...
    PyObject* body_args[kMaxCoroArgs];  // ... which sees them borrowed
};

namespace {

PyTypeObject* g_coroutine_type = nullptr;
PyObject* g_name_close = nullptr;
PyObject* g_name_throw = nullptr;

PyObject* name_close() { return g_name_close; }
PyObject* name_throw() { return g_name_throw; }

CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

// Sets StopIteration carrying `value` without unpacking tuples or
// exceptions, as a returning coroutine does.
void set_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc) PyErr_SetRaisedException(exc);
}

// Takes the pending error; a StopIteration becomes its value (PYGEN_RETURN).
PySendResult take_error_or_return(Ref* value, Ref* exc) {
    Ref raised = Ref::steal(PyErr_GetRaisedException());
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
    Ref error = Ref::steal(PyErr_GetRaisedException());
    observer(reinterpret_cast<PyObject*>(c), error.get());
    PyErr_SetRaisedException(error.release());
}

// The body has run to its end: collect its outcome and drop the frame.
PySendResult finish(CoroObject* c, PyObject** out) {
    auto& promise = c->frame.promise();
    Ref result = std::move(promise.result);
    Ref error = std::move(promise.error);
    c->state = CoroState::Done;
    destroy_frame(c);
    release_args(c);
    if (error) {
        if (PyErr_GivenExceptionMatches(error.get(), PyExc_StopIteration)) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            PyObject* wrapped = PyErr_GetRaisedException();
            PyException_SetCause(wrapped, error.new_ref());
            PyException_SetContext(wrapped, error.release());
            PyErr_SetRaisedException(wrapped);
        } else {
            PyErr_SetRaisedException(error.release());
        }
        report_failure(c);
        return PYGEN_ERROR;
    }
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
        PySendResult r = PyIter_Send(c->delegate.get(), Py_None, &yielded);
        if (r == PYGEN_NEXT) {
            c->state = CoroState::Suspended;
            *out = yielded;
            return PYGEN_NEXT;
        }
        c->delegate.reset();
        if (r == PYGEN_RETURN) {
            value = Ref::steal(yielded);
        } else {
            exc = Ref::steal(PyErr_GetRaisedException());
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
    return resume_body(c, Ref(), Ref::steal(PyErr_GetRaisedException()), out);
}

bool check_not_running(CoroObject* c) {
    if (c->state == CoroState::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    return true;
}

PySendResult coro_send(CoroObject* c, PyObject* arg, PyObject** out) {
    if (!check_not_running(c)) return PYGEN_ERROR;
    switch (c->state) {
        case CoroState::Done:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case CoroState::Created:
            if (arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            c->state = CoroState::Running;
            return resume_body(c, none(), Ref(), out);
        default: {
            c->state = CoroState::Running;
            PyObject* yielded = nullptr;
            PySendResult r = PyIter_Send(c->delegate.get(), arg, &yielded);
            return after_delegate(c, r, yielded, out);
        }
    }
}

PySendResult coro_close_step(CoroObject* c, Ref exc, PyObject** out);

// Closes the delegate; gives back the error closing raised, if any.
Ref close_delegate(CoroObject* c) {
    Ref delegate = std::move(c->delegate);
    if (Py_TYPE(delegate.get()) == g_coroutine_type) {
        CoroObject* inner = as_coro(delegate.get());
        if (inner->state == CoroState::Done) return Ref();
        if (inner->state == CoroState::Created) {
            inner->state = CoroState::Done;
            destroy_frame(inner);
            release_args(inner);
            return Ref();
        }
        if (!check_not_running(inner)) return Ref::steal(PyErr_GetRaisedException());
        Ref exit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
        if (!exit) return Ref::steal(PyErr_GetRaisedException());
        PyObject* ignored = nullptr;
        PySendResult r = coro_close_step(inner, std::move(exit), &ignored);
        Ref dropped = Ref::steal(ignored);
        return r == PYGEN_ERROR ? Ref::steal(PyErr_GetRaisedException()) : Ref();
    }
    PyObject* found = nullptr;
    if (lookup_attr(delegate.get(), name_close(), &found) < 0) return Ref::steal(PyErr_GetRaisedException());
    Ref method = Ref::steal(found);
    if (!method) return Ref();
    Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
    return result ? Ref() : Ref::steal(PyErr_GetRaisedException());
}

// Throws `exc` into a suspended coroutine, as `throw` does.
PySendResult coro_throw(CoroObject* c, Ref exc, PyObject** out) {
    if (!check_not_running(c)) return PYGEN_ERROR;
    if (c->state == CoroState::Done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (c->state == CoroState::Created) {
        // The body never started: it ends at once with the exception.
        c->state = CoroState::Done;
        destroy_frame(c);
        release_args(c);
        PyErr_SetRaisedException(exc.release());
        report_failure(c);
        return PYGEN_ERROR;
    }
    c->state = CoroState::Running;
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
        Ref error = close_delegate(c);
        return resume_body(c, Ref(), error ? std::move(error) : std::move(exc), out);
    }
    PyObject* yielded = nullptr;
    if (Py_TYPE(c->delegate.get()) == g_coroutine_type) {
        PySendResult r = coro_throw(as_coro(c->delegate.get()), std::move(exc), &yielded);
        return after_delegate(c, r, yielded, out);
    }
    PyObject* found = nullptr;
    if (lookup_attr(c->delegate.get(), name_throw(), &found) < 0) {
        c->state = CoroState::Suspended;
        return PYGEN_ERROR;
    }
    Ref method = Ref::steal(found);
    if (!method) {
        c->delegate.reset();
        return resume_body(c, Ref(), std::move(exc), out);
    }
    yielded = PyObject_CallOneArg(method.get(), exc.get());
    if (yielded) return after_delegate(c, PYGEN_NEXT, yielded, out);
    c->delegate.reset();
    Ref value, error;
    if (take_error_or_return(&value, &error) == PYGEN_RETURN) return resume_body(c, std::move(value), Ref(), out);
    return resume_body(c, Ref(), std::move(error), out);
}

// The GeneratorExit step of close(): throws and judges the outcome.
PySendResult coro_close_step(CoroObject* c, Ref exc, PyObject** out) {
    PySendResult r = coro_throw(c, std::move(exc), out);
    if (r == PYGEN_NEXT) {
        Ref ignored = Ref::steal(std::exchange(*out, nullptr));
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return PYGEN_ERROR;
    }
    if (r == PYGEN_RETURN) return PYGEN_RETURN;
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        *out = none().release();
        return PYGEN_RETURN;
    }
    return PYGEN_ERROR;
}

// close(): 0 on success, -1 with an error set.
int coro_close(CoroObject* c) {
    if (!check_not_running(c)) return -1;
    if (c->state == CoroState::Done) return 0;
    if (c->state == CoroState::Created) {
        c->state = CoroState::Done;
        destroy_frame(c);
        release_args(c);
        return 0;
    }
    Ref exit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit) return -1;
    PyObject* out = nullptr;
    PySendResult r = coro_close_step(c, std::move(exit), &out);
    Ref dropped = Ref::steal(out);
    return r == PYGEN_ERROR ? -1 : 0;
}

// Turns the arguments of throw() into one exception instance.
Ref normalize_thrown(PyObject* type, PyObject* value, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    Ref exc;
    if (PyExceptionClass_Check(type)) {
        if (value && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
            exc = Ref::borrow(value);
        } else if (!value || value == Py_None) {
            exc = Ref::check(PyObject_CallNoArgs(type));
        } else if (PyTuple_Check(value)) {
            exc = Ref::check(PyObject_Call(type, value, nullptr));
        } else {
            exc = Ref::check(PyObject_CallOneArg(type, value));
        }
        if (!PyExceptionInstance_Check(exc.get()))
            raise_format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", type,
                         Py_TYPE(exc.get())->tp_name);
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
        exc = Ref::borrow(type);
    } else {
        raise_format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
    }
    if (tb && PyException_SetTraceback(exc.get(), tb) < 0) throw_error();
    return exc;
}

// ---- Python-facing slots and methods ----

PySendResult am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return guard(PYGEN_ERROR, [&] { return coro_send(as_coro(self), arg, out); });
}

// The outcome of a step as `send`/`__next__` report it.
PyObject* deliver(PySendResult r, PyObject* out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) set_stop_iteration(Ref::steal(out).get());
    return nullptr;
}

PyObject* tp_iternext(PyObject* self) {
    PyObject* out = nullptr;
    PySendResult r = am_send(self, Py_None, &out);
    if (r == PYGEN_RETURN && out == Py_None) {
        Ref::steal(out).reset();
        return nullptr;  // exhausted with None, as tp_iternext may report
    }
    return deliver(r, out);
}

PyObject* method_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult r = am_send(self, arg, &out);
    return deliver(r, out);
}

PyObject* method_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs < 1 || nargs > 3) raise_format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                      "the (type, exc, tb) signature of throw() is deprecated, "
                                      "use the single-arg signature instead.",
                                      1) < 0)
            throw_error();
        Ref exc = normalize_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
        PyObject* out = nullptr;
        PySendResult r = coro_throw(as_coro(self), std::move(exc), &out);
        return deliver(r, out);
    });
}

PyObject* method_close(PyObject* self, PyObject*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (coro_close(as_coro(self)) < 0) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* am_await(PyObject* self) {
    if (as_coro(self)->state == CoroState::Suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Ref::borrow(self).release();
}

void tp_finalize(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (c->state != CoroState::Created && c->state != CoroState::Suspended) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (c->state == CoroState::Created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", c->qualname.get()) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        int r = guard(-1, [&] { return coro_close(c); });
        if (r < 0) PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroObject* c = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->delegate.get());
    Py_VISIT(c->name.get());
    Py_VISIT(c->qualname.get());
    for (int i = 0; i < c->nargs; ++i) Py_VISIT(c->args[i].get());
    return Local::traverse(c->locals, visit, arg);
}

int tp_clear(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (c->state != CoroState::Running) {
        c->state = CoroState::Done;
        destroy_frame(c);
    }
    c->delegate.reset();
    release_args(c);
    return 0;
}

void tp_dealloc(PyObject* self) {
    CoroObject* c = as_coro(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    if (c->weakreflist) PyObject_ClearWeakRefs(self);
    c->state = CoroState::Done;
    destroy_frame(c);
    c->delegate.~Ref();
    for (Ref& arg : c->args) arg.~Ref();
    c->name.~Ref();
    c->qualname.~Ref();
    PyObject_GC_Del(self);
    Ref::steal(reinterpret_cast<PyObject*>(type)).reset();  // instances own their heap type
}

PyObject* tp_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname.get(), self);
}

PyObject* get_name(PyObject* self, void*) { return as_coro(self)->name.new_ref(); }
PyObject* get_qualname(PyObject* self, void*) { return as_coro(self)->qualname.new_ref(); }
PyObject* get_await(PyObject* self, void*) {
    const Ref& d = as_coro(self)->delegate;
    return d ? d.new_ref() : none().release();
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == CoroState::Running); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == CoroState::Suspended); }

PyMethodDef methods[] = {
    {"send", method_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_throw)), METH_FASTCALL,
     "throw(value)\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", method_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, "object being awaited on, or None", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_am_await, py::slot(am_await)},
    {Py_am_send, py::slot(am_send)},
    {Py_tp_iter, py::slot(PyObject_SelfIter)},
    {Py_tp_iternext, py::slot(tp_iternext)},
    {Py_tp_finalize, py::slot(tp_finalize)},
    {Py_tp_traverse, py::slot(tp_traverse)},
    {Py_tp_clear, py::slot(tp_clear)},
    {Py_tp_dealloc, py::slot(tp_dealloc)},
    {Py_tp_repr, py::slot(tp_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec spec = {
    "vesbel.group_bridge.coroutine",
    sizeof(CoroObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

// The iterator `await x` would use for `x`, or a null Ref with an error set.
Ref awaitable_iter(PyObject* o) {
    if (PyCoro_CheckExact(o)) return Ref::borrow(o);
    if (PyGen_CheckExact(o) && (PyGen_GetCode(reinterpret_cast<PyGenObject*>(o))->co_flags & CO_ITERABLE_COROUTINE))
        return Ref::borrow(o);
    unaryfunc getter = Py_TYPE(o)->tp_as_async ? Py_TYPE(o)->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be used in 'await' expression", Py_TYPE(o)->tp_name);
        return Ref();
    }
    Ref it = Ref::steal(getter(o));
    if (!it) return Ref();
    if (PyCoro_CheckExact(it.get())) {
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
        promise->thrown = Ref::steal(PyErr_GetRaisedException());
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
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (PyError& e) {
        error = e.take();
    } catch (...) {
        set_error_from_current_exception();
        error = Ref::steal(PyErr_GetRaisedException());
    }
}

Ref coro_alloc(CoroNames names, std::initializer_list<PyObject*> args, PyObject* const** kept) {
    if (args.size() > kMaxCoroArgs) raise(PyExc_RuntimeError, "too many coroutine arguments");
    CoroObject* c = PyObject_GC_New(CoroObject, g_coroutine_type);
    if (!c) throw_error();
    c->frame = {};
    c->state = CoroState::Done;
    new (&c->delegate) Ref();
    new (&c->name) Ref(Ref::borrow(names.name));
    new (&c->qualname) Ref(Ref::borrow(names.qualname));
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
    if (Py_TYPE(coro) != g_coroutine_type || as_coro(coro)->state != CoroState::Created) return false;
    as_coro(coro)->failure_observer = observer;
    return true;
}

PyTypeObject* coroutine_type() { return g_coroutine_type; }

int coroutine_type_ready() {
    if (g_coroutine_type) return 0;
    g_name_close = PyUnicode_InternFromString("close");
    g_name_throw = PyUnicode_InternFromString("throw");
    if (!g_name_close || !g_name_throw) return -1;
    g_coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return g_coroutine_type ? 0 : -1;
}

}  // namespace py
