"""The scenarios `bench/instructions.py` counts: figures, the candidates
each compares (C++, baseline, floor) and the families of candidates that
share one set-up, and so one zero run (see `_instr_child.py`)."""

import asyncio
import dataclasses
import functools
import types
import gc

from _fakes import STREAM, make_bridge, make_controller, make_idle_bridge, make_speakers, patch_broadcast
from _impls import has, load_both
from cycle import asyncio_work_once
from fan_out import COMMANDS

WARM_UP = 2
UNAVAILABLE = 3
IMPLS = ("C++", "baseline")


@dataclasses.dataclass(frozen=True)
class Figure:
    key: str  # what --only matches, with the title
    title: str  # the table's row
    family: str  # the child set-up it runs in
    count: int  # operations per counted run (the full run's): enough that a child's
    # start-up noise (a few thousand instructions) is lost in the total
    floor_tag: str | None = None  # which floor (FLOOR_LEGEND); None: no floor
    members: int = 0  # > 0: also shown per member
    shared_floor: bool = False  # one floor candidate serves every figure of its tag

    @property
    def floor(self):
        """The floor's candidate id, or None."""
        if self.floor_tag is None:
            return None
        return f"floor:{self.floor_tag}" if self.shared_floor else self.candidate("floor")

    def candidate(self, label):
        return f"{self.key}:{label}"


