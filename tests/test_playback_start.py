"""Group playback start: URLs, hub session, the play event and its refusals."""

import asyncio
import types

import pytest

from playback_support import STREAM, FakeHub, FakeSpeaker, Lease, lines, make_env, until

CAPABILITIES = [("play_pause", True), ("seek", False), ("previous", False), ("next", False)]
BUSY = ("WARNING", "AudioHub is busy; rejected group AirPlay stream")
ATTACHED = ("INFO", "Group AirPlay stream attached to speakers (Whole House)")


@pytest.fixture
def clock(gb, monkeypatch):
    monkeypatch.setattr(gb, "time", types.SimpleNamespace(time=lambda: 1000.0))


async def play(env, url=STREAM):
    await env.bridge._play_on_target(url)
    await asyncio.sleep(0)  # lets the event task deliver


def test_full_start_runs_every_step_in_order(gb, monkeypatch, vlog, clock):
    lead = FakeSpeaker("d1", results={"search_audio_id": "AID-9"})
    env = make_env(gb, monkeypatch, speakers=[lead, FakeSpeaker("d2")],
                   hub=FakeHub(lease=Lease(41), session_id=7))
    env.receiver.artwork = "data:image/png;base64,AA"
    env.receiver.progress = (12000, 180000)

    async def main():
        await play(env)
        b = env.bridge
        assert (b._stream_url, b._airplay_active, b._play_grace_until) == (STREAM, True, 1010.0)
        assert b._audio_lease is env.hub.lease and b._session_audio_id == "AID-9"
        assert isinstance(b._poll_task, asyncio.Task) and not b._poll_task.done()
        # the event went out from a task of its own, not from the start itself
        assert env.broadcast.tasks[0] is not asyncio.current_task()

    asyncio.run(main())
    speaker_url = "http://192.168.1.20:8080/stream/live.wav?session_id=41&delay_ms=0"
    session_url = "http://192.168.1.20:8080/stream/live.wav?session_id=41&virtual_delay=300"
    metadata = {"title": "Song", "artist": "Band", "artwork": "data:image/png;base64,AA"}
    assert [n for n, _, _ in env.timeline] == [
        "acquire_source", "search_audio_id", "begin_session", "play_url", "play_url",
        "update_session_progress", "broadcast"]
    assert env.hub.called("acquire_source") == [(("airplay1", "group_all"), {})]
    [(args, kwargs)] = env.hub.called("begin_session")
    assert args == ("airplay1", "group_all", metadata, session_url)
    assert list(kwargs) == ["capabilities", "lease"]
    assert list(kwargs["capabilities"].items()) == CAPABILITIES
    assert kwargs["lease"] is env.hub.lease
    for speaker in env.speakers:
        assert speaker.called("play_url") == [((speaker_url, "AID-9"), {})]
    assert env.hub.called("update_session_progress") == [((12000, 180000), {})]
    [event] = env.broadcast.events
    assert list(event.items()) == [
        ("type", "control_command"), ("action", "play_url"), ("target", "group_all"),
        ("url", session_url), ("session_id", 7), ("metadata", metadata)]
    assert lines(vlog, "INFO")[-1] == ATTACHED and lines(vlog, "WARNING") == []


@pytest.mark.parametrize("host, port, delay, session, prefix, delay_text", [
    ("10.0.0.7", 9000, 300, 41, "http://10.0.0.7:9000/stream/live.wav?session_id=41", "300"),
    ("house.lan", "81", 300.0, "s-5", "http://house.lan:81/stream/live.wav?session_id=s-5",
     "300.0"),
    ("10.0.0.7", 8080, 0.25, 0, "http://10.0.0.7:8080/stream/live.wav?session_id=0", "0.25")])
def test_stream_urls_use_plain_text_forms(gb, monkeypatch, host, port, delay, session, prefix,
                                          delay_text):
    env = make_env(gb, monkeypatch, hub=FakeHub(lease=Lease(session)), host=host,
                   web_port=port, virtual_delay=delay)
    asyncio.run(play(env))
    assert env.speakers[0].called("play_url")[0][0][0] == prefix + "&delay_ms=0"
    session_url = f"{prefix}&virtual_delay={delay_text}"
    assert env.hub.called("begin_session")[0][0][3] == session_url
    assert env.broadcast.events[0]["url"] == session_url


