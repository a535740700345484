// Ends or holds the group's playback when the sender stops or pauses.
#include "group_bridge/bridge.hpp"
#include "group_bridge/bridge_support.hpp"
#include "group_bridge/group_controller.hpp"
#include "group_bridge/interfaces.hpp"
#include "python/coroutine.hpp"

namespace gb {

using py::Coro;
using py::Ref;

namespace {

// The stop's steps before its first wait: flags cleared, lease given back,
// the stop event sent by a task of its own.
void end_playback(PyObject* self) {
    Ref empty = py::str("");
    py::setattr(self, names::_airplay_active, Py_False);
    py::setattr(self, names::_stream_url, empty.get());
    py::setattr(self, names::_session_audio_id, Py_None);
    Ref hub = py::getattr(self, names::audio_hub);
    Ref session_id = py::integer(0);
    if (py::truthy(hub.get())) {
        session_id = hub_session_id(hub.get());
        py::call_method_of(kBridgeReleaseAudio, {self});
    }
    try {
        Ref event = control_event("stop");
        put(event.get(), names::session_id, session_id.get());
        broadcast_in_background(event.get());
    } catch (py::PyError& e) {
        if (!e.is_ordinary()) throw;
    }
}

// The pause's steps before its first wait: flag cleared, poll cancelled,
// the hub's source paused; gives back `broadcast_ws(event)` to wait for, or
// a null Ref when the event could not be sent (web clients are optional).
Ref hold_playback(PyObject* self) {
    py::setattr(self, names::_airplay_active, Py_False);
    if (Ref task = cancel_poll(self)) py::setattr(self, names::_poll_task, Py_None);
    Ref hub = py::getattr(self, names::audio_hub);
    Ref session_id = py::integer(0);
    if (py::truthy(hub.get())) {
        session_id = hub_session_id(hub.get());
        Ref lease = py::getattr(self, names::_audio_lease);
        iface::AudioHub{hub.get()}.pause_source(lease.get());
    }
    try {
        Ref event = control_event("pause");
        put(event.get(), names::session_id, session_id.get());
        return broadcast(event.get());
    } catch (py::PyError& e) {
        if (!e.is_ordinary()) throw;
    }
    return Ref();
}

// Both bodies let go of every value before they wait: what they still need
// afterwards is only `self`, which the coroutine object holds.
Coro stop_target_body(PyObject* self) {
    end_playback(self);
    if (Ref ending = end_poll(self)) co_await std::move(ending);
    try {
        Ref controller = py::getattr(self, names::controller);
        Ref stopping = py::call_method_of(controller_methods().stop, {controller.get()});
        co_await std::move(stopping);
    } catch (py::PyError& e) {
        if (!e.is_ordinary()) throw;
    }
    co_return py::none();
}

Coro pause_target_body(PyObject* self) {
    if (Ref sending = hold_playback(self)) {
        try {
            co_await std::move(sending);
        } catch (py::PyError& e) {
            if (!e.is_ordinary()) throw;
        }
    }
    try {
        Ref controller = py::getattr(self, names::controller);
        Ref pausing = py::call_method_of(controller_methods().pause, {controller.get()});
        co_await std::move(pausing);
    } catch (py::PyError& e) {
        if (!e.is_ordinary()) throw;
    }
    co_return py::none();
}

const py::Param kSelf[] = {{"self"}};

}  // namespace

const py::FunctionSpec kBridgeStopTarget{
    "_stop_target", nullptr, kSelf, 1, nullptr, py::coroutine_method<stop_target_body>};
const py::FunctionSpec kBridgePauseTarget{
    "_pause_target", nullptr, kSelf, 1, nullptr, py::coroutine_method<pause_target_body>};

}  // namespace gb
