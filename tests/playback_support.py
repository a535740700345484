"""Helpers shared by the playback, stop/pause, hook and lifecycle tests."""

import asyncio
import types

import vesbel.web.api as api
from fakes import FakeHub, FakeReceiver, FakeSpeaker, Lease, make_group  # noqa: F401

STREAM = "rtsp://sender.local/stream?token=9"


class Broadcasts:
    """Stands in for ``vesbel.web.api.broadcast_ws``: an async callable that
    records each event it delivers and the task that delivered it.  A closed
    ``gate`` holds every delivery until it opens."""

    def __init__(self, timeline=None):
        self.events = []
        self.tasks = []
        self.timeline = timeline
        self.gate = None

    async def __call__(self, event):
        self.events.append(event)
        self.tasks.append(asyncio.current_task())
        if self.timeline is not None:
            self.timeline.append(("broadcast", (event["action"],), {}))
        if self.gate is not None:
            await self.gate.wait()


def _tee(recorder, timeline):
    """Makes ``recorder`` also append each call to ``timeline``."""
    own = recorder.record

    def record(name, *args, **kwargs):
        own(name, *args, **kwargs)
        timeline.append((name, args, kwargs))

    recorder.record = record


def make_env(gb, monkeypatch, *, speakers=None, hub="default", receiver=True,
             host="192.168.1.20", **config_fields):
    """A bridge over recording speakers, hub and receiver.  Hub and speaker
    calls land in one shared ``timeline`` so cross-object order is visible."""
    speakers = speakers if speakers is not None else [FakeSpeaker("d1"), FakeSpeaker("d2")]
    controller, provider, config = make_group(gb, speakers, **config_fields)
    hub = FakeHub() if hub == "default" else hub
    bridge = gb.GroupBridge(host, controller, None, config, hub)
    timeline = []
    for part in [*speakers, hub]:
        if part is not None:
            _tee(part, timeline)
    rec = None
    if receiver:
        rec = FakeReceiver()
        rec.metadata = {"title": "Song", "artist": "Band"}
        bridge.airplay_server = rec
    broadcast = Broadcasts(timeline)
    monkeypatch.setattr(api, "broadcast_ws", broadcast)
    return types.SimpleNamespace(bridge=bridge, speakers=speakers, hub=hub, receiver=rec,
                                 config=config, provider=provider, timeline=timeline,
                                 broadcast=broadcast)


def playing(env, *, lease=True):
    """Puts the bridge in the state of a running group playback."""
    b = env.bridge
    b._airplay_active = True
    b._stream_url = STREAM
    b._session_audio_id = "AID-1"
    if lease and env.hub is not None:
        b._audio_lease = env.hub.lease
    return b


def broken_provider():
    """A controllers provider whose member selection always fails."""
    raise RuntimeError("handover failed")


def lines(caplog, level=None):
    """(level name, rendered message) of the "vesbel" records."""
    return [(r.levelname, r.getMessage()) for r in vesbel_records(caplog, level)]


def vesbel_records(caplog, level=None):
    return [r for r in caplog.records
            if r.name == "vesbel" and (level is None or r.levelname == level)]


def mentions(record, text):
    """Whether a log record carries ``text`` in its message or its exception."""
    exc = record.exc_info[1] if record.exc_info else None
    return text in record.getMessage() or (exc is not None and text in str(exc))


async def until(predicate, timeout=3.0):
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while not predicate():
        assert loop.time() < deadline, "condition not reached"
        await asyncio.sleep(0.001)

