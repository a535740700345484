"""The group-state poll and its automatic resume after an interruption.

Time is simulated (fake clock, sleeps that advance it), so a cycle takes milliseconds.
"""

import asyncio
import types

import pytest

from conftest import run
from fakes import FakeReceiver, FakeSpeaker, make_group

START = 1_700_000_000.75
INTERRUPTED = "[Group] 全屋播放检测到中断，等待后自动续播..."


class AsyncioProxy:
    """The module's asyncio: ``sleep`` records its delay and moves the clock (delays in
    ``blocking`` wait for good); ``wait_for`` records its limit and scales it down."""

    def __init__(self, clock, scale=0.0025):  # 8 s becomes 20 ms
        self.clock = clock
        self.scale = scale
        self.sleeps = []
        self.limits = []
        self.blocking = set()
        self.on_sleep = None

    def __getattr__(self, name):
        return getattr(asyncio, name)

    async def sleep(self, delay, result=None):
        self.sleeps.append(delay)
        if delay in self.blocking:
            await asyncio.sleep(30)
        self.clock.now += delay
        if self.on_sleep:
            self.on_sleep(delay)
        await asyncio.sleep(0.001)
        return result

    def wait_for(self, aw, timeout):
        self.limits.append(timeout)
        return asyncio.wait_for(aw, timeout * self.scale)


class WatchedSpeaker(FakeSpeaker):
    """Notes the clock at each status reading, and clock and grace deadline at each play."""

    def __init__(self, clock, **options):
        super().__init__("sp1", **options)
        self.clock = clock
        self.bridge = None
        self.status_times = []
        self.play_moments = []

    def get_status(self):
        self.status_times.append(self.clock.now)
        return super().get_status()

    def play_url(self, url, audio_id):
        self.play_moments.append((self.clock.now, self.bridge._play_grace_until))
        return super().play_url(url, audio_id)


@pytest.fixture
def rig(gb, monkeypatch):
    clock = types.SimpleNamespace(now=START)
    proxy = AsyncioProxy(clock)
    monkeypatch.setattr(gb, "time", types.SimpleNamespace(time=lambda: clock.now))
    monkeypatch.setattr(gb, "asyncio", proxy)
    speaker = WatchedSpeaker(clock, results={"get_status": {"status": 0}})
    controller, _, config = make_group(gb, [speaker])
    bridge = gb.GroupBridge("10.0.0.2", controller, config=config)
    speaker.bridge = bridge
    bridge.airplay_server = FakeReceiver()
    bridge.airplay_server.is_playing = True
    bridge._airplay_active = True
    bridge._stream_url = "http://10.0.0.2:7000/live.wav?token=1"
    bridge._session_audio_id = "aid-9"
    return types.SimpleNamespace(clock=clock, proxy=proxy, speaker=speaker, bridge=bridge)


async def until(condition, limit=3.0):
    deadline = asyncio.get_running_loop().time() + limit
    while not condition():
        assert asyncio.get_running_loop().time() < deadline, "poll never got there"
        await asyncio.sleep(0.001)


async def finish(task):
    task.cancel()
    await asyncio.wait({task})


def poll_while(rig, condition):
    """Starts the poll, waits for ``condition``, checks that the poll is still
    running, then cancels it."""

    async def scenario():
        rig.bridge._start_poll()
        task = rig.bridge._poll_task
        try:
            await until(condition)
            assert not task.done(), "the poll ended by itself"
        finally:
            await finish(task)

    run(scenario())


def interruption_lines(vlog):
    return [r for r in vlog.records if r.name == "vesbel" and r.getMessage() == INTERRUPTED]


def test_start_poll_twice_leaves_one_task(rig):
    async def scenario():
        rig.bridge._start_poll()
        task = rig.bridge._poll_task
        rig.bridge._start_poll()
        assert rig.bridge._poll_task is task
        assert asyncio.all_tasks() - {asyncio.current_task()} == {task}
        await finish(task)
        rig.bridge._start_poll()
        assert rig.bridge._poll_task is not task
        await finish(rig.bridge._poll_task)

    run(scenario())


@pytest.mark.parametrize(
    "grace_until, first_reading, playing",
    [(0.0, START + 3, 1), (START + 10.0, START + 12, 1.0), (START + 12, START + 12, 1),
     (START + 12.5, START + 15, 1.0)],
)
def test_no_status_reading_before_the_grace_deadline(rig, vlog, grace_until, first_reading, playing):
    rig.speaker.results["get_status"] = {"status": playing, "volume": 30}
    rig.bridge._play_grace_until = grace_until
    poll_while(rig, lambda: len(rig.speaker.status_times) >= 3)
    assert rig.speaker.status_times[:3] == [first_reading, first_reading + 3, first_reading + 6]
    assert set(rig.proxy.sleeps) == {3}
    assert rig.speaker.called("play_url") == [] and interruption_lines(vlog) == []


@pytest.mark.parametrize(
    "stream_url, base",
    [
        ("http://10.0.0.2:7000/live.wav?token=1", "http://10.0.0.2:7000/live.wav"),
        ("http://10.0.0.2:7000/live.wav", "http://10.0.0.2:7000/live.wav"),
        ("http://h/a?b=1?c=2", "http://h/a"),
    ],
)
@pytest.mark.parametrize("status", [{"status": 0}, {"status": 2}, {"volume": 50}], ids=["0", "2", "missing"])
def test_one_reading_not_playing_resumes_the_stream(rig, vlog, stream_url, base, status):
    rig.bridge._stream_url = stream_url
    rig.speaker.results["get_status"] = status
    poll_while(rig, lambda: "play_url" in rig.speaker.finished)
    assert rig.speaker.status_times == [START + 3]
    assert rig.proxy.sleeps[:2] == [3, 4] and rig.proxy.limits == [8]
    (line,) = interruption_lines(vlog)
    assert line.levelname == "INFO"
    assert rig.speaker.called("play_url") == [((base + "?sid=1700000007", "aid-9"), {})]
    assert rig.speaker.play_moments == [(START + 7, START + 7 + 10.0)]


