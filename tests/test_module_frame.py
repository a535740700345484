"""What importing vesbel.group_bridge binds, how its classes look to Python, and when the import fails."""

import asyncio
import inspect
import json
import logging
import os
import pathlib
import subprocess
import sys
import textwrap
import time
import types
import typing

import pytest
import zeroconf

import vesbel.airplay.server
import vesbel.config
import vesbel.xiaomi
from fakes import make_group

NAMESPACE = [
    "asyncio", "logging", "time", "Zeroconf", "AirPlayServer", "Config", "TargetConfig",
    "airplay_db_to_xiaomi_volume", "TargetController", "log", "GroupController", "GroupBridge",
]
CONTROLLER_MEMBERS = {
    "__init__": {"config": "Config", "controllers_provider": "callable"},
    "id": {"return": "str"},
    "did": {"return": "str"},
    "hardware": {"return": "str"},
    "get_member_controllers": {"return": "list[TargetController]"},
    "play_url": {"url": "str", "audio_id": "str | None", "return": "bool"},
    "stop": {"return": "bool"},
    "pause": {"return": "bool"},
    "resume": {"return": "bool"},
    "set_volume": {"volume": "int", "return": "bool"},
    "get_status": {"return": "dict"},
}
BRIDGE_MEMBERS = {
    "__init__": {"host": "str", "group_controller": "GroupController",
                 "shared_zeroconf": "Zeroconf | None", "config": "Config | None"},
    "_acquire_audio": {}, "_release_audio": {}, "device_name": {"return": "str"}, "start": {}, "stop": {},
    "_on_play_start": {"stream_url": "str"}, "_on_play_stop": {}, "_on_play_pause": {}, "_on_play_resume": {},
    "_on_metadata_change": {"metadata": "dict", "artwork": "str | None"},
    "_on_progress_change": {"position_ms": "int", "duration_ms": "int | None"},
    "_on_volume_change": {"vol_db": "float"}, "_resolve_audio_id": {"return": "str | None"},
    "_play_on_target": {"stream_url": "str"}, "_stop_target": {}, "_pause_target": {}, "_start_poll": {},
    "_poll_target_state": {}, "snapshot": {"return": "dict"},
}
PROPERTIES = {"id", "did", "hardware", "device_name"}
TESTS = pathlib.Path(__file__).resolve().parent


def members(cls):
    return [k for k in vars(cls) if not k.startswith("__") or k == "__init__"]


def function_of(cls, name):
    member = vars(cls)[name]
    return member.fget if name in PROPERTIES else member


@pytest.mark.module_only  # the plain-Python baseline also binds its private helpers
def test_namespace_holds_the_documented_names_in_binding_order(gb):
    assert [k for k in vars(gb) if not (k.startswith("__") and k.endswith("__"))] == NAMESPACE
    assert gb.__doc__ == "AirPlay-to-Xiaomi group bridge runtime."


@pytest.mark.parametrize(
    "name, expected",
    [
        ("asyncio", asyncio), ("logging", logging), ("time", time), ("Zeroconf", zeroconf.Zeroconf),
        ("AirPlayServer", vesbel.airplay.server.AirPlayServer), ("Config", vesbel.config.Config),
        ("TargetConfig", vesbel.config.TargetConfig),
        ("airplay_db_to_xiaomi_volume", vesbel.config.airplay_db_to_xiaomi_volume),
        ("TargetController", vesbel.xiaomi.TargetController), ("log", logging.getLogger("vesbel")),
    ],
)
def test_bound_names_are_the_shared_objects(gb, name, expected):
    assert getattr(gb, name) is expected


