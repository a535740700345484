#include "group_bridge/bridge_support.hpp"

#include "group_bridge/bridge.hpp"
#include "group_bridge/interfaces.hpp"
#include "python/coroutine.hpp"
#include "python/handling.hpp"

namespace gb {

using py::Coro;
using py::Ref;

bool playback_active(PyObject* self) {
    return py::getattr_if_true(self, names::_airplay_active) && py::getattr_if_true(self, names::_stream_url);
}

bool sender_stopped(PyObject* self) {
    Ref server = py::getattr_if_true(self, names::airplay_server);
    if (!server) return false;
    Ref playing = iface::Receiver{server.get()}.is_playing();
    return !py::truthy(playing.get());
}

Ref sleep_for(long seconds) {
    Ref sleep = asyncio_attr(names::sleep);
    return py::call(sleep.get(), py::integer(seconds));
}

Ref wait_for(const Ref& awaitable, const Ref& timeout) {
    Ref waiter = asyncio_attr(names::wait_for);
    return py::call_kw(waiter.get(), {awaitable.get()}, {{names::timeout, timeout.get()}});
}

void put(PyObject* record, PyObject* key, PyObject* value) {
    if (PyDict_SetItem(record, key, value) < 0) py::throw_error();
}

Ref control_event(const char* action) {
    Ref event = Ref::check(PyDict_New());
    put(event.get(), names::type, names::control_command_text);
    put(event.get(), names::action, py::str(action).get());
    put(event.get(), names::target, names::group_all_text);
    return event;
}

Ref broadcast(PyObject* event) {
    Ref send = import_from(names::web_api_module, names::broadcast_ws_name);
    return py::call(send.get(), event);
}

void broadcast_in_background(PyObject* event) {
    try {
        spawn(names::ensure_future, broadcast(event));
    } catch (py::PyError& e) {
        if (!e.is_ordinary()) throw;
    }
}

void spawn(PyObject* scheduler, const Ref& awaitable) {
    try {
        Ref schedule = asyncio_attr(scheduler);
        py::call(schedule.get(), awaitable);
    } catch (py::PyError& e) {
        py::Handling handling(e.value().get());
        py::close_unawaited(awaitable.get());
        throw;
    }
}

Ref hub_session_id(PyObject* hub) {
    Ref session = iface::AudioHub{hub}.get_session();
    return py::call_method(session.get(), names::get, names::session_id, py::integer(0));
}

Ref cancel_poll(PyObject* self) {
    Ref task = py::getattr_if_true(self, names::_poll_task);
    if (task) py::call_method(task.get(), names::cancel);
    return task;
}

namespace {

// Cancel requests so far of the task running this code (0 outside a task).
long cancel_requests() {
    Ref current_task = asyncio_attr(names::current_task);
    Ref task = py::call(current_task.get());
    if (task.get() == Py_None) return 0;
    Ref count = py::call_method(task.get(), names::cancelling);
    long requests = PyLong_AsLong(count.get());
    if (requests == -1 && PyErr_Occurred()) py::throw_error();
    return requests;
}

// Holds nothing across its wait but its arguments, which the coroutine
// object keeps.
Coro end_poll_body(PyObject* self, PyObject* task) {
    long requests_before = cancel_requests();
    // The task's cancellation is the expected end: it comes back as an
    // outcome, not as a C++ throw.
    Ref waiting = Ref::borrow(task);
    py::Outcome ended = co_await py::outcome_of(std::move(waiting));
    if (ended.error) {
        py::Handling handling(ended.error.get());
        Ref cancelled = asyncio_attr(names::CancelledError);
        if (!PyErr_GivenExceptionMatches(ended.error.get(), cancelled.get())) {
            if (!PyErr_GivenExceptionMatches(ended.error.get(), PyExc_Exception))
                co_return py::Raise{std::move(ended.error)};
            log_warning("Group poll task had ended with an error: %r", ended.error);
        }
    }
    Ref current = py::getattr(self, names::_poll_task);
    if (current.get() == task) py::setattr(self, names::_poll_task, Py_None);
    // A cancellation of the stop itself went into the poll, which ends
    // quietly; it is passed on rather than lost.
    if (cancel_requests() > requests_before) {
        Ref cancelled = asyncio_attr(names::CancelledError);
        PyErr_SetNone(cancelled.get());
        py::throw_error();
    }
    co_return py::none();
}

Coro end_poll_entry(PyObject* const* a) { return end_poll_body(a[0], a[1]); }

const py::Param kEndPollParams[] = {{"self"}, {"task"}};
const py::FunctionSpec kEndPoll{
    "_wait_for_poll_end", nullptr, kEndPollParams, 2, nullptr, py::coroutine_body<end_poll_entry>};

}  // namespace

Ref end_poll_task(PyObject* self, PyObject* task) {
    py::call_method(task, names::cancel);
    Ref function = py::make_function(kEndPoll, nullptr, names::module_name_text, g_globals);
    return py::call(function.get(), self, task);
}

Ref end_poll(PyObject* self) {
    Ref task = py::getattr_if_true(self, names::_poll_task);
    return task ? end_poll_task(self, task.get()) : Ref();
}

}  // namespace gb
