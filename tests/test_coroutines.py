"""The coroutine objects that GroupController's commands hand back, under asyncio and driven by hand."""

import asyncio
import collections.abc
import gc
import inspect
import threading
import weakref

import pytest

from conftest import run
from fakes import FakeSpeaker, make_group

COMMANDS = [("play_url", ("u",)), ("stop", ()), ("pause", ()), ("resume", ()), ("set_volume", (5,)), ("get_status", ())]
RECORD = {"status": 1}


def slow_group(gb, command, delay=0.02, count=3):
    speakers = [FakeSpeaker(str(i), delays={command: delay}, results={"get_status": RECORD}) for i in range(count)]
    ctrl, _, _ = make_group(gb, speakers)
    return ctrl, speakers


def contacted(command, speakers):
    return speakers[:1] if command == "get_status" else speakers


async def awaited(coro):
    return await coro


async def in_task(coro):
    return await asyncio.create_task(coro)


async def in_gather(coro):
    (result,) = await asyncio.gather(coro)
    return result


async def in_wait_for(coro):
    return await asyncio.wait_for(coro, 5)


@pytest.mark.parametrize("driver", [lambda coro: coro, awaited, in_task, in_gather, in_wait_for])
@pytest.mark.parametrize("command, args, result", [("play_url", ("u", "A"), True), ("get_status", (), RECORD)])
def test_asyncio_drives_the_commands(gb, driver, command, args, result):
    ctrl, speakers = slow_group(gb, command)
    assert asyncio.run(driver(getattr(ctrl, command)(*args))) == result
    assert all(s.finished == [command] for s in contacted(command, speakers))


def test_run_coroutine_threadsafe_onto_a_loop_thread(gb):
    ctrl, speakers = slow_group(gb, "play_url")
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever)
    thread.start()
    try:
        future = asyncio.run_coroutine_threadsafe(ctrl.play_url("u", "A"), loop)
        assert future.result(timeout=5) is True
    finally:
        loop.call_soon_threadsafe(loop.stop)
        thread.join()
        loop.close()
    assert all(s.finished == ["play_url"] for s in speakers)


@pytest.mark.parametrize("how", ["task-steps-it", "awaited-in-task", "wait_for-runs-out"])
@pytest.mark.parametrize("command, args", COMMANDS)
def test_cancelling_a_command_cancels_pending_members(gb, command, args, how):
    ctrl, speakers = slow_group(gb, command, delay=30)

    async def scenario():
        coro = getattr(ctrl, command)(*args)
        if how == "wait_for-runs-out":  # wait_for awaits the coroutine itself, with no task around it
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(coro, 0.02)
            return
        task = asyncio.create_task(awaited(coro) if how == "awaited-in-task" else coro)
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled()

    run(scenario())
    assert all(s.cancelled == [command] for s in contacted(command, speakers))
    assert all(s.finished == [] for s in speakers)


@pytest.mark.parametrize("command, args", COMMANDS)
def test_coroutine_looks_like_pythons_own_and_ran_nothing(gb, command, args):
    ctrl, speakers = slow_group(gb, command)
    coro = getattr(ctrl, command)(*args)
    try:
        assert asyncio.iscoroutine(coro)
        assert isinstance(coro, collections.abc.Coroutine)
        assert (coro.__name__, coro.__qualname__) == (command, f"GroupController.{command}")
        assert coro.cr_await is None
    finally:
        coro.close()
    assert all(s.calls == [] for s in speakers)


class CapturingSpeaker(FakeSpeaker):
    """Keeps every operation it hands out, to see how it was left."""

    def __init__(self, did, **kwargs):
        super().__init__(did, **kwargs)
        self.ops = []

    def _op(self, name, *args, **kwargs):
        self.ops.append(super()._op(name, *args, **kwargs))
        return self.ops[-1]


class ReentrantSpeaker(CapturingSpeaker):
    """Its stop resumes the group command that is calling it."""

    def stop(self):
        return self.outer.send(None)


class Reference:
    """The same two commands written as Python coroutines: the behaviour to match."""

    def __init__(self, members):
        self.members = members

    async def stop(self):
        await asyncio.gather(*[m.stop() for m in self.members], return_exceptions=True)
        return True

    async def get_status(self):
        try:
            status = await self.members[0].get_status()
        except Exception:
            return {"status": 0, "volume": 50, "cur_time": 0, "duration": 0}
        return status if status is None or isinstance(status, dict) else {"status": 0, "volume": 50, "cur_time": 0, "duration": 0}


