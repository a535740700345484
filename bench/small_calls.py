"""Calls whose cost is mostly the call itself: `snapshot()` with 10 members,
and awaiting `stop()` on an empty group and a bridge's `stop()` with
nothing to stop (what a module coroutine costs on its own), each against
awaiting a trivial `async def`.

A call this small takes measurably longer or shorter depending on where its
few allocations (the coroutine, its frame) land, which differs from process
to process, for the baseline as for the module.  A full run therefore
measures these figures in several fresh processes (``settings.processes``),
each by alternating rounds, and pools them (_measure.pooled):

    python bench/small_calls.py ROUNDS CALLS    one process's figures, as JSON
"""

import asyncio
import json
import pathlib
import subprocess
import sys
import time

from _fakes import make_bridge, make_controller, make_idle_bridge, make_speakers
from _impls import has
from _measure import Timings, alternate, pooled
from _report import figure


def _snapshot_timer(bridge, count):
    def run():
        snapshot = bridge.snapshot
        start = time.perf_counter()
        for _ in range(count):
            snapshot()
        return (time.perf_counter() - start) / count

    return run


def snapshot_timings(impls, settings):
    speakers = make_speakers(10)
    candidates = {label: _snapshot_timer(make_bridge(impl, speakers), settings.calls)
                  if has(impl, "GroupBridge", "snapshot") else None
                  for label, impl in impls.items()}
    return alternate(candidates, settings.rounds)


async def _trivial():
    return True


async def _per_await(make, count):
    start = time.perf_counter()
    for _ in range(count):
        await make()
    return (time.perf_counter() - start) / count


def await_timings(impls, settings, make):
    """Awaiting ``make(impl).stop()``; the floor here is awaiting a trivial `async def`."""
    loop = asyncio.new_event_loop()
    try:
        candidates = {}
        for label, impl in impls.items():
            target = make(impl) if impl is not None else None
            candidates[label] = None if target is None else (
                lambda stop=target.stop: loop.run_until_complete(_per_await(stop, settings.calls)))
        candidates["floor"] = lambda: loop.run_until_complete(_per_await(_trivial, settings.calls))
        return alternate(candidates, settings.rounds)
    finally:
        loop.close()


FIGURES = (
    ("snapshot() ×10 members", snapshot_timings),
    ("await stop(), empty group",
     lambda impls, settings: await_timings(impls, settings, lambda impl: make_controller(impl, [])[0])),
    ("await bridge.stop(), nothing to stop", lambda impls, settings: await_timings(impls, settings, make_idle_bridge)),
)


def _in_process(impls, settings):
    """[(title, Timings)] measured in this process."""
    return [(title, measure(impls, settings)) for title, measure in FIGURES]


def _in_processes(settings):
    """[(title, Timings)] pooled from ``settings.processes`` fresh processes."""
    runs = []
    for _ in range(settings.processes):
        done = subprocess.run([sys.executable, str(pathlib.Path(__file__).resolve()), str(settings.rounds),
                               str(settings.calls)], capture_output=True, text=True)
        if done.returncode:
            raise RuntimeError(f"a small-calls process failed:\n{done.stderr}")
        runs.append(json.loads(done.stdout))
    pooled_figures = []
    for index, (title, _) in enumerate(FIGURES):
        per_process = []
        for run in runs:
            medians, noise = run[index]
            timings = Timings(medians)
            timings.noise = noise
            per_process.append(timings)
        pooled_figures.append((title, pooled(per_process)))
    return pooled_figures


def figures(impls, settings):
    measured = _in_processes(settings) if settings.processes > 1 else _in_process(impls, settings)
    return [figure(title, timings) for title, timings in measured]


if __name__ == "__main__":
    import types

    import _impls

    child_impls, _ = _impls.load_both()
    child = types.SimpleNamespace(rounds=int(sys.argv[1]), calls=int(sys.argv[2]))
    print(json.dumps([[dict(timings), timings.noise] for _, timings in _in_process(child_impls, child)]))
