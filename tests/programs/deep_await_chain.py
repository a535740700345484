"""Runs get_status() through a chain of groups, each the only member of the
next, and the same chain written as native coroutines; prints both results
as JSON.  Every level catches ordinary errors as get_status() does, so a
chain too deep for the stack ends in the default record, not a crash.

Usage: deep_await_chain.py DEPTH [STACK_KIB]
With STACK_KIB the chains run on a thread with that stack size.  The groups
are made and let go of on the main thread: freeing a chain of objects that
deep recurses in the interpreter itself, which a small stack does not hold
on 3.13.
"""

import asyncio
import json
import os
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))  # the tests' fakes

from fakes import FakeSpeaker, make_group  # noqa: E402

import vesbel.group_bridge as gb  # noqa: E402

RECORD = {"status": 1}
DEFAULT = {"status": 0, "volume": 50, "cur_time": 0, "duration": 0}


def module_chain(depth):
    node = FakeSpeaker("leaf", results={"get_status": RECORD})
    for _ in range(depth):
        node, _, _ = make_group(gb, [node], member_dids=[node.did])
    return node


async def native_level(depth):
    if depth == 0:
        return RECORD
    try:
        status = await native_level(depth - 1)
    except Exception:
        return DEFAULT
    return status


def run(top, depth):
    return {"module": asyncio.run(top.get_status()), "native": asyncio.run(native_level(depth))}


def main():
    depth = int(sys.argv[1])
    top = module_chain(depth)
    if len(sys.argv) > 2:
        threading.stack_size(int(sys.argv[2]) * 1024)
        results = []
        worker = threading.Thread(target=lambda: results.append(run(top, depth)))
        worker.start()
        worker.join()
        (result,) = results
    else:
        result = run(top, depth)
    print(json.dumps(result))


main()
