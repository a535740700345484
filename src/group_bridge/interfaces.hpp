// Every call the module makes on its collaborators, as small typed
// wrappers: the speaker controllers and their provider, the audio hub and
// the AirPlay receiver.  Business code calls these, never raw names.
// Results are the collaborators' own Python objects; each call may raise.
#pragma once

#include "group_bridge/names.hpp"
#include "python/object.hpp"

namespace gb::iface {

using py::Ref;

// The controllers provider: called with no arguments, returns a mapping
// whose values (in the mapping's order) are the speaker controllers.
struct ControllersProvider {
    PyObject* obj;
    Ref controllers() const { return py::call(obj); }
};

// One speaker controller.  Every operation but `did` returns an awaitable.
struct Speaker {
    PyObject* obj;
    Ref did() const { return py::getattr(obj, names::did); }
    Ref play_url(PyObject* url, PyObject* audio_id) const {
        return py::call_method(obj, names::play_url, url, audio_id);
    }
    Ref stop() const { return py::call_method(obj, names::stop); }
    Ref pause() const { return py::call_method(obj, names::pause); }
    // The resume operation, or a null Ref when the speaker has none.
    Ref resume_operation() const { return py::getattr_optional(obj, names::resume); }
    Ref set_volume(PyObject* volume) const { return py::call_method(obj, names::set_volume, volume); }
    Ref get_status() const { return py::call_method(obj, names::get_status); }
    Ref search_audio_id(PyObject* title, PyObject* artist) const {
        Ref method = py::getattr(obj, names::search_audio_id);
        return py::call_kw(method.get(), {title, artist}, {{names::fuzzy_fallback, Py_True}});
    }
};

// The audio hub: plain synchronous calls.
struct AudioHub {
    PyObject* obj;
    Ref acquire_source(PyObject* source, PyObject* target) const {
        return py::call_method(obj, names::acquire_source, source, target);
    }
    void release_source(PyObject* lease, PyObject* reason) const {
        py::call_method(obj, names::release_source, lease, reason);
    }
    void pause_source(PyObject* lease) const { py::call_method(obj, names::pause_source, lease); }
    void resume_source(PyObject* lease) const { py::call_method(obj, names::resume_source, lease); }
    Ref begin_session(PyObject* source, PyObject* target, PyObject* metadata, PyObject* stream_url,
                      PyObject* capabilities, PyObject* lease) const {
        Ref method = py::getattr(obj, names::begin_session);
        return py::call_kw(method.get(), {source, target, metadata, stream_url},
                           {{names::capabilities, capabilities}, {names::lease, lease}});
    }
    Ref get_session() const { return py::call_method(obj, names::get_session); }
    void update_session_metadata(PyObject* payload) const {
        py::call_method(obj, names::update_session_metadata, payload);
    }
    void update_session_progress(PyObject* position_ms, PyObject* duration_ms) const {
        py::call_method(obj, names::update_session_progress, position_ms, duration_ms);
    }
};

// The AirPlay receiver (`AirPlayServer`).
struct Receiver {
    PyObject* obj;
    static Ref construct(PyObject* server_class, PyObject* host, PyObject* name, PyObject* zeroconf,
                         PyObject* hardware) {
        return py::call_kw(server_class, {host, name, zeroconf}, {{names::speaker_hardware, hardware}});
    }
    void set_callback(PyObject* hook, PyObject* handler) const { py::setattr(obj, hook, handler); }
    Ref start() const { return py::call_method(obj, names::start); }
    Ref stop() const { return py::call_method(obj, names::stop); }
    Ref rtsp_port() const { return py::getattr(obj, names::rtsp_port); }
    Ref is_playing() const { return py::getattr(obj, names::is_playing); }
    Ref client_name() const { return py::getattr(obj, names::client_name); }
    Ref metadata() const { return py::getattr(obj, names::metadata); }
    Ref artwork() const { return py::getattr(obj, names::artwork); }
    Ref progress() const { return py::getattr(obj, names::progress); }
};

}  // namespace gb::iface
