"""Hostile and wrong values for every public method and hook (hypothesis),
each family in a process of its own so that a crash is caught as one.
VESBEL_FUZZ_EXAMPLES raises the examples per family (default 40)."""

import os
import pathlib
import subprocess
import sys

import pytest

RUNNER = pathlib.Path(__file__).resolve().parent / "fuzz_families.py"


@pytest.mark.parametrize("family", ["controller", "members", "bridge", "hooks", "playback"])
def test_only_ordinary_exceptions(family):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(RUNNER), family], env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout}\n{done.stderr[-4000:]}"
    assert "SystemError" not in done.stderr
