"""A whole-house session on the stand-in receiver, speakers and audio hub."""

import asyncio
import time
import types

from playback_support import until
from vesbel import audio_hub, config as vconfig, xiaomi
from vesbel.web import api

SPEEDUP = 100  # the bridge's seconds pass a hundred times faster than real ones
STREAM = "rtsp://127.0.0.1/airplay/stream?client=phone"
TRACK = {"title": "So What", "artist": "Miles Davis", "album": "Kind of Blue"}


class FastAsyncio:
    """The module's ``asyncio`` with its sleeps shortened."""

    def __getattr__(self, name):
        return getattr(asyncio, name)

    @staticmethod
    def sleep(delay, result=None):
        return asyncio.sleep(delay / SPEEDUP, result)


def fast_clock():
    start = time.monotonic()
    return types.SimpleNamespace(time=lambda: 1_700_000_000.0 + (time.monotonic() - start)
                                 * SPEEDUP)


def test_play_interruption_auto_resume_pause_resume_stop(gb, monkeypatch, vlog):
    monkeypatch.setattr(gb, "asyncio", FastAsyncio())
    monkeypatch.setattr(gb, "time", fast_clock())
    told = []
    speakers = [xiaomi.TargetController(did, latency=latency, listener=told.append)
                for did, latency in (("kitchen", 0.002), ("living", 0.01), ("bedroom", 0.002))]
    cfg = vconfig.Config(group=vconfig.GroupConfig(member_dids=[s.did for s in speakers]))
    hub_events = []
    hub = audio_hub.AudioHub(listener=hub_events.append)
    group = gb.GroupController(cfg, lambda: {s.did: s for s in speakers})
    bridge = gb.GroupBridge("127.0.0.1", group, None, cfg, hub)
    kitchen = speakers[0]

    async def sender(action, *args, **kwargs):
        receiver = bridge.airplay_server
        await asyncio.wrap_future(getattr(receiver, f"sender_{action}")(*args, **kwargs))

    async def main():
        clients = api.subscribe()
        try:
            await bridge.start()
            receiver = bridge.airplay_server
            assert isinstance(receiver, gb.AirPlayServer) and receiver.rtsp_port > 0

            await sender("play", STREAM, metadata=TRACK, artwork="data:image/png;base64,AA")
            await until(lambda: all(s.playing for s in speakers) and bridge._poll_task)
            lease_id = hub.get_session()["session_id"]
            assert {(s.url, s.audio_id) for s in speakers} == {
                (f"http://127.0.0.1:8080/stream/live.wav?session_id={lease_id}&delay_ms=0",
                 "1002")}
            await sender("volume", -15.0)
            await until(lambda: all(s.volume == 50 for s in speakers))

            kitchen.drop_out()  # the first member stops by itself; the bridge notices
            await until(lambda: kitchen.playing)
            assert "?sid=" in kitchen.url  # sent again with a fresh stream id
            assert kitchen.audio_id == "1002"

            await sender("pause")
            await until(lambda: all(s.paused for s in speakers))
            assert bridge._poll_task is None and hub.get_session()["state"] == "paused"

            await sender("resume")
            await until(lambda: all(s.playing for s in speakers) and bridge._poll_task)
            assert bridge._airplay_active and hub.get_session()["state"] == "playing"

            await sender("stop")
            await until(lambda: not any(s.playing or s.paused for s in speakers))
            await until(lambda: clients.qsize() == 3)
            assert bridge.snapshot()["stream_url"] == "" and bridge._audio_lease is None
            await bridge.stop()
            assert bridge.airplay_server is None
            return lease_id, [clients.get_nowait() for _ in range(3)]
        finally:
            api.unsubscribe(clients)

    started = time.monotonic()
    lease_id, events = asyncio.run(main())
    assert time.monotonic() - started < 5
    assert [(e["action"], e["session_id"]) for e in events] == [
        ("play_url", lease_id), ("pause", lease_id), ("stop", lease_id)]
    assert events[0]["metadata"] == dict(TRACK, artwork="data:image/png;base64,AA")
    assert [e["event"] for e in hub_events if e["event"].endswith("_source")] == [
        "acquire_source", "pause_source", "resume_source", "release_source"]
    assert hub_events[-1]["reason"] == "airplay stopped"
    kitchen_said = [c["command"] for c in told if c["did"] == "kitchen"
               and c["command"] not in ("get_status", "set_volume")]
    assert kitchen_said == ["search_audio_id", "play_url", "drop_out", "play_url", "pause",
                       "resume", "stop"]
    messages = [r.getMessage() for r in vlog.records]
    assert "[Group] 全屋播放检测到中断，等待后自动续播..." in messages
    assert messages[0].startswith("Started Group AirPlay bridge Whole House on rtsp=")
