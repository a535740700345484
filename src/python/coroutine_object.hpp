// The coroutine object's layout and state machine, shared by the files of
// the coroutine type (not part of the runtime layer's interface).
//
// One state machine serves every driver: an asyncio Task (am_send, throw),
// a Python frame's `await` (through the await wrapper), another module
// coroutine awaiting this one, and send/throw/close called by hand.
#pragma once

#include <source_location>

#include "python/coroutine.hpp"
#include "python/local.hpp"

namespace py {

enum class CoroState { Created, Suspended, Running, Done };

// The C++ members are constructed in place after allocation and destroyed
// before the memory is freed (see coro_alloc and tp_dealloc).  Suspended
// always has a delegate.
struct CoroObject {
    PyObject_HEAD Coro::Handle frame;
    CoroState state;
    Ref delegate;  // what the body currently awaits (an iterator)
    Ref name;
    Ref qualname;
    Ref function;      // the function that made it, or null
    Ref code;          // cr_code when there is no function, made when asked for
    Ref frame_object;  // cr_frame, remade when the body has moved on
    Ref origin;        // cr_origin, when origin tracking was on at creation
    std::source_location created_at;
    PyObject* weakreflist;  // managed by the interpreter
    LocalList locals;       // what the body keeps across a co_await
    FailureObserver failure_observer;
    int nargs;
    Ref args[kMaxCoroArgs];             // owned for the body ...
    PyObject* body_args[kMaxCoroArgs];  // ... which sees them borrowed
};

inline CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

extern PyTypeObject* g_coroutine_type;
inline bool is_module_coroutine(PyObject* o) { return Py_TYPE(o) == g_coroutine_type; }

// The arguments of throw(), as given (borrowed; value and tb may be null).
struct Thrown {
    PyObject* type;
    PyObject* value;
    PyObject* tb;
};

// Each drives the body until the awaited object yields (PYGEN_NEXT, the
// yielded value in *out) or the body ends (PYGEN_RETURN with the value, or
// PYGEN_ERROR with the error set).
PySendResult coro_send(CoroObject* c, PyObject* arg, PyObject** out);
PySendResult coro_throw(CoroObject* c, Thrown thrown, PyObject** out);
// close(): 0 on success, -1 with an error set.
int coro_close(CoroObject* c);

// Ends a body that never started, quietly.
void end_unstarted(CoroObject* c);

// cr_code, and the frame showing where the body is (the start, or its
// last co_await).  Both throw PyError.
Ref coro_code(CoroObject* c);
Ref coro_frame(CoroObject* c);
// With an error set that is leaving the body: adds the body's entry to
// its traceback.  Never fails; the error stays set.
void add_body_traceback(CoroObject* c);
// cr_origin for a coroutine made now: null unless origin tracking is on.
Ref origin_here();
// Warns that the coroutine was never awaited, as Python does (with where it
// was made when origin tracking was on).  Leaves an error set on failure.
void warn_never_awaited(PyObject* coro);

// Interned names the state machine uses; made once.
int coroutine_state_machine_ready();

}  // namespace py
