"""One round of everything the module does, for the soak, the thread storm and
the memcheck scenario.

Each round builds fresh speakers, hub, controller and bridge, drives them
through group commands (with failing, slow and cancelled members, time-outs
and never-awaited coroutines), the bridge's lifecycle with its receiver hooks
called from another thread, playback start, pause, resume, the state poll and
stop, and hands back weak references to what it built so a caller can check
that all of it is freed.
"""

import asyncio
import logging
import pathlib
import sys
import types
import weakref

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Appended, so that a build placed first on PYTHONPATH (the sanitizer run)
# is the "vesbel" imported.
sys.path.append(str(ROOT / "tests"))
sys.path.append(str(ROOT))

from fakes import FakeHub, FakeSpeaker, NoResumeSpeaker, make_group  # noqa: E402

STREAM = "rtsp://sender.local/stream?token=9"


def load_module(impl="module"):
    """``vesbel.group_bridge``: the built module, or the plain-Python baseline."""
    if impl == "baseline":
        from bench.baseline.loader import load_baseline

        return load_baseline()
    import vesbel.group_bridge as module

    return module


def quiet_log():
    """Log records are still made and formatted, but neither printed nor kept;
    gives back a function that puts the logger as it was."""

    class Formatting(logging.Handler):
        def emit(self, record):
            self.format(record)

    logger = logging.getLogger("vesbel")
    saved = logger.handlers, logger.propagate, logger.level
    logger.handlers, logger.propagate = [Formatting()], False
    logger.setLevel(logging.INFO)

    def restore():
        logger.handlers, logger.propagate = saved[0], saved[1]
        logger.setLevel(saved[2])

    return restore


class QuickReceiver:
    """Stands in for ``AirPlayServer``: starts and stops at once."""

    def __init__(self, host, name, zeroconf=None, speaker_hardware=""):
        self.args = (host, name, zeroconf, speaker_hardware)
        self.rtsp_port = 7000
        self.is_playing = True
        self.client_name = "phone"
        self.metadata = {"title": "Song", "artist": "Band"}
        self.artwork = "art.png"
        self.progress = (1200, 180000)

    async def start(self):
        await asyncio.sleep(0)

    async def stop(self):
        await asyncio.sleep(0)


class FastClock:
    """The module's ``asyncio`` and ``time``: every sleep moves a fake clock and
    waits a tiny real time, every time limit is scaled down, so the poll's
    seconds-long cycles (and the audio ID search's limit) pass in milliseconds."""

    def __init__(self, scale=0.0002):
        self.now = 1_700_000_000.0
        self.scale = scale
        clock = self

        class Asyncio:
            def __getattr__(self, name):
                return getattr(asyncio, name)

            async def sleep(self, delay, result=None):
                clock.now += delay
                await asyncio.sleep(delay * clock.scale)
                return result

            def wait_for(self, aw, timeout):
                return asyncio.wait_for(aw, timeout * clock.scale)

        self.asyncio = Asyncio()
        self.time = types.SimpleNamespace(time=lambda: clock.now)

    def install(self, gb):
        saved = gb.asyncio, gb.time
        gb.asyncio, gb.time = self.asyncio, self.time
        return lambda: (setattr(gb, "asyncio", saved[0]), setattr(gb, "time", saved[1]))


async def broadcast_nowhere(event):
    await asyncio.sleep(0)


def install_receiver_and_broadcast(gb):
    """Patches in the quick receiver and a silent web-socket broadcast; gives
    back a function that puts the originals back."""
    import vesbel.web.api as api

    saved = gb.AirPlayServer, api.broadcast_ws
    gb.AirPlayServer, api.broadcast_ws = QuickReceiver, broadcast_nowhere
    return lambda: (setattr(gb, "AirPlayServer", saved[0]), setattr(api, "broadcast_ws", saved[1]))


