"""Leaves a group stop() suspended at exit, beside a file with buffered data.

The stop waits on a future its member holds: a cycle through the command's
member list.  At exit the collector must see that cycle through the
coroutine object, so everything in it, and the file left open in
``__main__``, is finalised and the file keeps its data.

Usage: exit_with_suspended_stop.py PATH
"""

import asyncio
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))  # the tests' fakes

from fakes import FakeSpeaker, make_group  # noqa: E402

import vesbel.group_bridge as gb  # noqa: E402

out = open(sys.argv[1], "w")
out.write("buffered data that must reach the file\n")


class HoldingSpeaker(FakeSpeaker):
    def stop(self):
        self.pending = asyncio.get_running_loop().create_future()
        return self.pending


async def main():
    group, _, _ = make_group(gb, [HoldingSpeaker("kitchen")])
    global task
    task = asyncio.ensure_future(group.stop())
    await asyncio.sleep(0.01)


asyncio.new_event_loop().run_until_complete(main())
