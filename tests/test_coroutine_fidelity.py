"""The module's coroutines next to native ``async def`` coroutines: what a host can see of them.

Each test runs once with a native coroutine and once with the module's (the
bridge's ``stop()``, which awaits whatever its receiver's ``stop()`` hands
back) and holds both to the same expectations.
"""

import asyncio
import copy
import gc
import inspect
import linecache
import pickle
import sys
import traceback
import types
import warnings
import weakref

import pytest

pytestmark = pytest.mark.module_only


class Receiver:
    """What the bridge's stop() awaits: whatever `awaitable` is."""

    def __init__(self, awaitable):
        self.awaitable = awaitable

    def stop(self):
        return self.awaitable


async def native_stop(bridge):
    """The bridge's stop() as Python code would write it."""
    bridge._airplay_active = False
    server = bridge.airplay_server
    if server:
        await server.stop()
        bridge.airplay_server = None


@pytest.fixture(params=["native", "module"])
def awaiting(request, gb):
    """Makes a fresh coroutine, native or the module's, that awaits `awaitable`."""

    def make(awaitable):
        bridge = gb.GroupBridge("10.0.0.2", object())
        bridge.airplay_server = Receiver(awaitable)
        return native_stop(bridge) if request.param == "native" else bridge.stop()

    return make


@types.coroutine
def bare(log=None):
    """Yields one bare value, then returns what it was sent."""
    try:
        return (yield "step")
    finally:
        if log is not None:
            log.append("bare closed")


def outcome(step):
    try:
        return ("yielded", step())
    except StopIteration as stop:
        return ("returned", stop.value)
    except BaseException as error:  # noqa: B036 - the outcome is what is compared
        return (type(error).__name__, str(error))


def test_not_an_iterator(awaiting):
    coro = awaiting(bare())

    def delegating():
        yield from coro

    for probe in (next, iter, list, lambda c: list(delegating())):
        with pytest.raises(TypeError):
            probe(coro)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    coro.close()


def test_await_hands_out_an_iterator_that_drives_the_coroutine(awaiting):
    coro = awaiting(bare())
    wrapper = coro.__await__()
    assert iter(wrapper) is wrapper and wrapper is not coro
    assert next(wrapper) == "step"
    assert coro.cr_suspended
    assert outcome(lambda: wrapper.send("sent")) == ("returned", None)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
    assert wrapper.close() is None


@pytest.mark.parametrize("action", [copy.copy, copy.deepcopy, pickle.dumps])
def test_copy_and_pickle_are_refused(awaiting, action):
    coro = awaiting(bare())
    with pytest.raises(TypeError, match=r"^cannot pickle 'coroutine' object$"):
        action(coro)
    with pytest.raises(TypeError, match=r"^cannot pickle 'coroutine_wrapper' object$"):
        action(coro.__await__())
    coro.close()


class Probe:
    """An awaitable that records the state of `coro` while it runs."""

    def __init__(self):
        self.coro = None
        self.seen = None

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        c = self.coro
        self.seen = (inspect.getcoroutinestate(c), c.cr_running, c.cr_suspended, c.cr_await, c.cr_frame is not None)
        return "step"


def test_state_and_attributes_in_every_state(awaiting):
    probe = Probe()
    coro = probe.coro = awaiting(probe)
    assert (inspect.getcoroutinestate(coro), coro.cr_running, coro.cr_suspended, coro.cr_await) == (
        inspect.CORO_CREATED, False, False, None)
    assert isinstance(coro.cr_frame, types.FrameType) and coro.cr_frame.f_code is coro.cr_code
    assert coro.cr_code.co_flags & inspect.CO_COROUTINE
    assert coro.cr_code.co_qualname == coro.__qualname__
    assert coro.send(None) == "step"
    assert probe.seen == (inspect.CORO_RUNNING, True, False, None, True)
    assert (inspect.getcoroutinestate(coro), coro.cr_running, coro.cr_suspended, coro.cr_await) == (
        inspect.CORO_SUSPENDED, False, True, probe)
    assert inspect.getcoroutinelocals(coro) is not None
    coro.close()
    assert (inspect.getcoroutinestate(coro), coro.cr_frame, coro.cr_await) == (inspect.CORO_CLOSED, None, None)


