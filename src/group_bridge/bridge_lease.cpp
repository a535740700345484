// The audio hub's output lease, held from a playback start to its stop.
#include "group_bridge/bridge.hpp"
#include "group_bridge/interfaces.hpp"

namespace gb {

using py::Ref;

namespace {

Ref acquire_audio(PyObject*, PyObject* const* a) {
    PyObject* self = a[0];
    Ref hub = py::getattr(self, names::audio_hub);
    if (py::truthy(hub.get())) {
        Ref held = py::getattr(self, names::_audio_lease);
        if (held.get() == Py_None) {
            Ref lease = iface::AudioHub{hub.get()}.acquire_source(names::source_text, names::group_all_text);
            py::setattr(self, names::_audio_lease, lease.get());
        }
    }
    return py::getattr(self, names::_audio_lease);
}

Ref release_audio(PyObject*, PyObject* const* a) {
    PyObject* self = a[0];
    Ref hub = py::getattr(self, names::audio_hub);
    if (!py::truthy(hub.get())) return py::none();
    Ref lease = py::getattr(self, names::_audio_lease);
    if (lease.get() == Py_None) return py::none();
    iface::AudioHub{hub.get()}.release_source(lease.get(), names::release_reason_text);
    py::setattr(self, names::_audio_lease, Py_None);
    return py::none();
}

const py::Param kSelf[] = {{"self"}};

}  // namespace

const py::FunctionSpec kBridgeAcquireAudio{"_acquire_audio", nullptr, kSelf, 1, nullptr, acquire_audio};
const py::FunctionSpec kBridgeReleaseAudio{"_release_audio", nullptr, kSelf, 1, nullptr, release_audio};

}  // namespace gb
