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

// The done-callback of one hand-over: a small callable that carries the
// operation's name.  One per hand-over, freed with the future, so nothing
// kept grows with the number of events or of distinct names.
Ref failure_logger(PyObject* operation) {
    Ref name = py::getattr(operation, names::qualname_attr);
    return Ref::check(PyCFunction_New(&kLogFailedOperation, name.get()));
}

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
        py::close_unawaited(operation.get());
        throw;
    }
    Ref callback = failure_logger(operation.get());
    py::call_method(future.get(), names::add_done_callback, callback);
}

}  // namespace gb