def test_url_pieces_are_read_in_url_order(gb, monkeypatch):
    env = make_env(gb, monkeypatch)
    reads = []

    class Piece:
        def __init__(self, name, text):
            self.name, self.text = name, text

        def __str__(self):
            reads.append(self.name)
            return self.text

    class Config(type(env.config)):
        def __getattribute__(self, name):
            if name in ("web_port", "virtual_delay"):
                reads.append(f"config.{name}")
            return super().__getattribute__(name)

    env.bridge.config = Config(**dict(vars(env.config), web_port=Piece("str(port)", "81"),
                                      virtual_delay=Piece("str(delay)", "300")))
    env.bridge.host = Piece("str(host)", "h")
    asyncio.run(play(env))
    one_url = ["str(host)", "config.web_port", "str(port)"]
    assert reads == one_url + one_url + ["config.virtual_delay", "str(delay)"]
    assert env.hub.called("begin_session")[0][0][3] == "http://h:81/stream/live.wav?session_id=41&virtual_delay=300"


def test_lease_gone_before_urls_are_built_gives_session_zero(gb, monkeypatch):
    lead = FakeSpeaker("d1", delays={"search_audio_id": 0.02})
    env = make_env(gb, monkeypatch, speakers=[lead])

    async def main():
        start = asyncio.create_task(env.bridge._play_on_target(STREAM))
        await until(lambda: "search_audio_id" in lead.started)
        env.bridge._audio_lease = None
        await start

    asyncio.run(main())
    [(args, kwargs)] = env.hub.called("begin_session")
    assert args[3].endswith("?session_id=0&virtual_delay=300") and kwargs["lease"] is None
    assert lead.called("play_url")[0][0][0].endswith("?session_id=0&delay_ms=0")


ABSENT = object()


@pytest.mark.parametrize("resolved, default, expected", [
    ("AID-9", "DEF-1", "AID-9"), (None, "DEF-1", "DEF-1"), ("", "DEF-1", "DEF-1"),
    (None, "", None), (None, ABSENT, None)])
def test_audio_id_precedence(gb, monkeypatch, resolved, default, expected):
    lead = FakeSpeaker("d1", results={"search_audio_id": resolved})
    env = make_env(gb, monkeypatch, speakers=[lead], default_audio_id=default)
    if default is ABSENT:
        del env.config.default_audio_id
    asyncio.run(play(env))
    assert env.bridge._session_audio_id == expected
    assert lead.called("play_url")[0][0][1] == expected


@pytest.mark.parametrize("artwork", ["data:image/jpeg;base64,/9j", "", None])
def test_metadata_copy_carries_artwork_only_when_set(gb, monkeypatch, artwork):
    env = make_env(gb, monkeypatch)
    env.receiver.artwork = artwork
    original = dict(env.receiver.metadata)
    asyncio.run(play(env))
    sent = env.broadcast.events[0]["metadata"]
    assert sent == (dict(original, artwork=artwork) if artwork else original)
    assert env.hub.called("begin_session")[0][0][2] == sent
    assert env.receiver.metadata == original and sent is not env.receiver.metadata


@pytest.mark.parametrize("progress, expected", [
    ((12000, 180000), [(12000, 180000)]), ((0, None), [(0, None)]), ((None, 180000), []),
    ((1, 2, 3), ValueError)])
def test_progress_copied_only_when_position_known(gb, monkeypatch, vlog, progress, expected):
    env = make_env(gb, monkeypatch)
    env.receiver.progress = progress
    if expected is ValueError:  # a bad pair ends the start after the play request
        with pytest.raises(ValueError):
            asyncio.run(play(env))
        assert len(env.speakers[0].called("play_url")) == 1
        assert (env.broadcast.events, env.bridge._poll_task) == ([], None)
        assert ATTACHED not in lines(vlog)
    else:
        asyncio.run(play(env))
        assert [a for a, _ in env.hub.called("update_session_progress")] == expected
        assert len(env.broadcast.events) == 1