def _fan_out_figures(sizes=(10, 100, 1000)):
    return [Figure(f"{name}-{size}", f"{name} ×{size} /cmd (/member) [gather]", f"fan_out-{size}",
                   max(2, 1000 // size), "gather", members=size)
            for size in sizes for name in COMMANDS]


HOOKS = (
    ("_on_play_start", (STREAM,), "rcts"),
    ("_on_play_stop", (), "rcts"),
    ("_on_play_pause", (), "rcts"),
    ("_on_play_resume", (), "csts"),
    ("_on_volume_change", (-15.0,), "rcts"),
    ("_on_metadata_change", ({"title": "Song", "artist": "Band", "album": "LP"}, None), "csts"),
    ("_on_progress_change", (1000, 200000), "csts"),
)
FLOOR_LEGEND = {
    "trivial": "awaiting a trivial async def",
    "gather": "bare asyncio.gather(..., return_exceptions=True) over the same member coroutines",
    "rcts": "asyncio.run_coroutine_threadsafe(trivial coroutine) onto the stand-in loop "
            "(closes the coroutine, returns a pending concurrent Future)",
    "csts": "call_soon_threadsafe(trivial callback) on the stand-in loop (drops it)",
    "cycle": "the same cycle's asyncio work alone (search under wait_for, two bare gathers, "
             "two background broadcasts, a poll task started, cancelled and awaited)",
}

FIGURES = (
    [Figure("stop-empty", "await stop(), empty group [trivial]", "awaits", 5000, "trivial"),
     Figure("idle-stop", "await bridge.stop(), nothing to stop [trivial]", "awaits", 5000, "trivial")]
    + _fan_out_figures()
    + [Figure("select-10", "get_member_controllers() ×10 members", "calls", 1000)]
    + [Figure("snapshot-10", "snapshot() ×10 members", "calls", 1000)]
    + [Figure(name, f"{name}() [{floor}]", "calls", 500 if floor == "rcts" else 4000, floor, shared_floor=True)
       for name, _, floor in HOOKS]
    + [Figure("cycle-10", "start + stop cycle ×10 members [cycle]", "awaits", 100, "cycle")]
)


# --- loops that run a candidate n times -------------------------------------

def _awaits(make, n):
    async def repeat():
        for _ in range(n):
            await make()

    asyncio.run(repeat())


def _calls(call, args, n):
    for _ in range(n):
        call(*args)


def _implementations(impls, cls, *members):
    return [(label, impl) for label, impl in impls.items() if has(impl, cls, *members)]


# --- families: each maps candidate ids to a runner taking n ------------------

async def _trivial():
    return True


def _stop_candidates(impls):
    runners = {f"stop-empty:{label}": functools.partial(_awaits, make_controller(impl, [])[0].stop)
               for label, impl in _implementations(impls, "GroupController", "stop")}
    runners["stop-empty:floor"] = functools.partial(_awaits, _trivial)
    for label, impl in _implementations(impls, "GroupBridge", "stop"):
        runners[f"idle-stop:{label}"] = functools.partial(_awaits, make_idle_bridge(impl).stop)
    runners["idle-stop:floor"] = runners["stop-empty:floor"]
    return runners


def _fan_out_candidates(size, impls):
    runners = {}
    for figure in _fan_out_figures((size,)):
        name = figure.key.rsplit("-", 1)[0]
        to_group, to_member = COMMANDS[name]
        speakers = make_speakers(figure.members)
        for label, impl in _implementations(impls, "GroupController", name):
            group = make_controller(impl, speakers)[0]
            runners[figure.candidate(label)] = functools.partial(
                _awaits, lambda group=group, to_group=to_group: to_group(group))

        def bare_gather(speakers=speakers, to_member=to_member):
            return asyncio.gather(*[to_member(s) for s in speakers], return_exceptions=True)

        runners[figure.candidate("floor")] = functools.partial(_awaits, bare_gather)
    return runners


def _snapshot_candidates(impls):
    runners = {f"snapshot-10:{label}": functools.partial(_calls, make_bridge(impl, make_speakers(10)).snapshot, ())
               for label, impl in _implementations(impls, "GroupBridge", "snapshot")}
    for label, impl in _implementations(impls, "GroupController", "get_member_controllers"):
        selection = make_controller(impl, make_speakers(10))[0].get_member_controllers
        runners[f"select-10:{label}"] = functools.partial(_calls, selection, ())
    return runners


class StandInLoop:
    """What a hook reads of the bridge's loop: always running; a callback
    handed to it is dropped.  asyncio's own run_coroutine_threadsafe hands
    it a callback that would start the coroutine: the coroutine is closed
    instead, leaving no warning and no work behind, and the pending
    concurrent Future takes a hook's done-callback as a real one would."""

    def is_running(self):
        return True

    def call_soon_threadsafe(self, callback, *args, context=None):
        if type(callback) is types.FunctionType:
            for cell in callback.__closure__ or ():
                if type(cell.cell_contents) is types.CoroutineType:
                    cell.cell_contents.close()
        return None


async def _nothing():
    pass


def _noop():
    pass


def _bare_handovers(loop, n):
    submit = asyncio.run_coroutine_threadsafe
    for _ in range(n):
        submit(_nothing(), loop)


def _bare_callbacks(loop, n):
    schedule = loop.call_soon_threadsafe
    for _ in range(n):
        schedule(_noop)


def _hook_candidates(impls):
    loop = StandInLoop()
    runners = {}
    for label, impl in _implementations(impls, "GroupBridge", "snapshot"):
        bridge = make_bridge(impl, make_speakers(2))
        bridge._loop = loop
        for name, args, _ in HOOKS:
            if hasattr(bridge, name):
                runners[f"{name}:{label}"] = functools.partial(_calls, getattr(bridge, name), args)
    runners["floor:rcts"] = functools.partial(_bare_handovers, loop)
    runners["floor:csts"] = functools.partial(_bare_callbacks, loop)
    return runners


async def _cycles(bridge, n):
    for _ in range(n):
        await bridge._play_on_target(STREAM)
        await bridge._stop_target()


async def _cycle_asyncio_work(speakers, n):
    for _ in range(n):
        await asyncio_work_once(speakers)


def _cycle_candidates(impls):
    patch_broadcast()
    runners = {}
    for label, impl in _implementations(impls, "GroupBridge", "_play_on_target", "_stop_target"):
        bridge = make_bridge(impl, make_speakers(10))
        runners[f"cycle-10:{label}"] = lambda n, bridge=bridge: asyncio.run(_cycles(bridge, n))
    speakers = make_speakers(10)
    runners["cycle-10:floor"] = lambda n: asyncio.run(_cycle_asyncio_work(speakers, n))
    return runners


# A family's candidates share one set-up and one zero run, so they must share
# the fixed cost around their n operations too: all run inside one asyncio.run
# ("awaits", "fan_out-*"), or all are plain calls ("calls").
FAMILIES = {
    "awaits": lambda impls: {**_stop_candidates(impls), **_cycle_candidates(impls)},
    "fan_out-10": functools.partial(_fan_out_candidates, 10),
    "fan_out-100": functools.partial(_fan_out_candidates, 100),
    "fan_out-1000": functools.partial(_fan_out_candidates, 1000),
    "calls": lambda impls: {**_snapshot_candidates(impls), **_hook_candidates(impls)},
}


def child(family, candidate, count):
    """Sets up every candidate of ``family``, runs each a few times (warm-up:
    caches, specialised bytecode), collects, then runs ``candidate`` ``count``
    times; "-" runs the family's first candidate 0 times.  Returns an exit
    status: 0, or UNAVAILABLE when the candidate's implementation lacks it."""
    runners = FAMILIES[family](load_both()[0])
    if candidate != "-" and candidate not in runners:
        return UNAVAILABLE
    for run in runners.values():
        run(WARM_UP)
    gc.collect()
    if candidate == "-":
        next(iter(runners.values()))(0)
    else:
        runners[candidate](count)
    return 0
