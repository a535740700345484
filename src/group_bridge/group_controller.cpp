// GroupController: the whole-house group as one more speaker target.  Each
// command selects the members afresh and fans out to all of them at once.
#include "group_bridge/group_controller.hpp"

#include <iterator>
#include <utility>

#include "group_bridge/bridge.hpp"
#include "group_bridge/classes.hpp"
#include "group_bridge/fan_out.hpp"
#include "group_bridge/interfaces.hpp"
#include "group_bridge/module_globals.hpp"
#include "python/coroutine.hpp"
#include "python/function.hpp"
#include "python/local.hpp"

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

// How many members `members` holds when that is known without running
// Python code (an exact list or tuple), else a guess.
Py_ssize_t expected_members(PyObject* members) {
    if (PyList_CheckExact(members) || PyTuple_CheckExact(members)) return Py_SIZE(members);
    return 8;
}

// Calls `visit(member)` for each member in the order `for member in
// members` gives them.  Visiting runs Python code (a lookup, a call) that
// may change or empty the container, so members are never walked by
// borrowed items: an exact list or tuple by index, re-checking its length
// and holding each member at every step as its own iterator does, anything
// else by the iterator protocol.
template <class Visit>
void for_each_member(PyObject* members, Visit visit) {
    if (PyList_CheckExact(members) || PyTuple_CheckExact(members)) {
        for (Py_ssize_t i = 0; i < Py_SIZE(members); ++i) {
            Ref member = Ref::borrow(PySequence_Fast_GET_ITEM(members, i));
            visit(member.get());
        }
        return;
    }
    Ref iterator = Ref::check(PyObject_GetIter(members));
    while (Ref member = Ref::steal(PyIter_Next(iterator.get()))) visit(member.get());
    if (PyErr_Occurred()) py::throw_error();
}

// One member operation per member, started by `start(speaker)` in member
// order.
template <class Start>
Ref start_on_all(PyObject* members, Start start) {
    MemberOperations operations(expected_members(members));
    for_each_member(members, [&](PyObject* member) { operations.add(start(iface::Speaker{member})); });
    return operations.gather();
}

// A list or tuple of exact strs: making a set of it runs no Python code and
// cannot fail but for memory.  The walk itself only tests types (no Python
// code runs), so its borrowed items are safe.
bool are_plain_ids(PyObject* configured) {
    if (!PyList_CheckExact(configured) && !PyTuple_CheckExact(configured)) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(configured); ++i)
        if (!PyUnicode_CheckExact(PySequence_Fast_GET_ITEM(configured, i))) return false;
    return true;
}

// `self.get_member_controllers()`, looked up on the instance as a method
// call is, so an override on a subclass or on the instance decides the
// members of every command; the class's own runs without its frame.
Ref member_controllers(PyObject* self) {
    return py::call_method_of(controller_methods().get_member_controllers, {self});
}

// Each body keeps its member list in a py::Local while it waits: the list is
// reachable from the coroutine object, as a Python frame's local would be,
// so a cycle through a member is visible to the collector.
Coro play_url_body(PyObject* self, PyObject* url, PyObject* audio_id) {
    py::Local members = member_controllers(self);
    if (!py::truthy(members.get())) {
        log_warning("Group play: no active member speakers selected in group mode");
        co_return py::boolean(false);
    }
    Ref gathered = start_on_all(members.get(), [&](iface::Speaker s) { return s.play_url(url, audio_id); });
    Ref outcomes = co_await std::move(gathered);
    Py_ssize_t successes = count_true(outcomes.get());
    Py_ssize_t count = PyObject_Length(members.get());
    if (count < 0) py::throw_error();
    log_info("Group play_url pushed to %d/%d member speakers (audio_id=%s)", py::integer(successes), py::integer(count),
             audio_id);
    co_return py::boolean(successes > 0);
}

Ref play_url(PyObject* fn, PyObject* const* a) {
    py::require_exact_str(a[1], "url");
    if (a[2] != Py_None && !py::is_exact_str(a[2]))
        py::raise_format(PyExc_TypeError, "audio_id must be str or None, not %.200s", Py_TYPE(a[2])->tp_name);
    return py::call(fn, a[0], a[1], a[2]);
}

Coro play_url_entry(PyObject* const* a) { return play_url_body(a[0], a[1], a[2]); }

