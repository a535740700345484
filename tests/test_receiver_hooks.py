"""The receiver's hooks, called from threads of their own while the loop runs."""

import asyncio
import concurrent.futures
import fractions
import gc
import itertools
import logging
import sys
import threading
import time
import types

import pytest

from playback_support import (STREAM, FakeHub, FakeSpeaker, broken_provider, lines, make_env,
                              mentions, vesbel_records)

RESUME_QUALNAME = "GroupBridge._on_play_resume.<locals>.resume"


class RecordingAsyncio:
    """The module's ``asyncio`` global, recording thread-safe submissions."""

    def __init__(self):
        self.submitted = []

    def __getattr__(self, name):
        return getattr(asyncio, name)

    def run_coroutine_threadsafe(self, coro, loop):
        future = asyncio.run_coroutine_threadsafe(coro, loop)
        self.submitted.append((coro.__qualname__, loop, future))
        return future


def record_plain_calls(loop):
    """Records the callbacks the bridge queues with ``call_soon_threadsafe``."""
    queued, real = [], loop.call_soon_threadsafe

    def call_soon_threadsafe(callback, *args, **kwargs):
        if getattr(callback, "__qualname__", "").startswith("GroupBridge"):
            queued.append(callback)
        return real(callback, *args, **kwargs)

    loop.call_soon_threadsafe = call_soon_threadsafe
    return queued


@pytest.fixture
def running_loop():
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever)
    thread.start()
    wait_until(loop.is_running)
    yield loop

    async def cancel_the_rest():
        rest = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        for task in rest:
            task.cancel()
        await asyncio.gather(*rest, return_exceptions=True)

    asyncio.run_coroutine_threadsafe(cancel_the_rest(), loop).result(5)
    loop.call_soon_threadsafe(loop.stop)
    thread.join(5)
    loop.close()


def wait_until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.002)


def from_receiver_thread(hook, *args):
    """Calls ``hook`` on a thread of its own; gives back what it returned or raised."""
    outcome = {}

    def call():
        try:
            outcome["returned"] = hook(*args)
        except Exception as exc:  # handed back to the test
            outcome["raised"] = exc

    thread = threading.Thread(target=call)
    thread.start()
    thread.join(5)
    assert not thread.is_alive(), "the hook held up the receiver's thread"
    return outcome


@pytest.fixture
def hooked(gb, monkeypatch):
    """A bridge with the module's asyncio and volume conversion recording."""
    aio = RecordingAsyncio()
    monkeypatch.setattr(gb, "asyncio", aio)
    conversions = []

    def convert(vol_db, default):
        conversions.append((vol_db, default))
        return 42

    monkeypatch.setattr(gb, "airplay_db_to_xiaomi_volume", convert)

    def build(loop=None, **env_args):
        env = make_env(gb, monkeypatch, **env_args)
        env.aio, env.conversions = aio, conversions
        env.queued = record_plain_calls(loop) if loop is not None else []
        env.bridge._loop = loop
        return env

    return build


SLOW = {"play_url": 30, "stop": 30, "pause": 30}


@pytest.mark.parametrize("hook, args, operation, speaker_op", [
    ("_on_play_start", (STREAM,), "GroupBridge._play_on_target", "play_url"),
    ("_on_play_stop", (), "GroupBridge._stop_target", "stop"),
    ("_on_play_pause", (), "GroupBridge._pause_target", "pause"),
])
def test_transport_hook_submits_its_operation_and_returns_at_once(
        hooked, running_loop, vlog, hook, args, operation, speaker_op):
    env = hooked(running_loop, speakers=[FakeSpeaker("d1", delays=SLOW)])
    speaker = env.speakers[0]
    assert from_receiver_thread(getattr(env.bridge, hook), *args) == {"returned": None}
    [(qualname, loop, future)] = env.aio.submitted
    assert (qualname, loop) == (operation, running_loop)
    wait_until(lambda: speaker_op in speaker.started)
    assert not future.done()  # the hook did not wait for the work it handed over
    future.cancel()
    wait_until(lambda: speaker_op in speaker.cancelled)
    assert lines(vlog, "WARNING") == []  # a cancelled hand-over is not a failure


