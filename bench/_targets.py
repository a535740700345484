"""The targets the extension module is held to, judged on instruction counts
(bench/instructions.py): repeatable to a fraction of a percent, where
wall-clock time on a shared machine is not.

- Never slower than the plain-Python baseline: on every figure the C++
  module executes at most as many instructions as the baseline, give or take
  LEVEL (the counts' own repeatability).
- Fan-out within FAN_OUT_WITHIN of a bare ``asyncio.gather`` over the same
  member coroutines at 100 and 1000 members; at 10 members, within that plus
  what the member selection costs (``get_member_controllers()``, whose
  Python calls to the host's provider and speakers no C++ can avoid).
- The start + stop cycle's own work, its instructions above its asyncio work
  alone, at most the baseline's own work.
- The hand-over hooks' own work, the instructions above the bare
  ``run_coroutine_threadsafe`` / ``call_soon_threadsafe`` they cannot do
  without, at most OWN_WORK_SHARE of what it was before it was cut
  (OWN_WORK_BEFORE).  The metadata and progress hooks hand nothing over and
  have no such floor.
"""

import dataclasses

LEVEL = 0.005
FAN_OUT_WITHIN = 1.02
OWN_WORK_SHARE = 2 / 3  # "cut by a third or more"
# Instructions per call above the hook's floor before the cut, measured with
# CPython 3.12.1 and valgrind 3.19 on the code of 2026-12-08.  The volume
# hook's include the host's dB conversion, which it calls on the receiver's
# thread.
OWN_WORK_BEFORE = {
    "_on_play_start": 9_702,
    "_on_play_stop": 9_605,
    "_on_play_pause": 9_611,
    "_on_play_resume": 2_015,
    "_on_volume_change": 16_131,
}


@dataclasses.dataclass(frozen=True)
class Target:
    label: str
    check: object  # (cpp, baseline, floor) -> (met, detail); each figure is Ir/op or None
    short: str = ""  # what a miss is called, when not the label

    def judge(self, cpp, baseline, floor):
        """(True, False or None when a figure is missing, a detail or "")."""
        if cpp is None:
            return None, ""
        return self.check(cpp, baseline, floor)


def _not_slower(cpp, baseline, floor):
    if baseline is None:
        return None, ""
    return cpp <= baseline * (1 + LEVEL), ""


def _within(factor):
    def check(cpp, baseline, floor):
        if floor is None:
            return None, ""
        return cpp <= floor * factor, ""

    return Target(f"≤{factor:g}× floor", check)


def _within_plus(factor, extra):
    def check(cpp, baseline, floor):
        if floor is None:
            return None, ""
        return cpp <= floor * factor + extra, f"selection {extra:,.0f}"

    return Target(f"≤{factor:g}× floor + selection", check)


def _own_work_of_baseline(cpp, baseline, floor):
    if floor is None or baseline is None:
        return None, ""
    own, theirs = cpp - floor, baseline - floor
    return own <= theirs * (1 + LEVEL), f"own {own:,.0f} vs {theirs:,.0f}"


OWN_OF_BASELINE = Target("own ≤ baseline's own", _own_work_of_baseline, "own work")


def _own_work_cut(before):
    limit = before * OWN_WORK_SHARE

    def check(cpp, baseline, floor):
        if floor is None:
            return None, ""
        own = cpp - floor
        return own <= limit, f"own {own:,.0f}"

    return Target(f"own ≤{limit:,.0f} (⅔ of {before:,.0f})", check, "own work")


NOT_SLOWER = Target("≤ baseline", _not_slower)


def targets_for(key, floor_tag, selection=None):
    """The targets of the figure ``key`` whose floor is ``floor_tag``; for a
    fan-out of 10 members, ``selection`` is what its member selection costs."""
    targets = [NOT_SLOWER]
    if floor_tag == "gather":
        targets.append(_within(FAN_OUT_WITHIN) if selection is None else _within_plus(FAN_OUT_WITHIN, selection))
    elif floor_tag == "cycle":
        targets.append(OWN_OF_BASELINE)
    elif key in OWN_WORK_BEFORE:
        targets.append(_own_work_cut(OWN_WORK_BEFORE[key]))
    return targets


def verdict(targets, cpp, baseline, floor):
    """"yes", "MISSED <labels>" or "n/a", with the details of the checks."""
    results = [(t.label, *t.judge(cpp, baseline, floor)) for t in targets]
    details = [detail for _, _, detail in results if detail]
    suffix = f" ({', '.join(details)})" if details else ""
    if any(met is None for _, met, _ in results):
        return "n/a" + suffix
    missed = [t.short or t.label for t, (_, met, _) in zip(targets, results) if not met]
    return ("MISSED " + "; ".join(missed) if missed else "yes") + suffix