def test_awaiting_a_coroutine_another_task_awaits_is_refused(awaiting):
    async def main():
        future = asyncio.get_running_loop().create_future()
        owned = awaiting(future)
        owner = asyncio.create_task(owned)
        await asyncio.sleep(0)

        async def python_thief():
            return await owned

        thieves = [python_thief(), awaiting(owned)]  # a Python frame and a coroutine of the same kind
        for thief in thieves:
            with pytest.raises(RuntimeError, match=r"^coroutine is being awaited already$"):
                await thief
        assert owned.cr_await is not None and not owner.done()
        future.set_result(None)
        assert await owner is None
        return inspect.getcoroutinestate(owned)

    assert asyncio.run(main()) == inspect.CORO_CLOSED


class BadInit(Exception):
    def __init__(self, *args):
        raise KeyError("constructor")


class NotAnException(BaseException):
    def __new__(cls, *args):
        return 5


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1,), ("TypeError", "exceptions must be classes or instances deriving from BaseException, not int")),
        ((ValueError(), 5), ("TypeError", "instance exception may not have a separate value")),
        ((ValueError, None, 5), ("TypeError", "throw() third argument must be a traceback object")),
        ((BadInit,), ("KeyError", "'constructor'")),
        ((NotAnException,), ("TypeError", f"calling {NotAnException!r} should have returned an instance of "
                                          "BaseException, not int")),
        ((ValueError, (1, 2)), ("ValueError", "(1, 2)")),
        ((ValueError, 7), ("ValueError", "7")),
    ],
)
def test_throw_validates_its_arguments_where_they_land(awaiting, args, expected):
    # A chain outer -> inner -> a generator-based coroutine: the arguments go
    # down the chain and are judged at its end; the error ends both coroutines.
    inner = awaiting(bare())
    outer = awaiting(inner)
    assert outer.send(None) == "step"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the (type, value, tb) form
        assert outcome(lambda: outer.throw(*args)) == expected
    assert [inspect.getcoroutinestate(c) for c in (outer, inner)] == [inspect.CORO_CLOSED] * 2


@pytest.mark.parametrize("args", [(1,), (ValueError(), 5), (ValueError, None, 5)])
def test_refused_throw_into_a_fresh_coroutine_leaves_it_fresh(awaiting, args):
    coro = awaiting(bare())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert outcome(lambda: coro.throw(*args))[0] == "TypeError"
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    coro.close()


@pytest.mark.parametrize("args, message", [((), "throw expected at least 1 argument, got 0"),
                                           ((1, 2, 3, 4), "throw expected at most 3 arguments, got 4")])
def test_throw_argument_count(awaiting, args, message):
    coro = awaiting(bare())
    assert outcome(lambda: coro.throw(*args)) == ("TypeError", message)
    coro.close()


class CloseLookupFails:
    """An awaited iterator whose `close` cannot be looked up."""

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "step"

    @property
    def close(self):
        raise KeyError("lookup")


def test_close_reports_an_unfindable_delegate_close_as_unraisable(awaiting, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append((type(u.exc_value), u.object)))
    delegate = CloseLookupFails()
    coro = awaiting(delegate)
    coro.send(None)
    assert coro.close() is None
    assert reported == [(KeyError, delegate)]
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED


class AwaitGives:
    def __init__(self, iterator):
        self.iterator = iterator

    def __await__(self):
        return self.iterator


async def native_coroutine():
    pass


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: 1, "object int can't be used in 'await' expression"),
        (lambda: AwaitGives(native_coroutine()), "__await__() returned a coroutine"),
        (lambda: AwaitGives(5), "__await__() returned non-iterator of type 'int'"),
    ],
)
def test_await_error_texts(awaiting, make, message):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the refused native coroutine is never awaited
        coro = awaiting(make())
        assert outcome(lambda: coro.send(None)) == ("TypeError", message)
        gc.collect()


def test_weak_reference_callbacks_run_before_the_finaliser(awaiting):
    log = []
    coro = awaiting(bare(log))
    coro.send(None)
    ref = weakref.ref(coro, lambda r: log.append("weakref callback"))
    del coro
    gc.collect()
    assert log == ["weakref callback", "bare closed"] and ref() is None


def test_a_coroutine_resurrected_by_its_finaliser_stays_tracked(awaiting):
    saved = []

    @types.coroutine
    def resurrecting(target):
        try:
            yield "step"
        finally:
            saved.extend(o for o in gc.get_objects() if id(o) == target[0])

    target = []
    coro = awaiting(resurrecting(target))
    target.append(id(coro))
    coro.send(None)
    del coro
    gc.collect()
    assert len(saved) == 1
    assert gc.is_tracked(saved[0]) and inspect.getcoroutinestate(saved[0]) == inspect.CORO_CLOSED
    saved.clear()
    gc.collect()


