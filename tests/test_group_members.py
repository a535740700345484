"""GroupController: fixed identity and the selection of member speakers."""

import types

import pytest

from conftest import run
from fakes import FakeSpeaker, Provider, make_config, make_group


@pytest.mark.parametrize("name, value", [("id", "group_all"), ("did", "group_all"), ("hardware", "GROUP")])
def test_identity_is_fixed_and_read_only(gb, name, value):
    ctrl, _, _ = make_group(gb, [])
    assert getattr(ctrl, name) == value
    with pytest.raises(AttributeError):
        setattr(ctrl, name, "other")
    assert getattr(ctrl, name) == value


@pytest.mark.parametrize("by_keyword", [False, True])
def test_constructor_stores_config_then_provider_and_calls_nothing(gb, by_keyword):
    config, provider = make_config(["a"]), Provider([FakeSpeaker("a")])
    if by_keyword:
        ctrl = gb.GroupController(controllers_provider=provider, config=config)
    else:
        ctrl = gb.GroupController(config, provider)
    assert list(vars(ctrl).items()) == [("config", config), ("_get_controllers", provider)]
    assert provider.calls == []


@pytest.mark.parametrize(
    "speaker_dids, member_dids, expected",
    [
        (["a", "b", "c"], ["c", "a", "a"], [0, 2]),  # provider order, each once
        (["a", "b", "c"], ["zz", "b"], [1]),  # unknown ids are skipped
        (["a", "b"], [], []),
        ([], ["a"], []),
        (["a", "b", "a"], ["a"], [0, 2]),  # two controllers with one id: both
        (["a", "b"], ("b", "a"), [0, 1]),  # any collection of ids
    ],
)
def test_member_selection(gb, speaker_dids, member_dids, expected):
    speakers = [FakeSpeaker(d) for d in speaker_dids]
    ctrl, provider, _ = make_group(gb, speakers, member_dids)
    first = ctrl.get_member_controllers()
    second = ctrl.get_member_controllers()
    assert type(first) is list
    assert [id(s) for s in first] == [id(speakers[i]) for i in expected]
    assert first is not second  # a new list every call, never cached
    assert provider.names() == ["provider", "provider"]
    assert all(s.calls == [] for s in speakers)


def test_selection_follows_changes_between_calls(gb):
    a, b, c = FakeSpeaker("a"), FakeSpeaker("b"), FakeSpeaker("c")
    ctrl, provider, config = make_group(gb, [a, b], ["a"])
    assert ctrl.get_member_controllers() == [a]
    config.group.member_dids.append("b")
    assert ctrl.get_member_controllers() == [a, b]
    provider.mapping = {"k": c, "j": b}
    config.group.member_dids = ["c", "b"]
    assert ctrl.get_member_controllers() == [c, b]
    ctrl.config = make_config(["a"])  # the config attribute is read at every use
    ctrl._get_controllers = Provider([b, a])
    assert ctrl.get_member_controllers() == [a]


class ProviderFailure(Exception):
    pass


def failing_provider():
    raise ProviderFailure("provider down")


@pytest.mark.parametrize(
    "provider, config, error",
    [
        (failing_provider, make_config(["a"]), ProviderFailure),
        (lambda: None, make_config(["a"]), (AttributeError, TypeError)),
        (Provider([FakeSpeaker("a")]), types.SimpleNamespace(), AttributeError),
        (Provider([FakeSpeaker("a")]), types.SimpleNamespace(group=types.SimpleNamespace()), AttributeError),
        (Provider([object()]), make_config(["a"]), AttributeError),  # a controller without did
    ],
)
def test_selection_failures_propagate_from_selection_and_commands(gb, provider, config, error):
    ctrl = gb.GroupController(config, provider)
    with pytest.raises(error):
        ctrl.get_member_controllers()
    for command in (ctrl.stop, ctrl.get_status):
        with pytest.raises(error):
            run(command())


@pytest.mark.parametrize(
    "mapping, member_dids",
    [
        ({}, None),  # an empty house still refuses a member list that is no collection
        ({}, 5),
        ({}, [[1]]),  # unhashable ids
        ([FakeSpeaker("a")], None),  # the ids are judged before the mapping's values() is asked for
    ],
)
def test_member_ids_are_collected_before_the_controllers_are_walked(gb, mapping, member_dids):
    config = make_config()
    config.group.member_dids = member_dids
    ctrl = gb.GroupController(config, lambda: mapping)
    with pytest.raises(TypeError):
        ctrl.get_member_controllers()
    for command in (ctrl.stop, ctrl.get_status):
        with pytest.raises(TypeError):
            run(command())
    bridge = gb.GroupBridge("h", ctrl, config=config)
    with pytest.raises(TypeError):
        bridge.snapshot()
