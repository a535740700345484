"""Timing: candidates run in alternation, round after round, and each figure
is the median of its rounds, with the rounds' spread as its noise.  The collector is paused while timing, as
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


class Timings(dict):
    """Each candidate's median (None when unavailable), and ``noise``: the
    largest spread of any candidate's rounds, as half its interquartile range
    over its median (0.05 is ±5%; None with fewer than two rounds)."""

    noise = None


def _spread(samples):
    if len(samples) < 2:
        return None
    low, _, high = statistics.quantiles(samples, n=4, method="inclusive")
    return (high - low) / 2 / statistics.median(samples)


def alternate(candidates, rounds):
    """``candidates`` maps a name to a callable giving seconds per operation,
    or to None when that candidate is not available.  Each round runs every
    available candidate once, starting one further along each time; gives
    back the Timings of the rounds."""
    names = [name for name, run in candidates.items() if run is not None]
    samples = {name: [] for name in names}
    with collector_paused():
        for round_no in range(rounds):
            start = round_no % len(names) if names else 0
            for name in names[start:] + names[:start]:
                samples[name].append(candidates[name]())
    timings = Timings({name: statistics.median(samples[name]) if name in samples else None
                       for name in candidates})
    spreads = [s for s in map(_spread, samples.values()) if s is not None]
    timings.noise = max(spreads) if spreads else None
    return timings
