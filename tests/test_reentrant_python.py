"""Python code that reaches into a module coroutine while the module is in
the middle of driving it: a lookup that drives the coroutine on, a cache
found through the garbage collector and rewritten.  The outcome must be
what a native coroutine gives; each case runs in a fresh interpreter that
has to end cleanly."""

import pytest

from isolated import run_isolated

pytestmark = pytest.mark.module_only


@pytest.mark.parametrize("found", ["returns", "raises", "absent"])
def test_a_throw_lookup_that_finishes_the_coroutine(found):
    # Looking up the awaited iterator's `throw` sends into the coroutine
    # that throw() is driving, which runs it to its end.
    outcome = run_isolated(f"""
        found = {found!r}

        class Iterator:
            def __iter__(self):
                return self

            def __next__(self):
                return None

            def send(self, value):
                raise StopIteration(value)

            @property
            def throw(self):
                try:
                    coro.send("finished early")
                except StopIteration:
                    pass
                if found == "absent":
                    raise AttributeError("throw")
                if found == "raises":
                    def throw(*args):
                        raise KeyError("from throw")
                    return throw
                return lambda *args: "yielded by throw"

        class Awaitable:
            def __await__(self):
                return Iterator()

        class Receiver:
            def stop(self):
                return Awaitable()

        async def native():
            return await Awaitable()

        def module():
            bridge = gb.GroupBridge("10.0.0.2", object())
            bridge.airplay_server = Receiver()
            return bridge.stop()

        results = {{}}
        for label, make in (("native", native), ("module", module)):
            coro = make()
            coro.send(None)
            try:
                coro.throw(ValueError("thrown"))
                result = "no error"
            except BaseException as error:
                result = [type(error).__name__, str(error)]
            results[label] = [result, coro.cr_suspended, coro.cr_frame is None]
            del coro
            gc.collect()
        print(json.dumps(results))
    """)
    assert outcome["module"] == [["RuntimeError", "cannot reuse already awaited coroutine"], False, True]
    if found != "returns":  # a native coroutine yields that value from its finished frame
        assert outcome["native"] == outcome["module"]


def test_code_objects_rewritten_through_the_collector():
    # The code objects that frames and tracebacks show are cached in a dict
    # that gc.get_objects() lists; a host that overwrites its entries must
    # not make the module use them as code.
    outcome = run_isolated("""
        class Receiver:
            def __init__(self):
                self.future = None

            def stop(self):
                self.future = asyncio.get_running_loop().create_future()
                return self.future

        def stop_suspended():
            bridge = gb.GroupBridge("10.0.0.2", object())
            bridge.airplay_server = receiver = Receiver()
            task = asyncio.ensure_future(bridge.stop())
            return task, receiver

        def caches():
            return [o for o in gc.get_objects()
                    if type(o) is dict and o and all(type(k) is tuple and len(k) == 3 for k in o)
                    and any(str(k[1]).endswith(".cpp") for k in o)]

        async def main():
            task, receiver = stop_suspended()
            await asyncio.sleep(0)
            task.get_stack()  # fills the cache with the place stop() waits at
            found = caches()
            for cache in found:
                for key in cache:
                    cache[key] = 42
            task, receiver = stop_suspended()
            await asyncio.sleep(0)
            [frame] = task.get_stack()
            receiver.future.set_exception(KeyError("receiver"))
            try:
                await task
            except KeyError as error:
                names = [frame.f_code.co_qualname for frame, _ in traceback.walk_tb(error.__traceback__)]
            return [len(found), frame.f_code.co_qualname, "GroupBridge.stop" in names]

        import traceback
        print(json.dumps(asyncio.run(main())))
    """)
    assert outcome == [1, "GroupBridge.stop", True]
