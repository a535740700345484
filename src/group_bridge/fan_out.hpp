// Starting one operation on every member and gathering the outcomes.
#pragma once

#include <vector>

#include "python/ref.hpp"

namespace gb {

// The member operations of one command, in member order.  Operations that
// were started but never reach the gather are closed when this goes away,
// so a failure part-way through starting them leaves nothing un-awaited.
class MemberOperations {
public:
    explicit MemberOperations(Py_ssize_t expected) { operations_.reserve(static_cast<size_t>(expected)); }
    MemberOperations(const MemberOperations&) = delete;
    MemberOperations& operator=(const MemberOperations&) = delete;
    ~MemberOperations();

    void add(py::Ref operation) { operations_.push_back(std::move(operation)); }

    // `asyncio.gather(*operations, return_exceptions=True)`; the operations
    // then belong to the gather.
    py::Ref gather();

private:
    std::vector<py::Ref> operations_;
};

// The number of outcomes that are the boolean True itself.
Py_ssize_t count_true(PyObject* outcomes);

// Whether every outcome is the boolean True itself (stops at the first
// that is not, as `all()` does).
bool all_true(PyObject* outcomes);

}  // namespace gb
