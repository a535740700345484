// Late-bound access to the module's globals: each lookup reads the module
// namespace at the moment of use, so a replaced global is seen at once.
#pragma once

#include "group_bridge/names.hpp"
#include "python/object.hpp"

namespace gb {

// The module namespace; set once at initialisation, alive for the process.
inline PyObject* g_globals = nullptr;
// The builtins dict fixed at import; held for the process.
inline PyObject* g_builtins = nullptr;

// The global `name` (then the builtin), as a Python function would see it.
py::Ref global(PyObject* name);

// `from <module> import <name>`, with the import statement's error.
py::Ref import_from(PyObject* module, PyObject* name);

// `log.<level>(format, *args)` on the module's `log` global.
template <class... A>
void log_at(PyObject* level, const char* format, const A&... args) {
    py::Ref logger = global(names::log);
    py::Ref text = py::str(format);
    py::call_method(logger.get(), level, text, args...);
}

template <class... A>
void log_info(const char* format, const A&... args) {
    log_at(names::info, format, args...);
}

template <class... A>
void log_warning(const char* format, const A&... args) {
    log_at(names::warning, format, args...);
}

// `asyncio.<name>` through the module's current `asyncio` global.
inline py::Ref asyncio_attr(PyObject* name) { return py::getattr(global(names::asyncio).get(), name); }

// `time.time()` through the module's current `time` global.
inline py::Ref now() { return py::call_method(global(names::time).get(), names::time); }

}  // namespace gb
