// Starting one operation on every member and gathering the outcomes.
#pragma once

#include "python/arg_buffer.hpp"
#include "python/ref.hpp"

namespace gb {

// The member operations of one command, in member order, kept in a private
// buffer that serves as the gather's arguments.  Operations that were
// started but never reach the gather are closed when this goes away, so a
// failure part-way through starting them leaves nothing un-awaited.  A
// gather that refuses one operation has already made tasks of those before
// it: they keep running, and only the coroutines no task holds are closed.
class MemberOperations {
public:
    // `expected`: how many operations are likely (more may come).
    explicit MemberOperations(Py_ssize_t expected);
    MemberOperations(const MemberOperations&) = delete;
    MemberOperations& operator=(const MemberOperations&) = delete;
    ~MemberOperations() noexcept(false);

    void add(py::Ref operation);

    // `asyncio.gather(*operations, return_exceptions=True)`; the operations
    // then belong to the gather.
    py::Ref gather();

private:
    // After a failed gather: closes each coroutine no task holds.  A failure
    // to tell is raised with `refused` as its context; the rest stay open.
    void close_untaken(py::PyError& refused);

    py::ArgBuffer operations_;
    bool gathered_ = false;
};

// The number of outcomes that are the boolean True itself.
Py_ssize_t count_true(PyObject* outcomes);

// Whether every outcome is the boolean True itself (stops at the first
// that is not, as `all()` does).
bool all_true(PyObject* outcomes);

}  // namespace gb
