"""How long each receiver hook takes to return on a foreign thread while the
bridge's loop runs on a thread of its own, against the bare hand-over a hook
cannot do without: `run_coroutine_threadsafe` (hooks that hand a coroutine to
the loop) or `call_soon_threadsafe` (the rest).

Every call is timed on its own, while the loop's thread is inside a callback
that waits without holding the GIL: the loop is running, but does not take
the GIL from the caller half-way (the self-pipe write releases it), which
would time the loop's work instead of the hook's.  Then the loop is let go
and left to finish what the call handed it, outside the timing."""

import asyncio
import threading
import time

from _fakes import STREAM, make_bridge, make_speakers, patch_broadcast
from _impls import has
from _measure import alternate
from _report import figure

COROUTINE = "rcts"  # floor: asyncio.run_coroutine_threadsafe(trivial coroutine)
CALLBACK = "csts"  # floor: loop.call_soon_threadsafe(trivial callback)
FLOOR_LEGEND = {COROUTINE: "bare run_coroutine_threadsafe", CALLBACK: "bare call_soon_threadsafe"}

METADATA = {"title": "Song", "artist": "Band", "album": "LP"}
HOOKS = (
    ("_on_play_start", (STREAM,), COROUTINE),
    ("_on_play_stop", (), COROUTINE),
    ("_on_play_pause", (), COROUTINE),
    ("_on_play_resume", (), CALLBACK),
    ("_on_volume_change", (-15.0,), COROUTINE),
    ("_on_metadata_change", (METADATA, None), CALLBACK),
    ("_on_progress_change", (1000, 200000), CALLBACK),
)


class LoopThread:
    """An event loop running forever on a thread of its own."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        while not self.loop.is_running():
            time.sleep(0.001)

    def hold(self):
        """Parks the loop in a callback until the returned event is set."""
        parked, release = threading.Event(), threading.Event()

        def wait():
            parked.set()
            release.wait(5)

        self.loop.call_soon_threadsafe(wait)
        parked.wait(5)
        return release

    def settle(self):
        """Waits until the loop has run what was handed to it."""
        asyncio.run_coroutine_threadsafe(_a_few_turns(), self.loop).result(5)

    def close(self):
        asyncio.run_coroutine_threadsafe(_cancel_the_rest(), self.loop).result(5)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        self.loop.close()


async def _a_few_turns():
    for _ in range(10):
        await asyncio.sleep(0)


async def _cancel_the_rest():
    rest = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
    for task in rest:
        task.cancel()
    await asyncio.gather(*rest, return_exceptions=True)


async def _nothing():
    pass


def _noop():
    pass


def _timed_call(call, runner):
    def run():
        release = runner.hold()
        start = time.perf_counter()
        call()
        elapsed = time.perf_counter() - start
        release.set()
        runner.settle()
        return elapsed

    return run


def figures(impls, settings):
    runner = LoopThread()
    undo = patch_broadcast()
    try:
        loop = runner.loop
        bridges = {}
        for label, impl in impls.items():
            if has(impl, "GroupBridge", "snapshot"):
                bridges[label] = make_bridge(impl, make_speakers(2))
                bridges[label]._loop = loop
        floors = {
            COROUTINE: lambda: asyncio.run_coroutine_threadsafe(_nothing(), loop),
            CALLBACK: lambda: loop.call_soon_threadsafe(_noop),
        }
        result = []
        for name, args, floor in HOOKS:
            candidates = {}
            for label, impl in impls.items():
                bridge = bridges.get(label)
                hook = getattr(bridge, name, None) if has(impl, "GroupBridge", name) else None
                candidates[label] = None if hook is None else _timed_call(
                    lambda hook=hook: hook(*args), runner)
            candidates["floor"] = _timed_call(floors[floor], runner)
            result.append(figure(f"{name}() [{floor}]", alternate(candidates, settings.hook_calls)))
        return result
    finally:
        undo()
        runner.close()
