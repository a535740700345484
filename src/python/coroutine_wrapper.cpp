#include "python/coroutine_wrapper.hpp"

#include <utility>

#include "python/object.hpp"
#include "python/slot.hpp"

namespace py {

namespace {

struct WrapperObject {
    PyObject_HEAD PyObject* coro;  // owned
};

PyTypeObject* g_wrapper_type = nullptr;

// Every Python frame's `await` of a module coroutine makes a wrapper; a few
// freed ones are kept (untracked, holding only their type) for reuse.
constexpr int kKeptWrappers = 8;
PyObject* g_kept[kKeptWrappers];
int g_nkept = 0;

PyObject* coro_of(PyObject* self) { return reinterpret_cast<WrapperObject*>(self)->coro; }

PyObject* tp_iternext(PyObject* self) { return coroutine_iternext(coro_of(self)); }

PyObject* method_send(PyObject* self, PyObject* arg) { return coroutine_send(coro_of(self), arg); }

PyObject* method_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coroutine_throw(coro_of(self), args, nargs);
}

PyObject* method_close(PyObject* self, PyObject*) { return coroutine_close(coro_of(self), nullptr); }

PyObject* method_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot pickle 'coroutine_wrapper' object");
    return nullptr;
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(coro_of(self));
    return 0;
}

void tp_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Ref::steal(std::exchange(reinterpret_cast<WrapperObject*>(self)->coro, nullptr)).reset();
    if (g_nkept < kKeptWrappers) {
        g_kept[g_nkept++] = self;  // keeps its reference to the type
        return;
    }
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Ref::steal(reinterpret_cast<PyObject*>(type)).reset();  // instances own their heap type
}

PyMethodDef methods[] = {
    {"send", method_send, METH_O, "send(arg) -> send 'arg' into the wrapped coroutine."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_throw)), METH_FASTCALL,
     "throw(value) -> raise exception in the wrapped coroutine."},
    {"close", method_close, METH_NOARGS, "close() -> close the wrapped coroutine."},
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_iter, py::slot(PyObject_SelfIter)},
    {Py_tp_iternext, py::slot(tp_iternext)},
    {Py_tp_traverse, py::slot(tp_traverse)},
    {Py_tp_dealloc, py::slot(tp_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "vesbel.group_bridge.coroutine_wrapper",
    sizeof(WrapperObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

Ref make_await_wrapper(PyObject* coro) {
    WrapperObject* w = nullptr;
    if (g_nkept > 0) {
        w = reinterpret_cast<WrapperObject*>(g_kept[--g_nkept]);
        _Py_NewReference(reinterpret_cast<PyObject*>(w));
    } else {
        w = PyObject_GC_New(WrapperObject, g_wrapper_type);
        if (!w) throw_error();
    }
    w->coro = Ref::borrow(coro).release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(w));
    return Ref::steal(reinterpret_cast<PyObject*>(w));
}

int await_wrapper_type_ready() {
    if (g_wrapper_type) return 0;
    g_wrapper_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return g_wrapper_type ? 0 : -1;
}

}  // namespace py
