"""A full start + stop cycle: `_play_on_target(url)` then `_stop_target()`,
with an instant hub and 10 instant speakers, the web-socket push replaced by
an instant coroutine, and the real poll task started by the start and
cancelled by the stop.

Its floor is the same cycle's asyncio work alone, with none of the bridge's
own logic: the audio-ID search under `wait_for`, the two fan-outs by bare
`gather`, the two broadcasts as background tasks, and a poll task started,
cancelled and awaited.  No implementation can go below it without doing
less asyncio work, so it bounds the speed-up either can show."""

import asyncio
import time

from _fakes import STREAM, instant_broadcast, make_bridge, make_speakers, patch_broadcast
from _impls import has
from _measure import alternate
from _report import figure


async def _cycles(bridge, count):
    start = time.perf_counter()
    for _ in range(count):
        await bridge._play_on_target(STREAM)
        await bridge._stop_target()
    return (time.perf_counter() - start) / count


async def asyncio_work_once(speakers):
    """One cycle's asyncio work with none of the bridge's own logic."""
    await asyncio.wait_for(speakers[0].search_audio_id("Song", "Band", fuzzy_fallback=True), timeout=3.0)
    await asyncio.gather(*[s.play_url(STREAM, "AID-1") for s in speakers], return_exceptions=True)
    asyncio.ensure_future(instant_broadcast({"action": "play_url"}))
    poll = asyncio.get_running_loop().create_task(asyncio.sleep(3))
    asyncio.ensure_future(instant_broadcast({"action": "stop"}))
    poll.cancel()
    try:
        await poll
    except asyncio.CancelledError:
        pass
    await asyncio.gather(*[s.stop() for s in speakers], return_exceptions=True)


async def _asyncio_work_alone(speakers, count):
    start = time.perf_counter()
    for _ in range(count):
        await asyncio_work_once(speakers)
    return (time.perf_counter() - start) / count


async def _polls_while_playing(bridge):
    """Whether one cycle of ``bridge`` starts the poll task and its stop ends it."""
    await bridge._play_on_target(STREAM)
    task = getattr(bridge, "_poll_task", None)
    running = task is not None and not task.done()
    await bridge._stop_target()
    return running and task.done() and getattr(bridge, "_poll_task", 0) is None


async def _cancel_the_rest():
    rest = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
    for task in rest:
        task.cancel()
    await asyncio.gather(*rest, return_exceptions=True)


def figures(impls, settings, notes):
    loop = asyncio.new_event_loop()
    undo = patch_broadcast()
    try:
        candidates = {}
        for label, impl in impls.items():
            candidates[label] = None
            if not has(impl, "GroupBridge", "_play_on_target", "_stop_target", "_start_poll"):
                continue
            bridge = make_bridge(impl, make_speakers(10))
            if not loop.run_until_complete(_polls_while_playing(bridge)):
                notes.append(f"start+stop cycle: {label} did not start and end its poll task")
                continue
            candidates[label] = (lambda bridge=bridge: loop.run_until_complete(
                _cycles(bridge, settings.cycles)))
        speakers = make_speakers(10)
        candidates["floor"] = lambda: loop.run_until_complete(
            _asyncio_work_alone(speakers, settings.cycles))
        timings = alternate(candidates, settings.rounds)
        loop.run_until_complete(_cancel_the_rest())
    finally:
        undo()
        loop.close()
    return [figure("start + stop cycle ×10 members", timings)]
