"""Loads the plain-Python baseline module from its file.

Under the name ``vesbel.group_bridge`` it stands in for the extension module
(nothing else can tell); under another name it can live beside it.
"""

import importlib.util
import pathlib
import sys

BASELINE_PATH = pathlib.Path(__file__).resolve().parent / "group_bridge.py"


def load_baseline(name="vesbel.group_bridge"):
    """The baseline module registered as ``name`` (loaded once)."""
    if name in sys.modules:
        return sys.modules[name]
    spec = importlib.util.spec_from_file_location(name, BASELINE_PATH)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    if name == "vesbel.group_bridge":
        import vesbel

        vesbel.group_bridge = module
    return module
