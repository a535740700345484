"""What a suspended operation still holds is visible to the garbage
collector, as a Python frame's locals are: an abandoned operation caught in
a cycle through what it waits on is collected, and the waiting code's
``finally`` blocks run."""

import asyncio
import gc
import types
import weakref

import pytest

from fakes import make_config


class Holding:
    """A speaker or receiver whose every operation waits on a future the
    object itself holds; ``finished`` records each operation's finally."""

    def __init__(self, did, finished):
        self.did = did
        self.finished = finished
        self.started = asyncio.Event()
        self.metadata = {"title": "Song"}

    def _wait(self, name):
        async def operation():
            self.future = asyncio.get_running_loop().create_future()
            self.started.set()
            try:
                return await self.future
            finally:
                self.finished.append(name)

        return operation()

    def __getattr__(self, name):
        if name in ("play_url", "stop", "pause", "resume", "set_volume", "get_status", "search_audio_id", "start"):
            return lambda *args, **kwargs: self._wait(name)
        raise AttributeError(name)


def controller_over(gb, member_factory):
    """A group whose provider makes its one member afresh at each call, so
    that only the running operation holds it."""
    return gb.GroupController(make_config(["a"]), lambda: {"a": member_factory()})


COMMANDS = [("play_url", ("u",)), ("stop", ()), ("pause", ()), ("set_volume", (5,)), ("resume", ()),
            ("get_status", ())]


def operation_of(gb, monkeypatch, name, args, finished):
    if name == "_resolve_audio_id":
        bridge = gb.GroupBridge("h", controller_over(gb, lambda: Holding("a", finished)))
        bridge.airplay_server = types.SimpleNamespace(metadata={"title": "Song"})
        return bridge._resolve_audio_id(), "search_audio_id"
    if name in ("bridge.start", "bridge.stop"):
        bridge = gb.GroupBridge("h", controller_over(gb, lambda: Holding("a", finished)))
        monkeypatch.setattr(gb, "AirPlayServer", lambda *args, **kwargs: Holding("receiver", finished))
        if name == "bridge.stop":
            bridge.airplay_server = Holding("receiver", finished)
            return bridge.stop(), "stop"
        return bridge.start(), "start"
    ctrl = controller_over(gb, lambda: Holding("a", finished))
    return getattr(ctrl, name)(*args), name


@pytest.mark.parametrize("name, args", COMMANDS + [("_resolve_audio_id", ()), ("bridge.start", ()),
                                                   ("bridge.stop", ())])
def test_an_abandoned_suspended_operation_is_collected(gb, monkeypatch, name, args):
    finished = []
    loop = asyncio.new_event_loop()
    try:
        operation, waited_on = operation_of(gb, monkeypatch, name, args, finished)
        watched = weakref.ref(operation)
        task = loop.create_task(operation)
        loop.run_until_complete(asyncio.sleep(0.01))
        assert not task.done(), "the operation should be suspended"
        del operation, task
    finally:
        loop.close()
    gc.collect()
    assert watched() is None, "the suspended operation was never collected"
    assert finished == [waited_on]


@pytest.mark.parametrize("name, args", COMMANDS)
def test_the_member_list_of_a_waiting_command_is_held_by_its_coroutine(gb, name, args):
    member = None

    def member_factory():
        nonlocal member
        member = Holding("a", [])
        return member

    ctrl = controller_over(gb, member_factory)

    async def main():
        command = getattr(ctrl, name)(*args)
        task = asyncio.ensure_future(command)
        while member is None or not member.started.is_set():
            await asyncio.sleep(0.001)
        [members] = [r for r in gc.get_referrers(member) if type(r) is list]
        holders = gc.get_referrers(members)
        # The coroutine itself, or the object standing for its waiting body.
        reachable = [command, *gc.get_referents(command)]
        member.future.set_result(True)
        await task
        return any(holder is r for holder in holders for r in reachable)

    assert asyncio.run(main())
