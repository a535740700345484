// GroupController: the whole-house group as one more speaker target.  Each
// command selects the members afresh and fans out to all of them at once.
#include "group_bridge/group_controller.hpp"

#include <iterator>
#include <utility>
#include <vector>

#include "group_bridge/bridge.hpp"
#include "group_bridge/classes.hpp"
#include "group_bridge/fan_out.hpp"
#include "group_bridge/interfaces.hpp"
#include "group_bridge/module_globals.hpp"
#include "python/coroutine.hpp"
#include "python/function.hpp"

namespace gb {

using py::Coro;
using py::Ref;

namespace {

Ref init(PyObject*, PyObject* const* a) {
    py::setattr(a[0], names::config, a[1]);
    py::setattr(a[0], names::_get_controllers, a[2]);
    return py::none();
}

Ref group_id(PyObject*, PyObject* const*) { return Ref::borrow(names::group_all_text); }
Ref hardware(PyObject*, PyObject* const*) { return Ref::borrow(names::group_hardware_text); }
Ref get_member_controllers(PyObject*, PyObject* const* a) { return select_members(a[0]); }

Ref default_status() {
    Ref record = Ref::check(PyDict_New());
    const std::pair<PyObject*, long> entries[] = {
        {names::status, 0}, {names::volume, 50}, {names::cur_time, 0}, {names::duration, 0}};
    for (auto [key, value] : entries)
        if (PyDict_SetItem(record.get(), key, py::integer(value).get()) < 0) py::throw_error();
    return record;
}

// The configured device ids as a set, built when the first controller is
// judged (a house without controllers needs none).
class MemberFilter {
public:
    explicit MemberFilter(PyObject* configured) : configured_(configured) {}
    void prepare() {
        if (!ids_) ids_ = Ref::check(PySet_New(configured_));
    }
    bool contains(PyObject* did) {
        int found = PySet_Contains(ids_.get(), did);
        if (found < 0) py::throw_error();
        return found == 1;
    }

private:
    PyObject* configured_;
    Ref ids_;
};

// One member operation, started by `start(speaker)`.
template <class Start>
Ref start_on_all(PyObject* members, Start start) {
    Py_ssize_t count = PyList_GET_SIZE(members);
    MemberOperations operations(count);
    for (Py_ssize_t i = 0; i < count; ++i) operations.add(start(iface::Speaker{PyList_GET_ITEM(members, i)}));
    return operations.gather();
}

Coro play_url_body(PyObject* self, PyObject* url, PyObject* audio_id) {
    Ref members = select_members(self);
    Py_ssize_t count = PyList_GET_SIZE(members.get());
    if (count == 0) {
        log_warning("Group play: no active member speakers selected in group mode");
        co_return py::boolean(false);
    }
    Ref gathered = start_on_all(members.get(), [&](iface::Speaker s) { return s.play_url(url, audio_id); });
    Ref outcomes = co_await std::move(gathered);
    Py_ssize_t successes = count_true(outcomes.get());
    log_info("Group play_url pushed to %d/%d member speakers (audio_id=%s)", py::integer(successes), py::integer(count),
             audio_id);
    co_return py::boolean(successes > 0);
}

Ref play_url(PyObject* fn, PyObject* const* a) {
    py::require_exact_str(a[1], "url");
    if (a[2] != Py_None && !py::is_exact_str(a[2]))
        py::raise_format(PyExc_TypeError, "audio_id must be str or None, not %.200s", Py_TYPE(a[2])->tp_name);
    return py::make_coroutine(py::function_names(fn), {a[0], a[1], a[2]},
                              [](PyObject* const* k) { return play_url_body(k[0], k[1], k[2]); });
}

// stop, pause and set_volume: fan out, ignore the outcomes, answer True.
template <class Start>
Coro broadcast_body(PyObject* self, Start start) {
    Ref members = select_members(self);
    if (PyList_GET_SIZE(members.get()) == 0) co_return py::boolean(true);
    Ref gathered = start_on_all(members.get(), start);
    Ref outcomes = co_await std::move(gathered);
    co_return py::boolean(true);
}

Coro stop_body(PyObject* self) {
    return broadcast_body(self, [](iface::Speaker s) { return s.stop(); });
}

Coro pause_body(PyObject* self) {
    return broadcast_body(self, [](iface::Speaker s) { return s.pause(); });
}

// An integer unchanged; another number truncated toward zero.
Ref volume_argument(PyObject* volume) {
    if (PyLong_Check(volume)) return Ref::borrow(volume);
    if (!PyNumber_Check(volume) || PyUnicode_Check(volume) || PyBytes_Check(volume) || PyByteArray_Check(volume))
        py::raise_format(PyExc_TypeError, "volume must be a number, not %.200s", Py_TYPE(volume)->tp_name);
    return Ref::check(PyNumber_Long(volume));
}

Ref set_volume(PyObject* fn, PyObject* const* a) {
    Ref volume = volume_argument(a[1]);
    return py::make_coroutine(py::function_names(fn), {a[0], volume.get()}, [](PyObject* const* k) {
        PyObject* level = k[1];
        return broadcast_body(k[0], [level](iface::Speaker s) { return s.set_volume(level); });
    });
}

Coro resume_body(PyObject* self) {
    Ref members = select_members(self);
    Py_ssize_t count = PyList_GET_SIZE(members.get());
    if (count == 0) co_return py::boolean(true);
    // Look every member's operation up first, then start them in order.
    std::vector<Ref> resume(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        resume[static_cast<size_t>(i)] = iface::Speaker{PyList_GET_ITEM(members.get(), i)}.resume_operation();
    MemberOperations operations(count);
    for (const Ref& operation : resume) {
        if (operation && operation.get() != Py_None) {
            operations.add(py::call(operation.get()));
        } else {
            Ref sleep = asyncio_attr(names::sleep);
            operations.add(py::call(sleep.get(), py::integer(0), Py_False));
        }
    }
    Ref gathered = operations.gather();
    Ref outcomes = co_await std::move(gathered);
    co_return py::boolean(count_true(outcomes.get()) == PyObject_Length(outcomes.get()));
}

Coro get_status_body(PyObject* self) {
    Ref members = select_members(self);
    if (PyList_GET_SIZE(members.get()) == 0) co_return default_status();
    Ref status;
    try {
        Ref pending = iface::Speaker{PyList_GET_ITEM(members.get(), 0)}.get_status();
        status = co_await std::move(pending);
    } catch (py::PyError& e) {
        if (!e.is_ordinary()) throw;
    }
    if (status && (PyDict_Check(status.get()) || status.get() == Py_None)) co_return status;
    co_return default_status();
}

const py::Param kSelf[] = {{"self"}};
const py::Param kInitParams[] = {{"self"}, {"config", "Config"}, {"controllers_provider", "callable"}};
const py::Param kPlayParams[] = {{"self"}, {"url", "str"}, {"audio_id", "str | None", true}};
const py::Param kVolumeParams[] = {{"self"}, {"volume", "int"}};

const py::FunctionSpec kInit{"__init__", nullptr, kInitParams, 3, nullptr, init};
const py::FunctionSpec kId{"id", nullptr, kSelf, 1, "str", group_id};
const py::FunctionSpec kDid{"did", nullptr, kSelf, 1, "str", group_id};
const py::FunctionSpec kHardware{"hardware", nullptr, kSelf, 1, "str", hardware};
const py::FunctionSpec kGetMembers{"get_member_controllers", nullptr, kSelf, 1, "list[TargetController]",
                                   get_member_controllers};
const py::FunctionSpec kPlayUrl{"play_url", nullptr, kPlayParams, 3, "bool", py::coroutine_impl<play_url>};
const py::FunctionSpec kStop{"stop", nullptr, kSelf, 1, "bool", py::coroutine_method<stop_body>};
const py::FunctionSpec kPause{"pause", nullptr, kSelf, 1, "bool", py::coroutine_method<pause_body>};
const py::FunctionSpec kResume{"resume", nullptr, kSelf, 1, "bool", py::coroutine_method<resume_body>};
const py::FunctionSpec kSetVolume{"set_volume", nullptr, kVolumeParams, 2, "bool", py::coroutine_impl<set_volume>};
const py::FunctionSpec kGetStatus{"get_status", nullptr, kSelf, 1, "dict", py::coroutine_method<get_status_body>};

const MemberSpec kMembers[] = {
    {&kInit, false},       {&kId, true},         {&kDid, true},        {&kHardware, true},
    {&kGetMembers, false}, {&kPlayUrl, false},   {&kStop, false},      {&kPause, false},
    {&kResume, false},     {&kSetVolume, false}, {&kGetStatus, false},
};

}  // namespace

Ref select_members(PyObject* self) {
    Ref provider = py::getattr(self, names::_get_controllers);
    Ref controllers = iface::ControllersProvider{provider.get()}.controllers();
    Ref config = py::getattr(self, names::config);
    Ref group = py::getattr(config.get(), names::group);
    Ref configured = py::getattr(group.get(), names::member_dids);
    MemberFilter filter{configured.get()};
    Ref members = Ref::check(PyList_New(0));
    auto keep_if_member = [&](PyObject* controller) {
        filter.prepare();
        if (filter.contains(iface::Speaker{controller}.did().get()) && PyList_Append(members.get(), controller) < 0)
            py::throw_error();
    };
    if (PyDict_CheckExact(controllers.get())) {
        // Walk a plain dict in place, in its own order, as values() would.
        Py_ssize_t position = 0;
        PyObject* controller = nullptr;
        while (PyDict_Next(controllers.get(), &position, nullptr, &controller)) {
            Ref held = Ref::borrow(controller);
            keep_if_member(held.get());
        }
        return members;
    }
    Ref values = py::call_method(controllers.get(), names::values);
    Ref iterator = Ref::check(PyObject_GetIter(values.get()));
    while (Ref controller = Ref::steal(PyIter_Next(iterator.get()))) keep_if_member(controller.get());
    if (PyErr_Occurred()) py::throw_error();
    return members;
}

const ClassSpec kGroupControllerClass{"GroupController",
                                      "组目标控制器：使用 asyncio.gather 向全屋组成员并发广播控制指令。", kMembers,
                                      static_cast<int>(std::size(kMembers))};

}  // namespace gb
