"""Catalogue audio ID lookup for the sender's current track."""

import asyncio
import logging
import sys

import pytest

from conftest import run
from fakes import FakeReceiver, FakeSpeaker, make_group

WARNING = "Group audio ID search error for %s: %s"
DOC = "从当前 AirPlay 元数据中解析并检索曲库匹配的 audioID。"


class SearchSpeaker(FakeSpeaker):
    """Records the search exactly as called: by position or by keyword."""

    def search_audio_id(self, *args, **kwargs):
        return self._op("search_audio_id", *args, **kwargs)


class WaitForSpy:
    """Stands in for the module's asyncio: records wait_for calls and
    delegates, optionally with a shorter time limit."""

    def __init__(self, timeout=None):
        self.calls = []
        self.timeout = timeout

    def __getattr__(self, name):
        return getattr(asyncio, name)

    def wait_for(self, aw, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.timeout is not None:
            args, kwargs = (), {"timeout": self.timeout}
        return asyncio.wait_for(aw, *args, **kwargs)


def make_bridge(gb, metadata, speakers=None, member_dids=None, **speaker_options):
    if speakers is None:
        speakers = [SearchSpeaker("a", **speaker_options)]
    controller, provider, config = make_group(gb, speakers, member_dids)
    bridge = gb.GroupBridge("10.0.0.2", controller, config=config)
    if metadata is not None:
        bridge.airplay_server = FakeReceiver()
        bridge.airplay_server.metadata = metadata
    return bridge, speakers, provider


def warnings_of(vlog):
    return [r for r in vlog.records if r.name == "vesbel" and r.msg == WARNING]


def test_docstring(gb):
    assert gb.GroupBridge._resolve_audio_id.__doc__ == DOC


@pytest.mark.parametrize(
    "metadata",
    [None, {}, {"artist": "Band"}, {"title": None, "artist": "Band"},
     {"title": "   \t\n", "artist": "Band"}, {"title": "", "artist": "Band"}, {"title": 0}],
    ids=["no-receiver", "empty", "no-title", "none-title", "blank-title", "empty-title", "zero-title"],
)
def test_no_title_means_no_search(gb, vlog, metadata):
    bridge, speakers, provider = make_bridge(gb, metadata)
    assert run(bridge._resolve_audio_id()) is None
    assert speakers[0].calls == [] and provider.calls == []
    assert vlog.records == []


@pytest.mark.parametrize(
    "metadata, searched",
    [
        ({"title": "  Song  ", "artist": "\tBand "}, ("Song", "Band")),
        ({"title": "Song"}, ("Song", "")),
        ({"title": "Song", "artist": None}, ("Song", "")),
        ({"title": 7, "artist": None}, ("7", "")),
        ({"title": " Song ", "artist": 12.5}, ("Song", "12.5")),
    ],
    ids=["stripped", "no-artist", "none-artist", "int-title", "float-artist"],
)
def test_only_the_first_member_is_asked_with_the_cleaned_fields(gb, monkeypatch, metadata, searched):
    spy = WaitForSpy()
    monkeypatch.setattr(gb, "asyncio", spy)
    first = SearchSpeaker("a", results={"search_audio_id": "aid-1"})
    others = [SearchSpeaker("b"), SearchSpeaker("c")]
    bridge, _, _ = make_bridge(gb, metadata, [first, *others])
    assert run(bridge._resolve_audio_id()) == "aid-1"
    assert first.calls == [("search_audio_id", searched, {"fuzzy_fallback": True})]
    assert first.calls[0][2]["fuzzy_fallback"] is True
    assert others[0].calls == [] and others[1].calls == []
    assert spy.calls == [((), {"timeout": 3.0})]
    assert type(spy.calls[0][1]["timeout"]) is float


def test_no_members_means_no_search(gb, vlog):
    bridge, speakers, provider = make_bridge(gb, {"title": "Song"}, member_dids=[])
    assert run(bridge._resolve_audio_id()) is None
    assert provider.names() == ["provider"] and speakers[0].calls == []
    assert vlog.records == []


@pytest.mark.parametrize(
    "found, expected, logged",
    [
        ("1234567", "1234567", False),
        (None, None, False),
        ("", None, False),
        (0, None, False),
        (42, None, True),
        (["aid"], None, True),
        (b"aid", None, True),
    ],
)
def test_search_results(gb, vlog, found, expected, logged):
    bridge, _, _ = make_bridge(gb, {"title": "Song"}, results={"search_audio_id": found})
    assert run(bridge._resolve_audio_id()) == expected
    assert [r.args[0] for r in warnings_of(vlog)] == (["Song"] if logged else [])


def test_failing_search_is_logged_and_gives_none(gb, vlog):
    error = RuntimeError("catalogue down")
    bridge, _, _ = make_bridge(gb, {"title": "Song"}, errors={"search_audio_id": error})
    assert run(bridge._resolve_audio_id()) is None
    (record,) = warnings_of(vlog)
    assert record.levelname == "WARNING"
    assert record.getMessage() == "Group audio ID search error for Song: catalogue down"


class Witness(logging.Handler):
    """Records where each record says it comes from and the error being handled as it is emitted."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def emit(self, record):
        self.seen.append((record.funcName, record.pathname, type(sys.exception()).__name__))


@pytest.mark.parametrize("answer, handled", [({"errors": {"search_audio_id": RuntimeError("down")}}, "RuntimeError"),
                                             ({"results": {"search_audio_id": 42}}, "TypeError")])
def test_the_warning_names_the_operation_and_sees_the_error_handled(gb, answer, handled):
    bridge, _, _ = make_bridge(gb, {"title": "Song"}, **answer)
    witness = Witness()
    logging.getLogger("vesbel").addHandler(witness)
    try:
        assert run(bridge._resolve_audio_id()) is None
    finally:
        logging.getLogger("vesbel").removeHandler(witness)
    ((function, path, seen),) = witness.seen
    assert (function, seen) == ("_resolve_audio_id", handled)
    assert path.endswith(("group_bridge.py", "<vesbel.group_bridge:group_bridge/bridge_resolve.cpp>"))


def test_slow_search_is_cancelled_logged_and_gives_none(gb, vlog, monkeypatch):
    monkeypatch.setattr(gb, "asyncio", WaitForSpy(timeout=0.02))
    bridge, speakers, _ = make_bridge(gb, {"title": " Song "}, delays={"search_audio_id": 30})
    assert run(bridge._resolve_audio_id()) is None
    assert speakers[0].cancelled == ["search_audio_id"]
    (record,) = warnings_of(vlog)
    assert record.levelname == "WARNING"
    assert record.args[0] == "Song" and str(record.args[1]) == ""
    assert record.getMessage() == "Group audio ID search error for Song: "


def test_cancellation_passes_through_and_cancels_the_search(gb, vlog):
    bridge, speakers, _ = make_bridge(gb, {"title": "Song"}, delays={"search_audio_id": 30})

    async def scenario():
        task = asyncio.ensure_future(bridge._resolve_audio_id())
        while "search_audio_id" not in speakers[0].started:
            await asyncio.sleep(0.001)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(scenario())
    assert speakers[0].cancelled == ["search_audio_id"]
    assert warnings_of(vlog) == []


class Stripping(str):
    """A title text whose strip() gives back something that is no str."""

    result = None

    def strip(self, *args):
        return Stripping.result


class OddTitle:
    def __str__(self):
        return Stripping("Song")


@pytest.mark.parametrize("stripped, searched", [(0, False), (None, False), ([], False), (7, True), (["x"], True)])
def test_a_strip_that_gives_no_str_is_judged_by_its_truth(gb, monkeypatch, stripped, searched):
    monkeypatch.setattr(Stripping, "result", stripped)
    bridge, speakers, _ = make_bridge(gb, {"title": OddTitle()}, results={"search_audio_id": "AID-1"})
    assert run(bridge._resolve_audio_id()) == ("AID-1" if searched else None)
    assert speakers[0].called("search_audio_id") == ([((stripped, ""), {"fuzzy_fallback": True})]
                                                     if searched else [])
