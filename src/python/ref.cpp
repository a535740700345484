#include "python/ref.hpp"

#include <cxxabi.h>

#include <new>
#include <stdexcept>

namespace py {

void set_error_from_current_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (PyError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace py
