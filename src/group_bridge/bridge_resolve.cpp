// Looks the sender's current track up in the speakers' music catalogue.
#include "group_bridge/bridge.hpp"
#include "group_bridge/bridge_support.hpp"
#include "group_bridge/interfaces.hpp"
#include "python/coroutine.hpp"
#include "python/handling.hpp"
#include "python/local.hpp"

namespace gb {

using py::Coro;
using py::Ref;

namespace {

// `meta.get(key)` as stripped text: unset values give "", other values
// their text form (the sender's metadata is network input).
Ref metadata_text(PyObject* meta, const char* key) {
    Ref value = py::call_method(meta, names::get, py::str(key));
    if (!py::truthy(value.get())) return py::str("");
    Ref text = py::to_str(value.get());
    return py::call_method(text.get(), names::strip);
}

// `asyncio.wait_for(members[0].search_audio_id(title, artist,
// fuzzy_fallback=True), timeout=3.0)`, not yet awaited.
Ref search_on_first(PyObject* members, PyObject* title, PyObject* artist) {
    Ref first = Ref::check(PyObject_GetItem(members, py::integer(0).get()));
    Ref search = iface::Speaker{first.get()}.search_audio_id(title, artist);
    return wait_for(search, py::floating(3.0));
}

// The texts and the member list stay in py::Locals while the search runs.
Coro resolve_body(PyObject* self) {
    py::Local title, artist;
    {
        Ref server = py::getattr(self, names::airplay_server);
        Ref meta = py::truthy(server.get()) ? iface::Receiver{server.get()}.metadata() : Ref::check(PyDict_New());
        title = metadata_text(meta.get(), "title");
        artist = metadata_text(meta.get(), "artist");
    }
    // `strip()` of a str subclass may give back anything: judged by truth.
    if (!py::truthy(title.get())) co_return py::none();
    py::Local members = py::call_method(py::getattr(self, names::controller).get(), names::get_member_controllers);
    if (!py::truthy(members.get())) co_return py::none();
    try {
        Ref search = search_on_first(members.get(), title.get(), artist.get());
        Ref audio_id = co_await std::move(search);
        if (!py::truthy(audio_id.get())) co_return py::none();
        if (!py::is_exact_str(audio_id.get()))
            py::raise_format(PyExc_TypeError, "audio ID must be str, not %.200s", Py_TYPE(audio_id.get())->tp_name);
        co_return audio_id;
    } catch (py::PyError& e) {
        if (!e.is_ordinary()) throw;
        py::Handling handling(e.value().get());
        log_warning("Group audio ID search error for %s: %s", title, e.value());
    }
    co_return py::none();
}

const py::Param kSelf[] = {{"self"}};

}  // namespace

const py::FunctionSpec kBridgeResolveAudioId{"_resolve_audio_id",
                                             "从当前 AirPlay 元数据中解析并检索曲库匹配的 audioID。",
                                             kSelf,
                                             1,
                                             "str | None",
                                             py::coroutine_method<resolve_body>};

}  // namespace gb
