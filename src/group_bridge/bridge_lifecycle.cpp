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

// Steps 1 to 3 of the start: the loop captured, the receiver made, stored
// at once and given the bridge's hooks.
Ref make_receiver(PyObject* self) {
    Ref get_loop = asyncio_attr(names::get_running_loop);
    Ref loop = py::call(get_loop.get());
    py::setattr(self, names::_loop, loop.get());
    Ref server_class = global(names::AirPlayServer);
    Ref host = py::getattr(self, names::host);
    Ref name = py::getattr(self, names::device_name);
    Ref zeroconf = py::getattr(self, names::shared_zeroconf);
    Ref server = iface::Receiver::construct(server_class.get(), host.get(), name.get(), zeroconf.get(),
                                            names::group_hardware_text);
    py::setattr(self, names::airplay_server, server.get());
    iface::Receiver receiver{server.get()};
    for (auto [hook, handler] : kHooks) receiver.set_callback(*hook, py::getattr(self, *handler).get());
    return server;
}

// The receiver each body waits on stays in a py::Local, visible to the
// collector while the body is suspended.
Coro start_body(PyObject* self) {
    py::Local server = make_receiver(self);
    Ref starting = iface::Receiver{server.get()}.start();
    co_await std::move(starting);
    Ref display_name = py::getattr(self, names::device_name);
    Ref port = iface::Receiver{server.get()}.rtsp_port();
    log_info("Started Group AirPlay bridge %s on rtsp=%s", display_name, port);
    co_return py::none();
}

Coro stop_body(PyObject* self) {
    py::setattr(self, names::_airplay_active, Py_False);
    if (Ref ending = end_poll(self)) co_await std::move(ending);
    py::Local server = py::getattr(self, names::airplay_server);
    if (py::truthy(server.get())) {
        Ref stopping = iface::Receiver{server.get()}.stop();
        co_await std::move(stopping);
        py::setattr(self, names::airplay_server, Py_None);
    }
    co_return py::none();
}

const py::Param kSelf[] = {{"self"}};

}  // namespace

const py::FunctionSpec kBridgeStart{"start", nullptr, kSelf, 1, nullptr, py::coroutine_method<start_body>};
const py::FunctionSpec kBridgeStop{"stop", nullptr, kSelf, 1, nullptr, py::coroutine_method<stop_body>};

}  // namespace gb
