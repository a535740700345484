"""Short forms of the leak soak and the thread storm (bench/soak.py and
bench/thread_storm.py run the long ones)."""

import asyncio
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import IMPL

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))

import soak  # noqa: E402
import thread_storm  # noqa: E402
import workload  # noqa: E402


@pytest.fixture
def quiet():
    restore = workload.quiet_log()
    yield
    restore()


def test_every_operation_repeated_frees_what_it_built_and_stops_growing(gb, quiet):
    rounds, warmup = 10, 4
    # A real leak grows in every round of every run; a busy machine can make
    # one run look like it, so a suspected leak is measured once more.
    for _ in range(2):
        samples, survivors, per_round = asyncio.run(soak.soak(gb, 300, rounds, traced=False))
        _, deltas = soak.growth(samples, warmup, per_round)
        assert survivors == []
        if not soak.leaks(deltas, per_round):
            break
    else:
        pytest.fail(f"blocks grew every round of two runs: {deltas}")


def test_hooks_from_many_threads_while_the_bridge_restarts(gb, capsys):
    status = thread_storm.main(["--seconds", "2", "--impl", IMPL])
    out = capsys.readouterr().out
    assert (status, out.splitlines()[-1]) == (0, "PASS: no hook raised, no error reached the loop, "
                                                 "no hook failure was logged"), out
    assert re.search(r": [1-9]\d* hook calls, [1-9]\d* start/stop cycles", out), out


def run_soak(*args):
    return subprocess.run([sys.executable, str(BENCH / "soak.py"), *args], capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("args, complaint", [
    (["--rounds", "0"], "--rounds must be at least 2 (a warm-up round and a measured one), not 0"),
    (["--rounds", "1"], "--rounds must be at least 2 (a warm-up round and a measured one), not 1"),
    (["--cycles", "0"], "--cycles must be at least 1, not 0"),
    (["--cycles", "10", "--rounds", "20"], "--cycles must be at least --rounds (20): each round runs "
                                           "cycles / rounds cycles; got 10"),
])
def test_the_soak_refuses_runs_it_cannot_measure(args, complaint):
    done = run_soak(*args)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1] == f"soak.py: error: {complaint}"


def test_a_short_soak_says_it_cannot_judge_instead_of_crying_leak():
    done = run_soak("--cycles", "40", "--impl", "baseline" if IMPL == "baseline" else "module")
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.splitlines()[-1] == ("too short to judge growth: 2 cycles per round over 15 measured "
                                            "rounds, at least 100 over 3 needed")


@pytest.mark.parametrize("deltas, per_round, survivors, line, failed", [
    ([120, 130, 110], 100, [], "LEAK", True),
    ([120, 30, 110], 100, [], "no growth", False),
    ([3, 4, 5], 2, [], "too short to judge growth", False),  # would pass for a leak
    ([120, 130], 100, [], "too short to judge growth", False),
    ([0, 0, 0], 2, ["<Task>"], "LEAK: objects outlive their cycle", True),
])
def test_the_verdict(deltas, per_round, survivors, line, failed):
    said, failure = soak.verdict(deltas, per_round, survivors)
    assert (said.split(":")[0], failure) == (line.split(":")[0], failed)
