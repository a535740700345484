"""Which group bridge the demo runs.

By default the built extension module. With ``VESBEL_IMPL=baseline`` the
plain-Python baseline in ``bench/baseline/group_bridge.py``, loaded under the
same import name ``vesbel.group_bridge`` so that nothing else can tell.
"""

import os

IMPLEMENTATIONS = ("module", "baseline")


def implementation_name():
    """"module" or "baseline"; any other VESBEL_IMPL is a ValueError that
    names both (unset or empty means "module")."""
    name = os.environ.get("VESBEL_IMPL") or "module"
    if name not in IMPLEMENTATIONS:
        raise ValueError(f"VESBEL_IMPL must be {' or '.join(map(repr, IMPLEMENTATIONS))}, not {name!r}")
    return name


def load_group_bridge():
    """The ``vesbel.group_bridge`` module the demo runs."""
    if implementation_name() == "baseline":
        from bench.baseline.loader import load_baseline

        return load_baseline()
    import vesbel.group_bridge as module

    return module
