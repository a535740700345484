#include "group_bridge/bridge_handover.hpp"

#include "group_bridge/bridge_support.hpp"
#include "python/coroutine.hpp"
#include "python/handling.hpp"

namespace gb {

using py::Ref;

namespace {

// asyncio's own run_coroutine_threadsafe, kept for the process.
PyObject* g_own_run_coroutine_threadsafe = nullptr;

// Logs the failure of a handed-over operation of the module's own, as the
// operation ends on the loop.  A failure to log is reported as unraisable,
// like an ordinary error in a done-callback; anything else (a
// KeyboardInterrupt, a SystemExit) goes on to the loop and the host.
void log_failed_handover(PyObject* qualname, PyObject* error) {
    try {
        log_warning("Group bridge %s failed: %r", qualname, error);
    } catch (py::PyError& e) {
        if (!e.is_ordinary()) throw;
        e.restore();
        PyErr_WriteUnraisable(qualname);
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

void hand_over(PyObject* loop, const py::FunctionSpec& spec, std::initializer_list<PyObject*> args) {
    // With asyncio's own run_coroutine_threadsafe, the module's own
    // operation logs its failure itself as it ends: the same record as the
    // done-callback's, without a Python call under the future's lock.  A
    // host's replacement (a tracing wrapper, a time limit) decides what
    // the future reports, so then the done-callback logs what it says.
    Ref run = asyncio_attr(names::run_coroutine_threadsafe);
    Ref operation;
    if (run.get() == g_own_run_coroutine_threadsafe) operation = py::call_observed(spec, args);
    bool logs_itself = static_cast<bool>(operation);
    if (!operation) operation = py::call_method_of(spec, args);
    Ref future;
    try {
        future = py::call(run.get(), operation, loop);
    } catch (py::PyError& e) {
        py::Handling handling(e.value().get());
        py::close_unawaited(operation.get());
        throw;
    }
    if (logs_itself) return;
    Ref callback = failure_logger(operation.get());
    py::call_method(future.get(), names::add_done_callback, callback);
}

void prepare_hand_over() {
    if (!g_own_run_coroutine_threadsafe)
        g_own_run_coroutine_threadsafe = asyncio_attr(names::run_coroutine_threadsafe).release();
    py::set_failure_observer(log_failed_handover);
}

}  // namespace gb
