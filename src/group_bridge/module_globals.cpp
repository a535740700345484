#include "group_bridge/module_globals.hpp"

namespace gb {

namespace {

// The builtins the module's functions see: its namespace's `__builtins__`
// (a module stands for its namespace), or the interpreter's `builtins`
// module when that is gone, as CPython reads them when it makes a function.
py::Ref builtins_namespace() {
    py::Ref builtins = py::Ref::borrow(group_bridge_dict_get(g_globals, names::builtins_key));
    if (!builtins) {
        if (PyErr_Occurred()) py::throw_error();
        builtins = py::Ref::check(PyImport_Import(names::builtins_module));
    }
    if (PyModule_Check(builtins.get())) return py::Ref::borrow(PyModule_GetDict(builtins.get()));
    return builtins;
}

}  // namespace

py::Ref global(PyObject* name) {
    if (PyObject* value = group_bridge_dict_get(g_globals, name)) return py::Ref::borrow(value);
    if (PyErr_Occurred()) py::throw_error();
    py::Ref builtins = builtins_namespace();
    py::Ref value;
    if (PyDict_CheckExact(builtins.get())) {
        value = py::Ref::borrow(group_bridge_dict_get(builtins.get(), name));
    } else {
        // Any other mapping is read as a subscript, KeyError meaning absent.
        value = py::Ref::steal(PyObject_GetItem(builtins.get(), name));
        if (!value && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
    }
    if (value) return value;
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
