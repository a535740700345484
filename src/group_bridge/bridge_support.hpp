// Small pieces the bridge's operations share: flag tests, waits through the
// module's asyncio, web-socket events, the poll task's end.
#pragma once

#include "group_bridge/module_globals.hpp"

namespace gb {

// `_airplay_active` and `_stream_url` are both set.
bool playback_active(PyObject* self);

// The receiver is set and reports that the sender does not play.
bool sender_stopped(PyObject* self);

// `asyncio.sleep(seconds)`, not yet awaited.
py::Ref sleep_for(long seconds);

// `asyncio.wait_for(awaitable, timeout=timeout)`, not yet awaited.
py::Ref wait_for(const py::Ref& awaitable, const py::Ref& timeout);

// A `control_command` event with its "type", "action" and "target".
py::Ref control_event(const char* action);
void put(PyObject* record, PyObject* key, PyObject* value);

// `broadcast_ws(event)` of the web API, imported now.
py::Ref broadcast(PyObject* event);

// Sends `event` by a task nobody waits for; web clients are optional, so
// ordinary errors are swallowed.
void broadcast_in_background(PyObject* event);

// `hub.get_session().get("session_id", 0)`.
py::Ref hub_session_id(PyObject* hub);

// `task.cancel()` when a poll task is set; gives back the task (or null).
py::Ref cancel_poll(PyObject* self);

// Cancels the poll `task` and gives back an awaitable that waits for its
// end (see end_poll).
py::Ref end_poll_task(PyObject* self, PyObject* task);

// Cancels the poll task and gives back an awaitable that waits for its end
// and then clears `_poll_task` (if it still holds that task); null when no
// poll task is set.  The cancellation is the expected end; an ordinary
// error the task died of is logged, so that a stop still goes on.  When the
// waiting task itself is cancelled meanwhile, the wait ends with that
// cancellation.
py::Ref end_poll(PyObject* self);

// Starts `awaitable` as a task by `asyncio.<scheduler>`, nobody waiting for
// it; a coroutine that could not be scheduled is closed.
void spawn(PyObject* scheduler, const py::Ref& awaitable);

}  // namespace gb
