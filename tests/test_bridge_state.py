"""GroupBridge construction, its display name and its status snapshot."""

import asyncio
import dis
import gc
import types
import weakref

import pytest

from fakes import FakeReceiver, FakeSpeaker, make_config, make_group

DEFAULT_NAME = "Vesbel 全屋播放"
SNAPSHOT_KEYS = [
    "id", "did", "name", "airplay_name", "hardware", "active", "client_name",
    "metadata", "artwork", "rtsp_port", "stream_url", "use_music_api", "member_count",
]


class Untouchable:
    """A collaborator that fails the test if anything reads from it."""

    def __getattribute__(self, name):
        raise AssertionError(f"constructor touched .{name}")


class StrSub(str):
    pass


class FalsyConfig(types.SimpleNamespace):
    def __bool__(self):
        return False


@pytest.fixture
def group(gb):
    """Three speakers in the provider, two of them configured members."""
    speakers = [FakeSpeaker("a"), FakeSpeaker("b"), FakeSpeaker("c")]
    return make_group(gb, speakers, member_dids=["a", "b", "zz"])


@pytest.fixture
def bridge(gb, group):
    controller, _, config = group
    return gb.GroupBridge("h", controller, config=config)


@pytest.mark.parametrize("form", ["two-positional", "all-by-keyword", "all-positional"])
def test_construction_sets_the_fourteen_attributes_in_order(gb, form):
    ctl, zc, cfg, hub = Untouchable(), Untouchable(), Untouchable(), Untouchable()
    if form == "two-positional":
        zc = cfg = hub = None
        bridge = gb.GroupBridge("10.0.0.2", ctl)
    elif form == "all-by-keyword":
        bridge = gb.GroupBridge(audio_hub=hub, config=cfg, shared_zeroconf=zc,
                                group_controller=ctl, host="10.0.0.2")
    else:
        bridge = gb.GroupBridge("10.0.0.2", ctl, zc, cfg, hub)
    assert list(vars(bridge).items()) == [
        ("host", "10.0.0.2"), ("controller", ctl), ("shared_zeroconf", zc),
        ("config", cfg), ("audio_hub", hub), ("airplay_server", None), ("_loop", None),
        ("_stream_url", ""), ("_airplay_active", False), ("_poll_task", None),
        ("_play_grace_until", 0.0), ("_session_audio_id", None),
        ("_metadata_track_key", ""), ("_audio_lease", None),
    ]
    assert [bridge.controller, bridge.shared_zeroconf, bridge.config, bridge.audio_hub] == [ctl, zc, cfg, hub]
    assert bridge._airplay_active is False
    assert type(bridge._play_grace_until) is float


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((None, "ctl"), {}),
        ((5, "ctl"), {}),
        ((StrSub("10.0.0.2"), "ctl"), {}),
        ((), {"host": StrSub("h"), "group_controller": "ctl"}),
        ((), {}),
        (("h",), {}),
        ((), {"group_controller": "ctl"}),
        (("h", "ctl", None, None, None, None), {}),
        (("h", "ctl"), {"bogus": 1}),
    ],
    ids=["none-host", "int-host", "str-subclass-host", "str-subclass-kw", "no-args",
         "no-controller", "controller-alone", "too-many", "unknown-kw"],
)
def test_bad_construction_is_a_type_error_before_anything_is_set(gb, args, kwargs):
    bare = object.__new__(gb.GroupBridge)
    with pytest.raises(TypeError):
        gb.GroupBridge.__init__(bare, *args, **kwargs)
    assert vars(bare) == {}
    with pytest.raises(TypeError):
        gb.GroupBridge(*args, **kwargs)


@pytest.mark.parametrize(
    "config, expected",
    [
        (None, DEFAULT_NAME),
        (FalsyConfig(group=types.SimpleNamespace(airplay_name="Ignored")), DEFAULT_NAME),
        (make_config(airplay_name="Living Room"), "Living Room"),
        (make_config(airplay_name="  spaced  "), "  spaced  "),
        (make_config(airplay_name=""), ""),
        (make_config(airplay_name=None), None),
    ],
    ids=["no-config", "falsy-config", "named", "unchanged", "empty", "none"],
)
def test_device_name_and_snapshot_names(gb, group, config, expected):
    bridge = gb.GroupBridge("h", group[0], config=config)
    assert bridge.device_name == expected
    snap = bridge.snapshot()
    assert snap["name"] == expected and snap["airplay_name"] == expected


def test_device_name_is_read_afresh_and_read_only(bridge, group):
    config = group[2]
    config.group.airplay_name = "Kitchen"
    assert bridge.device_name == "Kitchen"
    config.group.airplay_name = "Garden"
    assert bridge.device_name == "Garden"
    with pytest.raises(AttributeError):
        bridge.device_name = "x"


def _module_answering(value):
    module = types.ModuleType("group")  # its namespace lacks the name; its __getattr__ answers
    module.__getattr__ = lambda name: value
    return module


