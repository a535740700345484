#include "group_bridge/bridge_handover.hpp"

#include "group_bridge/bridge_support.hpp"

namespace gb {

using py::Ref;

namespace {

// Done-callback of a submitted operation; `name` is the operation's name.
PyObject* log_failed_operation(PyObject* name, PyObject* future) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref cancelled = py::call_method(future, names::cancelled);
        if (py::truthy(cancelled.get())) Py_RETURN_NONE;
        Ref error = py::call_method(future, names::exception);
        if (error.get() == Py_None ||
            !PyObject_TypeCheck(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)))
            Py_RETURN_NONE;
        log_warning("Group bridge %s failed: %r", name, error);
        Py_RETURN_NONE;
    });
}

PyMethodDef kLogFailedOperation = {"log_failed_operation", log_failed_operation, METH_O, nullptr};

}  // namespace

Ref usable_loop(PyObject* self) {
    Ref loop = py::getattr(self, names::_loop);
    if (!py::truthy(loop.get())) return Ref();
    Ref running = py::call_method(loop.get(), names::is_running);
    if (!py::truthy(running.get())) return Ref();
    return loop;
}

void submit(PyObject* loop, const Ref& operation) {
    Ref future;
    try {
        Ref run = asyncio_attr(names::run_coroutine_threadsafe);
        future = py::call(run.get(), operation, loop);
    } catch (py::PyError&) {
        discard(operation.get());
        throw;
    }
    Ref name = py::getattr(operation.get(), py::str("__qualname__").get());
    Ref callback = Ref::check(PyCFunction_New(&kLogFailedOperation, name.get()));
    py::call_method(future.get(), names::add_done_callback, callback);
}

}  // namespace gb
