// A private run of owned references laid out as a vectorcall argv.
#pragma once

#include "python/ref.hpp"

namespace py {

// Owns the references it is given, in order, in a PyMem buffer no Python
// code can reach: walking it by index while Python code runs is safe, and
// each entry lives as long as the buffer holds it.  The buffer serves as the
// argv of a vectorcall as it stands: slot 0 stays free for
// PY_VECTORCALL_ARGUMENTS_OFFSET and one slot past the entries is kept for a
// keyword argument's value.  Not a standard container of Ref: releasing
// runs finalisers, so nothing here is noexcept (see Ref).
class ArgBuffer {
public:
    // Room for `capacity` entries at first; more are made as needed.
    explicit ArgBuffer(Py_ssize_t capacity);
    ArgBuffer(const ArgBuffer&) = delete;
    ArgBuffer& operator=(const ArgBuffer&) = delete;
    ~ArgBuffer() noexcept(false);

    // Appends `item`, taking it over.  False with MemoryError set when
    // there is no room: the item is then left with the caller.
    bool push(Ref& item);

    Py_ssize_t size() const noexcept { return size_; }

    // Takes entry `i` out; the slot is left empty (null) and stays counted.
    Ref take(Py_ssize_t i) noexcept { return Ref::steal(std::exchange(slots_[i + 1], nullptr)); }

    // `callable(*entries, <keyword>=value)`, where `keyword_names` is a
    // one-name tuple.  The entries stay owned here; `value` is the caller's
    // to keep alive.
    Ref call_with_keyword(PyObject* callable, PyObject* keyword_names, PyObject* value);

    // Releases every entry, first to last; the buffer is then empty.
    void clear();

private:
    PyObject** slots_ = nullptr;  // [free, entries..., keyword value]
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

}  // namespace py