# Ways the group's answer for `airplay_name` changes to "property" after reads.
CHANGES = {
    "base-gains-property": lambda b, g: setattr(type(g).__bases__[0], "airplay_name", property(lambda s: "property")),
    "class-swapped": lambda b, g: setattr(g, "__class__", type("O", (), {"airplay_name": property(lambda s: "property")})),
    "dict-subclass": lambda b, g: setattr(g, "__dict__", type("D", (dict,), {"__getitem__": lambda *a: "no"})(
        airplay_name="property")),
    "non-str-key": lambda b, g: (g.__dict__.__setitem__(0, 0), setattr(g, "airplay_name", "property")),
    "deleted": lambda b, g: (delattr(g, "airplay_name"), setattr(type(g), "airplay_name", "property")),
    "dict-replaced": lambda b, g: setattr(g, "__dict__", {"other": 1, "airplay_name": "property"}),  # another position
    "module-getattr": lambda b, g: setattr(b.config, "group", _module_answering("property")),
}


@pytest.mark.parametrize("how", CHANGES)
def test_the_name_reads_the_group_as_it_is_now(gb, how):
    group = type("Group", (type("Base", (), {}),), {})()
    group.airplay_name = "instance"
    bridge = gb.GroupBridge("h", None, config=types.SimpleNamespace(group=group))
    assert [bridge.device_name for _ in range(3)] == ["instance"] * 3
    CHANGES[how](bridge, group)
    hasattr(group, "unrelated")  # a lookup gives a changed class a new version
    assert bridge.device_name == "property"


def _recording_property(seen):
    return property(lambda self: "", lambda self, value: seen.append(value))


def _hooked_bridge(bridge_type, *titles, **kwargs):
    bridge = bridge_type("h", None, **kwargs)
    bridge.audio_hub = types.SimpleNamespace(update_session_metadata=lambda payload: None)
    for title in titles:
        bridge._on_metadata_change({"title": title}, None)
    return bridge


# Ways the bridge's `_metadata_track_key` stops being the item of the dict earlier writes went to.
WRITE_CHANGES = {
    "class-gains-property": lambda b, seen: setattr(type(b), "_metadata_track_key", _recording_property(seen)),
    "class-swapped": lambda b, seen: setattr(b, "__class__", type("Other", (type(b),), {
        "_metadata_track_key": _recording_property(seen)})),
    "dict-replaced": lambda b, seen: setattr(b, "__dict__", dict(reversed(vars(b).items()))),
}


@pytest.mark.parametrize("how", WRITE_CHANGES)
def test_a_write_lands_where_python_puts_it(gb, how):
    bridge = _hooked_bridge(type("Bridge", (gb.GroupBridge,), {}), *"abc")
    written, seen = vars(bridge), []
    WRITE_CHANGES[how](bridge, seen)
    hasattr(bridge, "unrelated")  # a lookup gives a changed class a new version
    bridge._on_metadata_change({"title": "d"}, None)
    assert (written["_metadata_track_key"], seen or [vars(bridge)["_metadata_track_key"]]) == ("c  ", ["d  "])


# The same for a bridge that keeps its attributes with no dict made.
KEPT_VALUE_CHANGES = {
    "class-gains-property": WRITE_CHANGES["class-gains-property"],
    "class-swapped": WRITE_CHANGES["class-swapped"],
    "dict-made": lambda b, seen: vars(b),
}


@pytest.mark.parametrize("how", KEPT_VALUE_CHANGES)
def test_a_write_to_values_kept_without_a_dict_lands_where_python_puts_it(gb, how):
    bridge, seen = _hooked_bridge(type("Bridge", (gb.GroupBridge,), {}), *"abc"), []
    KEPT_VALUE_CHANGES[how](bridge, seen)
    hasattr(bridge, "unrelated")
    bridge._on_metadata_change({"title": "d"}, None)
    assert (seen or [bridge._metadata_track_key]) == ["d  "]


def test_a_container_written_into_a_dict_the_collector_left_is_collected(gb):
    bridge = gb.GroupBridge("h", None)
    for name in vars(bridge):
        setattr(bridge, name, None)
    gc.collect()  # a dict of atomic values only is no longer tracked
    cycle = [bridge]
    bridge.__init__("h", cycle)
    alive = weakref.ref(bridge)
    del bridge, cycle
    gc.collect()
    assert alive() is None


def test_a_watched_instance_dict_tells_its_watcher_of_every_write(gb):
    testcapi = pytest.importorskip("_testcapi")
    bridge = _hooked_bridge(gb.GroupBridge, *"ab")
    watcher = testcapi.add_dict_watcher(0)
    try:
        testcapi.watch_dict(watcher, vars(bridge))
        bridge._on_metadata_change({"title": "c"}, None)
        assert testcapi.get_dict_watcher_events() == ["mod:_metadata_track_key:c  "]
    finally:
        testcapi.clear_dict_watcher(watcher)


