#include "python/ref.hpp"

#include <new>
#include <stdexcept>

namespace py {

namespace {

PyObject* note_exit_begun(PyObject*, PyObject*) {
    g_exit_begun = true;
    Py_RETURN_NONE;
}

PyMethodDef kNoteExitBegun = {"note_exit_begun", note_exit_begun, METH_NOARGS, nullptr};

}  // namespace

void watch_interpreter_exit() {
#if PY_VERSION_HEX >= 0x030D0000
    if (Py_IsFinalizing()) g_exit_begun = true;
#else
    if (_Py_IsFinalizing()) g_exit_begun = true;
#endif
    Ref atexit = Ref::check(PyImport_ImportModule("atexit"));
    Ref callback = Ref::check(PyCFunction_New(&kNoteExitBegun, nullptr));
    Ref registered = Ref::check(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
}

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