@pytest.mark.parametrize(
    "name, doc, documented",
    [
        ("GroupController", "组目标控制器：使用 asyncio.gather 向全屋组成员并发广播控制指令。", CONTROLLER_MEMBERS),
        ("GroupBridge", "全屋虚拟 AirPlay 桥接器，连接全屋组控制器与独立 AirPlayServer。", BRIDGE_MEMBERS),
    ],
)
def test_classes_are_plain_with_members_in_documented_order(gb, name, doc, documented):
    cls = getattr(gb, name)
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__, cls.__name__, cls.__doc__) == ("vesbel.group_bridge", name, name, doc)
    present = members(cls)
    assert present == [m for m in documented if m in present]  # documented order, nothing undocumented
    if name == "GroupController":
        assert present == list(documented)
    for member in present:
        assert (type(vars(cls)[member]) is property) == (member in PROPERTIES)
        function = function_of(cls, member)
        assert function.__annotations__ == documented[member]
        assert (function.__name__, function.__qualname__) == (member, f"{name}.{member}")
        assert function.__module__ == "vesbel.group_bridge"
        if member != "_resolve_audio_id":
            assert function.__doc__ is None
    if "_resolve_audio_id" in present:
        assert cls._resolve_audio_id.__doc__ == "从当前 AirPlay 元数据中解析并检索曲库匹配的 audioID。"


@pytest.mark.parametrize(
    "cls, member, signature, defaults",
    [
        ("GroupController", "__init__", "(self, config: 'Config', controllers_provider: 'callable')", None),
        ("GroupController", "get_member_controllers", "(self) -> 'list[TargetController]'", None),
        ("GroupController", "play_url", "(self, url: 'str', audio_id: 'str | None' = None) -> 'bool'", (None,)),
        ("GroupController", "stop", "(self) -> 'bool'", None),
        ("GroupController", "set_volume", "(self, volume: 'int') -> 'bool'", None),
        ("GroupBridge", "__init__", "(self, host: 'str', group_controller: 'GroupController', shared_zeroconf: "
         "'Zeroconf | None' = None, config: 'Config | None' = None, audio_hub=None)", (None, None, None)),
    ],
)
def test_signatures_and_defaults(gb, cls, member, signature, defaults):
    function = vars(getattr(gb, cls)).get(member)
    if function is None:
        pytest.skip(f"{cls}.{member} is not built yet")
    assert str(inspect.signature(function)) == signature
    assert function.__defaults__ == defaults


def test_type_hints_resolve_through_the_module_globals(gb):
    controller = gb.GroupController
    assert typing.get_type_hints(controller.play_url) == {"url": str, "audio_id": str | None, "return": bool}
    assert typing.get_type_hints(controller.__init__) == {"config": gb.Config, "controllers_provider": callable}
    assert typing.get_type_hints(controller.get_member_controllers) == {"return": list[gb.TargetController]}
    assert typing.get_type_hints(controller.id.fget) == {"return": str}


def test_methods_bind_to_instances(gb):
    ctrl, _, _ = make_group(gb, [])
    for name in ("get_member_controllers", "play_url", "stop", "get_status"):
        method = getattr(ctrl, name)
        assert type(method) is types.MethodType
        assert method.__self__ is ctrl and method.__func__ is vars(gb.GroupController)[name]
    assert gb.GroupController.stop is vars(gb.GroupController)["stop"]
    assert list(vars(ctrl)) == ["config", "_get_controllers"]


