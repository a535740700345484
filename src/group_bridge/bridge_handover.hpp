// Handing work from the receiver's thread to the bridge's event loop.
#pragma once

#include "python/ref.hpp"

namespace gb {

// The bridge's loop when it is set and running, else a null Ref: events
// arriving before the first start or after the loop ended are dropped.
py::Ref usable_loop(PyObject* self);

// Submits `operation` to `loop` with run_coroutine_threadsafe.  The hook
// does not wait; an ordinary error the operation ends with is logged.
void submit(PyObject* loop, const py::Ref& operation);

}  // namespace gb