@pytest.mark.parametrize("lease", [True, False])
@pytest.mark.parametrize("with_hub", [True, False])
def test_resume_runs_on_the_loop_only(hooked, running_loop, with_hub, lease):
    env = hooked(running_loop, hub=FakeHub() if with_hub else None)
    b = env.bridge
    b._stream_url = STREAM
    b._audio_lease = env.hub.lease if with_hub and lease else None
    release = threading.Event()
    running_loop.call_soon_threadsafe(release.wait, 5)  # keeps the loop busy

    assert from_receiver_thread(b._on_play_resume) == {"returned": None}
    assert b._airplay_active is False and b._poll_task is None
    assert [f.__qualname__ for f in env.queued] == [RESUME_QUALNAME]
    release.set()
    wait_until(lambda: b._airplay_active and env.speakers[1].called("resume"))
    first_poll = b._poll_task
    assert isinstance(first_poll, asyncio.Task)

    from_receiver_thread(b._on_play_resume)
    wait_until(lambda: len(env.speakers[1].called("resume")) == 2)
    assert b._poll_task is first_poll and not first_poll.done()
    assert env.aio.submitted == []
    if with_hub:
        assert env.hub.called("resume_source") == [((b._audio_lease,), {})] * 2


@pytest.mark.parametrize("hook, args", [
    ("_on_play_start", (STREAM,)), ("_on_play_stop", ()), ("_on_play_pause", ()),
    ("_on_play_resume", ()), ("_on_volume_change", (-20.0,))])
@pytest.mark.parametrize("loop_state", ["never started", "not running"])
def test_events_without_a_usable_loop_are_dropped(hooked, vlog, loop_state, hook, args):
    idle = asyncio.new_event_loop() if loop_state == "not running" else None
    try:
        env = hooked(idle)
        assert from_receiver_thread(getattr(env.bridge, hook), *args) == {"returned": None}
    finally:
        if idle is not None:
            idle.close()
    assert env.aio.submitted == [] and env.queued == [] and vlog.records == []
    assert env.bridge._airplay_active is False
    assert env.conversions == ([(-20.0, 40)] if hook == "_on_volume_change" else [])


def test_two_starts_in_a_row_submit_two_starts(hooked, running_loop):
    env = hooked(running_loop, receiver=False)
    for url in ("rtsp://sender/one", "rtsp://sender/two"):
        assert from_receiver_thread(env.bridge._on_play_start, url) == {"returned": None}
    assert [q for q, _, _ in env.aio.submitted] == ["GroupBridge._play_on_target"] * 2
    for _, _, future in env.aio.submitted:
        future.result(5)
    assert len(env.hub.called("begin_session")) == 2 and len(env.broadcast.events) == 2
    assert env.bridge._stream_url == "rtsp://sender/two"


@pytest.mark.parametrize("metadata, key", [
    ({"title": "T", "artist": "A", "album": "B"}, "T A B"),
    ({"title": "T"}, "T  "),
    ({}, "  "),
    ({"title": 7, "artist": 0, "album": None, "genre": "x"}, "7  "),
    ({"artist": "", "album": ["Live"]}, "  ['Live']"),
])
def test_track_key_and_payload_copy(hooked, metadata, key):
    env = hooked()
    before = dict(metadata)
    env.bridge._on_metadata_change(metadata, None)
    assert env.bridge._metadata_track_key == key
    [((payload,), _)] = env.hub.called("update_session_metadata")
    # a shallow copy: the receiver's dict is left alone, its values are shared
    assert payload is not metadata and metadata == before
    assert payload == dict(metadata, artwork="")
    assert all(payload[k] is v for k, v in metadata.items())


def test_metadata_goes_to_the_hub_set_when_it_is_sent(hooked):
    env = hooked()
    later_hub = FakeHub()

    class Title:
        def __str__(self):
            env.bridge.audio_hub = later_hub
            return "Song"

    env.bridge._on_metadata_change({"title": Title()}, None)
    assert env.hub.calls == [] and len(later_hub.called("update_session_metadata")) == 1


ABSENT = object()
SONG = {"title": "Song", "artist": "Band", "album": "LP"}


@pytest.mark.parametrize("same_track, carried, artwork, expected", [
    (False, ABSENT, None, ""),
    (False, "old-art", None, ""),
    (True, ABSENT, None, ABSENT),
    (True, "meta-art", None, "meta-art"),
    (True, ABSENT, "", ""),
    (True, "meta-art", "new-art", "new-art"),
    (False, ABSENT, "new-art", "new-art"),
])
def test_artwork_rules(hooked, same_track, carried, artwork, expected):
    env = hooked()
    env.bridge._metadata_track_key = "Song Band LP" if same_track else "Other  "
    metadata = dict(SONG) if carried is ABSENT else dict(SONG, artwork=carried)
    env.bridge._on_metadata_change(metadata, artwork)
    [((payload,), _)] = env.hub.called("update_session_metadata")
    assert payload.get("artwork", ABSENT) == expected
    assert env.bridge._metadata_track_key == "Song Band LP"


