"""Benchmarks of the extension module against the plain-Python baseline.

    .venv/bin/python bench/run.py            full run (about 45 s on an idle machine)
    .venv/bin/python bench/run.py --quick    a run of a few seconds

Prints one table: each figure for both implementations (medians of
alternating rounds; the small calls, whose time depends on where their few
allocations land, pooled from several fresh processes), their ratios and
the noise.  A figure the built
module cannot give yet (a member it lacks) shows "n/a".  Each row's verdict
is stated beside its noise: faster or SLOWER only where the ratio differs
from 1.00× by more than the noise, else level; the instruction counts of
bench/instructions.py judge the targets.
"""

import argparse
import dataclasses
import datetime
import platform
import sys
import time

import _impls
import cycle
import fan_out
import hooks
import small_calls
from _report import largest_noise, print_table, verdict_summary


@dataclasses.dataclass(frozen=True)
class Settings:
    rounds: int  # alternating rounds per figure; the figure is their median
    member_ops: int  # member operations per timed fan-out batch
    calls: int  # calls per timed batch of a small call
    hook_calls: int  # individually timed calls per hook and candidate
    cycles: int  # start + stop cycles per timed batch
    processes: int  # fresh processes the small calls are measured in (1: this one)


FULL = Settings(rounds=11, member_ops=20000, calls=20000, hook_calls=2000, cycles=300, processes=9)
QUICK = Settings(rounds=3, member_ops=2000, calls=2000, hook_calls=150, cycles=30, processes=2)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short run of a few seconds")
    args = parser.parse_args(argv)
    settings = QUICK if args.quick else FULL

    impls, why_missing = _impls.load_both()
    notes = []
    if why_missing:
        notes.append(f"extension module not available ({why_missing}): its figures are n/a")
    if sys.flags.dev_mode:
        notes.append("Python runs in development mode (asyncio debug): the figures mean little")
    began = time.perf_counter()
    figures = []
    figures += fan_out.figures(impls, settings)
    figures += small_calls.figures(impls, settings)
    figures += hooks.figures(impls, settings)
    figures += cycle.figures(impls, settings, notes)

    print(f"vesbel.group_bridge benchmarks, {datetime.date.today()}, "
          f"Python {platform.python_version()}, {'quick' if args.quick else 'full'} run")
    print_table(figures, sys.stdout)
    print()
    print("µs per operation, medians of alternating rounds; fan-out rows give µs per member in brackets.")
    if settings.processes > 1:
        print(f"snapshot() and the await rows: the median of {settings.processes} fresh processes' medians, "
              "whose spread counts as noise.")
    print("Floors: fan-out = bare asyncio.gather(..., return_exceptions=True) over the same member")
    print("coroutines; await stop() and await bridge.stop() = awaiting a trivial async def; hooks = "
          + "; ".join(f"[{k}] {v}" for k, v in hooks.FLOOR_LEGEND.items()) + ";")
    print("start + stop cycle = the same cycle's asyncio work alone (search under wait_for, two bare")
    print("gathers, two background broadcasts, a poll task started, cancelled and awaited).")
    for note in notes:
        print("note:", note)
    print("noise: half the interquartile range of a row's rounds over their median, the largest of the")
    print("row's candidates; a ratio differing from 1.00× by less than the noise says nothing.")
    noise = largest_noise(figures)
    print(f"largest noise this run {'n/a' if noise is None else f'±{noise:.0%}'}; the targets are judged on "
          f"instruction counts by bench/instructions.py ({time.perf_counter() - began:.1f} s)")
    print(verdict_summary(figures))
    return 0


if __name__ == "__main__":
    sys.exit(main())