// stop, pause and set_volume: fan out, ignore the outcomes, answer True.
template <class Start>
Coro broadcast_body(PyObject* self, Start start) {
    py::Local members = member_controllers(self);
    if (!py::truthy(members.get())) co_return py::boolean(true);
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

// An exact int unchanged; another number (a bool, an int subclass, a
// float) truncated toward zero.
Ref volume_argument(PyObject* volume) {
    if (PyLong_CheckExact(volume)) return Ref::borrow(volume);
    if (!PyNumber_Check(volume) || PyUnicode_Check(volume) || PyBytes_Check(volume) || PyByteArray_Check(volume))
        py::raise_format(PyExc_TypeError, "volume must be a number, not %.200s", Py_TYPE(volume)->tp_name);
    return Ref::check(PyNumber_Long(volume));
}

Ref set_volume(PyObject* fn, PyObject* const* a) {
    Ref volume = volume_argument(a[1]);
    return py::call(fn, a[0], volume);
}

Coro set_volume_entry(PyObject* const* a) {
    PyObject* level = a[1];  // owned by the body's frame, like every argument
    return broadcast_body(a[0], [level](iface::Speaker s) { return s.set_volume(level); });
}

// Every member's resume operation looked up first (None where a member has
// none), then each started in order: a member without one is answered by
// `asyncio.sleep(0, False)`.
Ref start_resumes(PyObject* members) {
    Ref resume = Ref::check(PyList_New(0));
    for_each_member(members, [&](PyObject* member) {
        Ref operation = iface::Speaker{member}.resume_operation();
        if (PyList_Append(resume.get(), operation ? operation.get() : Py_None) < 0) py::throw_error();
    });
    MemberOperations operations(PyList_GET_SIZE(resume.get()));
    // Starting runs Python code that may reach the list: the length is
    // checked and the entry held at each step, as a list iterator does.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(resume.get()); ++i) {
        Ref operation = Ref::borrow(PyList_GET_ITEM(resume.get(), i));
        if (operation.get() != Py_None) {
            operations.add(py::call(operation.get()));
        } else {
            Ref sleep = asyncio_attr(names::sleep);
            operations.add(py::call(sleep.get(), py::integer(0), Py_False));
        }
    }
    return operations.gather();
}

Coro resume_body(PyObject* self) {
    py::Local members = member_controllers(self);
    if (!py::truthy(members.get())) co_return py::boolean(true);
    Ref gathered = start_resumes(members.get());
    Ref outcomes = co_await std::move(gathered);
    co_return py::boolean(all_true(outcomes.get()));
}

// `members[0].get_status()`, not yet awaited.
Ref ask_first(PyObject* members) {
    Ref first = Ref::check(PyObject_GetItem(members, py::integer(0).get()));
    return iface::Speaker{first.get()}.get_status();
}

Coro get_status_body(PyObject* self) {
    py::Local members = member_controllers(self);
    if (!py::truthy(members.get())) co_return default_status();
    Ref status;
    try {
        Ref pending = ask_first(members.get());
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
const py::FunctionSpec kPlayUrl{"play_url", nullptr, kPlayParams,
                                3,          "bool",  py::checked_coroutine<play_url, play_url_entry>};
const py::FunctionSpec kStop{"stop", nullptr, kSelf, 1, "bool", py::coroutine_method<stop_body>};
const py::FunctionSpec kPause{"pause", nullptr, kSelf, 1, "bool", py::coroutine_method<pause_body>};
const py::FunctionSpec kResume{"resume", nullptr, kSelf, 1, "bool", py::coroutine_method<resume_body>};
const py::FunctionSpec kSetVolume{
    "set_volume", nullptr, kVolumeParams, 2, "bool", py::checked_coroutine<set_volume, set_volume_entry>};
const py::FunctionSpec kGetStatus{"get_status", nullptr, kSelf, 1, "dict", py::coroutine_method<get_status_body>};

const MemberSpec kMembers[] = {
    {&kInit, false},       {&kId, true},         {&kDid, true},        {&kHardware, true},
    {&kGetMembers, false}, {&kPlayUrl, false},   {&kStop, false},      {&kPause, false},
    {&kResume, false},     {&kSetVolume, false}, {&kGetStatus, false},
};

}  // namespace

const ControllerMethods& controller_methods() {
    static const ControllerMethods methods{kPlayUrl, kStop, kPause, kResume, kSetVolume, kGetStatus, kGetMembers};
    return methods;
}

Ref select_members(PyObject* self) {
    Ref provider = py::getattr(self, names::_get_controllers);
    Ref controllers = iface::ControllersProvider{provider.get()}.controllers();
    Ref config = py::getattr(self, names::config);
    Ref group = py::getattr(config.get(), names::group);
    Ref configured = py::getattr(group.get(), names::member_dids);
    // Built before the walk, so a member list that is no collection of
    // hashable ids fails even when the provider has no controllers.  Only
    // when nothing could be seen of building it (a plain list of plain ids
    // for an empty plain dict) is it left out.
    if (PyDict_CheckExact(controllers.get()) && PyDict_GET_SIZE(controllers.get()) == 0 &&
        are_plain_ids(configured.get()))
        return Ref::check(PyList_New(0));
    Ref member_dids = Ref::check(PySet_New(configured.get()));
    Ref members = Ref::check(PyList_New(0));
    auto keep_if_member = [&](PyObject* controller) {
        Ref did = iface::Speaker{controller}.did();
        int found = PySet_Contains(member_dids.get(), did.get());
        if (found < 0) py::throw_error();
        if (found && PyList_Append(members.get(), controller) < 0) py::throw_error();
    };
    if (PyDict_CheckExact(controllers.get())) {
        // Walk a plain dict in place, in its own order, as values() would.
        // Reading `did` runs Python code that may change the dict: each
        // value is held before that, and a change of size ends the walk
        // with the error Python's own iteration raises.
        Py_ssize_t size = PyDict_GET_SIZE(controllers.get());
        Py_ssize_t position = 0;
        PyObject* controller = nullptr;
        while (PyDict_Next(controllers.get(), &position, nullptr, &controller)) {
            Ref held = Ref::borrow(controller);
            keep_if_member(held.get());
            if (PyDict_GET_SIZE(controllers.get()) != size)
                py::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
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
