"""The module's methods as function objects: what introspection, mocking, pickling and attribute writes see."""

import ast
import asyncio
import collections
import copy
import functools
import inspect
import pathlib
import pickle
import pydoc
import re
import sys
import traceback
import typing
import unittest.mock

import pytest

from fakes import FakeSpeaker, make_config, make_group

STUB = pathlib.Path(__file__).resolve().parent.parent / "vesbel" / "group_bridge.pyi"


def stub_methods():
    """(class, method, is async) for every method the type stub declares (not properties)."""
    found = []
    for node in ast.parse(STUB.read_text()).body:
        if not isinstance(node, ast.ClassDef):
            continue
        for item in node.body:
            if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)) and not item.decorator_list:
                found.append((node.name, item.name, isinstance(item, ast.AsyncFunctionDef)))
    return found


@pytest.mark.parametrize("cls, name, is_async", stub_methods())
def test_coroutine_functions_are_recognised(gb, cls, name, is_async):
    function = vars(getattr(gb, cls))[name]
    bound = types_method(function)
    for candidate in (function, bound, functools.partial(function)):
        assert inspect.iscoroutinefunction(candidate) is is_async
    assert asyncio.iscoroutinefunction(function) is is_async
    assert asyncio.iscoroutinefunction(bound) is is_async


def types_method(function):
    return function.__get__(object())


def test_create_autospec_mocks_async_methods_as_async(gb):
    mock = unittest.mock.create_autospec(gb.GroupController, instance=True)
    for _, name, is_async in (m for m in stub_methods() if m[0] == "GroupController" and m[1] != "__init__"):
        assert isinstance(getattr(mock, name), unittest.mock.AsyncMock) is is_async, name
    mock.stop.return_value = True
    assert asyncio.run(mock.stop()) is True
    mock.stop.assert_awaited_once_with()


@pytest.mark.module_only
@pytest.mark.parametrize("name, args", [("stop", ()), ("play_url", ("u",))])
def test_code_object_names_the_operation_and_its_source(gb, name, args):
    function = getattr(gb.GroupController, name)
    coro = function(make_group(gb, [])[0], *args)
    code = coro.cr_code
    assert (code.co_name, code.co_qualname) == (name, f"GroupController.{name}")
    assert code.co_varnames[: code.co_argcount] == function.__code__.co_varnames[: function.__code__.co_argcount]
    assert (coro.cr_code is function.__code__) is (name == "stop")  # play_url checks first, then makes it
    # A file name that names the C++ source below src/ and that nothing can
    # open: tools get the OSError of any compiled extension.
    assert code.co_filename == "<vesbel.group_bridge:group_bridge/group_controller.cpp>"
    source = pathlib.Path(__file__).parents[1] / "src" / code.co_filename[21:-1]
    assert name in source.read_text().splitlines()[code.co_firstlineno - 1]
    for tool in (inspect.getsource, inspect.getsourcelines):
        with pytest.raises(OSError):
            tool(code)
    coro.close()


@pytest.mark.module_only
@pytest.mark.parametrize(
    "render, pattern",
    [
        (lambda gb: repr(gb.GroupBridge.start), r"^<function GroupBridge\.start at 0x[0-9a-f]+>$"),
        (lambda gb: repr(functools.partial(gb.GroupController.stop)),
         r"^functools\.partial\(<function GroupController\.stop at 0x[0-9a-f]+>\)$"),
        (lambda gb: repr(vars(gb.GroupController)), r"'stop': <function GroupController\.stop at 0x[0-9a-f]+>"),
        (lambda gb: pydoc.plain(pydoc.render_doc(gb.GroupBridge)), r"\|  async start\(self\)\n"),
        (lambda gb: pydoc.plain(pydoc.render_doc(gb.GroupBridge.stop)), r"function stop in module vesbel\.group_bridge\n\nasync stop\(self\)\n"),
        (lambda gb: " ".join(n for n, _ in inspect.getmembers(gb.GroupBridge, inspect.isfunction)),
         r"^__init__ .*\bsnapshot start stop$"),
    ],
)
def test_unbound_methods_render(gb, render, pattern):
    assert re.search(pattern, render(gb))


def test_mock_autospec_binds_and_checks_signatures(gb):
    bridge = gb.GroupBridge("10.0.0.2", object())
    with unittest.mock.patch.object(gb.GroupBridge, "stop", autospec=True) as stop:
        asyncio.run(bridge.stop())
    stop.assert_awaited_once_with(bridge)
    for mock in (unittest.mock.create_autospec(gb.GroupController, instance=True),
                 unittest.mock.create_autospec(make_group(gb, [])[0])):
        with pytest.raises(TypeError, match="missing a required argument: 'volume'"):
            mock.set_volume()
        with pytest.raises(TypeError, match="too many positional arguments"):
            mock.stop(1)


