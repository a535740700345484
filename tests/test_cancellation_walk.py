"""Every suspension point of every coroutine, cancelled in turn.

The fakes count the awaits they are asked for; on walk step N the Nth one
blocks for good, the operation is cancelled there, and the state it leaves is
checked.  The walk goes on until the operation completes without reaching
step N.  Nothing may hang, and everything built is freed afterwards.
"""

import asyncio
import gc
import weakref

import pytest

from fakes import FakeHub, FakeSpeaker, make_group

STREAM = "rtsp://sender.local/stream?token=9"
NOW = 1_900_000_000.0


class Gate:
    """Counts awaits; the one numbered ``target`` blocks until cancelled."""

    def __init__(self, target):
        self.target = target
        self.points = []
        self.where = None
        self.reached = asyncio.Event()

    async def point(self, name):
        self.points.append(name)
        if len(self.points) == self.target:
            self.where = name
            self.reached.set()
            await asyncio.Event().wait()
        await asyncio.sleep(0)


class GatedSpeaker(FakeSpeaker):
    def __init__(self, did, gate):
        super().__init__(did, results={"get_status": {"status": 0}})
        self.gate = gate

    async def _op(self, name, *args, **kwargs):
        self.record(name, *args, **kwargs)
        self.started.append(name)
        try:
            await self.gate.point(f"{self.did}.{name}")
        except asyncio.CancelledError:
            self.cancelled.append(name)
            raise
        self.finished.append(name)
        return self.results[name]


def gated_receiver_class(gate):
    class GatedReceiver:
        def __init__(self, *args, **kwargs):
            self.rtsp_port, self.is_playing, self.client_name = 7000, True, ""
            self.metadata, self.artwork, self.progress = {"title": "Song"}, None, (None, None)

        async def start(self):
            await gate.point("receiver.start")

        async def stop(self):
            await gate.point("receiver.stop")

    return GatedReceiver


def gated_asyncio(gate):
    class Asyncio:
        def __getattr__(self, name):
            return getattr(asyncio, name)

        async def sleep(self, delay, result=None):
            await gate.point(f"sleep {delay:g}")
            return result

    return Asyncio()


async def quiet_poll():
    try:
        await asyncio.Event().wait()
    except asyncio.CancelledError:
        return


class Rig:
    """A bridge over two gated speakers, a recording hub and a gated receiver."""

    def __init__(self, gb, monkeypatch, gate, *, gate_broadcast=False):
        import vesbel.web.api as api

        self.gate, self.events = gate, []

        async def broadcast(event):
            self.events.append(event["action"])
            if gate_broadcast:
                await gate.point("broadcast")

        monkeypatch.setattr(api, "broadcast_ws", broadcast)
        monkeypatch.setattr(gb, "asyncio", gated_asyncio(gate))
        monkeypatch.setattr(gb, "time", type("Clock", (), {"time": staticmethod(lambda: NOW)}))
        monkeypatch.setattr(gb, "AirPlayServer", gated_receiver_class(gate))
        self.speakers = [GatedSpeaker("d1", gate), GatedSpeaker("d2", gate)]
        self.controller, _, config = make_group(gb, self.speakers, default_audio_id="DEF")
        self.hub = FakeHub()
        self.bridge = gb.GroupBridge("10.0.0.2", self.controller, None, config, self.hub)
        self.bridge.airplay_server = gb.AirPlayServer()

    def playing(self, with_poll=True):
        b = self.bridge
        b._airplay_active, b._stream_url, b._session_audio_id = True, STREAM, "AID"
        b._audio_lease = self.hub.lease
        if with_poll:
            b._poll_task = asyncio.ensure_future(quiet_poll())
        return b

    def blocked_speaker_cancelled(self):
        return any(s.cancelled for s in self.speakers) == self.gate.where.startswith("d")


# Each case: (how to set the rig up, the operation's task, the check after
# cancelling it at ``rig.gate.where``, whether its cancellation must surface).
def command(name, *args):
    return (lambda rig: None,
            lambda rig: asyncio.ensure_future(getattr(rig.controller, name)(*args)),
            lambda rig, log: rig.blocked_speaker_cancelled())


def check_play(rig, log):
    b, began = rig.bridge, rig.hub.called("begin_session")
    common = b._airplay_active and b._stream_url == STREAM and b._audio_lease is rig.hub.lease
    if rig.gate.where == "d1.search_audio_id":
        return common and not began and b._session_audio_id is None
    return (common and len(began) == 1 and b._session_audio_id == "DEF"
            and b._poll_task is None and "play_url" not in rig.events
            and rig.blocked_speaker_cancelled())


def check_stop_target(rig, log):
    b = rig.bridge
    return (not b._airplay_active and b._stream_url == "" and b._session_audio_id is None
            and b._audio_lease is None and b._poll_task is None
            and rig.hub.called("release_source") and rig.blocked_speaker_cancelled())


def check_pause_target(rig, log):
    b = rig.bridge
    paused = [s for s in rig.speakers if "pause" in s.started]
    return (not b._airplay_active and b._stream_url == STREAM and b._session_audio_id == "AID"
            and b._audio_lease is rig.hub.lease and b._poll_task is None
            and rig.hub.called("pause_source") == [((rig.hub.lease,), {})]
            and (paused == [] if rig.gate.where == "broadcast" else rig.blocked_speaker_cancelled()))


