// Brings the bridge's own AirPlay receiver up and takes it down again.
#include "group_bridge/bridge.hpp"
#include "group_bridge/bridge_support.hpp"
#include "group_bridge/interfaces.hpp"
#include "python/coroutine.hpp"
#include "python/local.hpp"

namespace gb {

using py::Coro;
using py::Ref;

namespace {

// Receiver hook -> bridge handler, in the order they are attached.
const std::pair<PyObject**, PyObject**> kHooks[] = {
    {&names::on_play_start, &names::_on_play_start},
    {&names::on_play_stop, &names::_on_play_stop},
    {&names::on_play_pause, &names::_on_play_pause},
    {&names::on_play_resume, &names::_on_play_resume},
    {&names::on_volume_change, &names::_on_volume_change},
    {&names::on_metadata_change, &names::_on_metadata_change},
    {&names::on_progress_change, &names::_on_progress_change},
};

void capture_loop(PyObject* self) {
    Ref get_loop = asyncio_attr(names::get_running_loop);
    Ref loop = py::call(get_loop.get());
    py::setattr(self, names::_loop, loop.get());
}

// The receiver made, stored at once and given the bridge's hooks.
Ref make_receiver(PyObject* self) {
    Ref server_class = global(names::AirPlayServer);
    Ref host = py::getattr(self, names::host);
    Ref name = py::attribute_of(kBridgeDeviceName, self);
    Ref zeroconf = py::getattr(self, names::shared_zeroconf);
    Ref server = iface::Receiver::construct(server_class.get(), host.get(), name.get(), zeroconf.get(),
                                            names::group_hardware_text);
    py::setattr(self, names::airplay_server, server.get());
    iface::Receiver receiver{server.get()};
    for (auto [hook, handler] : kHooks) receiver.set_callback(*hook, py::getattr(self, *handler).get());
    return server;
}

// `airplay_server.stop()` begun when the bridge holds a receiver, else a
// null Ref.
Ref stop_of_held_receiver(PyObject* self) {
    Ref server = py::getattr_if_true(self, names::airplay_server);
    return server ? iface::Receiver{server.get()}.stop() : Ref();
}

// A start on a started bridge stops the receiver it replaces first: left
// running, that one would go on serving under the same name and driving the
// group.  The new receiver, read again after its start, stays in a
// py::Local, visible to the collector while the body is suspended.
Coro start_body(PyObject* self) {
    capture_loop(self);
    if (Ref stopping = stop_of_held_receiver(self)) co_await std::move(stopping);
    py::Local server = make_receiver(self);
    Ref starting = iface::Receiver{server.get()}.start();
    co_await std::move(starting);
    Ref display_name = py::attribute_of(kBridgeDeviceName, self);
    Ref port = iface::Receiver{server.get()}.rtsp_port();
    log_info("Started Group AirPlay bridge %s on rtsp=%s", display_name, port);
    co_return py::none();
}

// The stop once it waits: for the poll's end (`ending`), then for the
// receiver's stop; or for the receiver's stop (`stopping`) alone.  One of
// the two is given, so nothing else is held across a wait.
Coro stop_rest(PyObject* self, Ref ending, Ref stopping) {
    if (ending) {
        co_await std::move(ending);
        stopping = stop_of_held_receiver(self);
    }
    if (stopping) {
        co_await std::move(stopping);
        py::setattr(self, names::airplay_server, Py_None);
    }
    co_return py::none();
}

// The stop once it has a poll task (`task`) or else a receiver (`server`)
// to end: the task cancelled and its end waited for, or the receiver's
// stop.  Out of line, so that the start below is only its attribute
// operations.  Lets go of both before it makes the coroutine, the last
// thing it does.
[[gnu::noinline]] py::Started stop_ending(PyObject* self, Ref task, Ref server) {
    Ref ending, stopping;
    if (task)
        ending = end_poll_task(self, task.get());
    else
        stopping = iface::Receiver{server.get()}.stop();
    task.reset();
    server.reset();
    return stop_rest(self, std::move(ending), std::move(stopping));
}

// A bridge with no poll and no receiver has nothing to wait for.  Its
// attribute operations are inlined here (flatten: everything it calls
// that is not kept out of line).
[[gnu::flatten]] py::Started stop_start(PyObject* self) {
    py::setattr(self, names::_airplay_active, Py_False);
    if (Ref task = py::getattr_if_true(self, names::_poll_task)) return stop_ending(self, std::move(task), Ref());
    if (Ref server = py::getattr_if_true(self, names::airplay_server))
        return stop_ending(self, Ref(), std::move(server));
    return py::none();
}

const py::Param kSelf[] = {{"self"}};

}  // namespace

const py::FunctionSpec kBridgeStart{"start", nullptr, kSelf, 1, nullptr, py::coroutine_method<start_body>};
const py::FunctionSpec kBridgeStop{"stop", nullptr, kSelf, 1, nullptr, py::started_method<stop_start>};

}  // namespace gb
