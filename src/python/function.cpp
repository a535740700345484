#include "python/function.hpp"

#include <structmember.h>

#include <new>
#include <string>
#include <utility>

#include "python/code_site.hpp"
#include "python/object.hpp"
#include "python/slot.hpp"

namespace py {

namespace {

// The C++ members are constructed in place after allocation and destroyed
// before the memory is freed (see make_function and tp_dealloc).
//
// __defaults__, __kwdefaults__ and __annotations__ are writable with the
// checks a Python function makes, and honoured as a Python function
// honours them: binding fills missing arguments from the current
// __defaults__, and inspect.signature reads __code__, __defaults__ and
// __annotations__ afresh each time.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    Ref param_names[kMaxParams];
    Ref name;
    Ref qualname;
    Ref module;
    Ref doc;
    Ref annotations;  // a dict, or null: an empty dict is made when asked for
    Ref defaults;     // a tuple or None
    Ref kwdefaults;   // a dict or None
    Ref globals;
    Ref code;
    PyObject* dict;         // managed by the interpreter (__dictoffset__)
    PyObject* weakreflist;  // managed by the interpreter
};

PyTypeObject* g_function_type = nullptr;

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

Py_ssize_t default_count(FunctionObject* f) {
    PyObject* defaults = f->defaults.get();
    return defaults && PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
}

void raise_too_many(FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t max = f->spec->nparams;
    Py_ssize_t defaults = default_count(f);
    const char* verb = given == 1 ? "was" : "were";
    if (defaults) {
        PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given",
                     f->qualname.get(), max - defaults, max, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname.get(), max,
                     max == 1 ? "" : "s", given, verb);
    }
}

// Parameters before `first_default` have no default.
void raise_missing(FunctionObject* f, PyObject* const* bound, Py_ssize_t first_default) {
    std::string names;
    int missing = 0;
    for (Py_ssize_t i = 0; i < first_default; ++i)
        if (!bound[i]) ++missing;
    int seen = 0;
    for (Py_ssize_t i = 0; i < first_default; ++i) {
        if (bound[i]) continue;
        ++seen;
        if (seen > 1) names += missing == 2 ? " and " : (seen == missing ? ", and " : ", ");
        names += "'";
        names += f->spec->params[i].name;
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %d required positional argument%s: %s", f->qualname.get(), missing,
                 missing == 1 ? "" : "s", names.c_str());
}

int find_param(FunctionObject* f, PyObject* keyword) {
    for (int i = 0; i < f->spec->nparams; ++i)
        if (f->param_names[i].get() == keyword) return i;
    for (int i = 0; i < f->spec->nparams; ++i)
        if (PyUnicode_Compare(f->param_names[i].get(), keyword) == 0) return i;
    return -1;
}

PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(callable);
    const FunctionSpec& spec = *f->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > spec.nparams) {
        raise_too_many(f, nargs);
        return nullptr;
    }
    PyObject* bound[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        // Kept alive by the caller's kwnames tuple, which cannot change,
        // even while an error message's str() runs Python code.
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        int index = find_param(f, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname.get(), keyword);
            return nullptr;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname.get(), keyword);
            return nullptr;
        }
        bound[index] = args[nargs + k];
    }
    // Missing arguments come from the current __defaults__, which is held
    // for the call: the implementation may run code that replaces it.
    Ref defaults;
    if (nargs + nkw < spec.nparams) {
        defaults = f->defaults;
        Py_ssize_t count = default_count(f);
        Py_ssize_t first_default = spec.nparams - count;
        for (Py_ssize_t i = 0; i < spec.nparams; ++i) {
            if (bound[i]) continue;
            if (i < first_default) {
                raise_missing(f, bound, first_default);
                return nullptr;
            }
            bound[i] = PyTuple_GET_ITEM(defaults.get(), i - first_default);
        }
    }
    return guard<PyObject*>(nullptr, [&] { return spec.impl.call(callable, bound).release(); });
}

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations) f->annotations = Ref::steal(PyDict_New());
    return f->annotations.new_ref();
}
// A member the collector has cleared reads as None.
PyObject* or_none(const Ref& member) { return member ? member.new_ref() : none().release(); }

PyObject* get_name(PyObject* self, void*) { return as_function(self)->name.new_ref(); }
PyObject* get_qualname(PyObject* self, void*) { return as_function(self)->qualname.new_ref(); }
PyObject* get_globals(PyObject* self, void*) { return or_none(as_function(self)->globals); }
PyObject* get_module(PyObject* self, void*) { return or_none(as_function(self)->module); }
PyObject* get_doc(PyObject* self, void*) { return or_none(as_function(self)->doc); }
PyObject* get_code(PyObject* self, void*) { return or_none(as_function(self)->code); }
PyObject* get_defaults(PyObject* self, void*) { return or_none(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) { return or_none(as_function(self)->kwdefaults); }

// Setters of the writable attributes, with a Python function's checks;
// deleting one sets it to None.
int set_module(PyObject* self, PyObject* value, void*) {
    as_function(self)->module = Ref::borrow(value ? value : Py_None);
    return 0;
}
int set_doc(PyObject* self, PyObject* value, void*) {
    as_function(self)->doc = Ref::borrow(value ? value : Py_None);
    return 0;
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (PySys_Audit("object.__setattr__", "OsO", self, "__defaults__", value ? value : Py_None) < 0) return -1;
    as_function(self)->defaults = Ref::borrow(value ? value : Py_None);
    return 0;
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (PySys_Audit("object.__setattr__", "OsO", self, "__kwdefaults__", value ? value : Py_None) < 0) return -1;
    as_function(self)->kwdefaults = Ref::borrow(value ? value : Py_None);
    return 0;
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_function(self)->annotations = Ref::borrow(value);
    return 0;
}

// Pickled and copied by reference, as a Python function is: the module's
// attribute of this qualified name.
PyObject* method_reduce(PyObject* self, PyObject*) { return as_function(self)->qualname.new_ref(); }

PyMethodDef methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* tp_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname.get(), self);
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    for (const Ref* member :
         {&f->module, &f->doc, &f->annotations, &f->defaults, &f->kwdefaults, &f->globals, &f->code})
        Py_VISIT(member->get());
    Py_VISIT(f->dict);
    return 0;
}

