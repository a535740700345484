"""Group commands fanned out to 10, 100 and 1000 instant members, against the
floor: a bare `asyncio.gather(..., return_exceptions=True)` over the same
member coroutines."""

import asyncio
import time

from _fakes import STREAM, make_controller, make_speakers
from _measure import alternate
from _report import figure

SIZES = (10, 100, 1000)

# command name -> (how the group is told, how one member is told)
COMMANDS = {
    "play_url": (lambda group: group.play_url(STREAM), lambda s: s.play_url(STREAM, None)),
    "stop": (lambda group: group.stop(), lambda s: s.stop()),
    "set_volume": (lambda group: group.set_volume(35), lambda s: s.set_volume(35)),
}


async def _per_command(send, count):
    start = time.perf_counter()
    for _ in range(count):
        await send()
    return (time.perf_counter() - start) / count


def _timer(loop, send, count):
    return lambda: loop.run_until_complete(_per_command(send, count))


def figures(impls, settings):
    loop = asyncio.new_event_loop()
    try:
        return [_figure(loop, impls, settings, name, size)
                for size in SIZES for name in COMMANDS]
    finally:
        loop.close()


def _figure(loop, impls, settings, name, size):
    to_group, to_member = COMMANDS[name]
    speakers = make_speakers(size)
    count = max(2, settings.member_ops // size)
    candidates = {}
    for label, impl in impls.items():
        if impl is None:
            candidates[label] = None
            continue
        group, _ = make_controller(impl, speakers)
        candidates[label] = _timer(loop, lambda group=group: to_group(group), count)

    def bare_gather():
        return asyncio.gather(*[to_member(s) for s in speakers], return_exceptions=True)

    candidates["floor"] = _timer(loop, bare_gather, count)
    for run in candidates.values():  # warm-up
        if run is not None:
            run()
    return figure(f"{name} ×{size} /cmd (/member)", alternate(candidates, settings.rounds), members=size)
