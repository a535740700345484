#include "group_bridge/bridge_handover.hpp"

#include "group_bridge/bridge_support.hpp"
#include "python/coroutine.hpp"

namespace gb {

using py::Ref;

namespace {

// Logs the failure of a handed-over module coroutine.  Runs on the loop as
// the operation ends; a failure to log is reported as unraisable, like an
// error in a done-callback.
void log_failed_handover(PyObject* operation, PyObject* error) {
    try {
        Ref name = py::getattr(operation, names::qualname_attr);
        log_warning("Group bridge %s failed: %r", name, error);
    } catch (...) {
        py::set_error_from_current_exception();
        PyErr_WriteUnraisable(operation);
    }
}

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
    // The module's own operations log their failure themselves as they end:
    // no done-callback (a Python call under the future's lock) for them.
    // Asked before the hand-over, since the loop may start the operation
    // at once.
    bool logs_itself = py::observe_failure(operation.get(), log_failed_handover);
    Ref future;
    try {
        Ref run = asyncio_attr(names::run_coroutine_threadsafe);
        future = py::call(run.get(), operation, loop);
    } catch (py::PyError&) {
        py::close_unawaited(operation.get());
        throw;
    }
    if (logs_itself) return;
    Ref callback = failure_logger(operation.get());
    py::call_method(future.get(), names::add_done_callback, callback);
}

}  // namespace gb
