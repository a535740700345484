// Handing work from the receiver's thread to the bridge's event loop.
#pragma once

#include <initializer_list>

#include "python/function.hpp"

namespace gb {

// The bridge's loop when it is set and running, else a null Ref: events
// arriving before the first start or after the loop ended are dropped.
py::Ref usable_loop(PyObject* self);

// Submits `args[0].<name>(*args[1:])` of the method `spec` (looked up on
// the instance, so an override decides) to `loop` with
// run_coroutine_threadsafe.  The hook does not wait; an ordinary error the
// operation ends with is logged.
void hand_over(PyObject* loop, const py::FunctionSpec& spec, std::initializer_list<PyObject*> args);

// Makes the module's own operations log their failure as they end.
void prepare_hand_over();

}  // namespace gb
