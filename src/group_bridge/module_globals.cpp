#include "group_bridge/module_globals.hpp"

namespace gb {

py::Ref global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(g_globals, name);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value) return py::Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    py::throw_error();
}

py::Ref import_from(const char* module, const char* name) {
    py::Ref imported = py::Ref::check(PyImport_ImportModule(module));
    py::Ref attr_name = py::str(name);
    py::Ref value = py::getattr_optional(imported.get(), attr_name.get());
    if (value) return value;
    py::Ref module_name = py::str(module);
    py::Ref path = py::getattr_optional(imported.get(), py::str("__file__").get());
    py::Ref message = py::Ref::check(
        path ? PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", name, module, path.get())
             : PyUnicode_FromFormat("cannot import name '%s' from '%s' (unknown location)", name, module));
    PyErr_SetImportError(message.get(), module_name.get(), path ? path.get() : Py_None);
    py::throw_error();
}

}  // namespace gb
