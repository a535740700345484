"""GroupController commands: concurrent fan-out, success counting, status and argument checks."""

import asyncio
import fractions
import logging
import time
import unittest.mock

import pytest

from conftest import run
from fakes import FakeSpeaker, NoResumeSpeaker, make_group

PLAY_LOG = "Group play_url pushed to %d/%d member speakers (audio_id=%s)"
EMPTY_LOG = "Group play: no active member speakers selected in group mode"
DEFAULT_STATUS = {"status": 0, "volume": 50, "cur_time": 0, "duration": 0}
CONTROL_COMMANDS = [("play_url", ("u",)), ("stop", ()), ("pause", ()), ("resume", ()), ("set_volume", (5,))]


class MemberFailure(Exception):
    pass


def group(gb, *speakers):
    ctrl, _, _ = make_group(gb, list(speakers))
    return ctrl


def vesbel_records(vlog):
    return [(r.levelno, r.msg, r.args) for r in vlog.records if r.name == "vesbel"]


@pytest.mark.parametrize(
    "command, args, kwargs, op, sent",
    [
        ("play_url", ("http://h/s.wav", "A1"), {}, "play_url", ("http://h/s.wav", "A1")),
        ("play_url", ("http://h/s.wav",), {}, "play_url", ("http://h/s.wav", None)),
        ("play_url", (), {"url": "u", "audio_id": "A2"}, "play_url", ("u", "A2")),
        ("stop", (), {}, "stop", ()), ("pause", (), {}, "pause", ()), ("resume", (), {}, "resume", ()),
        ("set_volume", (30,), {}, "set_volume", (30,)), ("set_volume", (), {"volume": 7}, "set_volume", (7,)),
    ],
)
def test_command_reaches_every_member_once_by_position(gb, command, args, kwargs, op, sent):
    speakers = [FakeSpeaker(d) for d in "abc"]
    assert run(getattr(group(gb, *speakers), command)(*args, **kwargs)) is True
    assert all(s.calls == [(op, sent, {})] for s in speakers)


def speaker_with(outcome, did):
    if isinstance(outcome, Exception):
        return FakeSpeaker(did, errors={"play_url": outcome, "resume": outcome})
    return FakeSpeaker(did, results={"play_url": outcome, "resume": outcome})


@pytest.mark.parametrize(
    "outcomes, audio_id, successes, result",
    [
        ([True, False, MemberFailure("x")], "A1", 1, True),
        ([MemberFailure("x"), MemberFailure("y")], None, 0, False),
        ([1, "yes", [True]], "A1", 0, False),  # only True itself counts
        ([1, True, True], None, 2, True),
    ],
)
def test_play_url_counts_only_true_and_logs_counts(gb, vlog, outcomes, audio_id, successes, result):
    ctrl = group(gb, *(speaker_with(o, str(i)) for i, o in enumerate(outcomes)))
    assert run(ctrl.play_url("u", audio_id)) is result
    assert vesbel_records(vlog) == [(logging.INFO, PLAY_LOG, (successes, len(outcomes), audio_id))]


@pytest.mark.parametrize(
    "outcomes, result",
    [([True, True], True), ([True, False], False), ([True, 1], False), ([MemberFailure("x"), True], False),
     ([True, None], False)],  # None: a member without any resume operation
)
def test_resume_is_true_only_when_every_member_resumed(gb, outcomes, result):
    speakers = [NoResumeSpeaker(str(i)) if o is None else speaker_with(o, str(i)) for i, o in enumerate(outcomes)]
    assert run(group(gb, *speakers).resume()) is result
    for speaker, outcome in zip(speakers, outcomes):
        assert speaker.names() == ([] if outcome is None else ["resume"])


@pytest.mark.parametrize("command, args", [("stop", ()), ("pause", ()), ("set_volume", (20,))])
def test_member_failures_do_not_fail_stop_pause_volume(gb, vlog, command, args):
    speakers = [FakeSpeaker(d, errors={command: MemberFailure(d)}, results={command: False}) for d in "ab"]
    assert run(getattr(group(gb, *speakers), command)(*args)) is True
    assert all(s.finished == [command] for s in speakers)
    assert vesbel_records(vlog) == []


