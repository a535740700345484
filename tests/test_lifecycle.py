"""Starting and stopping the bridge's own receiver."""

import asyncio

import pytest

from playback_support import FakeReceiver, lines, make_env

HOOKS = [("on_play_start", "_on_play_start"), ("on_play_stop", "_on_play_stop"),
         ("on_play_pause", "_on_play_pause"), ("on_play_resume", "_on_play_resume"),
         ("on_volume_change", "_on_volume_change"),
         ("on_metadata_change", "_on_metadata_change"),
         ("on_progress_change", "_on_progress_change")]


class WatchedReceiver(FakeReceiver):
    """Records each hook attached after construction, and whether the bridge
    already held this receiver at that moment and when it was stopped."""

    bridge = None
    fail_stop = False

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.attached = []

    def __setattr__(self, name, value):
        if name.startswith("on_") and "attached" in self.__dict__:
            self.attached.append((name, value, self.bridge.airplay_server is self))
        super().__setattr__(name, value)

    async def stop(self):
        self.record("stop", held=self.bridge.airplay_server is self)
        if self.fail_stop:
            raise OSError("socket stuck")


@pytest.fixture
def env(gb, monkeypatch):
    env = make_env(gb, monkeypatch, receiver=False, host="10.0.0.9")
    WatchedReceiver.bridge = env.bridge
    monkeypatch.setattr(gb, "AirPlayServer", WatchedReceiver)
    return env


@pytest.mark.parametrize("zeroconf", [None, object()])
def test_start_builds_wires_and_starts_the_receiver(gb, env, vlog, zeroconf):
    b = env.bridge
    b.shared_zeroconf = zeroconf

    async def main():
        assert await b.start() is None
        return asyncio.get_running_loop()

    loop = asyncio.run(main())
    receiver = b.airplay_server
    assert isinstance(receiver, WatchedReceiver) and b._loop is loop
    assert receiver.calls == [
        ("__init__", ("10.0.0.9", "Whole House", zeroconf), {"speaker_hardware": "GROUP"}),
        ("start", (), {})]
    assert [name for name, _, _ in receiver.attached] == [hook for hook, _ in HOOKS]
    for (hook, method), (_, value, held) in zip(HOOKS, receiver.attached):
        assert held, f"{hook} attached before the bridge held the receiver"
        assert value.__self__ is b and value.__func__ is gb.GroupBridge.__dict__[method]
    assert lines(vlog) == [("INFO", "Started Group AirPlay bridge Whole House on rtsp=7000")]
    assert [r.msg for r in vlog.records] == ["Started Group AirPlay bridge %s on rtsp=%s"]
    assert (b._airplay_active, b._poll_task) == (False, None)


def test_stop_of_a_never_started_bridge_only_clears_the_flag(env):
    b = env.bridge
    b._airplay_active = True
    before = dict(vars(b))

    async def main():
        await b.stop()
        await b.stop()

    asyncio.run(main())
    assert vars(b) == dict(before, _airplay_active=False)
    assert env.timeline == [] and env.broadcast.events == []


def test_stop_ends_the_poll_then_the_receiver(env):
    b = env.bridge
    seen = {}

    async def poll():
        try:
            await asyncio.Event().wait()
        finally:
            await asyncio.sleep(0.01)
            seen["receiver stopped before poll ended"] = bool(b.airplay_server.called("stop"))

    async def main():
        await b.start()
        b._airplay_active = True
        b._audio_lease = env.hub.lease
        b._stream_url, b._session_audio_id = "rtsp://sender/s", "AID-1"
        b._poll_task = task = asyncio.create_task(poll())
        await asyncio.sleep(0)
        receiver = b.airplay_server
        assert await b.stop() is None
        return task, receiver

    task, receiver = asyncio.run(main())
    assert task.cancelled() and seen == {"receiver stopped before poll ended": False}
    assert receiver.called("stop") == [((), {"held": True})]
    assert (b.airplay_server, b._poll_task, b._airplay_active) == (None, None, False)
    # the lease and the playback are the playback stop's business, not the bridge's
    assert b._audio_lease is env.hub.lease and env.hub.calls == []
    assert (b._stream_url, b._session_audio_id) == ("rtsp://sender/s", "AID-1")
    assert b._loop is not None


def _stuck():
    raise OSError("socket stuck")


@pytest.mark.parametrize("failing", [lambda r: setattr(r, "fail_stop", True), lambda r: setattr(r, "stop", _stuck)],
                         ids=["when-awaited", "when-called"])
def test_failing_receiver_stop_propagates_and_keeps_the_receiver(env, failing):
    async def main():
        await env.bridge.start()
        failing(env.bridge.airplay_server)
        with pytest.raises(OSError, match="socket stuck"):
            await env.bridge.stop()

    asyncio.run(main())
    assert isinstance(env.bridge.airplay_server, WatchedReceiver)


def test_a_second_start_stops_the_receiver_it_replaces(env, vlog):
    b = env.bridge
    asyncio.run(b.start())
    first, env.config.group.airplay_name = b.airplay_server, "Upstairs"
    asyncio.run(b.start())
    assert first.called("stop") == [((), {"held": True})]  # before its successor was made
    assert b.airplay_server.calls == [
        ("__init__", ("10.0.0.9", "Upstairs", None), {"speaker_hardware": "GROUP"}), ("start", (), {})]
    assert lines(vlog)[-1] == ("INFO", "Started Group AirPlay bridge Upstairs on rtsp=7000")


@pytest.mark.parametrize("method", ["start", "stop"])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"now": True})])
def test_lifecycle_takes_no_arguments(env, method, args, kwargs):
    with pytest.raises(TypeError):
        getattr(env.bridge, method)(*args, **kwargs)


def test_start_line_reads_the_name_before_the_port(gb, env, vlog):
    reads = []

    class Group:
        @property
        def airplay_name(self):
            reads.append("airplay_name")
            return "Whole House"

    class PortReceiver(WatchedReceiver):
        def __getattribute__(self, name):
            if name == "rtsp_port":
                reads.append("rtsp_port")
            return super().__getattribute__(name)

    env.config.group = Group()
    gb.AirPlayServer = PortReceiver
    asyncio.run(env.bridge.start())
    # once for the receiver's construction, then the line's own two reads in its order
    assert reads == ["airplay_name", "airplay_name", "rtsp_port"]
    assert lines(vlog) == [("INFO", "Started Group AirPlay bridge Whole House on rtsp=7000")]
