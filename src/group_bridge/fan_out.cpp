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

}  // namespace

py::Ref MemberOperations::gather() {
    py::Ref gather = asyncio_attr(names::gather);
    py::Ref future = operations_.call_with_keyword(gather.get(), return_exceptions_keyword(), Py_True);
    gathered_ = true;
    operations_.clear();
    return future;
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
