"""The benchmark entry point runs to the end in its short form.

It loads both implementations itself, so it runs the same whichever one the
suite is pointed at; it prints figures only, and nothing here judges them.
"""

import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


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
    for figure in ("play_url ×1000", "snapshot()", "await stop()", "_on_play_start()",
                   "start + stop cycle"):
        assert any(line.startswith(figure) for line in lines), figure
    assert lines[-1].startswith("targets:")
    assert "Traceback" not in done.stderr