def step(coro, op):
    """What one step of the protocol gives, described, and the future it yields, if any."""
    try:
        if op == "close":
            return ("closed", coro.close()), None
        value = {
            "send": lambda: coro.send(None),
            "send1": lambda: coro.send(1),
            "throw": lambda: coro.throw(ValueError("boom")),
            "throw_exit": lambda: coro.throw(GeneratorExit),
        }[op]()
    except StopIteration as stop:
        return ("return", stop.value), None
    except BaseException as error:
        return ("raise", type(error), str(error)), None
    if isinstance(value, asyncio.Future):
        return ("yield", "future"), value
    return ("yield", value), None


async def drive(make, ops, speaker_type=CapturingSpeaker):
    speakers = [speaker_type(d, delays={"stop": 0.02, "get_status": 0.02}, results={"get_status": RECORD}) for d in "ab"]
    coro = make(speakers)
    for speaker in speakers:
        speaker.outer = coro
    seen, awaited = [], None
    for op in ops:
        if op == "settle":
            while not awaited.done():  # what the command waits for, however long the members take
                await asyncio.sleep(0.005)
        elif op == "drop":
            del coro, speakers[0].outer, speakers[1].outer
            gc.collect()
        else:
            described, awaited = step(coro, op)
            seen.append((op, described, type(coro.cr_await)))
    await asyncio.sleep(0.05)  # member operations still running end here
    states = [(s.started, s.finished, s.cancelled, [inspect.getcoroutinestate(c) for c in s.ops]) for s in speakers]
    return seen, states


PROTOCOL_CASES = {
    "run-to-end": ["send", "settle", "send"],
    "fresh-send-value": ["send1", "close"],
    "fresh-throw": ["throw", "send"],
    "fresh-close": ["close", "send", "close"],
    "suspended-send-value": ["send", "settle", "send1"],
    "suspended-throw": ["send", "throw", "send"],
    "suspended-generator-exit": ["send", "throw_exit", "close"],
    "suspended-close": ["send", "close", "send"],
    "suspended-dropped": ["send", "drop"],
    "finished": ["send", "settle", "send", "send", "throw", "close"],
}


@pytest.mark.parametrize("ops", PROTOCOL_CASES.values(), ids=PROTOCOL_CASES.keys())
@pytest.mark.parametrize("command", ["stop", "get_status"])
def test_send_throw_close_match_python_coroutines(gb, command, ops):
    def module_coro(speakers):
        ctrl, _, _ = make_group(gb, speakers)
        return getattr(ctrl, command)()

    expected = run(drive(lambda speakers: getattr(Reference(speakers), command)(), ops))
    assert run(drive(module_coro, ops)) == expected


def test_reentering_a_running_command_is_refused_like_python(gb):
    def module_coro(speakers):
        return make_group(gb, speakers)[0].stop()

    expected = run(drive(lambda speakers: Reference(speakers).stop(), ["send", "send"], ReentrantSpeaker))
    assert expected[0][0][1] == ("raise", ValueError, "coroutine already executing")
    assert run(drive(module_coro, ["send", "send"], ReentrantSpeaker)) == expected


@pytest.mark.parametrize("command, args", COMMANDS)
def test_never_awaited_coroutine_warns_and_is_freed(gb, command, args):
    ctrl, speakers = slow_group(gb, command)
    coro = getattr(ctrl, command)(*args)
    refs = [weakref.ref(x) for x in (coro, ctrl, *speakers)]
    calls = [s.calls for s in speakers]
    with pytest.warns(RuntimeWarning, match=rf"coroutine 'GroupController\.{command}' was never awaited"):
        del coro, ctrl, speakers
        gc.collect()
    assert [r() for r in refs] == [None] * len(refs)
    assert calls == [[]] * len(calls)


def run_and_forget(gb, ending):
    """Runs one stop command to the given end; only weak references come back."""
    speakers = [FakeSpeaker(d, delays={"stop": 0.02 if ending == "complete" else 30}) for d in "ab"]
    ctrl, _, _ = make_group(gb, speakers)

    async def scenario():
        coro = ctrl.stop()
        refs = [weakref.ref(x) for x in (coro, ctrl, *speakers)]
        if ending == "dropped-suspended":
            coro.send(None)
            await asyncio.sleep(0.01)
            return refs
        ctrl.last_task = asyncio.create_task(coro)  # a cycle: controller, task, coroutine, controller
        if ending == "cancel":
            await asyncio.sleep(0.01)
            ctrl.last_task.cancel()
        await asyncio.gather(ctrl.last_task, return_exceptions=True)
        return refs

    return run(scenario())


@pytest.mark.parametrize("ending", ["complete", "cancel", "dropped-suspended"])
def test_coroutine_controller_and_members_are_freed(gb, ending):
    refs = run_and_forget(gb, ending)
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)
