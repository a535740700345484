"""A short scenario for valgrind's memcheck: a few rounds of every operation
(group commands, failing and cancelled members, time-outs, a bridge started,
played, paused, resumed and stopped with hooks from another thread).

    bench/memcheck_scenario.py [--rounds 3] [--impl module|baseline]
"""

import argparse
import asyncio
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload  # noqa: E402


async def scenario(gb, rounds):
    clock = workload.FastClock()
    undo = [clock.install(gb), workload.install_receiver_and_broadcast(gb)]
    try:
        refs = []
        for _ in range(rounds):
            refs += await workload.one_round(gb, clock)
    finally:
        for restore in undo:
            restore()
    gc.collect()
    return [r for r in refs if r() is not None]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--impl", choices=["module", "baseline"], default="module")
    args = parser.parse_args()
    gb = workload.load_module(args.impl)
    workload.quiet_log()
    alive = asyncio.run(scenario(gb, args.rounds))
    print(f"{args.rounds} rounds done; objects outliving their round: {len(alive)}")
    return 1 if alive else 0


if __name__ == "__main__":
    sys.exit(main())