def start_poll(rig):
    b = rig.playing(with_poll=False)
    b._play_grace_until = 0.0
    b._start_poll()
    return b._poll_task


CASES = {
    "play_url": command("play_url", "http://h/a.wav", "AID"),
    "stop": command("stop"),
    "pause": command("pause"),
    "resume": command("resume"),
    "set_volume": command("set_volume", 5),
    "get_status": command("get_status"),
    "_resolve_audio_id": (
        lambda rig: None,
        lambda rig: asyncio.ensure_future(rig.bridge._resolve_audio_id()),
        lambda rig, log: rig.speakers[0].cancelled == ["search_audio_id"] and not log.records),
    "_play_on_target": (
        lambda rig: None,
        lambda rig: asyncio.ensure_future(rig.bridge._play_on_target(STREAM)),
        check_play),
    "_stop_target": (
        lambda rig: rig.playing(),
        lambda rig: asyncio.ensure_future(rig.bridge._stop_target()),
        check_stop_target),
    "_pause_target": (
        lambda rig: rig.playing(),
        lambda rig: asyncio.ensure_future(rig.bridge._pause_target()),
        check_pause_target),
    "start": (
        lambda rig: setattr(rig.bridge, "airplay_server", None),
        lambda rig: asyncio.ensure_future(rig.bridge.start()),
        lambda rig, log: (rig.bridge.airplay_server is not None
                          and rig.bridge._loop is asyncio.get_running_loop()
                          and not any("Started" in r.getMessage() for r in log.records))),
    "stop_bridge": (
        lambda rig: setattr(rig.bridge, "_airplay_active", True),
        lambda rig: asyncio.ensure_future(rig.bridge.stop()),
        lambda rig, log: not rig.bridge._airplay_active and rig.bridge.airplay_server is not None),
}


# Where each operation suspends, in order: every member operation of a
# fan-out (started together), the search, the receiver, the awaited event.
FAN_OUT = {name: [f"d1.{name}", f"d2.{name}"]
           for name in ("play_url", "stop", "pause", "resume", "set_volume")}
WALKS = {
    **FAN_OUT,
    "get_status": ["d1.get_status"],
    "_resolve_audio_id": ["d1.search_audio_id"],
    "_play_on_target": ["d1.search_audio_id", *FAN_OUT["play_url"]],
    "_stop_target": FAN_OUT["stop"],
    "_pause_target": ["broadcast", *FAN_OUT["pause"]],
    "start": ["receiver.start"],
    "stop_bridge": ["receiver.stop"],
}


async def walk_step(gb, monkeypatch, vlog, case, target, gate_broadcast):
    """Cancels the operation at its await number ``target``; gives back where
    it was cancelled (None once it completes first) and weak references."""
    prepare, launch, check = case
    gate = Gate(target)
    rig = Rig(gb, monkeypatch, gate, gate_broadcast=gate_broadcast)
    prepare(rig)
    vlog.clear()
    task = launch(rig)
    reached = asyncio.ensure_future(gate.reached.wait())
    await asyncio.wait({task, reached}, timeout=5, return_when=asyncio.FIRST_COMPLETED)
    assert task.done() or reached.done(), f"neither finished nor reached await {target}"
    where = None
    if not task.done():
        where = gate.where
        task.cancel()
        await asyncio.wait({task}, timeout=5)
        assert task.done(), f"still running after being cancelled at {where}"
        assert task.cancelled(), f"cancellation at {where} was swallowed"
        assert check(rig, vlog), f"wrong state after cancelling at {where}"
    reached.cancel()
    rest = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
    for leftover in rest:
        leftover.cancel()
    if rest:
        await asyncio.wait(rest, timeout=5)
    return where, [weakref.ref(rig.bridge), weakref.ref(rig.controller)]


@pytest.mark.parametrize("name", list(CASES))
def test_each_await_cancelled_in_turn(gb, monkeypatch, vlog, name):
    walked, refs = [], []
    for target in range(1, 10):
        where, made = asyncio.run(walk_step(gb, monkeypatch, vlog, CASES[name], target,
                                            gate_broadcast=name == "_pause_target"))
        refs += made
        if where is None:
            break
        walked.append(where)
    else:
        pytest.fail(f"{name} still suspending after {walked}")
    assert walked == WALKS[name]
    monkeypatch.undo()
    gc.collect()
    assert [r for r in refs if r() is not None] == []


def test_the_poll_ends_quietly_wherever_it_is_cancelled(gb, monkeypatch):
    async def step(target):
        gate = Gate(target)
        rig = Rig(gb, monkeypatch, gate)
        task = start_poll(rig)
        await asyncio.wait_for(gate.reached.wait(), 5)
        task.cancel()
        await asyncio.wait({task}, timeout=5)
        assert task.done() and (task.cancelled() or task.result() is None)
        return gate.where

    # A cycle: wait, status, resume delay, resume to both speakers, then the
    # next cycle's wait (inside the new grace period).
    walked = [asyncio.run(step(target)) for target in range(1, 7)]
    assert walked == ["sleep 3", "d1.get_status", "sleep 4", "d1.play_url", "d2.play_url",
                      "sleep 3"]
