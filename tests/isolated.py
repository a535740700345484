"""Runs a scenario in a fresh interpreter, so that a crash or a hang fails
one test instead of ending the whole run."""

import json
import os
import pathlib
import subprocess
import sys
import textwrap

TESTS = pathlib.Path(__file__).resolve().parent

PRELUDE = f"""
import asyncio, gc, json, os, sys, types
sys.path.insert(0, {str(TESTS)!r})
sys.path.append({str(TESTS.parent)!r})  # last: the module under test comes from the caller's path
if os.environ.get("VESBEL_IMPL") == "baseline":  # as conftest does, without importing pytest
    from bench.baseline.loader import load_baseline
    load_baseline()
import vesbel.group_bridge as gb
from fakes import FakeHub, FakeSpeaker, Provider, make_config, make_group
"""


def run_isolated(code, timeout=60):
    """Runs ``code`` after PRELUDE; it must exit cleanly, with no SystemError
    anywhere, and print one JSON line last, which is given back."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stderr[-3000:]}"
    assert "SystemError" not in done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])
