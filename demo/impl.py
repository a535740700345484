"""Which group bridge the demo runs.

By default the built extension module. With ``VESBEL_IMPL=baseline`` the
plain-Python baseline in ``bench/baseline/group_bridge.py``, loaded under the
same import name ``vesbel.group_bridge`` so that nothing else can tell.
"""

import importlib.util
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
BASELINE = ROOT / "bench" / "baseline" / "group_bridge.py"


def implementation_name():
    return "baseline" if os.environ.get("VESBEL_IMPL", "module") == "baseline" else "module"


def load_group_bridge():
    """The ``vesbel.group_bridge`` module the demo runs."""
    if implementation_name() == "baseline":
        spec = importlib.util.spec_from_file_location("vesbel.group_bridge", BASELINE)
        module = importlib.util.module_from_spec(spec)
        sys.modules["vesbel.group_bridge"] = module
        spec.loader.exec_module(module)
        import vesbel

        vesbel.group_bridge = module
        return module
    import vesbel.group_bridge as module

    return module
