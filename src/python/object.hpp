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

// The slot of `o`'s instance dict, as _PyObject_GetDictPtr, but on 3.12
// never making a dict: null when `o` keeps its attributes as values with no
// dict made (making one would cost `o` CPython's specialised attribute
// bytecode for good; on 3.13 the dict made shares the object's values and
// costs it nothing).
extern "C" PyObject** group_bridge_dict_ptr(PyObject* o);

// For an object that keeps its attributes as values with no dict made: 1
// with `*value` (borrowed) when it holds `name`, 0 when it does not, -2 when
// only CPython's own lookup can tell; -1 when it keeps a dict or nothing.  A
// found position is remembered, and with a nonzero `type_version` the
// type's word that it has no descriptor `name`.
extern "C" int group_bridge_kept_value(PyObject* o, PyObject* name, unsigned int type_version, PyObject** value);

// `getattr(o, name)` (borrowed) when a remembered entry answers it: `o`'s
// type, at its current version, was seen to have no data descriptor `name`,
// and the entry of `o`'s instance dict remembered for `name` holds it.
// Else null, with no error set (dict_lookup.c).
extern "C" PyObject* group_bridge_instance_attribute(PyObject* o, PyObject* name);

namespace py {

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline bool is_none(PyObject* o) { return o == Py_None; }

// `getattr(o, name)`, with the answers of CPython's full protocol.  Reads
// of an instance dict or a plain module's namespace take one dict lookup,
// and one the module made before is checked at the entry where it found the
// name (dict_lookup.c).
Ref getattr(PyObject* o, PyObject* name);

// The same, for a read the remembered entries did not answer.
Ref getattr_unremembered(PyObject* o, PyObject* name);

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

// `o.name = value`, stored straight in the instance dict when the type has
// no data descriptor of that name: what the full protocol does, without its
// general path.
void setattr(PyObject* o, PyObject* name, PyObject* value);

inline bool truthy(PyObject* o) {
    if (o == Py_None || o == Py_False) return false;  // answered here as PyObject_IsTrue answers them
    if (o == Py_True) return true;
    int r = PyObject_IsTrue(o);
    if (r < 0) throw_error();
    return r == 1;
}

// `o.name` when it is true, else a null Ref: `value = o.name; if value:`.
// A None or False found where the remembered entries look is only compared,
// never owned, so such a test costs no reference count.
inline Ref getattr_if_true(PyObject* o, PyObject* name) {
    PyObject* kept = group_bridge_instance_attribute(o, name);  // borrowed: compared or owned before Python runs
    if (kept == Py_None || kept == Py_False) return Ref();
    Ref value = kept ? Ref::borrow(kept) : getattr_unremembered(o, name);
    return truthy(value.get()) ? std::move(value) : Ref();
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
