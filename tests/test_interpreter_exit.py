"""Interpreter exit with the bridge still busy.

At exit CPython ends a daemon thread that asks for the GIL with a forced
unwind through whatever C++ frames it is in.  Nothing may then touch the
interpreter: the program ends with its own status and no signal.  And what
a suspended command holds must be visible to the collector, or the exit
cannot finalise what hangs off it.
"""

import os
import pathlib
import subprocess
import sys

import pytest

PROGRAM = pathlib.Path(__file__).parent / "programs" / "exit_while_hooks_run.py"
# Each run is a fresh interpreter; before the fault was fixed about every
# other run died of a signal.  VESBEL_EXIT_RUNS=50 for the long form.
RUNS = int(os.environ.get("VESBEL_EXIT_RUNS", "4"))


@pytest.mark.parametrize("options, status", [
    ([], 3),
    (["finaliser"], 3),  # a release during the ending would run Python code
    (["uncaught"], 1),  # the host ends on an error without stopping the bridge
    (["finaliser", "clear-atexit"], 3),  # exit is told by the interpreter, not by atexit
])
def test_exit_with_busy_receiver_threads_keeps_its_status(options, status):
    args = [sys.executable, str(PROGRAM), "3"] + options
    # Started together: the runs overlap, which keeps the test short.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    runs = [subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env) for _ in range(RUNS)]
    outcomes = []
    for run in runs:
        _, err = run.communicate(timeout=60)
        outcomes.append((run.returncode, err.decode(errors="replace")[-2000:]))
    bad = [(code, err) for code, err in outcomes if code != status]
    assert not bad, f"{len(bad)} of {RUNS} runs ended badly: {bad[0]}"


def test_a_stop_left_suspended_at_exit_lets_main_be_finalised(tmp_path):
    # Before the command's member list was visible to the collector, the
    # cycle through it kept __main__'s objects alive at exit: the open file
    # was never finalised and lost its buffered line.
    target = tmp_path / "out.txt"
    program = pathlib.Path(__file__).parent / "programs" / "exit_with_suspended_stop.py"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(program), str(target)], capture_output=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
    assert target.read_text() == "buffered data that must reach the file\n"