def test_task_repr_and_stack_say_where_the_operation_waits(awaiting):
    async def main():
        future = asyncio.get_running_loop().create_future()
        coro = awaiting(future)
        task = asyncio.create_task(coro)
        await asyncio.sleep(0)
        (frame,) = task.get_stack()
        where = f"{coro.__qualname__}() running at {frame.f_code.co_filename}:{frame.f_lineno}"
        shown = repr(task), frame.f_code.co_qualname, linecache.getline(frame.f_code.co_filename, frame.f_lineno)
        future.set_result(None)
        await task
        return where, shown

    where, (task_repr, qualname, line) = asyncio.run(main())
    assert where in task_repr
    assert qualname in ("native_stop", "GroupBridge.stop")
    # A native coroutine's source is there to show; the module's, as any
    # compiled extension's, is not.
    assert ("await" in line) if qualname == "native_stop" else line == ""


class Failing:
    def __await__(self):
        raise LookupError("receiver failed")
        yield  # pragma: no cover - makes __await__ a generator


def test_a_traceback_through_the_coroutine_names_the_operation(awaiting):
    coro = awaiting(Failing())
    code = coro.cr_code
    with pytest.raises(LookupError) as caught:
        coro.send(None)
    entries = traceback.extract_tb(caught.value.__traceback__)
    names = [(entry.name, entry.filename) for entry in entries]
    assert (code.co_name, code.co_filename) in names
    mine = entries[names.index((code.co_name, code.co_filename))]
    assert names.count((code.co_name, code.co_filename)) == 1
    assert ("await" in mine.line) if code.co_name == "native_stop" else mine.lineno == code.co_firstlineno
    assert names.index((code.co_name, code.co_filename)) < names.index(("__await__", __file__))


def test_never_awaited_warning_says_where_the_coroutine_was_made(awaiting):
    previous = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(3)
    try:
        coro = awaiting(bare())
    finally:
        sys.set_coroutine_origin_tracking_depth(previous)
    assert coro.cr_origin[0][2] == "make"
    name = coro.__qualname__
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del coro
        gc.collect()
    (warning,) = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    text = str(warning.message)
    assert text.startswith(f"coroutine '{name}' was never awaited") and "Coroutine created at" in text


def test_tools_see_a_native_coroutine(awaiting):
    # What inspect, call-graph walkers and source lookups see, beside a
    # plain async def: the kind, the arguments in the frame, the chain of
    # awaits, and no source for a compiled extension.
    async def receiver_stop():
        return await bare()

    coro = awaiting(receiver_stop())
    assert inspect.iscoroutine(coro) and type(coro) is types.CoroutineType
    assert coro.send(None) == "step"
    assert list(inspect.getcoroutinelocals(coro).values())[0] is coro.cr_frame.f_locals[coro.cr_code.co_varnames[0]]
    assert type(list(inspect.getcoroutinelocals(coro).values())[0]).__name__ == "GroupBridge"
    chain, link = [], coro
    while isinstance(link, types.CoroutineType):
        chain.append(link.cr_code.co_name)
        link = link.cr_await
    assert chain == [coro.cr_code.co_name, "receiver_stop"]
    has_source = coro.cr_code.co_name == "native_stop"
    for target in (coro.cr_frame, coro.cr_code):
        if has_source:
            assert "async def native_stop" in inspect.getsource(target)
        else:
            with pytest.raises(OSError):
                inspect.getsource(target)
    assert outcome(lambda: coro.send(None)) == ("returned", None)


def test_yield_from_in_a_generator_based_coroutine(awaiting):
    @types.coroutine
    def legacy(coro):
        return (yield from coro)

    driver = legacy(awaiting(bare()))
    assert driver.send(None) == "step"
    assert outcome(lambda: driver.send("sent")) == ("returned", None)


def test_pdb_post_mortem_shows_the_arguments_and_survives_ll(awaiting):
    import io
    import pdb

    coro = awaiting(Failing())
    with pytest.raises(LookupError) as caught:
        coro.send(None)
    out = io.StringIO()
    debugger = pdb.Pdb(stdin=io.StringIO("up\nll\nargs\np 6 * 7\nq\n"), stdout=out, nosigint=True)
    debugger.reset()
    debugger.interaction(None, caught.value.__traceback__.tb_next)
    shown = out.getvalue()
    assert "42" in shown and "GroupBridge object" in shown
