#include "group_bridge/fan_out.hpp"

#include "group_bridge/module_globals.hpp"

namespace gb {

MemberOperations::~MemberOperations() {
    for (py::Ref& operation : operations_) py::close_unawaited(operation.get());
}

py::Ref MemberOperations::gather() {
    py::Ref gather = asyncio_attr(names::gather);
    std::vector<PyObject*> argv;
    argv.reserve(operations_.size() + 2);
    argv.push_back(nullptr);
    for (const py::Ref& operation : operations_) argv.push_back(operation.get());
    argv.push_back(Py_True);
    py::Ref kwnames = py::Ref::check(PyTuple_Pack(1, names::return_exceptions));
    py::Ref future = py::Ref::check(PyObject_Vectorcall(
        gather.get(), argv.data() + 1, (operations_.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    operations_.clear();
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
