// The Body object's layout and the steps of a body, shared by the files of
// the coroutine runtime (not part of its interface).
#pragma once

#include "python/coroutine.hpp"

namespace py {

// Stands for a body from its first wait on.  While the frame lives, the
// body's state is in its promise; the frame is destroyed as soon as the
// body ends.
struct BodyObject {
    PyObject_HEAD Coro::Handle frame;  // null once the body has ended
    Ref awaiting;                      // what the waiting body waits for (`awaiting`)
    bool running;
};

inline BodyObject* as_body(PyObject* o) { return reinterpret_cast<BodyObject*>(o); }

// A new Body object for `frame`, whose body has just first waited; null
// with an error set when it cannot be made.
Ref make_body_object(Coro::Handle frame);

// Resumes the body at its pending co_await with `value` (or raises `exc`
// there) and runs it until it waits again or ends: as start_body answers.
// `body` is the frame's Body object, or null before its first wait.
PyObject* step(Coro::Handle frame, BodyObject* body, Ref value, Ref exc);

// Destroys the frame of a body that is not running, without resuming it.
void drop_frame(BodyObject* body);

// Visits what the body keeps (tp_traverse).
int traverse_frame(BodyObject* body, visitproc visit, void* arg);

}  // namespace py
