// The iterator a module coroutine's `__await__` gives, as a native
// coroutine's `__await__` gives a coroutine_wrapper: the coroutine itself is
// no iterator (`next(c)`, `iter(c)`, `list(c)` and `yield from c` raise
// TypeError), but a Python frame's `await` needs one.  Every step is
// forwarded to the coroutine.
#pragma once

#include "python/ref.hpp"

namespace py {

Ref make_await_wrapper(PyObject* coro);
int await_wrapper_type_ready();

// The coroutine's own entries, which the wrapper forwards to
// (coroutine.cpp).  `coroutine_iternext` reports a return of None as
// exhaustion without an exception, as tp_iternext may.
PyObject* coroutine_iternext(PyObject* coro);
PyObject* coroutine_send(PyObject* coro, PyObject* arg);
PyObject* coroutine_throw(PyObject* coro, PyObject* const* args, Py_ssize_t nargs);
PyObject* coroutine_close(PyObject* coro, PyObject* unused);

}  // namespace py