async def settle(timeout=5.0):
    """Waits until no task but the caller's is left on the loop."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    me = asyncio.current_task()
    while any(t is not me for t in asyncio.all_tasks()):
        if loop.time() > deadline:
            raise RuntimeError(f"tasks still running: {asyncio.all_tasks() - {me}}")
        await asyncio.sleep(0.0005)


async def group_commands(gb):
    """Every group command over good, failing, slow and resume-less members."""
    speakers = [
        FakeSpeaker("ok", results={"get_status": {"status": 1}}),
        FakeSpeaker("bad", errors={op: RuntimeError(op) for op in FakeSpeaker.DEFAULT_RESULTS}),
        NoResumeSpeaker("old"),
    ]
    controller, _, _ = make_group(gb, speakers)
    await controller.play_url("http://h/a.wav", "AID")
    await controller.play_url("http://h/a.wav")
    await controller.stop()
    await controller.pause()
    await controller.resume()
    await controller.set_volume(37.9)
    await controller.get_status()
    speakers[0].errors["get_status"] = ValueError("status")
    await controller.get_status()
    empty, _, _ = make_group(gb, [])
    await empty.play_url("http://h/a.wav")
    await empty.get_status()
    for refused in (lambda: controller.play_url(b"x"), lambda: controller.set_volume("9")):
        try:
            refused()
        except TypeError:
            pass
    return [controller, empty, *speakers]


async def cancelled_and_timed_out(gb):
    """A command cancelled while members run, one cut off by a time limit, and
    coroutines that are created and closed without ever running."""
    slow = FakeSpeaker("slow", delays={"play_url": 10, "stop": 10, "get_status": 10})
    controller, _, _ = make_group(gb, [FakeSpeaker("quick"), slow])
    task = asyncio.ensure_future(controller.play_url("http://h/a.wav", None))
    await asyncio.sleep(0.001)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass
    try:
        await asyncio.wait_for(controller.stop(), 0.001)
    except TimeoutError:
        pass
    task = asyncio.ensure_future(controller.get_status())
    await asyncio.sleep(0)
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)
    for make in (controller.stop, controller.pause, controller.resume, controller.get_status,
                 lambda: controller.play_url("u"), lambda: controller.set_volume(3)):
        make().close()
    return [controller, slow]


def call_hooks(bridge, hooks):
    """Runs on a thread of its own, as the receiver does."""
    for name, args in hooks:
        getattr(bridge, name)(*args)


async def bridge_session(gb, clock):
    """Start, play, pause, resume, volume, metadata, progress and stop, the
    hooks called from another thread while the loop runs, then the same
    operations awaited directly, and a search that times out."""
    loop = asyncio.get_running_loop()
    slow_search = FakeSpeaker("s1", delays={"search_audio_id": 10},
                              results={"get_status": {"status": 0}})
    speakers = [slow_search, FakeSpeaker("s2", errors={"pause": RuntimeError("pause")})]
    controller, _, config = make_group(gb, speakers, default_audio_id="DEF")
    hub = FakeHub()
    bridge = gb.GroupBridge("10.0.0.2", controller, None, config, hub)
    await bridge.start()
    await loop.run_in_executor(None, call_hooks, bridge, [
        ("_on_metadata_change", ({"title": "Song", "artist": "Band"}, "art.png")),
        ("_on_progress_change", (1000.7, 180000)),
        ("_on_volume_change", (-12.5,)),
        ("_on_play_start", (STREAM,)),
    ])
    await until(lambda: bridge._poll_task is not None)
    clock.now += 60  # past the grace period: the poll judges and resumes
    await until(lambda: len(speakers[1].called("play_url")) >= 2)
    await loop.run_in_executor(None, call_hooks, bridge, [
        ("_on_play_pause", ()), ("_on_play_resume", ()), ("_on_play_stop", ()),
    ])
    await until(lambda: not bridge._airplay_active and bridge._poll_task is None)
    await bridge._play_on_target(STREAM)
    await bridge._pause_target()
    bridge._start_poll()
    await bridge._stop_target()
    await bridge._resolve_audio_id()
    for make in (bridge.start, bridge.stop, bridge._stop_target, bridge._pause_target,
                 bridge._resolve_audio_id, lambda: bridge._play_on_target(STREAM)):
        make().close()
    bridge.snapshot()
    await bridge.stop()
    return [bridge, controller, hub, *speakers]


async def until(predicate, timeout=5.0):
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while not predicate():
        if loop.time() > deadline:
            raise RuntimeError("condition not reached")
        await asyncio.sleep(0.0005)


async def one_round(gb, clock):
    """One round of every operation; gives back weak references to all it built."""
    built = await group_commands(gb)
    built += await cancelled_and_timed_out(gb)
    built += await bridge_session(gb, clock)
    await settle()
    return [weakref.ref(obj) for obj in built]
