// Module initialisation: multi-phase (create + exec), once per process and
// for the main interpreter only; a later import gets the same module back.
#include <string_view>

#include "group_bridge/bridge_handover.hpp"
#include "group_bridge/class_builder.hpp"
#include "group_bridge/classes.hpp"
#include "group_bridge/group_controller.hpp"
#include "group_bridge/module_globals.hpp"
#include "python/coroutine.hpp"
#include "python/function.hpp"
#include "python/slot.hpp"

namespace gb {
namespace {

PyObject* g_module = nullptr;  // the initialised module, kept for the process

const char kModuleDoc[] = "AirPlay-to-Xiaomi group bridge runtime.";
const char kModuleName[] = "vesbel.group_bridge";

bool in_main_interpreter() { return PyInterpreterState_Get() == PyInterpreterState_Main(); }

void bind(PyObject* dict, const char* key, PyObject* value) {
    if (PyDict_SetItemString(dict, key, value) < 0) py::throw_error();
}

void import_names(PyObject* dict, const char* module, std::initializer_list<const char*> names) {
    py::Ref module_name = py::str(module);
    for (const char* name : names) bind(dict, name, import_from(module_name.get(), py::str(name).get()).get());
}

void fill_namespace(PyObject* dict) {
    py::Ref logging;
    for (const char* name : {"asyncio", "logging", "time"}) {
        py::Ref module = py::Ref::check(PyImport_ImportModule(name));
        bind(dict, name, module.get());
        if (std::string_view(name) == "logging") logging = module;
    }
    import_names(dict, "zeroconf", {"Zeroconf"});
    import_names(dict, "vesbel.airplay.server", {"AirPlayServer"});
    import_names(dict, "vesbel.config", {"Config", "TargetConfig", "airplay_db_to_xiaomi_volume"});
    import_names(dict, "vesbel.xiaomi", {"TargetController"});
    bind(dict, "log", py::call_method(logging.get(), names::getLogger, py::str("vesbel")).get());
    py::Ref module_name = py::str(kModuleName);
    bind(dict, "GroupController", make_class(kGroupControllerClass, module_name.get(), dict).get());
    bind(dict, "GroupBridge", make_class(kGroupBridgeClass, module_name.get(), dict).get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!in_main_interpreter()) {
        PyErr_SetString(PyExc_ImportError, "module vesbel.group_bridge does not support loading in subinterpreters");
        return nullptr;
    }
    if (g_module) {
        // The import machinery gives the module a fresh, empty state block
        // after this returns; free the old one so re-imports leak nothing.
        PyMem_Free(PyModule_GetState(g_module));
        return py::Ref::borrow(g_module).release();
    }
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

// The builtins dict the code importing the module runs with (what
// `exec(code, namespace)` gives a Python module), or the interpreter's
// `builtins` module's when that is no dict.
py::Ref import_time_builtins() {
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins && PyDict_CheckExact(builtins)) return py::Ref::borrow(builtins);
    py::Ref module = py::Ref::steal(PyImport_GetModule(names::builtins_module));
    if (!module) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "the builtins module is not loaded");
        py::throw_error();
    }
    return py::Ref::borrow(PyModule_GetDict(module.get()));
}

int exec_module(PyObject* module) {
    if (module == g_module) return 0;  // already initialised: run nothing again
    return py::guard(-1, [&] {
        names::intern_all();
        if (py::body_type_ready() < 0 || py::function_support_ready() < 0) py::throw_error();
        PyObject* dict = PyModule_GetDict(module);
        // The builtins, fixed at import as a Python module's functions fix
        // theirs when they are defined: the functions made below take them
        // from the namespace, and the module's own global lookups fall back
        // to them alone.
        g_builtins = import_time_builtins().release();
        if (PyDict_SetItem(dict, names::builtins_key, g_builtins) < 0) py::throw_error();
        fill_namespace(dict);
        g_module = py::Ref::borrow(module).release();  // kept for the process
        g_globals = dict;
        prepare_hand_over();
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, py::slot(create_module)},
    {Py_mod_exec, py::slot(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "group_bridge", kModuleDoc, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace gb

PyMODINIT_FUNC PyInit_group_bridge() { return PyModuleDef_Init(&gb::module_def); }
