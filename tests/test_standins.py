"""The host application's stand-ins behave as the group bridge relies on."""

import asyncio
import math
import threading

import pytest
from zeroconf import Zeroconf
from zeroconf.asyncio import AsyncServiceInfo

from conftest import run
from vesbel.airplay.server import RAOP_TYPE, AirPlayServer
from vesbel.audio_hub import AudioHub
from vesbel.config import airplay_db_to_xiaomi_volume
from vesbel.web import api
from vesbel.xiaomi import TargetController


@pytest.mark.parametrize("db, expected", [
    (-30.0, 0), (0.0, 100), (-15.0, 50), (-7.5, 75), (-29.25, 3),
    (-144.0, 0), (-60.0, 0), (6.0, 100), (math.nan, 42), (math.inf, 42),
])
def test_volume_conversion(db, expected):
    assert airplay_db_to_xiaomi_volume(db, 42) == expected


async def _options(port):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(b"OPTIONS * RTSP/1.0\r\nCSeq: 7\r\n\r\n")
    reply = await reader.readuntil(b"\r\n\r\n")
    writer.close()
    await writer.wait_closed()
    return reply


def test_receiver_listens_and_announces_until_stopped():
    async def scenario():
        zc = Zeroconf(interfaces=["127.0.0.1"])
        server = AirPlayServer("127.0.0.1", "Whole House", zc, speaker_hardware="GROUP")
        await server.start()
        [registered] = zc.registry.async_get_infos_type(RAOP_TYPE)
        name = registered.name
        try:
            assert (await _options(server.rtsp_port)).startswith(b"RTSP/1.0 200 OK\r\nCSeq: 7\r\n")
            info = AsyncServiceInfo(RAOP_TYPE, name)
            assert await info.async_request(zc, 3000)
            assert (info.port, info.properties[b"am"]) == (server.rtsp_port, b"GROUP")
            assert name.endswith("@Whole House." + RAOP_TYPE)
        finally:
            await server.stop()
            zc.close()
        assert server.rtsp_port and not zc.registry.async_get_infos_type(RAOP_TYPE)
        with pytest.raises(OSError):
            await _options(server.rtsp_port)

    run(scenario())


@pytest.mark.parametrize("send, callback, args, playing", [
    (lambda s: s.sender_play("http://x/s", {"title": "T"}, "art"), "on_play_start", ("http://x/s",), True),
    (lambda s: s.sender_pause(), "on_play_pause", (), False),
    (lambda s: s.sender_resume(), "on_play_resume", (), True),
    (lambda s: s.sender_stop(), "on_play_stop", (), False),
    (lambda s: s.sender_volume(-15), "on_volume_change", (-15.0,), None),
    (lambda s: s.sender_progress(1500, None), "on_progress_change", (1500, None), None),
])
def test_sender_events_reach_callbacks_on_the_receiver_thread(send, callback, args, playing):
    calls = []

    async def scenario():
        server = AirPlayServer("127.0.0.1", "Group")
        setattr(server, callback, lambda *a: calls.append((a, threading.get_ident())))
        await server.start()
        try:
            await asyncio.wrap_future(send(server))
        finally:
            await server.stop()
        return server

    server = run(scenario())
    assert [a for a, _ in calls] == [args]
    assert calls[0][1] != threading.get_ident()
    if playing is not None:
        assert server.is_playing is playing


def test_sender_play_reports_metadata_first_and_callback_errors_reach_the_future():
    calls = []

    async def scenario():
        server = AirPlayServer("127.0.0.1", "Group")
        server.on_metadata_change = lambda m, a: calls.append(("metadata", m, a))
        server.on_play_start = lambda url: calls.append(("start", url))
        server.on_play_stop = lambda: 1 / 0
        await server.start()
        try:
            await asyncio.wrap_future(server.sender_play("u", {"title": "T"}, None, "Mac"))
            with pytest.raises(ZeroDivisionError):
                await asyncio.wrap_future(server.sender_stop())
            await asyncio.wrap_future(server.sender_pause())  # no callback set: skipped
        finally:
            await server.stop()
        assert server.client_name == "Mac"

    run(scenario())
    assert calls == [("metadata", {"title": "T"}, None), ("start", "u")]


def test_audio_hub_arbitrates_and_keeps_the_session():
    hub = AudioHub()
    lease = hub.acquire_source("airplay1", "group_all")
    assert hub.acquire_source("radio", "kitchen") is None
    session_id = hub.begin_session("airplay1", "group_all", {"title": "T"}, "http://s",
                                   capabilities={"seek": False}, lease=lease)
    assert session_id == lease.session_id
    workers = [threading.Thread(target=hub.update_session_progress, args=(i, 9000)) for i in range(8)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    hub.update_session_metadata({"artist": "A"})
    hub.pause_source(lease)
    session = hub.get_session()
    assert (session["metadata"], session["state"], session["duration_ms"]) == (
        {"title": "T", "artist": "A"}, "paused", 9000)
    hub.release_source(lease, "airplay stopped")
    assert hub.get_session() == {}
    assert hub.acquire_source("radio", "kitchen").session_id > session_id


@pytest.mark.parametrize("title, artist, fuzzy, expected", [
    ("So What", "Miles Davis", False, "1002"),
    ("so what", "", False, None),
    ("so what", "", True, "1002"),
    ("Unknown", "Nobody", True, None),
])
def test_speaker_catalogue_search(title, artist, fuzzy, expected):
    speaker = TargetController("s1")
    assert run(speaker.search_audio_id(title, artist, fuzzy_fallback=fuzzy)) == expected


def test_speaker_plays_until_it_drops_out():
    events = []
    speaker = TargetController("s1", listener=events.append)

    async def scenario():
        assert await speaker.play_url("http://u", "1002") is True
        playing = (await speaker.get_status())["status"]
        speaker.drop_out()
        return playing, (await speaker.get_status())["status"]

    assert run(scenario()) == (1, 0)
    assert [e["command"] for e in events] == ["play_url", "get_status", "drop_out", "get_status"]


def test_broadcast_reaches_every_subscriber():
    async def scenario():
        first, second = api.subscribe(), api.subscribe()
        api.unsubscribe(second)
        await api.broadcast_ws({"type": "control_command"})
        api.unsubscribe(first)
        return first.get_nowait(), second.empty()

    assert run(scenario()) == ({"type": "control_command"}, True)
