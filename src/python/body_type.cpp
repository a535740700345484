// The Body type as Python sees it: what the operation's Python frame awaits
// next (`awaiting`), and `send`/`throw`, which bring the outcome back into
// the body.  Only that frame calls them; Python code that reaches the
// object some other way gets ordinary errors, never a crash.
#include <structmember.h>

#include "python/body_object.hpp"
#include "python/object.hpp"
#include "python/slot.hpp"

namespace py {

namespace {

PyTypeObject* g_body_type = nullptr;

// Every wait of a body that waits needs a Body: a few freed ones are kept
// (untracked, holding only their type) for reuse.  Bounded by this count.
constexpr int kKeptBodies = 8;
PyObject* g_kept[kKeptBodies];
int g_nkept = 0;

// 0 when the body waits for an outcome; -1 with Python's error otherwise.
int refuse_unless_waiting(BodyObject* body) {
    if (body->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return -1;
    }
    if (!body->frame) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return -1;
    }
    return 0;
}

PyObject* method_send(PyObject* self, PyObject* value) {
    BodyObject* body = as_body(self);
    if (refuse_unless_waiting(body) < 0) return nullptr;
    return guard<PyObject*>(nullptr, [&] {
        body->awaiting.reset();
        return step(body->frame, body, Ref::borrow(value), Ref());
    });
}

// The frame that calls throw() caught `error` at its `await`, which put
// the frame's entry at the head of the traceback.  When the body lets the
// same error go, the frame's call adds its entry again: the one already
// there is dropped, so the frame shows once, as for a Python coroutine.
void drop_repeated_entry(PyObject* error, PyObject* traceback) {
    if (!traceback || !PyTraceBack_Check(traceback)) return;
    PyTracebackObject* head = reinterpret_cast<PyTracebackObject*>(traceback);
    if (reinterpret_cast<PyObject*>(head->tb_frame) != reinterpret_cast<PyObject*>(PyEval_GetFrame())) return;
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (raised.get() == error) {
        Ref now = Ref::steal(PyException_GetTraceback(raised.get()));
        PyObject* rest = head->tb_next ? reinterpret_cast<PyObject*>(head->tb_next) : Py_None;
        if (now.get() == traceback) PyException_SetTraceback(raised.get(), rest);
    }
    PyErr_SetRaisedException(raised.release());
}

PyObject* method_throw(PyObject* self, PyObject* error) {
    BodyObject* body = as_body(self);
    if (!PyExceptionInstance_Check(error)) {
        PyErr_Format(PyExc_TypeError, "exceptions must be instances deriving from BaseException, not %s",
                     Py_TYPE(error)->tp_name);
        return nullptr;
    }
    if (refuse_unless_waiting(body) < 0) return nullptr;
    Ref traceback = Ref::steal(PyException_GetTraceback(error));
    Ref thrown = Ref::borrow(error);
    PyObject* result = guard<PyObject*>(nullptr, [&] {
        body->awaiting.reset();
        return step(body->frame, body, Ref(), thrown);
    });
    if (!result) drop_repeated_entry(thrown.get(), traceback.get());
    return result;
}

PyObject* method_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot pickle 'coroutine_body' object");
    return nullptr;
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    BodyObject* body = as_body(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(body->awaiting.get());
    return traverse_frame(body, visit, arg);
}

int tp_clear(PyObject* self) {
    BodyObject* body = as_body(self);
    return guard(-1, [&] {
        body->awaiting.reset();
        drop_frame(body);
        return 0;
    });
}

void tp_dealloc(PyObject* self) {
    BodyObject* body = as_body(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject* saved = PyErr_GetRaisedException();
    if (tp_clear(self) < 0) PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(saved);
    body->~BodyObject();
    if (g_nkept < kKeptBodies) {
        g_kept[g_nkept++] = self;  // keeps its reference to the type
        return;
    }
    PyObject_GC_Del(self);
    Ref::steal(reinterpret_cast<PyObject*>(type)).reset();  // instances own their heap type
}

PyMethodDef methods[] = {
    {"send", method_send, METH_O, "send(value) -> the awaited outcome into the body; its result or itself."},
    {"throw", method_throw, METH_O, "throw(error) -> the awaited error into the body; its result or itself."},
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"awaiting", T_OBJECT_EX, offsetof(BodyObject, awaiting), READONLY, "what the body waits for"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
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

Ref make_body_object(Coro::Handle frame) {
    BodyObject* body = nullptr;
    if (g_nkept > 0) {
        body = as_body(g_kept[--g_nkept]);
        _Py_NewReference(reinterpret_cast<PyObject*>(body));
    } else {
        body = PyObject_GC_New(BodyObject, g_body_type);
        if (!body) return Ref();
    }
    body->frame = frame;
    new (&body->awaiting) Ref();
    body->running = false;
    frame.promise().owner = body;
    PyObject_GC_Track(body);
    return Ref::steal(reinterpret_cast<PyObject*>(body));
}

PyTypeObject* body_type() { return g_body_type; }

int body_type_ready() {
    if (g_body_type) return 0;
    g_body_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return g_body_type ? 0 : -1;
}

}  // namespace py
