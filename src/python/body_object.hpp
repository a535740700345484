// The Body object's layout and the state machine that drives a body,
// shared by the files of the coroutine runtime (not part of its interface).
//
// One state machine serves every driver: the operation's Python frame
// awaiting the Body (tp_iternext, and the send/throw/close methods that a
// native coroutine forwards to what it awaits), and whoever steps the Body
// by hand after finding it as the coroutine's cr_await.
#pragma once

#include "python/coroutine.hpp"

namespace py {

// Exists from a body's first wait on.  While the frame lives, the body's
// state is in its promise; the frame is destroyed as soon as the body ends.
struct BodyObject {
    PyObject_HEAD Coro::Handle frame;  // null once the body has ended
    Ref value;                         // the body's result once it has ended (`value`)
    Ref first_yield;                   // what the first wait yielded, not yet handed out
};

inline BodyObject* as_body(PyObject* o) { return reinterpret_cast<BodyObject*>(o); }

// A new Body object for a body that has just yielded `yielded` for the first time.
Ref make_body_object(Coro::Handle frame, Ref yielded);

// The arguments of throw(), as given (borrowed; value and tb may be null).
struct Thrown {
    PyObject* type;
    PyObject* value;
    PyObject* tb;
};

// Each drives the body until the awaited object yields (PYGEN_NEXT, the
// yielded value in *out) or the body ends (PYGEN_RETURN with the value,
// or PYGEN_ERROR with the error set).
PySendResult body_send(BodyObject* b, PyObject* arg, PyObject** out);
PySendResult body_throw(BodyObject* b, Thrown thrown, PyObject** out);
// close(): 0 on success, -1 with an error set.
int body_close(BodyObject* b);

// Destroys the frame of a body that is not running, without driving it.
void drop_frame(BodyObject* b);

// Visits what the body keeps (tp_traverse).
int traverse_frame(BodyObject* b, visitproc visit, void* arg);

int body_state_machine_ready();

}  // namespace py