@pytest.mark.parametrize("case", ["busy hub", "no hub, no lease", "no hub, lease held"])
def test_refused_starts_send_nothing(gb, monkeypatch, vlog, case):
    hub = None if case.startswith("no hub") else FakeHub(lease=None)
    env = make_env(gb, monkeypatch, hub=hub)
    if case == "no hub, lease held":
        env.bridge._audio_lease = Lease(3)
    asyncio.run(play(env))
    b = env.bridge
    assert (b._airplay_active, b._stream_url, b._poll_task) == (True, STREAM, None)
    assert [s.called("play_url") for s in env.speakers] == [[], []]
    assert env.broadcast.events == []
    if case == "no hub, lease held":
        assert lines(vlog, "WARNING") == [
            ("WARNING", "Group Xiaomi target rejected AirPlay stream for Whole House")]
        assert b._audio_lease.session_id == 3
    else:
        assert lines(vlog, "WARNING") == [BUSY]
        assert [n for n, _, _ in env.timeline] == ([] if hub is None else ["acquire_source"])


def test_group_refusal_warns_then_still_announces_and_polls(gb, monkeypatch, vlog):
    speakers = [FakeSpeaker(d, results={"play_url": False}) for d in ("d1", "d2")]
    env = make_env(gb, monkeypatch, speakers=speakers, hub=FakeHub(session_id=12))
    asyncio.run(play(env))
    ours = [ln for ln in lines(vlog) if not ln[1].startswith("Group play_url pushed")]
    assert ours == [("WARNING", "Group Xiaomi Egress rejected: session_id=12"), ATTACHED]
    assert env.broadcast.events[0]["session_id"] == 12
    assert env.bridge._poll_task is not None


def _raising(event):
    raise ConnectionError("web down")


@pytest.mark.parametrize("failure", ["raises", "not awaitable", "missing"])
def test_broadcast_failure_is_swallowed_silently(gb, monkeypatch, vlog, failure):
    env = make_env(gb, monkeypatch)
    import vesbel.web.api as api

    if failure == "missing":
        monkeypatch.delattr(api, "broadcast_ws")
    else:
        monkeypatch.setattr(api, "broadcast_ws", _raising if failure == "raises" else len)
    asyncio.run(play(env))
    assert env.bridge._poll_task is not None
    assert lines(vlog)[-1] == ATTACHED and lines(vlog, "WARNING") == []


@pytest.mark.parametrize("overtaker", ["stop", "pause"])
@pytest.mark.parametrize("wait", ["search_audio_id", "play_url"])
def test_start_overtaken_at_a_wait_goes_no_further(gb, monkeypatch, vlog, wait, overtaker):
    lead = FakeSpeaker("d1", delays={wait: 0.03}, results={"search_audio_id": "AID-7"})
    env = make_env(gb, monkeypatch, speakers=[lead])
    env.receiver.progress = (5000, 60000)

    async def main():
        start = asyncio.create_task(env.bridge._play_on_target(STREAM))
        await until(lambda: wait in lead.started)
        await getattr(env.bridge, f"_{overtaker}_target")()
        await start

    asyncio.run(main())
    b, hub = env.bridge, env.hub
    assert [e["action"] for e in env.broadcast.events] == [overtaker]
    assert (b._airplay_active, b._poll_task) == (False, None)
    assert hub.called("update_session_progress") == []
    assert ATTACHED not in lines(vlog)
    moment = "while resolving the audio ID" if wait == "search_audio_id" else "while the speakers were told to play"
    assert ("INFO", f"Group AirPlay start given up: playback stopped or paused {moment}") in lines(vlog)
    assert len(hub.called("begin_session")) == (1 if wait == "play_url" else 0)
    assert len(lead.called("play_url")) == (1 if wait == "play_url" else 0)
    if overtaker == "stop":
        assert b._audio_lease is None and len(hub.called("release_source")) == 1
        assert b._session_audio_id is None  # the stop's clearing stands
    else:
        assert b._audio_lease is hub.lease and hub.called("release_source") == []
    assert len(hub.called("acquire_source")) == 1
