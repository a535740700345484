#include "group_bridge/module_globals.hpp"

namespace gb {

py::Ref global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(g_globals, name);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value) return py::Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    py::throw_error();
}

}  // namespace gb
