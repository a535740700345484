"""Ends the interpreter while receiver threads are inside the bridge's hooks.

Six daemon threads call every hook in a loop (with a short switch interval,
so they are often between bytecodes of the stand-ins' Python code) and the
main thread exits without stopping the bridge, as a host does on an uncaught
error.  Interpreter exit then ends each busy thread where it next asks for
the GIL.  The program must end with its own status, with no signal.

Usage: exit_while_hooks_run.py STATUS [finaliser] [uncaught] [clear-atexit]
"finaliser" gives the hub's leases a ``__del__``, so Python code would run
if a reference were released during that ending; "uncaught" ends the
program with an uncaught error instead of ``sys.exit(STATUS)``;
"clear-atexit" empties the atexit registry first, as an interactive shell
does before it exits.
"""

import asyncio
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))  # the tests' fakes

from fakes import FakeHub, FakeSpeaker, Lease, make_group  # noqa: E402

import vesbel.group_bridge as gb  # noqa: E402

STATUS = int(sys.argv[1])
WITH_FINALISER = "finaliser" in sys.argv[2:]


class FinalisedLease(Lease):
    def __del__(self):
        self.session_id = None


class BusyHub(FakeHub):
    """Hands out a fresh lease object on every session read."""

    def get_session(self, *args, **kwargs):
        super().get_session(*args, **kwargs)
        return {"session_id": FinalisedLease(5) if WITH_FINALISER else 5}

    def record(self, name, *args, **kwargs):
        pass  # an unbounded record would only slow the threads down


def main():
    sys.setswitchinterval(1e-6)
    speakers = [FakeSpeaker(f"s{i}") for i in range(3)]
    group, _, config = make_group(gb, speakers)
    bridge = gb.GroupBridge("127.0.0.1", group, None, config, BusyHub())
    loop = asyncio.new_event_loop()
    threading.Thread(target=loop.run_forever, daemon=True).start()
    while not loop.is_running():
        time.sleep(0.001)
    bridge._loop = loop

    def busy():
        metadata = {"title": "t", "artist": "a"}
        while True:
            bridge._on_metadata_change(metadata, None)
            bridge._on_progress_change(1000, 2000)
            bridge._on_volume_change(-12.5)
            bridge._on_play_pause()
            bridge._on_play_resume()
            bridge._on_play_stop()
            bridge.snapshot()

    for _ in range(6):
        threading.Thread(target=busy, daemon=True).start()
    time.sleep(0.3)
    if "clear-atexit" in sys.argv[2:]:
        import atexit

        atexit._clear()
    if "uncaught" in sys.argv[2:]:
        raise RuntimeError("the host failed")
    sys.exit(STATUS)


main()
