"""Short forms of the leak soak and the thread storm (bench/soak.py and
bench/thread_storm.py run the long ones)."""

import asyncio
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

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


def test_hooks_from_many_threads_while_the_bridge_restarts(gb, quiet):
    result = asyncio.run(thread_storm.storm(gb, threads=4, seconds=2.0))
    assert result["escaped"] == []
    assert result["loop_errors"] == []
    assert result["warnings"] == []
    assert result["hook_calls"] > 0 and result["start_stop_cycles"] > 0
