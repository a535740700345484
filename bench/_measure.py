"""Timing: candidates run in alternation, round after round, and each figure
is the median of its rounds.  The collector is paused while timing, as
`timeit` does."""

import contextlib
import gc
import statistics


@contextlib.contextmanager
def collector_paused():
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def alternate(candidates, rounds):
    """``candidates`` maps a name to a callable giving seconds per operation,
    or to None when that candidate is not available.  Each round runs every
    available candidate once, starting one further along each time; the
    result maps each name to its median (None when unavailable)."""
    names = [name for name, run in candidates.items() if run is not None]
    samples = {name: [] for name in names}
    with collector_paused():
        for round_no in range(rounds):
            start = round_no % len(names) if names else 0
            for name in names[start:] + names[:start]:
                samples[name].append(candidates[name]())
    return {name: statistics.median(samples[name]) if name in samples else None
            for name in candidates}
