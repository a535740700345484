// The receiver's metadata, progress and volume events.  Metadata and
// progress go to the audio hub's session on the receiver's thread; the
// volume becomes a group command handed to the loop.
#include "group_bridge/bridge.hpp"
#include "group_bridge/bridge_handover.hpp"
#include "group_bridge/bridge_support.hpp"
#include "group_bridge/group_controller.hpp"
#include "group_bridge/interfaces.hpp"

namespace gb {

using py::Ref;

namespace {

constexpr long kDefaultVolume = 30;

bool is_number(PyObject* o) {
    return PyNumber_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o) && !PyByteArray_Check(o);
}

// An exact int unchanged; another number truncated toward zero.
Ref milliseconds(PyObject* value, const char* what) {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    if (!is_number(value))
        py::raise_format(PyExc_TypeError, "%s must be a number, not %.200s", what, Py_TYPE(value)->tp_name);
    return Ref::check(PyNumber_Long(value));
}

// "title artist album", each unset value as "", others as text.  The three
// values are taken (and held) before any is judged: their `__bool__` and
// `__str__` run Python code that may change or empty the dict.
Ref track_key(PyObject* metadata) {
    PyObject* const keys[] = {names::title, names::artist, names::album};
    Ref values[3];
    for (int i = 0; i < 3; ++i) {
        values[i] = Ref::borrow(PyDict_GetItemWithError(metadata, keys[i]));
        if (!values[i] && PyErr_Occurred()) py::throw_error();
    }
    Ref texts[3];
    for (int i = 0; i < 3; ++i)
        texts[i] = values[i] && py::truthy(values[i].get()) ? py::to_str(values[i].get()) : py::str("");
    // Filled only once every text exists: no Python code sees it half-built.
    Ref parts = Ref::check(PyTuple_New(3));
    for (int i = 0; i < 3; ++i) PyTuple_SET_ITEM(parts.get(), i, texts[i].release());  // the tuple takes it
    return Ref::check(PyUnicode_Join(names::space_text, parts.get()));
}

Ref on_metadata_change(PyObject*, PyObject* const* a) {
    PyObject *self = a[0], *metadata = a[1], *artwork = a[2];
    if (!py::is_exact_dict(metadata))
        py::raise_format(PyExc_TypeError, "metadata must be dict, not %.200s", Py_TYPE(metadata)->tp_name);
    if (artwork != Py_None && !py::is_exact_str(artwork))
        py::raise_format(PyExc_TypeError, "artwork must be str or None, not %.200s", Py_TYPE(artwork)->tp_name);
    Ref hub = py::getattr(self, names::audio_hub);
    if (!py::truthy(hub.get())) return py::none();
    Ref payload = Ref::check(PyDict_Copy(metadata));
    Ref key = track_key(metadata);
    bool set_artwork = artwork != Py_None;
    if (!set_artwork) {
        Ref previous = py::getattr(self, names::_metadata_track_key);
        int changed = PyObject_RichCompareBool(key.get(), previous.get(), Py_NE);
        if (changed < 0) py::throw_error();
        set_artwork = changed;
    }
    if (set_artwork) {
        bool given = artwork != Py_None && PyUnicode_GET_LENGTH(artwork) > 0;
        Ref value = given ? Ref::borrow(artwork) : py::str("");
        put(payload.get(), names::artwork, value.get());
    }
    py::setattr(self, names::_metadata_track_key, key.get());
    // Read again at the moment of use: the key's texts ran Python code.
    hub = py::getattr(self, names::audio_hub);
    iface::AudioHub{hub.get()}.update_session_metadata(payload.get());
    return py::none();
}

Ref on_progress_change(PyObject*, PyObject* const* a) {
    Ref position_ms = milliseconds(a[1], "position_ms");
    Ref duration_ms = a[2] == Py_None ? py::none() : milliseconds(a[2], "duration_ms");
    Ref hub = py::getattr(a[0], names::audio_hub);
    if (py::truthy(hub.get())) iface::AudioHub{hub.get()}.update_session_progress(position_ms.get(), duration_ms.get());
    return py::none();
}

Ref on_volume_change(PyObject*, PyObject* const* a) {
    PyObject* self = a[0];
    if (!is_number(a[1]))
        py::raise_format(PyExc_TypeError, "vol_db must be a number, not %.200s", Py_TYPE(a[1])->tp_name);
    Ref vol_db = PyFloat_CheckExact(a[1]) ? Ref::borrow(a[1]) : Ref::check(PyNumber_Float(a[1]));
    Ref config = py::getattr(self, names::config);
    Ref fallback = py::truthy(config.get()) ? py::getattr(config.get(), names::default_xiaomi_volume)
                                            : py::integer(kDefaultVolume);
    Ref convert = global(names::airplay_db_to_xiaomi_volume);
    Ref volume = py::call(convert.get(), vol_db, fallback);
    Ref loop = usable_loop(self);
    if (!loop) return py::none();
    Ref controller = py::getattr(self, names::controller);
    hand_over(loop.get(), controller_methods().set_volume, {controller.get(), volume.get()});
    return py::none();
}

const py::Param kMetadataParams[] = {{"self"}, {"metadata", "dict"}, {"artwork", "str | None"}};
const py::Param kProgressParams[] = {{"self"}, {"position_ms", "int"}, {"duration_ms", "int | None"}};
const py::Param kVolumeParams[] = {{"self"}, {"vol_db", "float"}};

}  // namespace

const py::FunctionSpec kBridgeOnMetadataChange{"_on_metadata_change", nullptr, kMetadataParams, 3, nullptr,
                                               on_metadata_change};
const py::FunctionSpec kBridgeOnProgressChange{"_on_progress_change", nullptr, kProgressParams, 3, nullptr,
                                               on_progress_change};
const py::FunctionSpec kBridgeOnVolumeChange{"_on_volume_change", nullptr, kVolumeParams, 2, nullptr, on_volume_change};

}  // namespace gb