@pytest.mark.parametrize(
    "command, args, result",
    [("play_url", ("u",), False), ("stop", (), True), ("pause", (), True), ("resume", (), True),
     ("set_volume", (10,), True), ("get_status", (), DEFAULT_STATUS)],
)
def test_empty_group_contacts_nobody(gb, vlog, command, args, result):
    outsider = FakeSpeaker("not-a-member")
    ctrl, _, _ = make_group(gb, [outsider], member_dids=[])
    outcome = run(getattr(ctrl, command)(*args))
    assert outcome is result if isinstance(result, bool) else outcome == result
    assert outsider.calls == []
    expected_logs = [(logging.WARNING, EMPTY_LOG, ())] if command == "play_url" else []
    assert vesbel_records(vlog) == expected_logs


def test_empty_group_status_is_a_new_default_record_each_time(gb):
    ctrl, _, _ = make_group(gb, [], member_dids=[])
    first = run(ctrl.get_status())
    assert list(first.items()) == list(DEFAULT_STATUS.items())
    first["status"] = 1
    assert run(ctrl.get_status()) == DEFAULT_STATUS


RECORD = {"status": 1, "volume": 33, "extra": "kept"}


@pytest.mark.parametrize(
    "first_result, first_error, expected",
    [(RECORD, None, RECORD), (None, None, None), ([1, 2], None, DEFAULT_STATUS), ("playing", None, DEFAULT_STATUS),
     (RECORD, MemberFailure("offline"), DEFAULT_STATUS)],
)
def test_get_status_asks_only_the_first_member(gb, vlog, first_result, first_error, expected):
    errors = {"get_status": first_error} if first_error else {}
    first = FakeSpeaker("a", results={"get_status": first_result}, errors=errors)
    second = FakeSpeaker("b", results={"get_status": {"status": 1}})
    status = run(group(gb, first, second).get_status())
    assert status == expected
    if expected is RECORD:
        assert status is RECORD  # passed on unchanged, not copied
    assert first.names() == ["get_status"] and second.calls == []
    assert vesbel_records(vlog) == []


@pytest.mark.parametrize(
    "value, sent",
    [(37.9, 37), (-2.7, -2), (150, 150), (-5, -5), (2**70, 2**70), (fractions.Fraction(75, 2), 37)],
)
def test_set_volume_truncates_toward_zero_without_clamping(gb, value, sent):
    speakers = [FakeSpeaker(d) for d in "ab"]
    assert run(group(gb, *speakers).set_volume(value)) is True
    for speaker in speakers:
        [((received,), _)] = speaker.called("set_volume")
        assert received == sent and type(received) is int


class Text(str):
    pass


def call_now(method, *args, **kwargs):
    """Calls a command without awaiting it; a coroutine handed back is closed."""
    result = method(*args, **kwargs)
    if asyncio.iscoroutine(result):
        result.close()
    return result


@pytest.mark.parametrize(
    "command, args, kwargs",
    [
        ("play_url", (123,), {}), ("play_url", (None,), {}), ("play_url", (b"http://h",), {}),
        ("play_url", (Text("http://h"),), {}), ("play_url", ("u", 5), {}), ("play_url", ("u", Text("A1")), {}),
        ("play_url", ("u",), {"audio_id": b"A1"}),
        ("set_volume", ("37",), {}), ("set_volume", (None,), {}), ("set_volume", ([1],), {}),
    ],
)
def test_wrong_argument_types_raise_at_call_and_contact_nobody(gb, command, args, kwargs):
    speaker = FakeSpeaker("a")
    ctrl, provider, _ = make_group(gb, [speaker])
    with pytest.raises(TypeError):
        call_now(getattr(ctrl, command), *args, **kwargs)
    assert provider.calls == [] and speaker.calls == []


class GroupController:
    """Python's own argument binding for the same signatures, for its error messages."""

    async def play_url(self, url, audio_id=None):
        pass

    async def stop(self):
        pass

    async def set_volume(self, volume):
        pass


