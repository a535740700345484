#include "python/ref.hpp"

#include <new>
#include <stdexcept>

namespace py {

void set_error_from_current_exception() {
    // The module throws only PyError and the standard library's
    // exceptions.  Anything else is the forced unwind of a thread ended at
    // interpreter exit: it goes on.  (Not caught by its type: binding a
    // reference to it is undefined behaviour, which UBSan reports.)
    try {
        throw;
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
}

}  // namespace py