def test_metadata_and_progress_without_hub_do_nothing(hooked):
    env = hooked(hub=None)
    env.bridge._on_metadata_change({"title": "Song"}, "art")
    env.bridge._on_progress_change(1000, 2000)
    assert env.bridge._metadata_track_key == "" and env.timeline == []


class Text(str):
    pass


class Meta(dict):
    pass


@pytest.mark.parametrize("hook, args", [
    ("_on_play_start", (None,)), ("_on_play_start", (5,)), ("_on_play_start", (b"rtsp://x",)),
    ("_on_play_start", (Text("rtsp://x"),)),
    ("_on_metadata_change", (None, None)), ("_on_metadata_change", (Meta(), None)),
    ("_on_metadata_change", ([("title", "x")], None)), ("_on_metadata_change", ({}, b"art")),
    ("_on_metadata_change", ({}, 5)), ("_on_metadata_change", ({}, Text("art"))),
    ("_on_progress_change", ("12000", None)), ("_on_progress_change", (None, 5)),
    ("_on_progress_change", (5, "10")),
    ("_on_volume_change", ("-12.5",)), ("_on_volume_change", (None,)),
])
def test_hooks_refuse_wrong_types_on_the_receivers_thread(hooked, running_loop, hook, args):
    env = hooked(running_loop)
    outcome = from_receiver_thread(getattr(env.bridge, hook), *args)
    assert isinstance(outcome.get("raised"), TypeError)
    assert env.aio.submitted == [] and env.hub.calls == [] and env.conversions == []
    assert (env.bridge._stream_url, env.bridge._metadata_track_key) == ("", "")


@pytest.mark.parametrize("position, duration, expected", [
    (12000, 180000, (12000, 180000)), (12000.9, None, (12000, None)), (True, 3.7, (1, 3)),
    (-2.5, 10, (-2, 10))])
def test_progress_hook_passes_whole_milliseconds(hooked, position, duration, expected):
    env = hooked()
    env.bridge._on_progress_change(position, duration)
    [(args, _)] = env.hub.called("update_session_progress")
    assert args == expected and all(type(a) is int for a in args if a is not None)


@pytest.mark.parametrize("with_config, vol_db, expected", [
    (True, -20, (-20.0, 40.5)),
    (False, fractions.Fraction(-41, 2), (-20.5, 30)),
])
def test_volume_is_converted_then_sent_to_the_group(hooked, running_loop, with_config,
                                                    vol_db, expected):
    env = hooked(running_loop, default_xiaomi_volume=40.5)
    if not with_config:
        env.bridge.config = None
    for _ in range(2):
        assert from_receiver_thread(env.bridge._on_volume_change, vol_db) == {"returned": None}
    assert env.conversions == [expected] * 2 and type(env.conversions[0][0]) is float
    assert [q for q, _, _ in env.aio.submitted] == ["GroupController.set_volume"] * 2
    for _, loop, future in env.aio.submitted:
        assert loop is running_loop and future.result(5) is True
    assert env.speakers[0].called("set_volume") == [((42,), {})] * 2


@pytest.mark.parametrize("hook, args, hub_errors", [
    ("_on_play_start", (STREAM,), {"acquire_source"}),
    ("_on_play_stop", (), {"get_session"}),
    ("_on_play_pause", (), {"get_session"}),
    ("_on_volume_change", (-10.0,), set()),
])
def test_failed_hand_over_is_logged_as_warning(gb, hooked, running_loop, vlog, hook, args,
                                               hub_errors):
    hub = FakeHub(errors={n: RuntimeError("handover failed") for n in hub_errors})
    env = hooked(running_loop, hub=hub)
    env.bridge.controller = gb.GroupController(env.config, broken_provider)
    assert from_receiver_thread(getattr(env.bridge, hook), *args) == {"returned": None}
    wait_until(lambda: lines(vlog, "WARNING"))
    [warning] = vesbel_records(vlog, "WARNING")
    assert mentions(warning, "handover failed")


