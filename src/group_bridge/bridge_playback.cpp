// Starts the group's AirPlay stream on every member speaker.
#include "group_bridge/bridge.hpp"
#include "group_bridge/bridge_support.hpp"
#include "group_bridge/group_controller.hpp"
#include "group_bridge/interfaces.hpp"
#include "python/coroutine.hpp"
#include "python/local.hpp"

namespace gb {

using py::Coro;
using py::Ref;

namespace {

constexpr double kGracePeriod = 10.0;

// The configured default audio ID, or "" (also without a configuration or
// without such a field).
Ref configured_default_audio_id(PyObject* self) {
    Ref config = py::getattr(self, names::config);
    if (!py::truthy(config.get())) return py::str("");
    Ref value = py::getattr_optional(config.get(), names::default_audio_id);
    return value ? value : py::str("");
}

// "http://{host}:{web_port}/stream/live.wav?session_id={id}" and `tail`,
// then `config.virtual_delay` when `with_virtual_delay`.  Each piece is read
// and turned into text in URL order, as an f-string does.
Ref stream_url(PyObject* self, PyObject* session_id, PyObject* tail, bool with_virtual_delay) {
    Ref host = py::getattr(self, names::host);
    Ref host_text = py::to_str(host.get());
    Ref config = py::getattr(self, names::config);
    Ref port = py::getattr(config.get(), names::web_port);
    Ref port_text = py::to_str(port.get());
    Ref id_text = py::to_str(session_id);
    // Joined from its pieces, as an f-string is: no format to parse.
    Ref pieces = Ref::check(PyTuple_Pack(7, names::url_scheme_text, host_text.get(), names::colon_text, port_text.get(),
                                         names::url_path_text, id_text.get(), tail));
    Ref url = Ref::check(PyUnicode_Join(names::empty_text, pieces.get()));
    if (!with_virtual_delay) return url;
    config = py::getattr(self, names::config);
    Ref delay = py::getattr(config.get(), names::virtual_delay);
    Ref delay_text = py::to_str(delay.get());
    return Ref::check(PyUnicode_Concat(url.get(), delay_text.get()));
}

// A copy of the receiver's metadata, with its artwork when it has one.
Ref session_metadata(PyObject* self) {
    Ref server = py::getattr_if_true(self, names::airplay_server);
    if (!server) return Ref::check(PyDict_New());
    iface::Receiver receiver{server.get()};
    Ref source = receiver.metadata();
    Ref metadata = py::call(reinterpret_cast<PyObject*>(&PyDict_Type), source);
    Ref artwork = receiver.artwork();
    if (py::truthy(artwork.get())) put(metadata.get(), names::artwork, artwork.get());
    return metadata;
}

Ref capabilities() {
    Ref record = Ref::check(PyDict_New());
    put(record.get(), names::play_pause, Py_True);
    put(record.get(), names::seek, Py_False);
    put(record.get(), names::previous, Py_False);
    put(record.get(), names::next, Py_False);
    return record;
}

// `position_ms, duration_ms = progress`, with the unpacking's own errors.
std::pair<Ref, Ref> unpack_progress(PyObject* progress) {
    Ref iterator = Ref::check(PyObject_GetIter(progress));
    Ref items[3];
    int count = 0;
    while (count < 3) {
        items[count] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[count]) break;
        ++count;
    }
    if (PyErr_Occurred()) py::throw_error();
    if (count > 2) py::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (count < 2) py::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", count);
    return {items[0], items[1]};
}

void copy_progress_to_session(PyObject* self) {
    Ref hub = py::getattr_if_true(self, names::audio_hub);
    if (!hub) return;
    Ref server = py::getattr_if_true(self, names::airplay_server);
    if (!server) return;
    Ref progress = iface::Receiver{server.get()}.progress();
    auto [position_ms, duration_ms] = unpack_progress(progress.get());
    if (position_ms.get() != Py_None)
        iface::AudioHub{hub.get()}.update_session_progress(position_ms.get(), duration_ms.get());
}

void announce_play(PyObject* pod_url, PyObject* session_id, PyObject* metadata) {
    try {
        Ref event = control_event("play_url");
        put(event.get(), names::url, pod_url);
        put(event.get(), names::session_id, session_id);
        put(event.get(), names::metadata, metadata);
        broadcast_in_background(event.get());
    } catch (py::PyError& e) {
        if (!e.is_ordinary()) throw;
    }
}

// A stop or pause that ran while the start waited has the last word.  The
// flag does not tell which of the two it was, so the line names both.
bool overtaken(PyObject* self, const char* while_doing) {
    if (py::getattr_if_true(self, names::_airplay_active)) return false;
    log_info("Group AirPlay start given up: playback stopped or paused %s", py::str(while_doing));
    return true;
}

// Steps 1 to 4: the flags, the grace deadline and the lease; false when the
// audio hub refused the lease.
bool begin_playback(PyObject* self, PyObject* stream_url_arg) {
    py::setattr(self, names::_stream_url, stream_url_arg);
    py::setattr(self, names::_airplay_active, Py_True);
    Ref grace_end = Ref::check(PyNumber_Add(now().get(), py::floating(kGracePeriod).get()));
    py::setattr(self, names::_play_grace_until, grace_end.get());
    Ref lease = py::call_method_of(kBridgeAcquireAudio, {self});
    if (py::truthy(lease.get())) return true;
    log_warning("AudioHub is busy; rejected group AirPlay stream");
    return false;
}

// The lease's session id, 0 without a lease.
Ref lease_session_id(PyObject* self) {
    Ref held = py::getattr(self, names::_audio_lease);
    return py::truthy(held.get()) ? py::getattr(held.get(), names::session_id) : py::integer(0);
}

// Values of Python objects the body still uses after a co_await live in
// py::Locals, where the collector sees them; everything else is let go
// before the body waits.
Coro play_body(PyObject* self, PyObject* stream_url_arg) {
    if (!begin_playback(self, stream_url_arg)) co_return py::none();
    py::Local custom_default = configured_default_audio_id(self);
    Ref resolving = py::call_method_of(kBridgeResolveAudioId, {self});
    py::Local resolved = co_await std::move(resolving);
    if (overtaken(self, "while resolving the audio ID")) co_return py::none();
    PyObject* session_audio_id = py::truthy(resolved.get())         ? resolved.get()
                                 : py::truthy(custom_default.get()) ? custom_default.get()
                                                                    : Py_None;
    py::setattr(self, names::_session_audio_id, session_audio_id);

    py::Local metadata, pod_url, session_id;
    Ref playing;
    {
        Ref hub = py::getattr(self, names::audio_hub);
        if (!py::truthy(hub.get())) {
            log_warning("Group Xiaomi target rejected AirPlay stream for %s",
                        py::attribute_of(kBridgeDeviceName, self));
            co_return py::none();
        }
        metadata = session_metadata(self);
        Ref lease_session = lease_session_id(self);
        Ref xiaomi_url = stream_url(self, lease_session.get(), names::delay_zero_text, false);
        pod_url = stream_url(self, lease_session.get(), names::virtual_delay_text, true);
        Ref caps = capabilities();
        Ref held = py::getattr(self, names::_audio_lease);
        session_id = iface::AudioHub{hub.get()}.begin_session(names::source_text, names::group_all_text, metadata.get(),
                                                              pod_url.get(), caps.get(), held.get());
        Ref controller = py::getattr(self, names::controller);
        Ref audio_id = py::getattr(self, names::_session_audio_id);
        playing =
            py::call_method_of(controller_methods().play_url, {controller.get(), xiaomi_url.get(), audio_id.get()});
    }
    Ref accepted = co_await std::move(playing);
    if (!py::truthy(accepted.get())) log_warning("Group Xiaomi Egress rejected: session_id=%s", session_id);
    if (overtaken(self, "while the speakers were told to play")) co_return py::none();

    copy_progress_to_session(self);
    announce_play(pod_url.get(), session_id.get(), metadata.get());
    py::call_method_of(kBridgeStartPoll, {self});
    log_info("Group AirPlay stream attached to speakers (%s)", py::attribute_of(kBridgeDeviceName, self));
    co_return py::none();
}

Ref play_on_target(PyObject* fn, PyObject* const* a) {
    py::require_exact_str(a[1], "stream_url");
    return py::call(fn, a[0], a[1]);
}

Coro play_on_target_entry(PyObject* const* a) { return play_body(a[0], a[1]); }

const py::Param kParams[] = {{"self"}, {"stream_url", "str"}};

}  // namespace

const py::FunctionSpec kBridgePlayOnTarget{
    "_play_on_target", nullptr, kParams, 2, nullptr, py::checked_coroutine<play_on_target, play_on_target_entry>};

}  // namespace gb
