// The receiver's start, stop, pause and resume events.  They arrive on the
// receiver's thread; each hook only hands the work to the bridge's loop.
#include "group_bridge/bridge.hpp"
#include "group_bridge/bridge_handover.hpp"
#include "group_bridge/bridge_support.hpp"
#include "group_bridge/group_controller.hpp"
#include "group_bridge/interfaces.hpp"

namespace gb {

using py::Ref;

namespace {

Ref on_play_start(PyObject*, PyObject* const* a) {
    py::require_exact_str(a[1], "stream_url");
    Ref loop = usable_loop(a[0]);
    if (!loop) return py::none();
    hand_over(loop.get(), kBridgePlayOnTarget, {a[0], a[1]});
    return py::none();
}

Ref on_play_stop(PyObject*, PyObject* const* a) {
    Ref loop = usable_loop(a[0]);
    if (loop) hand_over(loop.get(), kBridgeStopTarget, {a[0]});
    return py::none();
}

Ref on_play_pause(PyObject*, PyObject* const* a) {
    Ref loop = usable_loop(a[0]);
    if (loop) hand_over(loop.get(), kBridgePauseTarget, {a[0]});
    return py::none();
}

// Runs on the loop: resumes the hub's source, marks the bridge active,
// restarts the poll and resumes the group by a task nobody waits for.
Ref resume(PyObject*, PyObject* const* a) {
    PyObject* self = a[0];
    Ref hub = py::getattr(self, names::audio_hub);
    if (py::truthy(hub.get())) {
        Ref lease = py::getattr(self, names::_audio_lease);
        iface::AudioHub{hub.get()}.resume_source(lease.get());
    }
    py::setattr(self, names::_airplay_active, Py_True);
    py::call_method_of(kBridgeStartPoll, {self});
    Ref controller = py::getattr(self, names::controller);
    spawn(names::create_task, py::call_method_of(controller_methods().resume, {controller.get()}));
    return py::none();
}

const py::Param kSelf[] = {{"self"}};
const py::FunctionSpec kResume{"resume", nullptr, kSelf, 1, nullptr, resume};

// The local function `resume`, bound to one bridge: a new one per event.
Ref resume_function(PyObject* self) {
    static PyObject* function = nullptr;  // made once, kept for the process
    if (!function) {
        Ref owner = py::str("GroupBridge._on_play_resume.<locals>");
        function = py::make_function(kResume, owner.get(), names::module_name_text, g_globals).release();
    }
    return Ref::check(PyMethod_New(function, self));
}

Ref on_play_resume(PyObject*, PyObject* const* a) {
    Ref loop = usable_loop(a[0]);
    if (!loop) return py::none();
    Ref function = resume_function(a[0]);
    py::call_method(loop.get(), names::call_soon_threadsafe, function);
    return py::none();
}

const py::Param kStartParams[] = {{"self"}, {"stream_url", "str"}};

}  // namespace

const py::FunctionSpec kBridgeOnPlayStart{"_on_play_start", nullptr, kStartParams, 2, nullptr, on_play_start};
const py::FunctionSpec kBridgeOnPlayStop{"_on_play_stop", nullptr, kSelf, 1, nullptr, on_play_stop};
const py::FunctionSpec kBridgeOnPlayPause{"_on_play_pause", nullptr, kSelf, 1, nullptr, on_play_pause};
const py::FunctionSpec kBridgeOnPlayResume{"_on_play_resume", nullptr, kSelf, 1, nullptr, on_play_resume};

}  // namespace gb
