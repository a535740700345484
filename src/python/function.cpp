#include "python/function.hpp"

#include <structmember.h>

#include <new>
#include <string>
#include <utility>

#include "python/object.hpp"
#include "python/slot.hpp"

namespace py {

namespace {

// The C++ members are constructed in place after allocation and destroyed
// before the memory is freed (see make_function and tp_dealloc).
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    Ref param_names[kMaxParams];
    Ref name;
    Ref qualname;
    Ref module;
    Ref doc;
    Ref annotations;
    Ref defaults;
    Ref globals;
    Ref signature;          // built on first use
    PyObject* dict;         // managed by the interpreter (__dictoffset__)
    PyObject* weakreflist;  // managed by the interpreter
};

PyTypeObject* g_function_type = nullptr;

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

int count_required(const FunctionSpec& spec) {
    int required = 0;
    for (int i = 0; i < spec.nparams; ++i) required += spec.params[i].optional ? 0 : 1;
    return required;
}

void raise_too_many(FunctionObject* f, Py_ssize_t given) {
    int max = f->spec->nparams;
    int min = count_required(*f->spec);
    if (min != max) {
        PyErr_Format(PyExc_TypeError, "%U() takes from %d to %d positional arguments but %zd were given",
                     f->qualname.get(), min, max, given);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given", f->qualname.get(), max,
                     max == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    }
}

void raise_missing(FunctionObject* f, PyObject* const* bound) {
    std::string names;
    int missing = 0;
    for (int i = 0; i < f->spec->nparams; ++i)
        if (!bound[i] && !f->spec->params[i].optional) ++missing;
    int seen = 0;
    for (int i = 0; i < f->spec->nparams; ++i) {
        if (bound[i] || f->spec->params[i].optional) continue;
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
    for (int i = 0; i < spec.nparams; ++i) {
        if (bound[i]) continue;
        if (!spec.params[i].optional) {
            raise_missing(f, bound);
            return nullptr;
        }
        bound[i] = Py_None;
    }
    return guard<PyObject*>(nullptr, [&] { return spec.impl(callable, bound).release(); });
}

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

Ref build_signature(FunctionObject* f) {
    Ref inspect = Ref::check(PyImport_ImportModule("inspect"));
    Ref parameter = getattr(inspect.get(), str("Parameter").get());
    Ref signature = getattr(inspect.get(), str("Signature").get());
    Ref empty = getattr(parameter.get(), str("empty").get());
    Ref kind = getattr(parameter.get(), str("POSITIONAL_OR_KEYWORD").get());
    Ref kw_default = str("default"), kw_annotation = str("annotation"), kw_return = str("return_annotation");
    Ref params = Ref::check(PyList_New(0));
    for (int i = 0; i < f->spec->nparams; ++i) {
        const Param& p = f->spec->params[i];
        Ref annotation = p.annotation ? str(p.annotation) : empty;
        PyObject* fallback = p.optional ? Py_None : empty.get();
        Ref param = call_kw(parameter.get(), {f->param_names[i].get(), kind.get()},
                            {{kw_default.get(), fallback}, {kw_annotation.get(), annotation.get()}});
        if (PyList_Append(params.get(), param.get()) < 0) throw_error();
    }
    Ref returns = f->spec->returns ? str(f->spec->returns) : empty;
    return call_kw(signature.get(), {params.get()}, {{kw_return.get(), returns.get()}});
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return guard<PyObject*>(nullptr, [&] {
        if (!f->signature) f->signature = build_signature(f);
        return f->signature.new_ref();
    });
}

PyObject* get_annotations(PyObject* self, void*) { return as_function(self)->annotations.new_ref(); }
PyObject* get_defaults(PyObject* self, void*) { return as_function(self)->defaults.new_ref(); }
PyObject* get_kwdefaults(PyObject*, void*) { return none().release(); }
PyObject* get_name(PyObject* self, void*) { return as_function(self)->name.new_ref(); }
PyObject* get_qualname(PyObject* self, void*) { return as_function(self)->qualname.new_ref(); }
PyObject* get_globals(PyObject* self, void*) { return as_function(self)->globals.new_ref(); }
PyObject* get_module(PyObject* self, void*) { return as_function(self)->module.new_ref(); }
PyObject* get_doc(PyObject* self, void*) { return as_function(self)->doc.new_ref(); }

// Setters of the writable attributes; deleting one sets it to None.
int set_module(PyObject* self, PyObject* value, void*) {
    as_function(self)->module = Ref::borrow(value ? value : Py_None);
    return 0;
}
int set_doc(PyObject* self, PyObject* value, void*) {
    as_function(self)->doc = Ref::borrow(value ? value : Py_None);
    return 0;
}

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
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
    for (const Ref* member : {&f->module, &f->doc, &f->annotations, &f->defaults, &f->globals, &f->signature})
        Py_VISIT(member->get());
    Py_VISIT(f->dict);
    return 0;
}

int tp_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    for (Ref* member : {&f->module, &f->doc, &f->annotations, &f->defaults, &f->globals, &f->signature})
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

}  // namespace

Ref make_function(const FunctionSpec& spec, PyObject* owner, PyObject* module_name, PyObject* globals) {
    if (spec.nparams > kMaxParams) raise(PyExc_RuntimeError, "too many parameters");
    Ref annotations = make_annotations(spec);
    Ref defaults = make_defaults(spec);
    Ref name = Ref::check(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::check(PyUnicode_FromFormat("%U.%s", owner, spec.name));
    Ref doc = spec.doc ? str(spec.doc) : none();
    FunctionObject* f = PyObject_GC_New(FunctionObject, g_function_type);
    if (!f) throw_error();
    // The C++ members are constructed in place; tp_dealloc destroys them.
    f->vectorcall = vectorcall;
    f->spec = &spec;
    for (Ref& param_name : f->param_names) new (&param_name) Ref();
    for (Ref* member :
         {&f->name, &f->qualname, &f->module, &f->doc, &f->annotations, &f->defaults, &f->globals, &f->signature})
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
    f->globals = Ref::borrow(globals);
    for (int i = 0; i < spec.nparams; ++i)
        f->param_names[i] = Ref::check(PyUnicode_InternFromString(spec.params[i].name));
    PyObject_GC_Track(function.get());
    return function;
}

CoroNames function_names(PyObject* function) {
    FunctionObject* f = as_function(function);
    return CoroNames{f->name.get(), f->qualname.get()};
}

int function_type_ready() {
    if (g_function_type) return 0;
    g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return g_function_type ? 0 : -1;
}

}  // namespace py
