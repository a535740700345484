"""Stop and pause of a group playback: what each gives back, keeps and waits for."""

import asyncio

import pytest

from playback_support import (STREAM, FakeHub, FakeSpeaker, broken_provider, lines, make_env,
                              mentions, playing, until, vesbel_records)

OPS = ["stop", "pause"]


def op(env, name):
    return getattr(env.bridge, f"_{name}_target")()


async def forever():
    await asyncio.Event().wait()


@pytest.mark.parametrize("name", OPS)
def test_flags_change_before_the_first_suspension(gb, monkeypatch, name):
    b = playing(make_env(gb, monkeypatch))

    async def main():
        b._poll_task = asyncio.create_task(forever())
        task = asyncio.create_task(getattr(b, f"_{name}_target")())
        await asyncio.sleep(0)  # the operation runs up to its first wait
        seen = (b._airplay_active, b._stream_url, b._session_audio_id)
        await task
        return seen

    kept = (STREAM, "AID-1") if name == "pause" else ("", None)
    assert asyncio.run(main()) == (False, *kept)


@pytest.mark.parametrize("hub_case", ["session", "no session key", "no lease", "no hub"])
@pytest.mark.parametrize("name", OPS)
def test_outcome_of_stop_and_pause(gb, monkeypatch, name, hub_case):
    hub = {"session": FakeHub(), "no session key": FakeHub(session={}),
           "no lease": FakeHub(), "no hub": None}[hub_case]
    env = make_env(gb, monkeypatch, hub=hub)
    b = playing(env, lease=hub_case not in ("no lease", "no hub"))
    lease = b._audio_lease
    asyncio.run(op(env, name))

    session_id = 5 if hub_case in ("session", "no lease") else 0
    assert env.broadcast.events == [{"type": "control_command", "action": name,
                                     "target": "group_all", "session_id": session_id}]
    assert list(env.broadcast.events[0]) == ["type", "action", "target", "session_id"]
    assert [s.called(name) for s in env.speakers] == [[((), {})], [((), {})]]
    assert b._poll_task is None and b._airplay_active is False
    hub_calls = [(n, a) for n, a, _ in env.timeline if n not in (name, "broadcast")]
    if name == "stop":
        assert (b._stream_url, b._session_audio_id, b._audio_lease) == ("", None, None)
        released = [("release_source", (lease, "airplay stopped"))] if lease else []
        expected = [("get_session", ()), *released] if hub else []
    else:
        assert (b._stream_url, b._session_audio_id, b._audio_lease) == (STREAM, "AID-1", lease)
        expected = [("get_session", ()), ("pause_source", (lease,))] if hub else []
    assert hub_calls == expected


class CountedHub(FakeHub):
    truth_tests = 0

    def __bool__(self):
        self.truth_tests += 1
        return True


@pytest.mark.parametrize("name", OPS)
def test_the_hub_is_judged_once_per_step(gb, monkeypatch, name):
    env = make_env(gb, monkeypatch, hub=CountedHub())
    playing(env)
    asyncio.run(op(env, name))
    assert env.hub.truth_tests == (2 if name == "stop" else 1)  # the stop's _release_audio judges it too
    assert env.broadcast.events[0]["session_id"] == 5


@pytest.mark.parametrize("name", OPS)
def test_stop_sends_its_event_as_a_task_pause_waits_for_delivery(gb, monkeypatch, name):
    env = make_env(gb, monkeypatch)
    playing(env)

    async def main():
        env.broadcast.gate = asyncio.Event()
        task = asyncio.create_task(op(env, name))
        await until(lambda: env.broadcast.events)
        await asyncio.sleep(0.02)
        finished_before_delivery = task.done()
        group_told_before_delivery = bool(env.speakers[0].called(name))
        env.broadcast.gate.set()
        await task
        assert (env.broadcast.tasks[0] is task) == (name == "pause")
        return finished_before_delivery, group_told_before_delivery

    assert asyncio.run(main()) == ((True, True) if name == "stop" else (False, False))


@pytest.mark.parametrize("name", OPS)
def test_stop_waits_for_the_cancelled_poll_pause_does_not(gb, monkeypatch, name):
    env = make_env(gb, monkeypatch)
    b = playing(env)
    seen = {}

    async def slow_to_end_poll():
        try:
            await forever()
        finally:
            await asyncio.sleep(0.05)
            seen["group told before poll ended"] = bool(env.speakers[0].called(name))

    async def main():
        poll = b._poll_task = asyncio.create_task(slow_to_end_poll())
        await asyncio.sleep(0)
        await op(env, name)
        assert b._poll_task is None and poll.cancelled() == (name == "stop")
        await asyncio.gather(poll, return_exceptions=True)

    asyncio.run(main())
    assert seen["group told before poll ended"] == (name == "pause")


