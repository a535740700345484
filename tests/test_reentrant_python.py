"""Python code that reaches into a module coroutine while the module is in
the middle of driving it: a lookup that drives the coroutine on, a cache
found through the garbage collector and driven or rewritten.  The outcome must be
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
    assert outcome["native"] == outcome["module"]


def test_what_the_collector_reaches_is_never_trusted():
    # A waiting stop's code, the entry its code holds and its body object
    # are all reachable (gc.get_objects(), cr_frame.f_locals): hosts that
    # replace, call or drive them get ordinary errors and the operation
    # still ends.
    outcome = run_isolated("""
        class Receiver:
            def stop(self):
                self.future = asyncio.get_running_loop().create_future()
                return self.future

        async def native(self):
            return self

        def attempt(poke):
            try:
                poke()
                return "ok"
            except Exception as error:
                return type(error).__name__

        async def main():
            bridge = gb.GroupBridge("10.0.0.2", object())
            bridge.airplay_server = receiver = Receiver()
            task = asyncio.ensure_future(bridge.stop())
            await asyncio.sleep(0)
            body = task.get_coro().cr_frame.f_locals["_body"]
            start = next(c for c in gb.GroupBridge.stop.__code__.co_consts if type(c).__name__.startswith("builtin"))
            tried = [attempt(lambda: setattr(gb.GroupBridge.stop, "__code__", native.__code__)),
                     attempt(lambda: body.throw(42)), attempt(lambda: body.send(None)),
                     attempt(lambda: body.send(None))]
            tried += [attempt(start), attempt(lambda: start(42)), attempt(lambda: start(bridge, 1))]
            receiver.future.set_result(True)
            try:
                await task
            except Exception as error:
                tried.append(type(error).__name__)
            tried.append(attempt(lambda: bridge.stop().send(None)))
            return tried

        print(json.dumps(asyncio.run(main())))
    """)
    assert outcome == ["ok", "TypeError", "ok", "RuntimeError", "TypeError", "AttributeError", "TypeError",
                       "RuntimeError", "StopIteration"]


@pytest.mark.parametrize("command", ["resume", "play_url", "stop"])
def test_a_step_that_fails_with_no_exception_reads_as_none(command):
    # A waiting command's cr_await (the gather's future iterator) stepped
    # by hand to its end answers the command's next step with an error and
    # no exception: `await` reads that as None, as for a native coroutine.
    outcome = run_isolated(f"""
        async def native(members):
            outcomes = await asyncio.gather(*[asyncio.sleep(0.01, True) for _ in members])
            return all(outcome is True for outcome in outcomes)

        def attempt(make):
            async def main():
                coro = make()
                await asyncio.wait([coro.send(None)])  # the gather's future, waited for here
                try:
                    next(coro.cr_await)
                except StopIteration:
                    pass
                try:
                    coro.send(None)
                except StopIteration as stop:
                    return ["returned", stop.value]
                except Exception as error:
                    return [type(error).__name__]
            return asyncio.run(main())

        speakers = [FakeSpeaker(str(i), delays={{{command!r}: 0.01}}) for i in range(2)]
        ctrl, _, _ = make_group(gb, speakers)
        args = ("u",) if {command!r} == "play_url" else ()
        print(json.dumps([attempt(lambda: getattr(ctrl, {command!r})(*args)), attempt(lambda: native(speakers))]))
    """)
    module, native = outcome
    assert native == ["TypeError"]  # all() over None
    assert module in (["TypeError"], ["returned", True])  # the outcome walk, or a command that ignores outcomes
