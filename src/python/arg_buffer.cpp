#include "python/arg_buffer.hpp"

namespace py {

namespace {

// Slots for `capacity` entries plus the free slot and the keyword slot.
// Null with MemoryError set on failure; `old` is then left as it was.
PyObject** allocate(PyObject** old, Py_ssize_t capacity) {
    void* slots = nullptr;
    if (capacity <= PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*)) - 2)
        slots = PyMem_Realloc(old, (static_cast<size_t>(capacity) + 2) * sizeof(PyObject*));
    if (!slots) PyErr_NoMemory();
    return static_cast<PyObject**>(slots);
}

}  // namespace

ArgBuffer::ArgBuffer(Py_ssize_t capacity) : capacity_(capacity < 1 ? 1 : capacity) {
    slots_ = allocate(nullptr, capacity_);
    if (!slots_) throw_error();
    slots_[0] = nullptr;
}

ArgBuffer::~ArgBuffer() noexcept(false) {
    // During a forced unwind at exit the buffer and its entries are let go
    // without touching the interpreter's allocator, as a Ref does.
    if (!interpreter_attached()) return;
    clear();
    PyMem_Free(slots_);
}

bool ArgBuffer::push(Ref& item) {
    if (size_ == capacity_) {
        PyObject** grown = allocate(slots_, capacity_ * 2);
        if (!grown) return false;
        slots_ = grown;
        capacity_ *= 2;
    }
    slots_[++size_] = item.release();
    return true;
}

Ref ArgBuffer::call_with_keyword(PyObject* callable, PyObject* keyword_names, PyObject* value) {
    slots_[size_ + 1] = value;
    return Ref::check(PyObject_Vectorcall(callable, slots_ + 1,
                                          static_cast<size_t>(size_) | PY_VECTORCALL_ARGUMENTS_OFFSET, keyword_names));
}

void ArgBuffer::clear() {
    // Each entry leaves the buffer before it is released, so a forced
    // unwind out of a finaliser releases nothing twice.
    for (Py_ssize_t i = 0; i < size_; ++i) Ref entry = take(i);
    size_ = 0;
}

}  // namespace py
