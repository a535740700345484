"""vesbel: AirPlay-to-Xiaomi home audio.

The compiled ``group_bridge`` extension is built into this folder; the other
modules are small stand-ins for the host application's own components.

The package may also be spread over several folders: the
``vesbel-group-bridge`` wheel installs ``vesbel/group_bridge`` into
site-packages without an ``__init__.py`` of its own, and a host run from its
source tree finds it there through the extended ``__path__``.
"""

import pkgutil

__path__ = pkgutil.extend_path(__path__, __name__)
