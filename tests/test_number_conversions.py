"""The group volume and the receiver's position share one rule: an exact int
is passed on unchanged, any other number becomes an exact int by truncation
toward zero, anything else is refused."""

import decimal
import enum

import pytest

from conftest import run
from fakes import FakeHub, FakeSpeaker, make_group


class Level(enum.IntEnum):
    LOUD = 80


class Count(int):
    pass


NUMBERS = [(True, 1), (False, 0), (Level.LOUD, 80), (Count(-7), -7), (37.9, 37), (-2.5, -2),
           (decimal.Decimal("12.99"), 12)]


def through_set_volume(gb, value):
    speaker = FakeSpeaker("a")
    ctrl, _, _ = make_group(gb, [speaker])
    assert run(ctrl.set_volume(value)) is True
    [((sent,), _)] = speaker.called("set_volume")
    return sent


def through_progress(gb, value):
    hub = FakeHub()
    ctrl, _, config = make_group(gb, [])
    gb.GroupBridge("h", ctrl, None, config, hub)._on_progress_change(value, value)
    [((position, duration), _)] = hub.called("update_session_progress")
    assert type(duration) is type(position) and duration == position
    return position


@pytest.mark.parametrize("convert", [through_set_volume, through_progress])
@pytest.mark.parametrize("value, expected", NUMBERS)
def test_other_numbers_become_exact_ints(gb, convert, value, expected):
    sent = convert(gb, value)
    assert type(sent) is int and sent == expected


@pytest.mark.parametrize("convert", [through_set_volume, through_progress])
def test_an_exact_int_is_passed_on_as_it_is(gb, convert):
    big = 2**80 + 1
    assert convert(gb, big) is big