@pytest.mark.parametrize("operation, profiler", [
    ("module", None), ("python", None),
    pytest.param("module, asyncio's own", None, marks=pytest.mark.module_only),
    pytest.param("module, asyncio's own", lambda *args: None, marks=pytest.mark.module_only, id="profiled"),
])
def test_failed_hand_over_is_logged_once_naming_the_operation(gb, hooked, running_loop, vlog, monkeypatch, operation,
                                                              profiler):
    # Handed to asyncio's own run_coroutine_threadsafe, the module's own
    # operation logs its failure itself as it ends, a profiler watching or
    # not; otherwise, and for one written in Python (here a subclass's), the
    # hand-over's done-callback logs it.
    env = hooked(running_loop, hub=FakeHub(errors={"get_session": RuntimeError("hub down")}))
    if operation == "python":
        class Bridge(gb.GroupBridge):
            async def _stop_target(self):
                raise RuntimeError("hub down")

        env.bridge.__class__ = Bridge
    elif operation != "module":
        monkeypatch.setattr(gb, "asyncio", asyncio)
    sys.setprofile(profiler)
    try:
        assert from_receiver_thread(env.bridge._on_play_stop) == {"returned": None}
        wait_until(lambda: lines(vlog, "WARNING"))
    finally:
        sys.setprofile(None)
    time.sleep(0.05)  # a second line, if any, would come now
    name = Bridge._stop_target.__qualname__ if operation == "python" else "GroupBridge._stop_target"
    assert lines(vlog, "WARNING") == [("WARNING", f"Group bridge {name} failed: RuntimeError('hub down')")]
    assert (vesbel_records(vlog, "WARNING")[0].funcName == "_stop_target") == (operation == "module, asyncio's own")


@pytest.mark.parametrize("wrapper, failing_hub, logged", [
    ("handles", True, []),  # the host's wrapper swallows the operation's failure
    ("adds", False, ["Group bridge GroupBridge._stop_target failed: LookupError('time limit')"]),
])
def test_a_replaced_run_coroutine_threadsafe_decides_what_is_logged(gb, hooked, running_loop, vlog, wrapper,
                                                                     failing_hub, logged):
    hub = FakeHub(errors={"get_session": RuntimeError("hub down")} if failing_hub else {})
    env = hooked(running_loop, hub=hub)

    def run_coroutine_threadsafe(operation, loop):
        async def wrapped():
            try:
                await operation
            except RuntimeError:
                return
            raise LookupError("time limit")

        return asyncio.run_coroutine_threadsafe(wrapped(), loop)

    env.aio.run_coroutine_threadsafe = run_coroutine_threadsafe
    assert from_receiver_thread(env.bridge._on_play_stop) == {"returned": None}
    time.sleep(0.1)
    assert [message for _, message in lines(vlog, "WARNING")] == logged


def test_an_interrupt_while_a_failed_hand_over_is_logged_reaches_the_host(gb, monkeypatch):
    class Interrupting(logging.Handler):
        def emit(self, record):
            if record.getMessage().startswith("Group bridge"):
                raise KeyboardInterrupt

    env = make_env(gb, monkeypatch, hub=FakeHub(errors={"get_session": RuntimeError("hub down")}))
    loop = asyncio.new_event_loop()
    env.bridge._loop = loop
    handler = Interrupting()
    logging.getLogger("vesbel").addHandler(handler)

    async def main():
        env.bridge._on_play_stop()
        await asyncio.sleep(1)

    try:
        with pytest.raises(KeyboardInterrupt):
            loop.run_until_complete(main())
    finally:
        logging.getLogger("vesbel").removeHandler(handler)
        for task in asyncio.all_tasks(loop):
            task.cancel()
        loop.run_until_complete(asyncio.sleep(0))
        loop.close()


def test_hand_overs_of_ever_new_operation_names_keep_nothing(gb, monkeypatch):
    # A tracing subclass gives every operation a name of its own; each
    # hand-over's done-callback runs at once and is then dropped with its future.
    names = itertools.count()

    class Traced(gb.GroupBridge):
        def _stop_target(self):
            async def traced():
                pass

            operation = traced()
            operation.__qualname__ = f"Traced._stop_target#{next(names)}"
            return operation

    def run_coroutine_threadsafe(operation, loop):
        operation.close()
        done = concurrent.futures.Future()
        done.set_result(None)
        return done

    monkeypatch.setattr(gb, "asyncio", types.SimpleNamespace(run_coroutine_threadsafe=run_coroutine_threadsafe))
    bridge = Traced("h", None)
    bridge._loop = types.SimpleNamespace(is_running=lambda: True)
    events, samples = 300, []
    for _ in range(5):
        for _ in range(events):
            bridge._on_play_stop()
        gc.collect()
        samples.append(sys.getallocatedblocks() - sys.getunicodeinternedsize())
    deltas = [b - a for a, b in zip(samples[1:], samples[2:])]  # the first round warms up
    assert not all(delta >= events for delta in deltas), f"blocks grew by {deltas} per {events} events"
