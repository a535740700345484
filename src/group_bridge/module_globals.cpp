#include "group_bridge/module_globals.hpp"

namespace gb {

py::Ref global(PyObject* name) {
    PyObject* value = group_bridge_dict_get(g_globals, name);
    if (!value && !PyErr_Occurred()) value = group_bridge_dict_get(g_builtins, name);
    if (value) return py::Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    py::throw_error();
}

py::Ref import_from(PyObject* module, PyObject* name) {
    // A module already imported (and done initialising) is taken from
    // sys.modules, as the import statement's fast path does.
    py::Ref imported = py::Ref::steal(PyImport_GetModule(module));
    if (!imported) {
        if (PyErr_Occurred()) py::throw_error();
        imported = py::Ref::check(PyImport_Import(module));
    }
    py::Ref value = py::getattr_optional(imported.get(), name);
    if (value) return value;
    py::Ref path = py::getattr_optional(imported.get(), py::str("__file__").get());
    py::Ref message = py::Ref::check(
        path ? PyUnicode_FromFormat("cannot import name '%U' from '%U' (%S)", name, module, path.get())
             : PyUnicode_FromFormat("cannot import name '%U' from '%U' (unknown location)", name, module));
    PyErr_SetImportError(message.get(), module, path ? path.get() : Py_None);
    py::throw_error();
}

}  // namespace gb
