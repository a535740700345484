#include "python/object.hpp"

#include <vector>

// Records that the type whose version tag is `type_version` has no data
// descriptor `name`, for the entry remembered for `name` in `dict`.
extern "C" void group_bridge_note_plain_attribute(PyObject* dict, PyObject* name, unsigned int type_version);

// `setattr(o, name, value)` when a remembered entry vouches for it as for a
// read, and the instance dict already holds `name`: 1, done; else 0, with
// nothing changed and no error set.
extern "C" int group_bridge_set_instance_attribute(PyObject* o, PyObject* name, PyObject* value);

// Remembers where `o` keeps `name`, just stored, and that the type whose
// version tag is `type_version` has no descriptor `name`.
extern "C" void group_bridge_note_written_attribute(PyObject* o, PyObject* name, unsigned int type_version);

namespace py {

namespace {

// `dict.get(name)` for a dict and a str `name`: a null Ref when absent.
Ref dict_item(PyObject* dict, PyObject* name) {
    Ref value = Ref::borrow(group_bridge_dict_get(dict, name));
    if (!value && PyErr_Occurred()) throw_error();
    return value;
}

// Whether `name` is a dunder name, which the module type serves itself.
bool is_dunder(PyObject* name) {
    return PyUnicode_GET_LENGTH(name) > 1 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_';
}

// An AttributeError given the `name` and `obj` CPython's attribute lookup
// gives one that has neither (the error a descriptor or a key's __eq__
// raised, or one made here).
void add_attribute_error_context(const PyError& error, PyObject* o, PyObject* name) {
    if (!error.matches(PyExc_AttributeError)) return;
    auto* exception = reinterpret_cast<PyAttributeErrorObject*>(error.value().get());
    if (exception->name || exception->obj) return;
    if (PyObject_SetAttrString(error.value().get(), "name", name) < 0 ||
        PyObject_SetAttrString(error.value().get(), "obj", o) < 0)
        throw_error();
}

// CPython's generic attribute lookup of `name` on `o`, whose type was `type`
// when the read began, for a read the remembered entries did not answer.
// The instance dict is asked once, so a key's __eq__ runs once, as in
// Python; what it answers, the type's non-data descriptor bound to `o`, a
// plain class attribute, or CPython's AttributeError naming `type`.
Ref generic_getattr(PyObject* o, PyObject* name, PyTypeObject* type) {
    Ref descriptor = Ref::borrow(_PyType_Lookup(type, name));
    // The type's state that lookup saw: the dict lookup below can run a
    // key's __eq__, which can change the type.
    unsigned int type_version = type->tp_version_tag;
    if (descriptor && Py_TYPE(descriptor.get())->tp_descr_set)
        return Ref::check(PyObject_GenericGetAttr(o, name));  // a data descriptor comes first
    PyObject* kept = nullptr;
    int in_values = group_bridge_kept_value(o, name, descriptor ? 0 : type_version, &kept);
    if (in_values > 0) return Ref::borrow(kept);
    if (in_values < -1) return Ref::check(PyObject_GenericGetAttr(o, name));
    if (PyObject** slot = in_values < 0 ? group_bridge_dict_ptr(o) : nullptr; slot && *slot) {
        Ref dict = Ref::borrow(*slot);
        if (Ref value = dict_item(dict.get(), name)) {
            if (!descriptor) group_bridge_note_plain_attribute(dict.get(), name, type_version);
            return value;
        }
    }
    if (descriptor) {
        descrgetfunc get = Py_TYPE(descriptor.get())->tp_descr_get;
        if (!get) return descriptor;
        return Ref::check(get(descriptor.get(), o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
    }
    raise_format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", type->tp_name, name);
}

// `setattr(o, name, value)` for a write no remembered entry takes.
[[gnu::noinline]] void uncommon_setattr(PyObject* o, PyObject* name, PyObject* value) {
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_setattro == PyObject_GenericSetAttr) {
        PyObject* descriptor = _PyType_Lookup(type, name);  // only compared
        // The type's state that lookup saw: the store below can run a
        // key's __eq__, which can change the type.
        unsigned int type_version = type->tp_version_tag;
        if (!descriptor || !Py_TYPE(descriptor)->tp_descr_set) {
            // Held: a key's __eq__ can run Python code that replaces __dict__.
            PyObject** slot = group_bridge_dict_ptr(o);
            if (Ref dict = Ref::borrow(slot ? *slot : nullptr)) {
                if (PyDict_SetItem(dict.get(), name, value) < 0) throw_error();
            } else if (PyObject_GenericSetAttr(o, name, value) < 0) {  // values kept without a dict, or none yet
                throw_error();
            }
            if (!descriptor) group_bridge_note_written_attribute(o, name, type_version);
            return;
        }
    }
    if (PyObject_SetAttr(o, name, value) < 0) throw_error();
}

}  // namespace

// Kept out of line so that the remembered read stays a short call.
[[gnu::noinline]] Ref getattr_unremembered(PyObject* o, PyObject* name) {
    // Held: Python code run by the read can give `o` another class.
    Ref type_held = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(o)));
    auto* type = reinterpret_cast<PyTypeObject*>(type_held.get());
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        try {
            return generic_getattr(o, name, type);
        } catch (PyError& error) {
            add_attribute_error_context(error, o, name);
            throw;
        }
    }
    if (type == &PyModule_Type && !is_dunder(name)) {
        Ref dict = Ref::borrow(PyModule_GetDict(o));
        if (Ref value = dict_item(dict.get(), name)) return value;
    }
    return Ref::check(PyObject_GetAttr(o, name));
}