@pytest.mark.parametrize("failure", ["event raises", "event missing", "group fails"])
@pytest.mark.parametrize("name", OPS)
def test_event_and_group_failures_are_swallowed_silently(gb, monkeypatch, vlog, name,
                                                         failure):
    env = make_env(gb, monkeypatch)
    b = playing(env)
    import vesbel.web.api as api

    if failure == "event raises":
        monkeypatch.setattr(api, "broadcast_ws", lambda event: 1 / 0)
    elif failure == "event missing":
        monkeypatch.delattr(api, "broadcast_ws")
    else:
        b.controller = gb.GroupController(env.config, broken_provider)
    asyncio.run(op(env, name))
    if failure == "group fails":
        assert len(env.broadcast.events) == 1 and b._poll_task is None
    else:
        assert len(env.speakers[0].called(name)) == 1
    assert lines(vlog) == []


@pytest.mark.parametrize("name, failing", [
    ("stop", "get_session"), ("stop", "release_source"),
    ("pause", "get_session"), ("pause", "pause_source")])
def test_hub_errors_end_the_operation(gb, monkeypatch, name, failing):
    env = make_env(gb, monkeypatch, hub=FakeHub(errors={failing: RuntimeError("hub down")}))
    b = playing(env)

    async def main():
        b._poll_task = asyncio.create_task(forever())
        with pytest.raises(RuntimeError, match="hub down"):
            await op(env, name)
        return b._poll_task

    poll = asyncio.run(main())
    assert b._airplay_active is False and env.broadcast.events == []
    assert [s.called(name) for s in env.speakers] == [[], []]
    assert b._audio_lease is env.hub.lease
    # pause lets go of the poll before it talks to the hub; stop only after
    assert (poll is None) == (name == "pause")


@pytest.mark.parametrize("name, where", [("stop", "group"), ("pause", "event"),
                                         ("pause", "group")])
def test_cancelling_the_operation_is_not_swallowed(gb, monkeypatch, name, where):
    slow = {name: 30} if where == "group" else {}
    env = make_env(gb, monkeypatch, speakers=[FakeSpeaker("d1", delays=slow)])
    playing(env)

    async def main():
        if where == "event":
            env.broadcast.gate = asyncio.Event()
        task = asyncio.create_task(op(env, name))
        await until(lambda: env.speakers[0].started if where == "group" else
                    env.broadcast.events)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        return task.cancelled()

    assert asyncio.run(main()) is True
    assert env.speakers[0].called(name) == ([((), {})] if where == "group" else [])


async def dead_poll():
    raise ValueError("poll broke")


async def poll_dying_on_cancel():
    try:
        await forever()
    except asyncio.CancelledError:
        raise ValueError("poll broke") from None


@pytest.mark.parametrize("poll", [dead_poll, poll_dying_on_cancel])
@pytest.mark.parametrize("stopper", ["_stop_target", "stop"])
def test_a_failed_poll_is_logged_and_the_stop_goes_on(gb, monkeypatch, vlog, stopper, poll):
    env = make_env(gb, monkeypatch)
    b = playing(env)
    receiver = b.airplay_server

    async def main():
        b._poll_task = asyncio.create_task(poll())
        await asyncio.sleep(0)
        await getattr(b, stopper)()

    asyncio.run(main())
    [warning] = vesbel_records(vlog, "WARNING")
    assert mentions(warning, "poll broke")
    assert b._poll_task is None
    if stopper == "stop":
        assert receiver.called("stop") == [((), {})] and b.airplay_server is None
    else:
        assert [s.called("stop") for s in env.speakers] == [[((), {})], [((), {})]]


async def quiet_poll():
    try:
        await forever()
    except asyncio.CancelledError:
        return  # the poll ends quietly when cancelled


@pytest.mark.parametrize("stopper", ["_stop_target", "stop"])
def test_a_stop_cancelled_while_it_waits_for_the_poll_is_cancelled(gb, monkeypatch, stopper):
    env = make_env(gb, monkeypatch)
    b = playing(env)
    receiver = b.airplay_server

    async def main():
        b._poll_task = asyncio.create_task(quiet_poll())
        await asyncio.sleep(0)
        stopping = asyncio.create_task(getattr(b, stopper)())
        await asyncio.sleep(0)  # the stop now waits for the cancelled poll
        stopping.cancel()
        await asyncio.gather(stopping, return_exceptions=True)
        return stopping.cancelled()

    assert asyncio.run(main()) is True
    assert b._poll_task is None
    assert [s.called("stop") for s in env.speakers] == [[], []]
    assert receiver.called("stop") == [] and b.airplay_server is receiver


@pytest.mark.parametrize("stopper", ["_stop_target", "stop"])
def test_a_stop_run_as_clean_up_of_a_cancelled_task_still_completes(gb, monkeypatch, stopper):
    env = make_env(gb, monkeypatch)
    b = playing(env)

    async def host():
        try:
            await forever()
        except asyncio.CancelledError:
            b._poll_task = asyncio.create_task(quiet_poll())
            await asyncio.sleep(0)
            await getattr(b, stopper)()  # clean-up while this task is being cancelled
            raise

    async def main():
        task = asyncio.create_task(host())
        await asyncio.sleep(0)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)

    asyncio.run(main())
    assert b._poll_task is None
    if stopper == "stop":
        assert b.airplay_server is None
    else:
        assert [s.called("stop") for s in env.speakers] == [[((), {})], [((), {})]]
