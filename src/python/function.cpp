#include "python/function.hpp"

#include <structmember.h>

#include <string>

#include "python/object.hpp"

namespace py {

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* param_names[kMaxParams];
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* globals;
    PyObject* signature;
    PyObject* dict;
    PyObject* weakreflist;
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
        PyErr_Format(PyExc_TypeError, "%U() takes from %d to %d positional arguments but %zd were given", f->qualname,
                     min, max, given);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given", f->qualname, max,
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
    PyErr_Format(PyExc_TypeError, "%U() missing %d required positional argument%s: %s", f->qualname, missing,
                 missing == 1 ? "" : "s", names.c_str());
}

int find_param(FunctionObject* f, PyObject* keyword) {
    for (int i = 0; i < f->spec->nparams; ++i)
        if (f->param_names[i] == keyword) return i;
    for (int i = 0; i < f->spec->nparams; ++i)
        if (PyUnicode_Compare(f->param_names[i], keyword) == 0) return i;
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
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
            return nullptr;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, keyword);
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
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
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
        Ref param = call_kw(parameter.get(), {f->param_names[i], kind.get()},
                            {{kw_default.get(), fallback}, {kw_annotation.get(), annotation.get()}});
        if (PyList_Append(params.get(), param.get()) < 0) throw_error();
    }
    Ref returns = f->spec->returns ? str(f->spec->returns) : empty;
    return call_kw(signature.get(), {params.get()}, {{kw_return.get(), returns.get()}});
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return guard<PyObject*>(nullptr, [&] {
        if (!f->signature) f->signature = build_signature(f).release();
        return Py_NewRef(f->signature);
    });
}

PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* tp_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->signature);
    Py_VISIT(f->dict);
    return 0;
}

int tp_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->dict);
    return 0;
}

void tp_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    tp_clear(self);
    for (int i = 0; i < kMaxParams; ++i) Py_CLEAR(f->param_names[i]);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(tp_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tp_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
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
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
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
    f->vectorcall = vectorcall;
    f->spec = &spec;
    for (int i = 0; i < kMaxParams; ++i) f->param_names[i] = nullptr;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->defaults = defaults.release();
    f->globals = Py_NewRef(globals);
    f->signature = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    Ref function = Ref::steal(reinterpret_cast<PyObject*>(f));
    for (int i = 0; i < spec.nparams; ++i) {
        f->param_names[i] = PyUnicode_InternFromString(spec.params[i].name);
        if (!f->param_names[i]) throw_error();
    }
    PyObject_GC_Track(function.get());
    return function;
}

CoroNames function_names(PyObject* function) {
    FunctionObject* f = as_function(function);
    return CoroNames{f->name, f->qualname};
}

int function_type_ready() {
    if (g_function_type) return 0;
    g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return g_function_type ? 0 : -1;
}

}  // namespace py
