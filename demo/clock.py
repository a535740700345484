"""A house clock that runs N times faster than real time.

The group bridge reads the wall clock through its module global ``time`` and
waits through its module global ``asyncio``, both looked up when used. Giving
it the stand-ins below makes its 3 s poll, 10 s grace period and 4 s resume
delay pass N times faster, so a whole session fits in a few seconds.
"""

import asyncio
import time
import types


class HouseClock:
    def __init__(self, speedup):
        if not speedup > 0:
            raise ValueError("the speed-up must be positive")
        self.speedup = speedup
        self._wall_origin = time.time()
        self._real_origin = time.monotonic()

    def time(self):
        """Seconds since the epoch, in house time."""
        return self._wall_origin + (time.monotonic() - self._real_origin) * self.speedup

    def real(self, house_seconds):
        return house_seconds / self.speedup

    async def sleep(self, house_seconds):
        await asyncio.sleep(self.real(house_seconds))

    def time_module(self):
        """The ``time`` module with ``time()`` on the house clock."""
        module = _delegating_module(time)
        module.time = self.time
        return module

    def asyncio_module(self):
        """The ``asyncio`` module with ``sleep`` and ``wait_for`` on the house clock."""
        module = _delegating_module(asyncio)
        real = self.real

        def sleep(delay, result=None):
            return asyncio.sleep(real(delay), result)

        def wait_for(fut, timeout):
            return asyncio.wait_for(fut, None if timeout is None else real(timeout))

        module.sleep, module.wait_for = sleep, wait_for
        return module

    def install(self, module):
        """Puts ``module`` (the group bridge) on this clock; returns an undo."""
        saved = module.time, module.asyncio
        module.time, module.asyncio = self.time_module(), self.asyncio_module()

        def undo():
            module.time, module.asyncio = saved

        return undo


def _delegating_module(original):
    """A module object that answers every name it lacks from ``original``."""
    module = types.ModuleType(original.__name__, original.__doc__)
    module.__getattr__ = lambda name: getattr(original, name)
    return module
