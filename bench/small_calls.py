"""Calls whose cost is mostly the call itself: `snapshot()` with 10 members,
and awaiting `stop()` on an empty group against awaiting a trivial
`async def`."""

import asyncio
import time

from _fakes import make_bridge, make_controller, make_speakers
from _impls import has
from _measure import alternate
from _report import AS_FAST_AS_BASELINE, Figure, floor_within, speedup_at_least


def _snapshot_timer(bridge, count):
    def run():
        snapshot = bridge.snapshot
        start = time.perf_counter()
        for _ in range(count):
            snapshot()
        return (time.perf_counter() - start) / count

    return run


def snapshot_figure(impls, settings):
    speakers = make_speakers(10)
    candidates = {label: _snapshot_timer(make_bridge(impl, speakers), settings.calls)
                  if has(impl, "GroupBridge", "snapshot") else None
                  for label, impl in impls.items()}
    medians = alternate(candidates, settings.rounds)
    return Figure("snapshot() ×10 members", medians["C++"], medians["baseline"],
                  targets=(AS_FAST_AS_BASELINE, speedup_at_least(1.5)))


async def _trivial():
    return True


async def _per_await(make, count):
    start = time.perf_counter()
    for _ in range(count):
        await make()
    return (time.perf_counter() - start) / count


def await_figure(impls, settings):
    """The floor here is awaiting a trivial `async def`."""
    loop = asyncio.new_event_loop()
    try:
        candidates = {}
        for label, impl in impls.items():
            group = make_controller(impl, [])[0] if impl is not None else None
            candidates[label] = None if group is None else (
                lambda stop=group.stop: loop.run_until_complete(_per_await(stop, settings.calls)))
        candidates["floor"] = lambda: loop.run_until_complete(_per_await(_trivial, settings.calls))
        medians = alternate(candidates, settings.rounds)
    finally:
        loop.close()
    return Figure("await stop(), empty group", medians["C++"], medians["baseline"],
                  medians["floor"], targets=(AS_FAST_AS_BASELINE, floor_within(2.0)))


def figures(impls, settings):
    return [snapshot_figure(impls, settings), await_figure(impls, settings)]
