#include "python/code_site.hpp"

#include <frameobject.h>

#include <algorithm>
#include <string>

#include "python/object.hpp"

namespace py {

namespace {

// (co_qualname, co_filename, co_firstlineno) -> code object.  Process-wide
// like the module's types; it lives as long as the process.
PyObject* g_codes = nullptr;

PyObject* code_cache() {
    if (!g_codes) g_codes = PyDict_New();
    if (!g_codes) throw_error();
    return g_codes;
}

Ref cache_key(PyObject* qualname, std::source_location where) {
    Ref file = Ref::check(PyUnicode_DecodeFSDefault(where.file_name()));
    Ref line = integer(where.line());
    return Ref::check(PyTuple_Pack(3, qualname, file.get(), line.get()));
}

// The cache is a dict that Python code can reach (gc.get_objects() lists
// it): an entry that is no code object is ignored, and made again.
Ref cached(PyObject* key) {
    // Owned before anything else runs; the lookup itself copes with a key
    // whose __eq__ changes the dict, as every dict lookup does.
    PyObject* found = PyDict_GetItemWithError(code_cache(), key);
    if (!found && PyErr_Occurred()) throw_error();
    return found && PyCode_Check(found) ? Ref::borrow(found) : Ref();
}

void remember(PyObject* key, PyObject* code) {
    if (PyDict_SetItem(code_cache(), key, code) < 0) throw_error();
}

// A line table that gives every instruction of `code` its first line (and
// no columns), so frames and tracebacks report that line.
Ref first_line_table(PyObject* code) {
    Ref bytecode = Ref::check(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(code)));
    if (!PyBytes_Check(bytecode.get())) raise(PyExc_TypeError, "code without bytecode");
    Py_ssize_t units = PyBytes_GET_SIZE(bytecode.get()) / 2;
    constexpr unsigned char kNoColumns = 13;  // location entry: line delta only
    std::string table;
    while (units > 0) {
        Py_ssize_t span = std::min<Py_ssize_t>(units, 8);
        table.push_back(static_cast<char>(0x80 | (kNoColumns << 3) | (span - 1)));
        table.push_back(0);  // line delta 0
        units -= span;
    }
    return Ref::check(PyBytes_FromStringAndSize(table.data(), static_cast<Py_ssize_t>(table.size())));
}

Ref replace(PyObject* code, std::initializer_list<Keyword> changes) {
    Ref method = Ref::check(PyObject_GetAttrString(code, "replace"));
    return call_kw(method.get(), {}, changes);
}

Ref keyword_name(const char* text) { return Ref::check(PyUnicode_InternFromString(text)); }

}  // namespace

Ref operation_code(const CodeShape& shape, std::source_location where) {
    Ref key = cache_key(shape.qualname, where);
    if (Ref code = cached(key.get())) return code;
    Ref empty =
        Ref::check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(where.file_name(), "", static_cast<int>(where.line()))));
    Ref varnames = shape.varnames ? Ref::borrow(shape.varnames) : Ref::check(PyTuple_New(0));
    Ref count = integer(PyTuple_GET_SIZE(varnames.get()));
    Ref flags = integer(shape.flags | CO_OPTIMIZED | CO_NEWLOCALS);
    Ref lines = first_line_table(empty.get());
    Ref k_name = keyword_name("co_name"), k_qualname = keyword_name("co_qualname"), k_flags = keyword_name("co_flags"),
        k_argcount = keyword_name("co_argcount"), k_nlocals = keyword_name("co_nlocals"),
        k_varnames = keyword_name("co_varnames"), k_linetable = keyword_name("co_linetable");
    Ref code = replace(empty.get(), {{k_name.get(), shape.name},
                                     {k_qualname.get(), shape.qualname},
                                     {k_flags.get(), flags.get()},
                                     {k_argcount.get(), count.get()},
                                     {k_nlocals.get(), count.get()},
                                     {k_varnames.get(), varnames.get()},
                                     {k_linetable.get(), lines.get()}});
    remember(key.get(), code.get());
    return code;
}

Ref code_at(PyObject* code, std::source_location where) {
    PyObject* qualname = reinterpret_cast<PyCodeObject*>(code)->co_qualname;
    Ref key = cache_key(qualname, where);
    if (Ref found = cached(key.get())) return found;
    Ref file = Ref::check(PyUnicode_DecodeFSDefault(where.file_name()));
    Ref line = integer(where.line());
    Ref k_filename = keyword_name("co_filename"), k_firstlineno = keyword_name("co_firstlineno");
    Ref moved = replace(code, {{k_filename.get(), file.get()}, {k_firstlineno.get(), line.get()}});
    remember(key.get(), moved.get());
    return moved;
}

Ref frame_for(PyObject* code, PyObject* globals) {
    Ref namespace_;
    if (!globals) {
        namespace_ = Ref::check(PyDict_New());
        globals = namespace_.get();
    }
    return Ref::check(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
}

void add_traceback_entry(PyObject* frame) {
    // On failure the interpreter chains its own error to the one raised.
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
}

}  // namespace py
