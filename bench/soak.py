"""Leak soak: every operation of the module, round after round, with the growth
per round after warm-up.

    .venv/bin/python bench/soak.py [--cycles 20000] [--rounds 20] [--impl module|baseline] [--tracemalloc]

Figures, per cycle over the measured rounds (the first quarter is warm-up):
allocated blocks (``sys.getallocatedblocks() - sys.getunicodeinternedsize()``,
which sees every reference leak), gc-tracked objects, RSS and, with
``--tracemalloc``, traced bytes.  Exits 1 when an object built in a cycle
outlives it, or blocks grew by one or more per cycle in every measured round
(CPython's refleak rule, applied per cycle).

Growth is judged only with at least MIN_CYCLES_PER_ROUND cycles per round and
MIN_MEASURED_ROUNDS measured rounds: a round's blocks move by a few dozen
whatever it runs (caches and free lists settling), which would pass for a
leak of one block per cycle in shorter rounds.  A shorter run says so and
still reports objects that outlive their cycle.
"""

import argparse
import asyncio
import gc
import os
import sys
import time
import tracemalloc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload  # noqa: E402

MIN_CYCLES_PER_ROUND = 100
MIN_MEASURED_ROUNDS = 3


def blocks():
    return sys.getallocatedblocks() - sys.getunicodeinternedsize()


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def sample(traced):
    gc.collect()
    return {
        "blocks": blocks(),
        "objects": len(gc.get_objects()),
        "rss": rss_bytes(),
        "traced": tracemalloc.get_traced_memory()[0] if traced else 0,
    }


async def soak(gb, cycles, rounds, traced, progress=None):
    """Runs ``cycles`` cycles in ``rounds`` rounds; gives back the samples taken
    after each round and the weak references that outlived their cycle."""
    clock = workload.FastClock()
    undo = [clock.install(gb), workload.install_receiver_and_broadcast(gb)]
    survivors = []
    samples = [sample(traced)]
    per_round = max(1, cycles // rounds)
    try:
        for index in range(rounds):
            refs = []
            for _ in range(per_round):
                refs += await workload.one_round(gb, clock)
            # Done-callbacks of the last round's finished tasks may still be
            # queued on the loop, holding what they finished; let them run.
            for _ in range(10):
                await asyncio.sleep(0.001)
            gc.collect()
            survivors += [repr(r()) for r in refs if r() is not None]
            del refs
            samples.append(sample(traced))
            if progress:
                progress(index + 1, rounds, samples)
    finally:
        for restore in undo:
            restore()
    return samples, survivors, per_round


def growth(samples, warmup_rounds, per_round):
    """Mean growth per cycle of each figure after warm-up, and the block
    deltas of each measured round."""
    measured = samples[warmup_rounds:]
    cycles = per_round * (len(measured) - 1)
    per_cycle = {key: (measured[-1][key] - measured[0][key]) / cycles for key in measured[0]}
    deltas = [b["blocks"] - a["blocks"] for a, b in zip(measured, measured[1:])]
    return per_cycle, deltas


def leaks(deltas, per_round):
    """CPython's refleak rule per cycle: a leak grows in every round, by at
    least one block for each cycle in it."""
    return bool(deltas) and all(delta >= per_round for delta in deltas)


def too_short(deltas, per_round):
    """Why the block growth cannot be judged, or "" when it can."""
    if per_round < MIN_CYCLES_PER_ROUND or len(deltas) < MIN_MEASURED_ROUNDS:
        return (f"too short to judge growth: {per_round} cycles per round over {len(deltas)} measured rounds, "
                f"at least {MIN_CYCLES_PER_ROUND} over {MIN_MEASURED_ROUNDS} needed")
    return ""


def verdict(deltas, per_round, survivors):
    """(the closing line, whether it is a failure)."""
    if survivors:
        return "LEAK: objects outlive their cycle", True
    why = too_short(deltas, per_round)
    if why:
        return why, False
    return ("LEAK", True) if leaks(deltas, per_round) else ("no growth", False)


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--cycles", type=int, default=20000, metavar="N",
                        help="operation cycles in all (default 20000, about 6 minutes; growth is judged "
                             f"from {MIN_CYCLES_PER_ROUND} cycles per round)")
    parser.add_argument("--rounds", type=int, default=20, metavar="N",
                        help="rounds the cycles are split into, one sample after each; the first quarter "
                             "is warm-up (default 20)")
    parser.add_argument("--impl", choices=["module", "baseline"], default="module",
                        help="the extension module (default) or the plain-Python baseline")
    parser.add_argument("--tracemalloc", action="store_true",
                        help="also trace Python allocations and report traced bytes per cycle (slower)")
    args = parser.parse_args(argv)
    if args.rounds < 2:
        parser.error(f"--rounds must be at least 2 (a warm-up round and a measured one), not {args.rounds}")
    if args.cycles < 1:
        parser.error(f"--cycles must be at least 1, not {args.cycles}")
    if args.cycles < args.rounds:
        parser.error(f"--cycles must be at least --rounds ({args.rounds}): each round runs "
                     f"cycles / rounds cycles; got {args.cycles}")
    return args


def main(argv=None):
    args = parse_args(argv)

    gb = workload.load_module(args.impl)
    workload.quiet_log()
    if args.tracemalloc:
        tracemalloc.start()
    started = time.monotonic()

    def progress(done, total, samples):
        print(f"  round {done}/{total}: blocks {samples[-1]['blocks']}, "
              f"objects {samples[-1]['objects']}, rss {samples[-1]['rss'] // 1024} KiB",
              flush=True)

    samples, survivors, per_round = asyncio.run(
        soak(gb, args.cycles, args.rounds, args.tracemalloc, progress))
    warmup = max(1, args.rounds // 4)
    per_cycle, deltas = growth(samples, warmup, per_round)
    elapsed = time.monotonic() - started
    print(f"{args.impl}: {per_round * args.rounds} cycles in {elapsed:.1f} s "
          f"({elapsed / (per_round * args.rounds) * 1e3:.2f} ms per cycle), warm-up {warmup} rounds")
    print(f"growth per cycle after warm-up: blocks {per_cycle['blocks']:+.4f}, "
          f"gc objects {per_cycle['objects']:+.4f}, RSS {per_cycle['rss']:+.1f} B"
          + (f", traced {per_cycle['traced']:+.1f} B" if args.tracemalloc else ""))
    print(f"block deltas per round of {per_round} cycles: {deltas}")
    print(f"objects outliving their cycle: {len(survivors)} {survivors[:5]}")
    line, failed = verdict(deltas, per_round, survivors)
    print(line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