int tp_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    for (Ref* member : {&f->module, &f->doc, &f->annotations, &f->defaults, &f->kwdefaults, &f->globals, &f->code})
        member->reset();
    Ref::steal(std::exchange(f->dict, nullptr)).reset();
    return 0;
}

void tp_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    tp_clear(self);
    f->~FunctionObject();
    PyObject_GC_Del(self);
    Ref::steal(reinterpret_cast<PyObject*>(type)).reset();  // instances own their heap type
}

PyType_Slot slots[] = {
    {Py_tp_call, py::slot(PyVectorcall_Call)},
    {Py_tp_descr_get, py::slot(descr_get)},
    {Py_tp_repr, py::slot(tp_repr)},
    {Py_tp_traverse, py::slot(tp_traverse)},
    {Py_tp_clear, py::slot(tp_clear)},
    {Py_tp_dealloc, py::slot(tp_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "vesbel.group_bridge.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    slots,
};

Ref make_annotations(const FunctionSpec& spec) {
    Ref annotations = Ref::check(PyDict_New());
    for (int i = 0; i < spec.nparams; ++i) {
        if (!spec.params[i].annotation) continue;
        if (PyDict_SetItemString(annotations.get(), spec.params[i].name, str(spec.params[i].annotation).get()) < 0)
            throw_error();
    }
    if (spec.returns && PyDict_SetItemString(annotations.get(), "return", str(spec.returns).get()) < 0) throw_error();
    return annotations;
}

Ref make_defaults(const FunctionSpec& spec) {
    Py_ssize_t count = 0;
    for (int i = 0; i < spec.nparams; ++i) count += spec.params[i].optional ? 1 : 0;
    if (!count) return none();
    Ref defaults = Ref::check(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(defaults.get(), i, none().release());
    return defaults;
}

// Optional parameters must come last: the defaults fill the last ones.
void check_params(const FunctionSpec& spec) {
    if (spec.nparams > kMaxParams) raise(PyExc_RuntimeError, "too many parameters");
    for (int i = 1; i < spec.nparams; ++i)
        if (spec.params[i - 1].optional && !spec.params[i].optional)
            raise(PyExc_RuntimeError, "a parameter without default follows one with a default");
}

}  // namespace

Ref make_function(const FunctionSpec& spec, PyObject* owner, PyObject* module_name, PyObject* globals) {
    check_params(spec);
    Ref annotations = make_annotations(spec);
    Ref defaults = make_defaults(spec);
    Ref name = Ref::check(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::check(PyUnicode_FromFormat("%U.%s", owner, spec.name));
    Ref doc = spec.doc ? str(spec.doc) : none();
    Ref varnames = Ref::check(PyTuple_New(spec.nparams));
    for (int i = 0; i < spec.nparams; ++i)
        PyTuple_SET_ITEM(varnames.get(), i, Ref::check(PyUnicode_InternFromString(spec.params[i].name)).release());
    Ref code = operation_code({name.get(), qualname.get(), varnames.get(), spec.impl.coroutine ? CO_COROUTINE : 0},
                              spec.where);
    FunctionObject* f = PyObject_GC_New(FunctionObject, g_function_type);
    if (!f) throw_error();
    // The C++ members are constructed in place; tp_dealloc destroys them.
    f->vectorcall = vectorcall;
    f->spec = &spec;
    for (Ref& param_name : f->param_names) new (&param_name) Ref();
    for (Ref* member : {&f->name, &f->qualname, &f->module, &f->doc, &f->annotations, &f->defaults, &f->kwdefaults,
                        &f->globals, &f->code})
        new (member) Ref();
    f->dict = nullptr;
    f->weakreflist = nullptr;
    Ref function = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = std::move(name);
    f->qualname = std::move(qualname);
    f->module = Ref::borrow(module_name);
    f->doc = std::move(doc);
    f->annotations = std::move(annotations);
    f->defaults = std::move(defaults);
    f->kwdefaults = none();
    f->globals = Ref::borrow(globals);
    f->code = std::move(code);
    for (int i = 0; i < spec.nparams; ++i) f->param_names[i] = Ref::borrow(PyTuple_GET_ITEM(varnames.get(), i));
    PyObject_GC_Track(function.get());
    return function;
}

CoroNames function_names(PyObject* function) {
    FunctionObject* f = as_function(function);
    return CoroNames{f->name.get(), f->qualname.get(), function};
}

PyObject* function_code(PyObject* function) { return as_function(function)->code.get(); }
PyObject* function_globals(PyObject* function) { return as_function(function)->globals.get(); }

int function_type_ready() {
    if (g_function_type) return 0;
    g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return g_function_type ? 0 : -1;
}

}  // namespace py