def test_group_keeps_being_resumed_after_each_grace_period_even_without_receiver(rig):
    rig.bridge.airplay_server = None
    poll_while(rig, lambda: len(rig.speaker.play_moments) >= 2)
    first, second = rig.speaker.play_moments[:2]
    assert second[0] == first[0] + 12 + 4
    assert rig.speaker.status_times[:2] == [START + 3, START + 19]


@pytest.mark.parametrize("broken", ["time_out", "no_record", "bad_audio_id"])
def test_failures_while_judging_are_swallowed_and_the_poll_goes_on(rig, vlog, broken):
    if broken == "time_out":
        rig.speaker.delays["get_status"] = 30
    elif broken == "no_record":
        rig.speaker.results["get_status"] = None
    else:
        rig.bridge._session_audio_id = 5  # the group refuses it with a TypeError
    poll_while(rig, lambda: len(rig.speaker.status_times) >= 2)
    assert rig.speaker.called("play_url") == []
    assert [r for r in vlog.records if r.levelname == "WARNING"] == []
    if broken == "bad_audio_id":
        assert rig.speaker.status_times[:2] == [START + 3, START + 19]
        assert len(interruption_lines(vlog)) >= 1
    else:  # a failed reading is not an interruption: the next cycle reads again
        assert rig.speaker.status_times[:2] == [START + 3, START + 6]
        assert interruption_lines(vlog) == [] and set(rig.proxy.limits) == {8}
        assert rig.speaker.cancelled[:1] == (["get_status"] if broken == "time_out" else [])


STOPPERS = {
    "inactive": lambda b: setattr(b, "_airplay_active", False),
    "no_url": lambda b: setattr(b, "_stream_url", ""),
    "sender_stopped": lambda b: setattr(b.airplay_server, "is_playing", False),
}


@pytest.mark.parametrize("stopper", STOPPERS)
@pytest.mark.parametrize("during", [0, 3, 4], ids=["before_start", "interval", "resume_wait"])
def test_poll_ends_by_itself_when_playback_is_over(rig, stopper, during):
    if during:
        rig.proxy.on_sleep = lambda delay: delay == during and STOPPERS[stopper](rig.bridge)
    else:
        STOPPERS[stopper](rig.bridge)

    async def scenario():
        rig.bridge._start_poll()
        task = rig.bridge._poll_task
        await until(task.done)
        assert not task.cancelled() and task.result() is None

    run(scenario())
    assert rig.speaker.called("play_url") == []
    assert len(rig.speaker.status_times) == (1 if during == 4 else 0)
    if not during and stopper != "sender_stopped":
        assert rig.proxy.sleeps == []


@pytest.mark.parametrize("where", ["interval", "status", "resume_wait", "resume_request"])
def test_cancellation_ends_the_poll_quietly_wherever_it_waits(rig, where):
    blocked_sleep = {"interval": 3, "resume_wait": 4}.get(where)
    slow_request = {"status": "get_status", "resume_request": "play_url"}.get(where)
    if blocked_sleep:
        rig.proxy.blocking.add(blocked_sleep)
    else:
        rig.speaker.delays[slow_request] = 30
        rig.proxy.scale = 1.0

    def reached():
        if blocked_sleep:
            return rig.proxy.sleeps[-1:] == [blocked_sleep]
        return slow_request in rig.speaker.started

    async def scenario():
        rig.bridge._start_poll()
        task = rig.bridge._poll_task
        await until(reached)
        task.cancel()
        await asyncio.wait({task})
        assert not task.cancelled() and task.result() is None

    run(scenario())
    assert rig.speaker.cancelled == ([slow_request] if slow_request else [])
    assert rig.speaker.finished == (["get_status"] if where in ("resume_wait", "resume_request") else [])


def test_resume_goes_to_the_controller_set_when_it_is_sent(gb, rig):
    # the controller is read at the moment of each use, not kept across the waits
    newcomer = FakeSpeaker("n1")
    replacement, _, _ = make_group(gb, [newcomer])
    rig.proxy.on_sleep = lambda delay: delay == 4 and setattr(rig.bridge, "controller", replacement)
    poll_while(rig, lambda: "play_url" in newcomer.finished)
    assert rig.speaker.called("play_url") == []
    assert newcomer.called("play_url") == [((rig.bridge._stream_url.split("?")[0] + "?sid=1700000007", "aid-9"), {})]


def test_the_clock_is_read_before_the_grace_deadline(gb, rig):
    reads = []

    class Watched(gb.GroupBridge):
        @property
        def _play_grace_until(self):
            reads.append("deadline")
            return self.__dict__["grace"]

        @_play_grace_until.setter
        def _play_grace_until(self, value):
            self.__dict__["grace"] = value

    clock = rig.clock
    gb.time.time = lambda: reads.append("clock") or clock.now
    rig.bridge.__class__ = Watched
    rig.bridge._play_grace_until = START + 100
    poll_while(rig, lambda: len(reads) >= 2)
    assert reads[:2] == ["clock", "deadline"]