@pytest.mark.parametrize(
    "command, args, kwargs",
    [
        ("play_url", (), {}), ("play_url", ("u", "a", "x"), {}), ("play_url", ("u",), {"bogus": 1}),
        ("play_url", ("u",), {"url": "v"}), ("stop", (1,), {}), ("stop", (), {"x": 1}),
        ("set_volume", (), {}), ("set_volume", (1, 2), {}),
    ],
)
def test_wrong_arguments_give_pythons_messages(gb, command, args, kwargs):
    speaker = FakeSpeaker("a")
    with pytest.raises(TypeError) as expected:
        call_now(getattr(GroupController(), command), *args, **kwargs)
    with pytest.raises(TypeError) as actual:
        call_now(getattr(group(gb, speaker), command), *args, **kwargs)
    assert str(actual.value) == str(expected.value)
    assert speaker.calls == []


def test_member_that_cannot_start_the_operation_fails_the_command(gb):
    class Mute:
        did = "m"

    later = FakeSpeaker("b")
    with pytest.raises(AttributeError):
        run(group(gb, Mute(), later).play_url("u"))
    assert later.calls == []  # members are started in order; the command stopped at the first failure


@pytest.mark.parametrize("command, args", CONTROL_COMMANDS)
def test_members_gather_took_before_a_mock_still_run(gb, command, args):
    taken, mock, untaken = FakeSpeaker("a"), unittest.mock.Mock(did="b"), FakeSpeaker("c")

    async def main():
        with pytest.raises(TypeError):  # what a mock's operation gives is not awaitable
            await getattr(group(gb, taken, mock, untaken), command)(*args)
        await asyncio.sleep(0)  # the task gather made for the first member runs

    run(main())
    assert (taken.finished, [c[0] for c in mock.mock_calls], untaken.calls) == ([command], [command], [])


@pytest.mark.parametrize("command, args", CONTROL_COMMANDS)
def test_slow_members_run_concurrently(gb, command, args):
    delay, count = 0.1, 10
    speakers = [FakeSpeaker(str(i), delays={command: delay}) for i in range(count)]
    began = time.monotonic()
    assert run(getattr(group(gb, *speakers), command)(*args)) is True
    assert time.monotonic() - began < delay * count / 2  # about one member's time, not the sum
    assert all(s.finished == [command] for s in speakers)


def test_thousand_members(gb, vlog):
    speakers = [FakeSpeaker(f"d{i}") for i in range(1000)]
    ctrl = group(gb, *speakers)
    assert run(ctrl.play_url("u", "A")) is True
    assert run(ctrl.set_volume(12.5)) is True
    assert all(s.names() == ["play_url", "set_volume"] for s in speakers)
    assert vesbel_records(vlog) == [(logging.INFO, PLAY_LOG, (1000, 1000, "A"))]


class ChosenMembers:
    """Makes ``get_member_controllers`` of a controller give ``chosen`` (as the
    given container type), overriding it on a subclass or on the instance."""

    @staticmethod
    def apply(gb, ctrl, where, chosen, container):
        def chosen_members(self=None):
            return container(chosen)

        if where == "instance":
            ctrl.get_member_controllers = chosen_members
        else:
            ctrl.__class__ = type("Subgroup", (gb.GroupController,), {"get_member_controllers": chosen_members})


@pytest.mark.parametrize("where", ["subclass", "instance"])
@pytest.mark.parametrize("container", [list, tuple])
@pytest.mark.parametrize(
    "command, args, op",
    [("play_url", ("u",), "play_url"), ("stop", (), "stop"), ("pause", (), "pause"), ("resume", (), "resume"),
     ("set_volume", (9,), "set_volume"), ("get_status", (), "get_status")],
)
def test_commands_choose_members_through_the_method(gb, where, container, command, args, op):
    configured, chosen = FakeSpeaker("a"), FakeSpeaker("b", results={"get_status": RECORD})
    ctrl, _, config = make_group(gb, [configured, chosen], member_dids=["a"])
    ChosenMembers.apply(gb, ctrl, where, [chosen], container)
    outcome = run(getattr(ctrl, command)(*args))
    assert outcome is RECORD if command == "get_status" else outcome is True
    assert configured.calls == [] and chosen.names() == [op]
    assert gb.GroupBridge("h", ctrl, config=config).snapshot()["member_count"] == 1
