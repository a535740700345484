"""The benchmark entry point runs to the end in its short form.

It loads both implementations itself, so it runs the same whichever one the
suite is pointed at; it prints figures and their noise and judges no target.
The targets are judged on instruction counts (bench/instructions.py, too slow
for the suite): their rules are tested here on made-up counts.
"""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

import _targets  # noqa: E402


# Debug modes make asyncio log every slow step; the benchmark runs without them.
DEBUG_SWITCHES = ("PYTHONDEVMODE", "PYTHONASYNCIODEBUG")


def test_quick_benchmark_prints_its_table():
    env = {k: v for k, v in os.environ.items() if k not in DEBUG_SWITCHES}
    done = subprocess.run([sys.executable, str(ROOT / "bench" / "run.py"), "--quick"],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    header = next(line for line in lines if line.startswith("figure"))
    assert header.split()[:4] == ["figure", "C++", "µs", "baseline"]
    assert header.split()[-2:] == ["noise", "verdict"]
    for figure in ("play_url ×1000", "snapshot()", "await stop()", "await bridge.stop()", "_on_play_start()",
                   "start + stop cycle"):
        assert any(line.startswith(figure) for line in lines), figure
    assert lines[-1].startswith("verdicts: ")
    assert "MISSED" not in done.stdout
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize("key, floor_tag, cpp, baseline, floor, expected", [
    ("snapshot-10", None, 1004, 1000, None, "yes"),  # level within the counts' repeatability
    ("snapshot-10", None, 1006, 1000, None, "MISSED ≤ baseline"),
    ("snapshot-10", None, 1000, None, None, "n/a"),
    ("play_url-1000", "gather", 1019, 1100, 1000, "yes"),
    ("play_url-1000", "gather", 1021, 1100, 1000, "MISSED ≤1.02× floor"),
    ("play_url-10", "gather", 1030, 1000, 1000, "MISSED ≤ baseline; ≤1.02× floor"),
    ("cycle-10", "cycle", 1101, 1100, 1000, "MISSED own work (own 101 vs 100)"),
    ("_on_play_stop", "rcts", 16000, 17000, 10000, "yes (own 6,000)"),
    ("_on_play_stop", "rcts", 16001, 17000, 10000, "MISSED own work (own 6,001)"),
    ("_on_metadata_change", "csts", 900, 1000, 1500, "yes"),  # hands nothing over: no own-work target
])
def test_instruction_count_targets(monkeypatch, key, floor_tag, cpp, baseline, floor, expected):
    monkeypatch.setattr(_targets, "OWN_WORK_BEFORE", {"_on_play_stop": 9000})
    assert _targets.verdict(_targets.targets_for(key, floor_tag), cpp, baseline, floor) == expected
