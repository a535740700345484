// The bridge's construction, its display name and its status snapshot.
#include "group_bridge/bridge.hpp"
#include "group_bridge/group_controller.hpp"
#include "group_bridge/interfaces.hpp"
#include "group_bridge/module_globals.hpp"

namespace gb {

using py::Ref;

namespace {

Ref init(PyObject*, PyObject* const* a) {
    PyObject* self = a[0];
    py::require_exact_str(a[1], "host");
    Ref empty = py::str("");
    Ref no_deadline = py::floating(0.0);
    const std::pair<PyObject*, PyObject*> attributes[] = {
        {names::host, a[1]},
        {names::controller, a[2]},
        {names::shared_zeroconf, a[3]},
        {names::config, a[4]},
        {names::audio_hub, a[5]},
        {names::airplay_server, Py_None},
        {names::_loop, Py_None},
        {names::_stream_url, empty.get()},
        {names::_airplay_active, Py_False},
        {names::_poll_task, Py_None},
        {names::_play_grace_until, no_deadline.get()},
        {names::_session_audio_id, Py_None},
        {names::_metadata_track_key, empty.get()},
        {names::_audio_lease, Py_None},
    };
    for (auto [name, value] : attributes) py::setattr(self, name, value);
    return py::none();
}

Ref device_name(PyObject*, PyObject* const* a) {
    Ref config = py::getattr(a[0], names::config);
    if (!py::truthy(config.get())) return Ref::borrow(names::default_device_name);
    Ref group = py::getattr(config.get(), names::group);
    Ref name = py::getattr(group.get(), names::airplay_name);
    if (name.get() != Py_None && !py::is_exact_str(name.get()))
        py::raise_format(PyExc_TypeError, "airplay_name must be str or None, not %.200s", Py_TYPE(name.get())->tp_name);
    return name;
}

// A receiver attribute when a receiver is set, else `fallback()`.
template <class Read, class Fallback>
Ref from_receiver(PyObject* self, Read read, Fallback fallback) {
    Ref server = py::getattr(self, names::airplay_server);
    if (!py::truthy(server.get())) return fallback();
    return read(iface::Receiver{server.get()});
}

// The snapshot's keys in order: every record starts as a copy of this one
// (a presized copy, cheaper than growing a new dict key by key).
PyObject* snapshot_keys() {
    static PyObject* keys = nullptr;
    if (keys) return keys;
    Ref record = Ref::check(PyDict_New());
    for (PyObject* key : {names::id, names::did, names::name, names::airplay_name, names::hardware, names::active,
                          names::client_name, names::metadata, names::artwork, names::rtsp_port, names::stream_url,
                          names::use_music_api, names::member_count})
        if (PyDict_SetItem(record.get(), key, Py_None) < 0) py::throw_error();
    keys = record.release();
    return keys;
}

Ref snapshot(PyObject*, PyObject* const* a) {
    PyObject* self = a[0];
    Ref controller = py::getattr(self, names::controller);
    Ref members = py::call_method_of(controller_methods().get_member_controllers, {controller.get()});
    Ref record = Ref::check(PyDict_Copy(snapshot_keys()));
    auto put = [&](PyObject* key, const Ref& value) {
        if (PyDict_SetItem(record.get(), key, value.get()) < 0) py::throw_error();
    };
    put(names::id, Ref::borrow(names::group_all_text));
    put(names::did, Ref::borrow(names::group_all_text));
    put(names::name, py::attribute_of(kBridgeDeviceName, self));
    put(names::airplay_name, py::attribute_of(kBridgeDeviceName, self));
    put(names::hardware, Ref::borrow(names::group_hardware_text));
    put(names::active, from_receiver(
                           self, [](iface::Receiver r) { return py::boolean(py::truthy(r.is_playing().get())); },
                           [] { return py::boolean(false); }));
    put(names::client_name, from_receiver(
                                self, [](iface::Receiver r) { return r.client_name(); }, [] { return py::str(""); }));
    put(names::metadata,
        from_receiver(
            self, [](iface::Receiver r) { return r.metadata(); }, [] { return Ref::check(PyDict_New()); }));
    put(names::artwork, from_receiver(
                            self, [](iface::Receiver r) { return r.artwork(); }, [] { return py::none(); }));
    put(names::rtsp_port, from_receiver(
                              self, [](iface::Receiver r) { return r.rtsp_port(); }, [] { return py::integer(0); }));
    put(names::stream_url, py::getattr(self, names::_stream_url));
    put(names::use_music_api, py::boolean(false));
    Py_ssize_t count = PyObject_Length(members.get());
    if (count < 0) py::throw_error();
    put(names::member_count, py::integer(count));
    return record;
}

const py::Param kInitParams[] = {{"self"},
                                 {"host", "str"},
                                 {"group_controller", "GroupController"},
                                 {"shared_zeroconf", "Zeroconf | None", true},
                                 {"config", "Config | None", true},
                                 {"audio_hub", nullptr, true}};
const py::Param kSelf[] = {{"self"}};

}  // namespace

const py::FunctionSpec kBridgeInit{"__init__", nullptr, kInitParams, 6, nullptr, init};
const py::FunctionSpec kBridgeDeviceName{"device_name", nullptr, kSelf, 1, "str", device_name};
const py::FunctionSpec kBridgeSnapshot{"snapshot", nullptr, kSelf, 1, "dict", snapshot};

}  // namespace gb
