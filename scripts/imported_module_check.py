"""pytest plugin: refuses to run unless ``vesbel.group_bridge`` is imported
from the folder named by VESBEL_EXPECT_MODULE (a sanitized or other build)."""

import os
import pathlib

import pytest


def pytest_sessionstart(session):
    import vesbel.group_bridge as module

    expected = pathlib.Path(os.environ["VESBEL_EXPECT_MODULE"]).resolve()
    loaded = pathlib.Path(module.__file__).resolve()
    if loaded.parent != expected:
        raise pytest.UsageError(f"vesbel.group_bridge came from {loaded}, not from {expected}")
