"""The bridge's lease on the audio hub's single output."""

import pytest

from fakes import FakeHub, Lease


class FalsyHub(FakeHub):
    """A hub object whose truth value is false: it must not be asked."""

    def __bool__(self):
        return False


def make_bridge(gb, hub):
    return gb.GroupBridge("10.0.0.2", object(), audio_hub=hub)


def test_repeated_acquire_asks_the_hub_once(gb):
    hub = FakeHub()
    bridge = make_bridge(gb, hub)
    first = bridge._acquire_audio()
    second = bridge._acquire_audio()
    assert first is hub.lease and second is hub.lease and bridge._audio_lease is hub.lease
    assert hub.calls == [("acquire_source", ("airplay1", "group_all"), {})]


@pytest.mark.parametrize("hub", [None, FalsyHub()], ids=["no-hub", "falsy-hub"])
def test_no_hub_means_no_request(gb, hub):
    bridge = make_bridge(gb, hub)
    assert bridge._acquire_audio() is None
    held = Lease(3)
    bridge._audio_lease = held
    assert bridge._acquire_audio() is held
    assert bridge._release_audio() is None
    assert bridge._audio_lease is held
    if hub is not None:
        assert hub.calls == []


def test_refusal_with_none_is_asked_again(gb):
    hub = FakeHub(lease=None)
    bridge = make_bridge(gb, hub)
    assert bridge._acquire_audio() is None
    assert bridge._acquire_audio() is None
    assert hub.names() == ["acquire_source", "acquire_source"]
    assert bridge._audio_lease is None


@pytest.mark.parametrize("refusal", [0, "", False])
def test_refusal_with_another_false_value_is_kept_until_released(gb, refusal):
    hub = FakeHub(lease=refusal)
    bridge = make_bridge(gb, hub)
    assert bridge._acquire_audio() is refusal
    assert bridge._acquire_audio() is refusal
    assert hub.names() == ["acquire_source"]
    bridge._release_audio()
    assert hub.called("release_source") == [((refusal, "airplay stopped"), {})]
    assert bridge._audio_lease is None


def test_release_gives_the_lease_back_once(gb):
    hub = FakeHub()
    bridge = make_bridge(gb, hub)
    bridge._release_audio()  # nothing held yet: nothing to give back
    assert hub.calls == []
    lease = bridge._acquire_audio()
    assert bridge._release_audio() is None
    assert bridge._audio_lease is None
    assert bridge._release_audio() is None
    assert hub.called("release_source") == [((lease, "airplay stopped"), {})]
    assert bridge._acquire_audio() is lease
    assert hub.names() == ["acquire_source", "release_source", "acquire_source"]


def test_failing_acquire_leaves_no_lease(gb):
    hub = FakeHub(errors={"acquire_source": RuntimeError("hub busy")})
    bridge = make_bridge(gb, hub)
    with pytest.raises(RuntimeError, match="hub busy"):
        bridge._acquire_audio()
    assert bridge._audio_lease is None


def test_failing_release_keeps_the_lease_for_a_retry(gb):
    hub = FakeHub(errors={"release_source": RuntimeError("hub busy")})
    bridge = make_bridge(gb, hub)
    lease = bridge._acquire_audio()
    with pytest.raises(RuntimeError, match="hub busy"):
        bridge._release_audio()
    assert bridge._audio_lease is lease
    hub.errors.clear()
    bridge._release_audio()
    assert bridge._audio_lease is None
    assert hub.called("release_source") == [((lease, "airplay stopped"), {})] * 2
