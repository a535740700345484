"""Loads the two implementations side by side.

The extension module is imported under its own name, `vesbel.group_bridge`;
the plain-Python baseline registers the same name, so it is loaded from its
file under a name of its own instead.
"""

import importlib
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
BASELINE_NAME = "vesbel_baseline_group_bridge"

if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))


def load_module():
    """The built extension module, or None (with the reason) when it is not built."""
    try:
        module = importlib.import_module("vesbel.group_bridge")
    except ImportError as exc:
        return None, str(exc)
    if not module.__file__.endswith(".so"):
        return None, f"vesbel.group_bridge is not the extension module: {module.__file__}"
    return module, ""


def load_baseline():
    from bench.baseline.loader import load_baseline as load

    return load(BASELINE_NAME)


def load_both():
    """{"C++": module or None, "baseline": module} and a note on a missing module."""
    module, why = load_module()
    return {"C++": module, "baseline": load_baseline()}, why


def has(impl, cls, *members):
    """Whether ``impl`` exists and its class ``cls`` has every one of ``members``."""
    kind = getattr(impl, cls, None) if impl is not None else None
    return kind is not None and all(hasattr(kind, m) for m in members)
