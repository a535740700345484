/* What the module reads of the interpreter's own state, from its internal
 * headers, which only C can include: whether finalisation has begun, and
 * whether a tool watches Python calls.
 *
 * The runtime's `_finalizing` field is set when Py_FinalizeEx starts ending
 * the interpreter, before any daemon thread can be ended by a forced unwind,
 * and no Python code can change it.  Its address is read here, from the
 * interpreter's own (internal) header, which only C can include, as a
 * constant the loader fills in; the C++ code reads the field with one load
 * (see ref.hpp). */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_runtime.h>
#if PY_VERSION_HEX < 0x030D0000
#include <internal/pycore_instruments.h>
#endif

void* const* const group_bridge_finalizing_slot = (void* const*)&_PyRuntime._finalizing;

/* Whether a profiler, a tracer or a monitoring tool is told when a Python
 * function starts, in the running interpreter.  sys.setprofile and
 * sys.settrace are monitoring tools too, so one count of the tools that
 * watch that event answers for all of them. */
int group_bridge_python_starts_watched(void) {
    return PyInterpreterState_Get()->monitors.tools[PY_MONITORING_EVENT_PY_START] != 0;
}
