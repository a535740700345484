"""Instructions per operation of the extension module and the plain-Python
baseline, counted by valgrind's callgrind: repeatable where wall-clock
figures on a shared machine are not.

    .venv/bin/python bench/instructions.py                 full run (about 3 minutes on an idle machine)
    .venv/bin/python bench/instructions.py --quick         a subset, fewer operations
    .venv/bin/python bench/instructions.py --only _on_play  figures whose name contains it

Each candidate runs in a child (bench/_instr_child.py) under callgrind with
N operations; each family of candidates also runs once with none.  The
instructions per operation are the difference of the two totals over N.
Each figure is judged against its targets (bench/_targets.py).
"""

import argparse
import concurrent.futures
import dataclasses
import datetime
import os
import pathlib
import platform
import re
import subprocess
import sys
import tempfile
import time

import _impls
from _instr_scenarios import FIGURES, FLOOR_LEGEND, IMPLS, UNAVAILABLE
from _report import amount
from _targets import LEVEL, targets_for
from _targets import verdict as target_verdict

HERE = pathlib.Path(__file__).resolve().parent
CHILD = HERE / "_instr_child.py"
COLLECTED = re.compile(r"Collected\s*:\s*(\d+)")
QUICK_FIGURES = ("stop-empty", "play_url-10", "snapshot-10", "_on_play_start")
QUICK_DIVISOR = 5  # --quick runs N / 5 operations


@dataclasses.dataclass(frozen=True)
class Job:
    family: str
    candidate: str  # "-": the family's zero run
    count: int


def _child_env(pycache):
    env = dict(os.environ)
    paths = [str(_impls.ROOT)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env["PYTHONHASHSEED"] = "0"  # the same dict and set layouts in every child
    # Bytecode from a cache of this run's own: without one (PYTHONDONTWRITEBYTECODE)
    # every child compiles the baseline and the host stand-ins from source again,
    # seconds under valgrind; the repository gets no __pycache__ either way.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    env["PYTHONPYCACHEPREFIX"] = pycache
    return env


def prime(families, env):
    """Runs each family's zero run once without valgrind: fills the bytecode
    cache and shows a broken set-up at once.  Returns the first failure or ""."""
    for family in families:
        done = subprocess.run([sys.executable, str(CHILD), family, "-", "0"], env=env,
                              capture_output=True, text=True)
        if done.returncode != 0:
            return f"the set-up of {family} failed:\n{done.stderr.strip()}"
    return ""


def count_instructions(job, env):
    """The child's total instructions, or None and why not."""
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
               sys.executable, str(CHILD), job.family, job.candidate, str(job.count)]
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode == UNAVAILABLE:
        return None, ""
    found = COLLECTED.findall(done.stderr)
    if done.returncode != 0 or not found:
        tail = " | ".join(done.stderr.strip().splitlines()[-3:])
        return None, f"{job.candidate} in {job.family} failed (exit {done.returncode}): {tail}"
    return int(found[-1]), ""


def select(args):
    figures = [f for f in FIGURES if not args.quick or f.key in QUICK_FIGURES]
    if args.only:
        wanted = args.only.lower()
        figures = [f for f in figures if wanted in f.key.lower() or wanted in f.title.lower()]
    return figures


def jobs_for(figures, divisor):
    """Each figure's candidates once, and one zero run per family."""
    jobs = {}
    for figure in figures:
        count = max(1, figure.count // divisor)
        jobs.setdefault((figure.family, "-"), Job(figure.family, "-", 0))
        for candidate in [figure.candidate(label) for label in IMPLS] + [figure.floor]:
            if candidate:
                jobs.setdefault((figure.family, candidate), Job(figure.family, candidate, count))
    return list(jobs.values())


def per_operation(jobs, totals):
    """{candidate: instructions per operation or None}."""
    zero = {job.family: totals[job] for job in jobs if job.candidate == "-"}
    result = {}
    for job in jobs:
        if job.candidate == "-":
            continue
        total, base = totals[job], zero[job.family]
        result[job.candidate] = None if total is None or base is None else (total - base) / job.count
    return result


def _amount(value, members=0):
    return amount(value, members, spec=",.0f", member_spec=",.0f")


def _ratio(numerator, denominator, digits=2):
    return "n/a" if not numerator or not denominator else f"{numerator / denominator:.{digits}f}×"


def _figures_of(f, per_op):
    """(C++, baseline, floor) Ir/op of figure ``f``; None where not measured."""
    floor = per_op.get(f.floor) if f.floor else None
    return per_op.get(f.candidate("C++")), per_op.get(f.candidate("baseline")), floor


# A fan-out of this many members is allowed what its member selection costs.
SELECTION_MEMBERS = 10
SELECTION = "select-10:C++"


def _targets_of(f, per_op):
    selection = per_op.get(SELECTION) if f.floor_tag == "gather" and f.members == SELECTION_MEMBERS else None
    return targets_for(f.key, f.floor_tag, selection)


def judged(figures, per_op):
    """{figure key: its verdict text} (see _targets.verdict)."""
    return {f.key: target_verdict(_targets_of(f, per_op), *_figures_of(f, per_op)) for f in figures}


def print_table(figures, per_op, counts, verdicts):
    header = ("figure", "C++ Ir/op", "baseline Ir/op", "floor Ir/op", "base/C++", "C++/floor", "N",
              "targets", "met")
    rows = [header]
    for f in figures:
        cpp, base, floor = _figures_of(f, per_op)
        rows.append((f.title, _amount(cpp, f.members), _amount(base, f.members),
                     _amount(floor, f.members) if f.floor else "-", _ratio(base, cpp),
                     _ratio(cpp, floor, 3) if f.floor else "-", str(counts[f.key]),
                     ", ".join(t.label for t in _targets_of(f, per_op)), verdicts[f.key]))
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    for number, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:7], widths[1:7])]
        cells += [c.ljust(w) for c, w in zip(row[7:], widths[7:])]
        print("  ".join(cells).rstrip())
        if number == 0:
            print("  ".join("-" * w for w in widths))


