// Small typed helpers over the object protocol: attribute access, calls,
// truth values, exact-type tests.  Each throws PyError on failure.
#pragma once

#include <initializer_list>
#include <string_view>

#include "python/ref.hpp"

// `dict[name]` (borrowed) for a dict and a str `name`: null when absent (no
// error set) or on error (set).  Remembers where in the dict it found the
// name and checks that entry first next time (dict_lookup.c).
extern "C" PyObject* group_bridge_dict_get(PyObject* dict, PyObject* name);

// `getattr(o, name)` (borrowed) when a remembered entry answers it: `o`'s
// type, at its current version, was seen to have no data descriptor `name`,
// and the entry of `o`'s instance dict remembered for `name` holds it.
// Else null, with no error set (dict_lookup.c).
extern "C" PyObject* group_bridge_instance_attribute(PyObject* o, PyObject* name);

// Records that the type whose version tag is `type_version` has no data
// descriptor `name`, for the entry remembered for `name` in `dict`.
extern "C" void group_bridge_note_plain_attribute(PyObject* dict, PyObject* name, unsigned int type_version);

namespace py {

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline bool is_none(PyObject* o) { return o == Py_None; }

// `dict.get(name)` for a dict and a str `name`: a null Ref when absent.
[[gnu::always_inline]] inline Ref dict_item(PyObject* dict, PyObject* name) {
    Ref value = Ref::borrow(group_bridge_dict_get(dict, name));
    if (!value && PyErr_Occurred()) throw_error();
    return value;
}

// The instance dict in which the generic attribute protocol reads or writes
// `name` of `o` (whose type's slot is `generic`), when the type has no data
// descriptor of that name and the dict exists; else a null Ref.  Held: a
// key's __eq__ can run Python code that replaces the object's __dict__.
[[gnu::always_inline]] inline Ref plain_instance_dict(PyObject* o, PyObject* name, bool generic) {
    if (!generic) return Ref();
    PyObject* descriptor = _PyType_Lookup(Py_TYPE(o), name);
    if (descriptor && Py_TYPE(descriptor)->tp_descr_set) return Ref();
    PyObject** slot = _PyObject_GetDictPtr(o);
    return Ref::borrow(slot ? *slot : nullptr);
}

// Whether `name` is a dunder name, which the module type serves itself.
inline bool is_dunder(PyObject* name) {
    return PyUnicode_GET_LENGTH(name) > 1 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_';
}

// `getattr(o, name)`.  Answered from the plain instance dict (above) when
// the name is there, and from a plain module's namespace for any name the
// module type does not serve: the same answers as the full protocol, in one
// dict lookup.  Everything else goes the full way.
Ref getattr(PyObject* o, PyObject* name);

// `getattr(o, name, <absent>)`: 1 found, 0 absent (AttributeError cleared),
// -1 with another error set.
inline int lookup_attr(PyObject* o, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(o, name);
    if (*result) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// The attribute, or a null Ref when the object has none (AttributeError).
inline Ref getattr_optional(PyObject* o, PyObject* name) {
    PyObject* result = nullptr;
    if (lookup_attr(o, name, &result) < 0) throw_error();
    return Ref::steal(result);
}

// `o.name = value`, stored straight in the plain instance dict (above)
// when there is one: what the full protocol does, without its general path.
void setattr(PyObject* o, PyObject* name, PyObject* value);

inline bool truthy(PyObject* o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) throw_error();
    return r == 1;
}

inline Ref str(std::string_view text) {
    return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline Ref integer(long long value) { return Ref::check(PyLong_FromLongLong(value)); }
inline Ref floating(double value) { return Ref::check(PyFloat_FromDouble(value)); }

// Calls `f` with positional arguments.
template <class... A>
Ref call(PyObject* f, const A&... args) {
    PyObject* argv[] = {nullptr, ptr(args)...};
    return Ref::check(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `obj.name(args...)`.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, const A&... args) {
    PyObject* argv[] = {obj, ptr(args)...};
    return Ref::check(
        PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// One keyword argument of `call_kw`.
struct Keyword {
    PyObject* name;
    PyObject* value;
};

// Calls `f(*positional, **keywords)` through vectorcall.
Ref call_kw(PyObject* f, std::initializer_list<PyObject*> positional, std::initializer_list<Keyword> keywords);

// `type(o) is str`, `type(o) is dict`.
inline bool is_exact_str(PyObject* o) { return PyUnicode_CheckExact(o); }
inline bool is_exact_dict(PyObject* o) { return PyDict_CheckExact(o); }

// str(o)
inline Ref to_str(PyObject* o) { return Ref::check(PyObject_Str(o)); }

// Closes an awaitable that will never be awaited (when it has `close`), so
// that no "never awaited" warning reaches the host.  A failure to close is
// reported as unraisable; an error already set is kept.
void close_unawaited(PyObject* awaitable);

// Raises TypeError "<what> must be str, not <type>" unless `o` is exactly a str.
void require_exact_str(PyObject* o, const char* what);

}  // namespace py
