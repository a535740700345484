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


def pooled(per_process):
    """The Timings of the same candidates measured in several processes:
    each candidate's median of its processes' medians, and as noise the larger
    of the processes' typical noise and the spread of their medians.  Where a
    call's few allocations land differs from process to process, and with it
    the call's time, by more than its rounds within one process vary."""
    names = list(per_process[0])
    timings = Timings({name: statistics.median(t[name] for t in per_process) if per_process[0][name] is not None
                       else None for name in names})
    spreads = [_spread([t[name] for t in per_process]) for name in names if timings[name] is not None]
    within = [t.noise for t in per_process if t.noise is not None]
    candidates = [s for s in spreads if s is not None] + ([statistics.median(within)] if within else [])
    timings.noise = max(candidates) if candidates else None
    return timings
