#include "group_bridge/fan_out.hpp"

#include "group_bridge/module_globals.hpp"

namespace gb {

MemberOperations::MemberOperations(Py_ssize_t expected) : operations_(expected) {}

MemberOperations::~MemberOperations() noexcept(false) {
    if (gathered_ || !py::interpreter_attached()) return;
    // Closing runs Python code, which cannot reach the private buffer:
    // each operation is taken out and held while it is closed.
    for (Py_ssize_t i = 0; i < operations_.size(); ++i) {
        py::Ref operation = operations_.take(i);
        py::close_unawaited(operation.get());
    }
}

void MemberOperations::add(py::Ref operation) {
    if (!operations_.push(operation)) {
        py::close_unawaited(operation.get());
        py::throw_error();
    }
}

namespace {

// `("return_exceptions",)`, made once and kept for the process.
PyObject* return_exceptions_keyword() {
    static PyObject* keyword = nullptr;
    if (!keyword) keyword = PyTuple_Pack(1, names::return_exceptions);
    if (!keyword) py::throw_error();
    return keyword;
}

// The identities of the coroutines held by the running loop's unfinished
// tasks, as a set of ints.  An address stands for its object only while
// that lives, which is enough to recognise objects held throughout.
py::Ref task_coroutines() {
    py::Ref all_tasks = asyncio_attr(names::all_tasks);
    py::Ref tasks = py::call(all_tasks.get());
    py::Ref identities = py::Ref::check(PySet_New(nullptr));
    py::Ref iterator = py::Ref::check(PyObject_GetIter(tasks.get()));
    while (py::Ref task = py::Ref::steal(PyIter_Next(iterator.get()))) {
        py::Ref coroutine = py::call_method(task.get(), names::get_coro);
        py::Ref identity = py::Ref::check(PyLong_FromVoidPtr(coroutine.get()));
        if (PySet_Add(identities.get(), identity.get()) < 0) py::throw_error();
    }
    if (PyErr_Occurred()) py::throw_error();
    return identities;
}

}  // namespace

py::Ref MemberOperations::gather() {
    py::Ref gather = asyncio_attr(names::gather);
    gathered_ = true;  // from here on, what happens to each operation is the gather's doing
    py::Ref future;
    try {
        future = operations_.call_with_keyword(gather.get(), return_exceptions_keyword(), Py_True);
    } catch (py::PyError& refused) {
        close_untaken(refused);
        throw;
    }
    operations_.clear();
    return future;
}

void MemberOperations::close_untaken(py::PyError& refused) {
    try {
        py::Ref held = task_coroutines();
        py::Ref is_coroutine = asyncio_attr(names::iscoroutine);
        for (Py_ssize_t i = 0; i < operations_.size(); ++i) {
            py::Ref operation = operations_.take(i);
            py::Ref identity = py::Ref::check(PyLong_FromVoidPtr(operation.get()));
            int taken = PySet_Contains(held.get(), identity.get());
            if (taken < 0) py::throw_error();
            if (!taken && py::truthy(py::call(is_coroutine.get(), operation).get()))
                py::close_unawaited(operation.get());
        }
    } catch (py::PyError& failure) {
        // Raised while the gather's error was being handled, as in Python.
        if (failure.value().get() != refused.value().get())
            PyException_SetContext(failure.value().get(), refused.take().release());
        throw;
    }
}

// Items are only compared by identity: no Python code runs during the walk.
Py_ssize_t count_true(PyObject* outcomes) {
    py::Ref list = py::Ref::check(PySequence_Fast(outcomes, "gather gave no sequence"));
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list.get()); ++i)
        count += PySequence_Fast_GET_ITEM(list.get(), i) == Py_True ? 1 : 0;
    return count;
}

bool all_true(PyObject* outcomes) {
    py::Ref iterator = py::Ref::check(PyObject_GetIter(outcomes));
    while (py::Ref outcome = py::Ref::steal(PyIter_Next(iterator.get())))
        if (outcome.get() != Py_True) return false;
    if (PyErr_Occurred()) py::throw_error();
    return true;
}

}  // namespace gb