def test_objects_the_module_reads_and_writes_keep_their_specialised_method_calls(gb):
    bridge = _hooked_bridge(type("Bridge", (gb.GroupBridge,), {"method": lambda self: None}), "t")
    bridge.device_name, asyncio.run(bridge.stop())
    _call_method(bridge)
    assert "LOAD_ATTR_METHOD_WITH_VALUES" in {i.opname for i in dis.get_instructions(_call_method, adaptive=True)}


def _call_method(target):
    for _ in range(64):
        target.method()


class RaisingDescriptor:
    def __get__(self, obj, owner=None):
        raise AttributeError("no name yet")


@pytest.mark.parametrize("during_the_read, message", [
    ("class-gains-property", "'Group' object has no attribute 'airplay_name'"),  # a second lookup would find it
    ("instance-changes-class", "'Group' object has no attribute 'airplay_name'"),
    ("descriptor-raises", "no name yet"),
])
def test_a_failed_read_runs_a_colliding_keys_eq_in_one_lookup_and_fails_like_python(gb, during_the_read, message):
    compared = []

    class Group:
        pass

    class Collider:
        def __hash__(self):
            return hash("airplay_name")

        def __eq__(self, other):
            compared.append(other)
            if during_the_read == "class-gains-property":
                Group.airplay_name = property(lambda self: "too late")
            elif during_the_read == "instance-changes-class":
                group.__class__ = type("Other", (), {})
            return False

    if during_the_read == "descriptor-raises":
        Group.airplay_name = RaisingDescriptor()
    group = Group()
    group.__dict__[Collider()] = None
    bridge = gb.GroupBridge("h", None, config=types.SimpleNamespace(group=group))
    with pytest.raises(AttributeError, match=f"^{message}$") as info:
        bridge.device_name
    # How often the dict's probe meets the key depends on the hash seed; that it met it is what counts.
    assert (info.value.name, info.value.obj, bool(compared)) == ("airplay_name", group, True)


@pytest.mark.parametrize("name", [42, b"bytes", StrSub("sub")], ids=["int", "bytes", "str-subclass"])
def test_non_string_configured_name_is_a_type_error(gb, group, name):
    bridge = gb.GroupBridge("h", group[0], config=make_config(airplay_name=name))
    with pytest.raises(TypeError):
        bridge.device_name
    with pytest.raises(TypeError):
        bridge.snapshot()


def test_snapshot_of_a_bridge_never_started(bridge):
    before = dict(vars(bridge))
    snap = bridge.snapshot()
    assert type(snap) is dict and list(snap) == SNAPSHOT_KEYS
    assert snap == {
        "id": "group_all", "did": "group_all", "name": "Whole House",
        "airplay_name": "Whole House", "hardware": "GROUP", "active": False,
        "client_name": "", "metadata": {}, "artwork": None, "rtsp_port": 0,
        "stream_url": "", "use_music_api": False, "member_count": 2,
    }
    assert snap["active"] is False and snap["use_music_api"] is False
    assert vars(bridge) == before


def test_snapshots_are_new_dicts_with_fresh_metadata_and_fresh_selection(bridge, group):
    _, provider, config = group
    first, second = bridge.snapshot(), bridge.snapshot()
    assert first is not second
    assert first["metadata"] == {} and type(first["metadata"]) is dict
    assert first["metadata"] is not second["metadata"]
    assert provider.names() == ["provider", "provider"]
    config.group.member_dids = ["c"]
    bridge._stream_url = "http://10.0.0.5:7000/live?x=1"
    third = bridge.snapshot()
    assert third["member_count"] == 1
    assert third["stream_url"] == "http://10.0.0.5:7000/live?x=1"


@pytest.mark.parametrize("is_playing, active", [(False, False), (0, False), (True, True), ("yes", True)])
def test_snapshot_passes_the_receiver_through(bridge, is_playing, active):
    receiver = FakeReceiver()
    receiver.is_playing = is_playing
    receiver.client_name = "Alice's iPhone"
    receiver.metadata = {"title": "Song"}
    receiver.artwork = object()
    receiver.rtsp_port = 7123
    bridge.airplay_server = receiver
    snap = bridge.snapshot()
    assert list(snap) == SNAPSHOT_KEYS
    assert snap["active"] is active
    assert snap["client_name"] == "Alice's iPhone" and snap["rtsp_port"] == 7123
    assert snap["metadata"] is receiver.metadata and snap["artwork"] is receiver.artwork


def test_snapshot_failures_propagate(bridge):
    receiver = FakeReceiver()
    del receiver.artwork
    bridge.airplay_server = receiver
    with pytest.raises(AttributeError):
        bridge.snapshot()
    bridge.airplay_server = None
    bridge.controller._get_controllers = lambda: 1 / 0
    with pytest.raises(ZeroDivisionError):
        bridge.snapshot()
