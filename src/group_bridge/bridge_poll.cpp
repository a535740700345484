// While a group playback runs, one task watches the group's status and
// sends the stream again after an interruption.
#include "group_bridge/bridge.hpp"
#include "group_bridge/bridge_support.hpp"
#include "group_bridge/group_controller.hpp"
#include "python/coroutine.hpp"
#include "python/handling.hpp"

namespace gb {

using py::Coro;
using py::Ref;

namespace {

constexpr long kPollInterval = 3;
constexpr long kStatusTimeout = 8;
constexpr long kResumeDelay = 4;
constexpr double kGracePeriod = 10.0;

Ref start_poll(PyObject*, PyObject* const* a) {
    PyObject* self = a[0];
    Ref task = py::getattr(self, names::_poll_task);
    if (py::truthy(task.get())) {
        Ref done = py::call_method(task.get(), names::done);
        if (!py::truthy(done.get())) return py::none();
    }
    Ref get_loop = asyncio_attr(names::get_running_loop);
    Ref loop = py::call(get_loop.get());
    Ref polling = py::call_method_of(kBridgePollTargetState, {self});
    try {
        task = py::call_method(loop.get(), names::create_task, polling);
    } catch (py::PyError& e) {
        py::Handling handling(e.value().get());
        py::close_unawaited(polling.get());
        throw;
    }
    py::setattr(self, names::_poll_task, task.get());
    return py::none();
}

// `_stream_url` up to its first "?", then "?sid=" and the whole seconds now.
// Both pieces become text as an f-string's would (`format(piece)`): a
// `_stream_url` that is no str may split into anything.
Ref resume_url(PyObject* self) {
    Ref url = py::getattr(self, names::_stream_url);
    Ref parts = py::call_method(url.get(), names::split, py::str("?"), py::integer(1));
    Ref base = Ref::check(PySequence_GetItem(parts.get(), 0));
    Ref base_text = Ref::check(PyObject_Format(base.get(), nullptr));
    Ref seconds = Ref::check(PyNumber_Long(now().get()));
    Ref seconds_text = Ref::check(PyObject_Format(seconds.get(), nullptr));
    return Ref::check(PyUnicode_FromFormat("%U?sid=%U", base_text.get(), seconds_text.get()));
}

// `time.time() < _play_grace_until`, the clock read first.
bool in_grace(PyObject* self) {
    Ref time_now = now();
    Ref deadline = py::getattr(self, names::_play_grace_until);
    int before = PyObject_RichCompareBool(time_now.get(), deadline.get(), Py_LT);
    if (before < 0) py::throw_error();
    return before == 1;
}

// `asyncio.wait_for(controller.get_status(), timeout=8)`, not yet awaited.
Ref ask_status(PyObject* self) {
    Ref controller = py::getattr(self, names::controller);
    Ref asking = py::call_method_of(controller_methods().get_status, {controller.get()});
    return wait_for(asking, py::integer(kStatusTimeout));
}

// `status.get("status", 0) == 1`.
bool reports_playing(PyObject* status) {
    Ref value = py::call_method(status, names::get, names::status, py::integer(0));
    Ref playing = py::integer(1);
    int equal = PyObject_RichCompareBool(value.get(), playing.get(), Py_EQ);
    if (equal < 0) py::throw_error();
    return equal == 1;
}

// Sends the stream again under a fresh URL, with a new grace deadline; the
// controller is read at this moment, after the waits.  Not yet awaited.
Ref resume_group(PyObject* self) {
    Ref fresh_url = resume_url(self);
    Ref grace_end = Ref::check(PyNumber_Add(now().get(), py::floating(kGracePeriod).get()));
    py::setattr(self, names::_play_grace_until, grace_end.get());
    Ref controller = py::getattr(self, names::controller);
    Ref audio_id = py::getattr(self, names::_session_audio_id);
    return py::call_method_of(controller_methods().play_url, {controller.get(), fresh_url.get(), audio_id.get()});
}

// Whether `error` is asyncio's cancellation (looked up now), which ends the
// poll quietly; `error` is the one being handled meanwhile.
bool is_cancellation(PyObject* error) {
    py::Handling handling(error);
    Ref cancelled = asyncio_attr(names::CancelledError);
    return PyErr_GivenExceptionMatches(error, cancelled.get());
}

// Nothing the body holds crosses a co_await: each wait's values are made
// and let go by the helpers above.  The stop cancels the poll while it
// sleeps: that cancellation comes back as an outcome, not a C++ throw.
Coro poll_body(PyObject* self) {
    try {
        while (playback_active(self)) {
            Ref interval = sleep_for(kPollInterval);
            py::Outcome slept = co_await py::outcome_of(std::move(interval));
            if (slept.error) {
                if (is_cancellation(slept.error.get())) co_return py::none();
                co_return py::Raise{std::move(slept.error)};
            }
            if (!playback_active(self) || sender_stopped(self)) co_return py::none();
            if (in_grace(self)) continue;
            try {
                Ref asking = ask_status(self);
                Ref status = co_await std::move(asking);
                if (reports_playing(status.get())) continue;
                status.reset();
                log_info("[Group] 全屋播放检测到中断，等待后自动续播...");
                Ref delay = sleep_for(kResumeDelay);
                co_await std::move(delay);
                if (!playback_active(self) || sender_stopped(self)) co_return py::none();
                Ref resuming = resume_group(self);
                co_await std::move(resuming);
            } catch (py::PyError& e) {
                if (!e.is_ordinary()) throw;
            }
        }
    } catch (py::PyError& e) {
        if (!is_cancellation(e.value().get())) throw;
    }
    co_return py::none();
}

const py::Param kSelf[] = {{"self"}};

}  // namespace

const py::FunctionSpec kBridgeStartPoll{"_start_poll", nullptr, kSelf, 1, nullptr, start_poll};
const py::FunctionSpec kBridgePollTargetState{"_poll_target_state",           nullptr, kSelf, 1, nullptr,
                                              py::coroutine_method<poll_body>};

}  // namespace gb