Ref getattr(PyObject* o, PyObject* name) {
    if (PyObject* value = group_bridge_instance_attribute(o, name)) return Ref::borrow(value);
    return getattr_unremembered(o, name);
}

void setattr(PyObject* o, PyObject* name, PyObject* value) {
    if (!group_bridge_set_instance_attribute(o, name, value)) uncommon_setattr(o, name, value);
}

Ref call_kw(PyObject* f, std::initializer_list<PyObject*> positional, std::initializer_list<Keyword> keywords) {
    // The argument vector lives on the stack when it fits, as it does at
    // every call site.
    constexpr size_t kOnStack = 8;
    size_t slots = 1 + positional.size() + keywords.size();
    PyObject* on_stack[kOnStack];
    std::vector<PyObject*> on_heap(slots > kOnStack ? slots : 0);
    PyObject** argv = slots > kOnStack ? on_heap.data() : on_stack;
    size_t n = 0;
    argv[n++] = nullptr;
    for (PyObject* arg : positional) argv[n++] = arg;
    Ref names = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const Keyword& kw : keywords) {
        PyTuple_SET_ITEM(names.get(), i++, Ref::borrow(kw.name).release());  // the tuple takes it
        argv[n++] = kw.value;
    }
    return Ref::check(PyObject_Vectorcall(f, argv + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          keywords.size() ? names.get() : nullptr));
}

void close_unawaited(PyObject* awaitable) {
    if (!interpreter_attached()) return;    // a forced unwind at exit runs no Python
    static PyObject* close_name = nullptr;  // interned once (tried again after a failure), kept for the process
    Ref saved = Ref::steal(PyErr_GetRaisedException());
    if (!close_name) close_name = PyUnicode_InternFromString("close");
    PyObject* close = nullptr;
    int found = close_name ? lookup_attr(awaitable, close_name, &close) : -1;
    Ref method = Ref::steal(close);
    if (found < 0) PyErr_WriteUnraisable(awaitable);
    if (method) {
        Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
        if (!result) PyErr_WriteUnraisable(awaitable);
    }
    PyErr_SetRaisedException(saved.release());
}

void require_exact_str(PyObject* o, const char* what) {
    if (!is_exact_str(o)) raise_format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(o)->tp_name);
}

}  // namespace py
