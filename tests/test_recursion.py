"""Coroutines awaiting coroutines, deeper than the C stack allows: RecursionError, as in Python, never a crash."""

import asyncio
import json
import os
import pathlib
import subprocess
import sys
import threading
import types

import pytest

from fakes import FakeSpeaker, make_group

PROGRAM = pathlib.Path(__file__).parent / "programs" / "deep_await_chain.py"
RECORD = {"status": 1}
DEFAULT = {"status": 0, "volume": 50, "cur_time": 0, "duration": 0}


def run_chain(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(PROGRAM), *map(str, args)], capture_output=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
    return json.loads(done.stdout)


@pytest.mark.parametrize(
    "depth, stack_kib, module, native",
    [
        (35_000, None, DEFAULT, DEFAULT),  # past the recursion limit on the main thread
        (900, 128, RECORD, RECORD),  # on a small thread stack: Python frames use none of it
        (40, 128, RECORD, RECORD),  # shallow enough for it
    ],
)
def test_a_chain_too_deep_ends_in_recursion_error_not_a_crash(depth, stack_kib, module, native):
    args = (depth,) if stack_kib is None else (depth, stack_kib)
    assert run_chain(*args) == {"module": module, "native": native}


def chain(gb, depth, leaf=None):
    node = leaf or FakeSpeaker("leaf", results={"get_status": RECORD})
    for _ in range(depth):
        node, _, _ = make_group(gb, [node], member_dids=[node.did])
    return node


class SuspendingLeaf:
    """A member whose get_status() suspends once, then answers RECORD."""

    did = "leaf"

    @types.coroutine
    def get_status(self):
        yield "step"
        return RECORD


@pytest.mark.module_only
def test_recursion_depth_is_given_back_on_every_path(gb):
    # Send, throw (cancellation) and close all go down the whole chain; a
    # level not given back would make the next deep chain fail early.
    deep = 800

    async def cancelled():
        task = asyncio.create_task(chain(gb, deep, FakeSpeaker("leaf", delays={"get_status": 10})).get_status())
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    for _ in range(3):
        assert asyncio.run(chain(gb, deep).get_status()) == RECORD
        asyncio.run(cancelled())
        coro = chain(gb, deep, SuspendingLeaf()).get_status()
        assert coro.send(None) == "step"
        coro.close()
        coro = chain(gb, deep, SuspendingLeaf()).get_status()
        assert coro.send(None) == "step"
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value == RECORD
    assert asyncio.run(chain(gb, 35_000).get_status()) == DEFAULT
    assert asyncio.run(chain(gb, deep).get_status()) == RECORD


def test_a_group_listed_among_its_own_members(gb):
    group, provider, _ = make_group(gb, [])
    provider.mapping = {"self": group}
    group.config.group.member_dids = [group.did]

    results = []
    threading.stack_size(256 * 1024)
    try:
        worker = threading.Thread(target=lambda: results.append(asyncio.run(group.get_status())))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(0)
    assert results == [DEFAULT]
    assert asyncio.run(group.get_status()) == DEFAULT