def run_python(code):
    """Runs code in a fresh process of this interpreter, with this sys.path; gives back its JSON line."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    prelude = textwrap.dedent(f"""
        import importlib, json, os, sys, types
        def load():
            if os.environ.get("VESBEL_IMPL") == "baseline":
                sys.path.insert(0, {str(TESTS)!r})
                import conftest  # loads the baseline under the import name
            return importlib.import_module("vesbel.group_bridge")
    """)
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("module_builtins", ["as-imported", {"airplay_db_to_xiaomi_volume": print}, 5, "deleted"],
                         ids=["as-imported", "dict", "int", "deleted"])
@pytest.mark.parametrize("caller_builtins", [5, {"airplay_db_to_xiaomi_volume": print}], ids=["int", "dict"])
def test_a_missing_global_falls_back_to_the_builtins_fixed_at_import(gb, monkeypatch, module_builtins,
                                                                    caller_builtins):
    monkeypatch.delattr(gb, "airplay_db_to_xiaomi_volume")
    if module_builtins == "deleted":
        monkeypatch.delattr(gb, "__builtins__")
    elif module_builtins != "as-imported":
        monkeypatch.setattr(gb, "__builtins__", module_builtins)
    bridge = gb.GroupBridge("h", None)
    with pytest.raises(NameError, match="airplay_db_to_xiaomi_volume"):
        exec("bridge._on_volume_change(-10.0)", {"__builtins__": caller_builtins, "bridge": bridge})


def test_import_binds_no_broadcast_ws_and_leaves_the_web_api_alone():
    facts = run_python("""
        import logging
        records = []
        handler = logging.Handler(logging.DEBUG)
        handler.emit = records.append
        logging.getLogger("vesbel").addHandler(handler)
        gb = load()
        print(json.dumps([hasattr(gb, "broadcast_ws"), "vesbel.web.api" in sys.modules, len(records)]))
    """)
    assert facts == [False, False, 0]


@pytest.mark.parametrize(
    "module, broken",
    [
        ("vesbel.xiaomi", "types.ModuleType('vesbel.xiaomi')"),  # no TargetController
        ("vesbel.config", "types.SimpleNamespace(Config=1, TargetConfig=2)"),  # no volume conversion
        ("vesbel.airplay.server", "None"),  # the import itself fails
        ("zeroconf", "None"),
    ],
)
def test_failing_dependency_fails_the_import(module, broken):
    facts = run_python(f"""
        sys.modules[{module!r}] = {broken}
        try:
            load()
            print(json.dumps(["imported"]))
        except BaseException as error:
            # a failed import leaves no module behind (the baseline's test loader does keep its own)
            left = "vesbel.group_bridge" in sys.modules and os.environ.get("VESBEL_IMPL") != "baseline"
            print(json.dumps([isinstance(error, ImportError), left]))
    """)
    assert facts == [True, False]


@pytest.mark.module_only
def test_reimport_returns_the_same_module_and_runs_nothing_again():
    facts = run_python("""
        first = load()
        classes = first.GroupController, first.GroupBridge
        first.asyncio = "replaced by the host"
        del sys.modules["vesbel.group_bridge"]
        sys.modules["vesbel.xiaomi"] = types.ModuleType("vesbel.xiaomi")  # would fail a second run
        again = importlib.import_module("vesbel.group_bridge")
        print(json.dumps([again is first, (again.GroupController, again.GroupBridge) == classes, again.asyncio]))
    """)
    assert facts == [True, True, "replaced by the host"]


@pytest.mark.module_only
@pytest.mark.parametrize("interpreter", ["isolated", "legacy", "testcapi-legacy"])
def test_import_from_a_second_interpreter_fails(interpreter, tmp_path):
    # The sub-interpreter gets stand-ins for zeroconf and the receiver: the real ones load ctypes, which
    # refuses sub-interpreters; everything else it imports is real.
    outcome = tmp_path / "outcome"
    sub_code = textwrap.dedent(f"""
        import sys, types
        sys.path[:] = {sys.path!r}
        for name, attr in (("zeroconf", "Zeroconf"), ("vesbel.airplay.server", "AirPlayServer")):
            stand_in = types.ModuleType(name)
            setattr(stand_in, attr, type(attr, (), {{}}))
            sys.modules[name] = stand_in
        import vesbel.config, vesbel.xiaomi
        try:
            import vesbel.group_bridge
            result = "imported"
        except ImportError as error:
            result = type(error).__name__
        open({str(outcome)!r}, "w").write(result)
    """)
    run_python(f"""
        import _testcapi
        load()
        code = {sub_code!r}
        if {interpreter!r} == "testcapi-legacy":
            _testcapi.run_in_subinterp(code)
        else:
            try:  # 3.13 renamed the module and takes a config name
                import _interpreters as interpreters
                sub = interpreters.create({interpreter!r})
            except ImportError:
                import _xxsubinterpreters as interpreters
                sub = interpreters.create(isolated={interpreter == "isolated"})
            interpreters.run_string(sub, code)
            interpreters.destroy(sub)
        print(json.dumps(None), flush=True)
        os._exit(0)  # CPython 3.12.1 can abort at exit once _asyncio was loaded in a sub-interpreter
    """)
    assert outcome.read_text() == "ImportError"