def target_summary(verdicts):
    counts = {"yes": 0, "MISSED": 0, "n/a": 0}
    for text in verdicts.values():
        counts[text.split()[0]] += 1
    missed = [key for key, text in verdicts.items() if text.startswith("MISSED")]
    return (f"targets: {counts['yes']} figures meet theirs, {counts['MISSED']} miss"
            + (f" ({', '.join(missed)})" if missed else "") + f", {counts['n/a']} not judged")


def verdict(figures, per_op):
    """The closing line: where the C++ module executes fewer instructions.
    Differences within LEVEL count as level: the counts move that much between
    runs (a start-up read of a pipe is split differently) and with N."""
    groups = {"fewer": [], "level": [], "more": [], "n/a": []}
    for f in figures:
        cpp, base = per_op.get(f.candidate("C++")), per_op.get(f.candidate("baseline"))
        if cpp is None or base is None:
            group = "n/a"
        elif abs(cpp - base) <= LEVEL * base:
            group = "level"
        else:
            group = "fewer" if cpp < base else "more"
        groups[group].append(f.key)
    line = (f"C++ executes fewer instructions than the baseline in {len(groups['fewer'])} of "
            f"{len(figures)}: {', '.join(groups['fewer']) or 'none'}")
    for group, label in (("level", f"level (within {LEVEL:.1%})"), ("more", "more"), ("n/a", "not measured")):
        if groups[group]:
            line += f"; {label}: {', '.join(groups[group])}"
    return line


def main(argv=None):
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--quick", action="store_true",
                        help=f"figures {', '.join(QUICK_FIGURES)} only, N / {QUICK_DIVISOR}")
    parser.add_argument("--only", metavar="NAME", help="only the figures whose name contains NAME")
    parser.add_argument("--jobs", type=int, default=2, help="valgrind children at once (default 2)")
    args = parser.parse_args(argv)
    figures = select(args)
    if any(f.floor_tag == "gather" and f.members == SELECTION_MEMBERS for f in figures):
        figures = list(dict.fromkeys(figures + [f for f in FIGURES if f.key == SELECTION.split(":")[0]]))
    if not figures:
        parser.error(f"no figure matches {args.only!r}; figures: {', '.join(f.key for f in FIGURES)}")
    try:
        version = subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
    except FileNotFoundError:
        print("valgrind is not installed (apt-get install valgrind)", file=sys.stderr)
        return 2

    notes = []
    why_missing = _impls.load_module()[1]
    if why_missing:
        notes.append(f"extension module not available ({why_missing}): its figures are n/a")
    divisor = QUICK_DIVISOR if args.quick else 1
    jobs = jobs_for(figures, divisor)
    began = time.perf_counter()
    totals = {}
    with tempfile.TemporaryDirectory(prefix="vesbel-instructions-") as pycache:
        env = _child_env(pycache)
        failure = prime(dict.fromkeys(job.family for job in jobs), env)
        if failure:
            print(failure, file=sys.stderr)
            return 1
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            for job, (total, problem) in zip(jobs, pool.map(lambda j: count_instructions(j, env), jobs)):
                totals[job] = total
                if problem:
                    notes.append(problem)
    per_op = per_operation(jobs, totals)

    print(f"vesbel.group_bridge instructions per operation, {datetime.date.today()}, "
          f"Python {platform.python_version()}, {version}, {'quick' if args.quick else 'full'} run")
    verdicts = judged(figures, per_op)
    print_table(figures, per_op, {f.key: max(1, f.count // divisor) for f in figures}, verdicts)
    print()
    print("Ir/op: instructions per operation, (N operations - none) / N, warmed up, collector paused;")
    print("fan-out rows give Ir per member in brackets.  Hooks run on one thread, the bridge's _loop a")
    print("stand-in that is always running and drops what call_soon_threadsafe is given (closing")
    print("the coroutine of asyncio's own run_coroutine_threadsafe, which returns a pending")
    print("concurrent.futures.Future).  Floors:")
    used = {f.floor_tag for f in figures}
    for tag, text in FLOOR_LEGEND.items():
        if tag in used:
            print(f"  [{tag}] {text}")
    print(f"Targets (bench/_targets.py): ≤ baseline = at most the baseline's instructions, give or take")
    print(f"{LEVEL:.1%}; ≤k× floor = at most k times the floor (+ selection: plus the C++ member selection's")
    print("figure); own ≤X = the hook's instructions above its floor at most two thirds of what they were")
    print("before they were cut; own ≤ baseline's own = the instructions above the floor at most the")
    print("baseline's.  The exit status is 1 when a target is missed.")
    for note in notes:
        print("note:", note)
    print(verdict(figures, per_op))
    print(target_summary(verdicts) + f" ({len(jobs)} children, {time.perf_counter() - began:.0f} s)")
    return 1 if any(text.startswith("MISSED") for text in verdicts.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
