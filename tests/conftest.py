"""Test set-up shared by every test module.

The suite runs against the built extension module by default.  With
``VESBEL_IMPL=baseline`` it runs against the plain-Python baseline in
``bench/baseline/group_bridge.py`` instead, loaded under the same import name,
so both implementations are held to the same behaviour.
"""

import asyncio
import logging
import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
IMPL = os.environ.get("VESBEL_IMPL") or "module"


if IMPL == "baseline":
    from bench.baseline.loader import load_baseline

    load_baseline()


def pytest_configure(config):
    if IMPL not in ("module", "baseline"):
        raise pytest.UsageError(f"VESBEL_IMPL must be 'module' or 'baseline', not {IMPL!r}")
    config.addinivalue_line("markers", "module_only: only the extension module has this property")


def pytest_collection_modifyitems(config, items):
    if IMPL != "baseline":
        return
    skip = pytest.mark.skip(reason="property of the extension module only")
    for item in items:
        if "module_only" in item.keywords:
            item.add_marker(skip)


@pytest.fixture
def gb():
    """The module under test (`vesbel.group_bridge`)."""
    import vesbel.group_bridge as module

    return module


@pytest.fixture
def vlog(caplog):
    """Captures the records of the "vesbel" logger at info level and above."""
    caplog.set_level(logging.INFO, logger="vesbel")
    return caplog


def run(coro):
    """Runs one coroutine on a fresh event loop and returns its result."""
    return asyncio.run(coro)
