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
void put(PyObject* record, const char* key, PyObject* value);

// `broadcast_ws(event)` of the web API, imported now.
py::Ref broadcast(PyObject* event);

// Sends `event` by a task nobody waits for; web clients are optional, so
// ordinary errors are swallowed.
void broadcast_in_background(PyObject* event);

// The audio hub's current session id, 0 without a hub.
py::Ref hub_session_id(PyObject* hub);

// Judges how an awaited poll task ended: its cancellation is the expected
// end, an ordinary error of its own is logged; anything else propagates.
void accept_poll_end(py::PyError& error);

// `task.cancel()` when a poll task is set; gives back the task (or null).
py::Ref cancel_poll(PyObject* self);

// Clears `_poll_task` if it still holds `task`.
void forget_poll(PyObject* self, PyObject* task);

// Closes a coroutine that will never be awaited.
void discard(PyObject* awaitable) noexcept;

}  // namespace gb