@pytest.mark.module_only
def test_a_synchronous_method_runs_what_its_function_holds_now(gb):
    # Called by position, a synchronous method goes straight to C++: an error
    # still names it in the traceback, and a closure cell replaced by Python
    # code is run instead, as for any function.
    bridge = gb.GroupBridge("10.0.0.2", make_group(gb, [])[0])
    with pytest.raises(TypeError) as caught:
        bridge._on_play_start(42)
    last = traceback.extract_tb(caught.value.__traceback__)[-1]
    assert (last.name, last.filename) == ("_on_play_start",
                                          "<vesbel.group_bridge:group_bridge/bridge_transport_hooks.cpp>")
    cell = gb.GroupBridge.snapshot.__closure__[0]
    original = cell.cell_contents
    cell.cell_contents = lambda self: ("replaced", self)
    try:
        assert bridge.snapshot() == ("replaced", bridge)
    finally:
        cell.cell_contents = original
    assert bridge.snapshot()["member_count"] == 0


# Called from the host while a profiler or tracer watches, each of the
# module's methods shows as the call a Python module's method would be.
@pytest.mark.parametrize("watch", [sys.setprofile, sys.settrace], ids=["profiler", "tracer"])
@pytest.mark.parametrize("call, expected", [
    (lambda bridge: bridge.snapshot(), {"snapshot": 1, "device_name": 2, "get_member_controllers": 1}),
    (lambda bridge: bridge.device_name, {"device_name": 1}),
    (lambda bridge: bridge._on_play_stop(), {"_on_play_stop": 1}),
])
def test_profilers_and_tracers_see_each_call_into_the_module(gb, watch, call, expected):
    bridge, seen = gb.GroupBridge("10.0.0.2", make_group(gb, [])[0]), collections.Counter()
    watch(lambda frame, event, arg: seen.update([frame.f_code.co_name] if event == "call" else []))
    try:
        call(bridge)
    finally:
        watch(None)
    methods = set(vars(gb.GroupBridge)) | set(vars(gb.GroupController))
    assert {name: count for name, count in seen.items() if name in methods} == expected


@pytest.mark.parametrize("profiler", [None, lambda *args: None], ids=["unwatched", "profiled"])
def test_a_failure_under_a_method_the_module_calls_names_that_method_in_the_traceback(gb, profiler):
    bridge = gb.GroupBridge("10.0.0.2", gb.GroupController(make_config([]), lambda: {}["provider"]))
    sys.setprofile(profiler)
    try:
        with pytest.raises(KeyError) as caught:
            bridge.snapshot()
    finally:
        sys.setprofile(None)
    names = [entry.name for entry in traceback.extract_tb(caught.value.__traceback__)]
    assert names[-3:] == ["snapshot", "get_member_controllers", "<lambda>"]


@pytest.mark.module_only
def test_functions_pickle_and_copy_by_reference(gb):
    for function in (gb.GroupController.stop, gb.GroupBridge.snapshot):
        assert pickle.loads(pickle.dumps(function)) is function
        assert copy.copy(function) is function and copy.deepcopy(function) is function


def python_play_url(self, url: "str", audio_id: "str | None" = None) -> "bool":
    return (url, audio_id)


@pytest.fixture(params=["python", "module"])
def play_url(request, gb, monkeypatch):
    """A play_url function, Python's or the module's, and a call that reports the bound arguments.

    Attribute writes to the function are undone after the test."""
    function = python_play_url if request.param == "python" else gb.GroupController.play_url
    for name in ("__defaults__", "__kwdefaults__", "__annotations__"):
        monkeypatch.setattr(function, name, copy.copy(getattr(function, name)))
    if request.param == "python":
        return function, lambda *args: function(None, *args)
    speaker = FakeSpeaker("d1")
    controller, _, _ = make_group(gb, [speaker])

    def call(*args):
        asyncio.run(function(controller, *args))
        ((sent, _),) = speaker.called("play_url")
        speaker.calls.clear()
        return sent

    return function, call


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("__defaults__", 5, "__defaults__ must be set to a tuple object"),
        ("__defaults__", ["a"], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", 5, "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", 5, "__annotations__ must be set to a dict object"),
    ],
)
def test_attribute_writes_are_checked(play_url, name, value, message):
    function, _ = play_url
    before = getattr(function, name)
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        setattr(function, name, value)
    assert getattr(function, name) == before


def test_defaults_written_are_honoured(play_url):
    function, call = play_url
    function.__defaults__ = ("chosen",)
    assert call("u") == ("u", "chosen")
    assert str(inspect.signature(function)).endswith("audio_id: 'str | None' = 'chosen') -> 'bool'")
    function.__defaults__ = ("u-default", "id-default")
    assert call() == ("u-default", "id-default")
    del function.__defaults__
    assert function.__defaults__ is None
    with pytest.raises(TypeError, match=rf"^{re.escape(function.__qualname__)}\(\) missing 1 required positional "
                                        r"argument: 'audio_id'$"):
        call("u")
    assert "audio_id: 'str | None')" in str(inspect.signature(function))


def test_annotations_and_kwdefaults_written_are_honoured(play_url):
    function, _ = play_url
    function.__annotations__ = {"url": "int"}
    assert str(inspect.signature(function)) == "(self, url: 'int', audio_id=None)"
    assert typing.get_type_hints(function) == {"url": int}
    function.__annotations__ = None
    assert function.__annotations__ == {}
    function.__kwdefaults__ = {"other": 1}
    assert function.__kwdefaults__ == {"other": 1}
    del function.__kwdefaults__
    assert function.__kwdefaults__ is None
