"""Which group bridge the demo runs.

By default the built extension module. With ``VESBEL_IMPL=baseline`` the
plain-Python baseline in ``bench/baseline/group_bridge.py``, loaded under the
same import name ``vesbel.group_bridge`` so that nothing else can tell.
"""

import os


def implementation_name():
    return "baseline" if os.environ.get("VESBEL_IMPL", "module") == "baseline" else "module"


def load_group_bridge():
    """The ``vesbel.group_bridge`` module the demo runs."""
    if implementation_name() == "baseline":
        from bench.baseline.loader import load_baseline

        return load_baseline()
    import vesbel.group_bridge as module

    return module
