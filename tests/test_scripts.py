"""The set-up scripts: what they refuse and what they keep quiet about."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import ROOT

VENV = pathlib.Path(sys.prefix)


def bash(command, **env):
    return subprocess.run(["bash", "-c", command], cwd=ROOT, env=dict(os.environ, **env),
                          capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("script", ["scripts/demo.sh", "scripts/test.sh"])
def test_a_mistyped_implementation_is_refused_before_any_set_up(script, tmp_path):
    venv = tmp_path / "venv"
    done = bash(f"{script} --help", VESBEL_IMPL="basline", VESBEL_VENV=str(venv))
    assert done.returncode == 1
    assert done.stderr == "[env] error: VESBEL_IMPL must be 'module' or 'baseline', not 'basline'\n"
    assert not venv.exists()


@pytest.mark.module_only
def test_a_rebuild_with_nothing_to_do_prints_nothing():
    cache = ROOT / "build" / "CMakeCache.txt"
    configured = re.search(r"^Python_EXECUTABLE:\w+=(.*)$", cache.read_text(), re.M) if cache.exists() else None
    if not configured or pathlib.Path(configured[1]) != VENV / "bin" / "python":
        pytest.skip("build/ is not this interpreter's build")
    # The suite runs after the build, so the module is up to date.
    done = bash('source scripts/env.sh && build_module', VESBEL_VENV=str(VENV))
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
