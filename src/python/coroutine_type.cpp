// The coroutine type as Python sees it: slots, methods and attributes, the
// object's lifecycle (finaliser, collector support, deallocation), each
// with a native coroutine's behaviour and messages.
#include <structmember.h>

#include "python/coroutine_object.hpp"
#include "python/coroutine_wrapper.hpp"
#include "python/object.hpp"
#include "python/slot.hpp"

namespace py {

PyTypeObject* g_coroutine_type = nullptr;

namespace {

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

// The outcome of a step as `send`/`throw` report it.
PyObject* deliver(PySendResult r, PyObject* out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) set_stop_iteration(Ref::steal(out).get());
    return nullptr;
}

PySendResult am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return guard(PYGEN_ERROR, [&] { return coro_send(as_coro(self), arg, out); });
}

PyObject* am_await(PyObject* self) {
    if (as_coro(self)->state == CoroState::Suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return guard<PyObject*>(nullptr, [&] { return make_await_wrapper(self).release(); });
}

PyObject* method_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot pickle 'coroutine' object");
    return nullptr;
}

void tp_finalize(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (c->state != CoroState::Created && c->state != CoroState::Suspended) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (c->state == CoroState::Created) {
        guard(0, [&] {
            warn_never_awaited(self);
            return 0;
        });
    } else {
        guard(-1, [&] { return coro_close(c); });
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(saved);
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroObject* c = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    for (const Ref* member :
         {&c->delegate, &c->name, &c->qualname, &c->function, &c->code, &c->frame_object, &c->origin})
        Py_VISIT(member->get());
    for (int i = 0; i < c->nargs; ++i) Py_VISIT(c->args[i].get());
    return Local::traverse(c->locals, visit, arg);
}

int tp_clear(PyObject* self) {
    CoroObject* c = as_coro(self);
    if (c->state != CoroState::Running) end_unstarted(c);
    for (Ref* member : {&c->delegate, &c->function, &c->code, &c->frame_object, &c->origin}) member->reset();
    return 0;
}

// In a native coroutine's order: weak references are cleared (their
// callbacks run) before the finaliser, and an object the finaliser
// resurrects stays tracked by the collector.
void tp_dealloc(PyObject* self) {
    CoroObject* c = as_coro(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (c->weakreflist) PyObject_ClearWeakRefs(self);
    if (c->state == CoroState::Created || c->state == CoroState::Suspended) {  // the finaliser has work
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    end_unstarted(c);
    for (Ref* member : {&c->delegate, &c->name, &c->qualname, &c->function, &c->code, &c->frame_object, &c->origin})
        member->~Ref();
    for (Ref& arg : c->args) arg.~Ref();
    PyObject_GC_Del(self);
    Ref::steal(reinterpret_cast<PyObject*>(type)).reset();  // instances own their heap type
}

PyObject* tp_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname.get(), self);
}

PyObject* get_name(PyObject* self, void*) { return as_coro(self)->name.new_ref(); }
PyObject* get_qualname(PyObject* self, void*) { return as_coro(self)->qualname.new_ref(); }
PyObject* get_await(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    return c->state == CoroState::Suspended ? c->delegate.new_ref() : none().release();
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == CoroState::Running); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->state == CoroState::Suspended); }
PyObject* get_frame(PyObject* self, void*) {
    CoroObject* c = as_coro(self);
    if (c->state == CoroState::Done) return none().release();
    return guard<PyObject*>(nullptr, [&] { return coro_frame(c).release(); });
}
PyObject* get_code(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] { return coro_code(as_coro(self)).release(); });
}
PyObject* get_origin(PyObject* self, void*) {
    const Ref& origin = as_coro(self)->origin;
    return origin ? origin.new_ref() : none().release();
}

PyMethodDef methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL,
     "throw(value)\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, "object being awaited on, or None", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// No tp_iter/tp_iternext: a coroutine is not an iterator (see the wrapper).
PyType_Slot slots[] = {
    {Py_am_await, py::slot(am_await)},
    {Py_am_send, py::slot(am_send)},
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

}  // namespace

PyObject* coroutine_iternext(PyObject* coro) {
    PyObject* out = nullptr;
    PySendResult r = am_send(coro, Py_None, &out);
    if (r == PYGEN_RETURN && out == Py_None) {
        Ref::steal(out).reset();
        return nullptr;  // exhausted with None, as tp_iternext may report
    }
    return deliver(r, out);
}

PyObject* coroutine_send(PyObject* coro, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult r = am_send(coro, arg, &out);
    return deliver(r, out);
}

PyObject* coroutine_throw(PyObject* coro, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    Thrown thrown{args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr};
    PyObject* out = nullptr;
    PySendResult r = guard(PYGEN_ERROR, [&] { return coro_throw(as_coro(coro), thrown, &out); });
    return deliver(r, out);
}

PyObject* coroutine_close(PyObject* coro, PyObject*) {
    int r = guard(-1, [&] { return coro_close(as_coro(coro)); });
    if (r < 0) return nullptr;
    Py_RETURN_NONE;
}

PyTypeObject* coroutine_type() { return g_coroutine_type; }

int coroutine_type_ready() {
    if (g_coroutine_type) return 0;
    if (coroutine_state_machine_ready() < 0 || await_wrapper_type_ready() < 0) return -1;
    g_coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return g_coroutine_type ? 0 : -1;
}

}  // namespace py
