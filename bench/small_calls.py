"""Calls whose cost is mostly the call itself: `snapshot()` with 10 members,
and awaiting `stop()` on an empty group and a bridge's `stop()` with
nothing to stop (what a module coroutine costs on its own), each against
awaiting a trivial `async def`."""

import asyncio
import time

from _fakes import make_bridge, make_controller, make_idle_bridge, make_speakers
from _impls import has
from _measure import alternate
from _report import figure


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
    return figure("snapshot() ×10 members", alternate(candidates, settings.rounds))


async def _trivial():
    return True


async def _per_await(make, count):
    start = time.perf_counter()
    for _ in range(count):
        await make()
    return (time.perf_counter() - start) / count


def await_figure(impls, settings, title, make):
    """Awaiting ``make(impl).stop()``; the floor here is awaiting a trivial `async def`."""
    loop = asyncio.new_event_loop()
    try:
        candidates = {}
        for label, impl in impls.items():
            target = make(impl) if impl is not None else None
            candidates[label] = None if target is None else (
                lambda stop=target.stop: loop.run_until_complete(_per_await(stop, settings.calls)))
        candidates["floor"] = lambda: loop.run_until_complete(_per_await(_trivial, settings.calls))
        timings = alternate(candidates, settings.rounds)
    finally:
        loop.close()
    return figure(title, timings)


def figures(impls, settings):
    return [snapshot_figure(impls, settings),
            await_figure(impls, settings, "await stop(), empty group", lambda impl: make_controller(impl, [])[0]),
            await_figure(impls, settings, "await bridge.stop(), nothing to stop", make_idle_bridge)]
