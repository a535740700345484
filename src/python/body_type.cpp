// The Body type as Python sees it: the iterator the operation's Python frame
// awaits while the body waits, with the methods a native coroutine forwards
// to what it awaits (send, throw, close), and its lifecycle (finaliser,
// collector support, deallocation).
#include <structmember.h>

#include "python/body_object.hpp"
#include "python/object.hpp"
#include "python/slot.hpp"

namespace py {

namespace {

PyTypeObject* g_body_type = nullptr;

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

// The outcome of a step as `send`/`throw` report it; the result is also
// kept as `value`.
PyObject* deliver(BodyObject* b, PySendResult r, PyObject* out) {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) {
        b->value = Ref::steal(out);
        set_stop_iteration(b->value.get());
    }
    return nullptr;
}

// The awaiting frame reads the result from `value`: an ending step raises
// nothing, which `await` reads as None, so no StopIteration is made.
PyObject* tp_iternext(PyObject* self) {
    BodyObject* b = as_body(self);
    PyObject* out = nullptr;
    PySendResult r = guard(PYGEN_ERROR, [&] { return body_send(b, Py_None, &out); });
    if (r == PYGEN_RETURN) {
        b->value = Ref::steal(out);
        return nullptr;
    }
    return r == PYGEN_NEXT ? out : nullptr;
}

PyObject* method_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult r = guard(PYGEN_ERROR, [&] { return body_send(as_body(self), arg, &out); });
    return deliver(as_body(self), r, out);
}

PyObject* method_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    Thrown thrown{args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr};
    PyObject* out = nullptr;
    PySendResult r = guard(PYGEN_ERROR, [&] { return body_throw(as_body(self), thrown, &out); });
    return deliver(as_body(self), r, out);
}

PyObject* method_close(PyObject* self, PyObject*) {
    int r = guard(-1, [&] { return body_close(as_body(self)); });
    if (r < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* method_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot pickle 'coroutine_body' object");
    return nullptr;
}

void tp_finalize(PyObject* self) {
    BodyObject* b = as_body(self);
    if (!b->frame || b->frame.promise().state != BodyState::Suspended) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (guard(-1, [&] { return body_close(b); }) < 0) PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(saved);
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    BodyObject* b = as_body(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(b->value.get());
    Py_VISIT(b->first_yield.get());
    return traverse_frame(b, visit, arg);
}

int tp_clear(PyObject* self) {
    BodyObject* b = as_body(self);
    return guard(-1, [&] {
        b->first_yield.reset();
        b->value.reset();
        drop_frame(b);
        return 0;
    });
}

void tp_dealloc(PyObject* self) {
    BodyObject* b = as_body(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (b->frame && b->frame.promise().state == BodyState::Suspended) {  // the finaliser has work
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    guard(0, [&] {
        drop_frame(b);
        return 0;
    });
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    b->~BodyObject();
    PyObject_GC_Del(self);
    Ref::steal(reinterpret_cast<PyObject*>(type)).reset();  // instances own their heap type
}

PyMethodDef methods[] = {
    {"send", method_send, METH_O,
     "send(arg) -> send 'arg' into the body,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_throw)), METH_FASTCALL,
     "throw(value)\n\nRaise exception in the body, return next yielded value or raise StopIteration."},
    {"close", method_close, METH_NOARGS, "close() -> raise GeneratorExit inside the body."},
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"value", T_OBJECT_EX, offsetof(BodyObject, value), READONLY, "the body's result, once it has ended"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_am_await, py::slot(PyObject_SelfIter)},
    {Py_tp_iter, py::slot(PyObject_SelfIter)},
    {Py_tp_iternext, py::slot(tp_iternext)},
    {Py_tp_finalize, py::slot(tp_finalize)},
    {Py_tp_traverse, py::slot(tp_traverse)},
    {Py_tp_clear, py::slot(tp_clear)},
    {Py_tp_dealloc, py::slot(tp_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {Py_tp_doc, const_cast<char*>("The C++ body of a module coroutine, while it waits.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "vesbel.group_bridge.coroutine_body",
    sizeof(BodyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

Ref make_body_object(Coro::Handle frame, Ref yielded) {
    BodyObject* b = PyObject_GC_New(BodyObject, g_body_type);
    if (!b) return Ref();
    b->frame = frame;
    new (&b->value) Ref();
    new (&b->first_yield) Ref(std::move(yielded));
    frame.promise().owner = b;
    PyObject_GC_Track(b);
    return Ref::steal(reinterpret_cast<PyObject*>(b));
}

PyTypeObject* body_type() { return g_body_type; }

int body_type_ready() {
    if (g_body_type) return 0;
    if (body_state_machine_ready() < 0) return -1;
    g_body_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return g_body_type ? 0 : -1;
}

}  // namespace py
