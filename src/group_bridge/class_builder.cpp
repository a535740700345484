#include "group_bridge/class_builder.hpp"

#include "python/object.hpp"

namespace gb {

py::Ref make_class(const ClassSpec& spec, PyObject* module_name, PyObject* globals) {
    py::Ref name = py::str(spec.name);
    py::Ref ns = py::Ref::check(PyDict_New());
    auto set = [&](const char* key, PyObject* value) {
        if (PyDict_SetItemString(ns.get(), key, value) < 0) py::throw_error();
    };
    set("__module__", module_name);
    set("__qualname__", name.get());
    set("__doc__", py::str(spec.doc).get());
    for (int i = 0; i < spec.nmembers; ++i) {
        const MemberSpec& member = spec.members[i];
        py::Ref function = py::make_function(*member.function, name.get(), module_name, globals);
        py::Ref value = member.property ? py::call(reinterpret_cast<PyObject*>(&PyProperty_Type), function) : function;
        set(member.function->name, value.get());
        py::note_class_attribute(*member.function, value.get());
    }
    py::Ref bases = py::Ref::check(PyTuple_New(0));
    return py::call(reinterpret_cast<PyObject*>(&PyType_Type), name, bases, ns);
}

}  // namespace gb
