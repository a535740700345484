#include "group_bridge/fan_out.hpp"

#include <vector>

#include "group_bridge/module_globals.hpp"

namespace gb {

MemberOperations::MemberOperations() : operations_(py::Ref::check(PyList_New(0))) {}

MemberOperations::~MemberOperations() noexcept(false) {
    if (!operations_ || !py::interpreter_attached()) return;
    // Closing runs Python code, which may reach the list: each step
    // re-checks its length and holds the operation it closes.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(operations_.get()); ++i) {
        py::Ref operation = py::Ref::borrow(PyList_GET_ITEM(operations_.get(), i));
        py::close_unawaited(operation.get());
    }
}

void MemberOperations::add(const py::Ref& operation) {
    if (PyList_Append(operations_.get(), operation.get()) < 0) {
        py::close_unawaited(operation.get());
        py::throw_error();
    }
}

py::Ref MemberOperations::gather() {
    py::Ref gather = asyncio_attr(names::gather);
    // The arguments come from a tuple: nothing the call runs can change it.
    py::Ref operations = py::Ref::check(PyList_AsTuple(operations_.get()));
    Py_ssize_t count = PyTuple_GET_SIZE(operations.get());
    std::vector<PyObject*> argv(static_cast<size_t>(count) + 2);
    for (Py_ssize_t i = 0; i < count; ++i) argv[static_cast<size_t>(i) + 1] = PyTuple_GET_ITEM(operations.get(), i);
    argv[static_cast<size_t>(count) + 1] = Py_True;
    py::Ref kwnames = py::Ref::check(PyTuple_Pack(1, names::return_exceptions));
    py::Ref future = py::Ref::check(PyObject_Vectorcall(
        gather.get(), argv.data() + 1, static_cast<size_t>(count) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    operations_.reset();
    return future;
}

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
