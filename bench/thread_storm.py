"""Thread storm: several threads call every receiver hook at once, as fast as
they can, while the loop runs and the bridge is started and stopped over and
over.

Reports the calls made, the loop's worst lag, and anything that went wrong:
an exception escaping a hook, an error reaching the loop's exception handler,
a hook failure logged by the bridge.  Ends with a PASS line when nothing went
wrong, else a FAIL line and exit status 1.

    .venv/bin/python bench/thread_storm.py [--threads 4] [--seconds 10] [--pause 0.002]
                                           [--impl module|baseline]
"""

import argparse
import asyncio
import logging
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload  # noqa: E402
from fakes import FakeHub, FakeSpeaker, make_group  # noqa: E402

HOOKS = [
    ("_on_play_start", (workload.STREAM,)),
    ("_on_metadata_change", ({"title": "Song", "artist": "Band", "album": "LP"}, "art.png")),
    ("_on_progress_change", (1200, 180000)),
    ("_on_volume_change", (-14.5,)),
    ("_on_play_pause", ()),
    ("_on_play_resume", ()),
    ("_on_progress_change", (2400.5, None)),
    ("_on_metadata_change", ({"title": "Next"}, None)),
    ("_on_play_stop", ()),
]


class Warnings(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


def hammer(bridge, stop, counts, escaped, index, pause):
    """One receiver thread: every hook in turn, a short pause after each
    round (without it the threads only measure how long a flooded queue
    gets), until told to stop."""
    calls = 0
    while not stop.wait(pause):
        for name, args in HOOKS[index % len(HOOKS):] + HOOKS[:index % len(HOOKS)]:
            try:
                getattr(bridge, name)(*args)
            except BaseException as exc:  # noqa: B902 - anything escaping is the finding
                escaped.append(f"{name}: {exc!r}")
            calls += 1
    counts[index] = calls


async def watch_lag(stop, lags, period=0.001):
    loop = asyncio.get_running_loop()
    while not stop.is_set():
        before = loop.time()
        await asyncio.sleep(period)
        lags.append(loop.time() - before - period)


async def wind_down(bridge, timeout=10.0):
    """Stops the bridge until nothing the hook threads handed over is left:
    work they queued just before they stopped can still start a playback
    (and its poll) after a stop."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    me = asyncio.current_task()
    while True:
        await bridge.stop()
        await bridge._stop_target()
        await asyncio.sleep(0.001)
        if not any(t is not me for t in asyncio.all_tasks()) or loop.time() > deadline:
            return


async def storm(gb, threads=4, seconds=10.0, pause=0.002):
    loop = asyncio.get_running_loop()
    loop_errors = []
    loop.set_exception_handler(lambda _loop, context: loop_errors.append(context.get("message")))
    warned = Warnings()
    logging.getLogger("vesbel").addHandler(warned)
    clock = workload.FastClock()
    undo = [clock.install(gb), workload.install_receiver_and_broadcast(gb)]
    speakers = [FakeSpeaker(f"d{i}", results={"get_status": {"status": 0}}) for i in range(3)]
    controller, _, config = make_group(gb, speakers)
    bridge = gb.GroupBridge("10.0.0.2", controller, None, config, FakeHub())
    stop, lags, escaped, counts = threading.Event(), [], [], [0] * threads
    watcher = asyncio.ensure_future(watch_lag(stop, lags))
    await bridge.start()
    workers = [threading.Thread(target=hammer, args=(bridge, stop, counts, escaped, i, pause))
               for i in range(threads)]
    cycles = 0
    started = time.monotonic()
    try:
        for worker in workers:
            worker.start()
        while time.monotonic() - started < seconds:
            await bridge.stop()
            await asyncio.sleep(0.002)
            await bridge.start()
            await asyncio.sleep(0.005)
            cycles += 1
    finally:
        stop.set()
        for worker in workers:
            worker.join()
        await watcher
        await wind_down(bridge)
        await workload.settle(10)
        logging.getLogger("vesbel").removeHandler(warned)
        for restore in undo:
            restore()
    return {
        "hook_calls": sum(counts),
        "start_stop_cycles": cycles,
        "worst_lag_ms": max(lags) * 1e3,
        "median_lag_ms": sorted(lags)[len(lags) // 2] * 1e3,
        "escaped": escaped,
        "loop_errors": loop_errors,
        "warnings": warned.messages,
        "speaker_calls": sum(len(s.calls) for s in speakers),
    }


def verdict(result):
    """The closing line and whether the storm failed: anything escaping a hook,
    reaching the loop's exception handler or logged as a hook failure."""
    wrong = {kind: len(result[kind]) for kind in ("escaped", "loop_errors", "warnings") if result[kind]}
    if wrong:
        return "FAIL: " + ", ".join(f"{kind} {count}" for kind, count in wrong.items()), True
    return "PASS: no hook raised, no error reached the loop, no hook failure was logged", False


def main(argv=None):
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--threads", type=int, default=4, metavar="N",
                        help="receiver threads calling the hooks (default 4)")
    parser.add_argument("--seconds", type=float, default=10.0, metavar="S",
                        help="how long the bridge is restarted under the storm (default 10)")
    parser.add_argument("--pause", type=float, default=0.002, metavar="S",
                        help="seconds each thread rests after calling every hook once (default 0.002)")
    parser.add_argument("--impl", choices=["module", "baseline"], default="module",
                        help="the extension module (default) or the plain-Python baseline")
    args = parser.parse_args(argv)
    gb = workload.load_module(args.impl)
    restore_log = workload.quiet_log()
    try:
        result = asyncio.run(storm(gb, args.threads, args.seconds, args.pause))
    finally:
        restore_log()
    print(f"{args.impl}: {args.threads} threads for {args.seconds:g} s: "
          f"{result['hook_calls']} hook calls, {result['start_stop_cycles']} start/stop cycles, "
          f"{result['speaker_calls']} speaker operations")
    print(f"loop lag: worst {result['worst_lag_ms']:.2f} ms, median {result['median_lag_ms']:.3f} ms")
    for kind in ("escaped", "loop_errors", "warnings"):
        found = result[kind]
        print(f"{kind}: {len(found)}" + (f", first: {found[:3]}" if found else ""))
    line, failed = verdict(result)
    print(line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
