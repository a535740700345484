"""Property-based fuzzing of the module with wrong and hostile values, one
family of operations per process so that a crash is seen as a crash.

    python tests/fuzz_families.py FAMILY    (FAMILY: see FAMILIES below)

Every operation may refuse a value with an ordinary exception; a SystemError,
a crash or a hang is a failure.  VESBEL_FUZZ_EXAMPLES sets the examples per
family (default 40).
"""

import asyncio
import math
import os
import pathlib
import sys
import threading

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.append(str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

import workload  # noqa: E402
from fakes import FakeHub, FakeReceiver, FakeSpeaker, make_config  # noqa: E402


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("hostile")


class StrSub(str):
    pass


class DictSub(dict):
    pass


class IntSub(int):
    pass


class BadStr:
    __str__ = __repr__ = __format__ = boom


class BadEq:
    __eq__ = __ne__ = __hash__ = boom


class BadBool:
    __bool__ = __len__ = boom


class BadNumber:
    __float__ = __int__ = __index__ = __trunc__ = boom


class BadMapping(dict):
    get = __getitem__ = keys = items = values = copy = __iter__ = __len__ = __contains__ = boom


class BadEverything:
    __str__ = __repr__ = __eq__ = __hash__ = __bool__ = __len__ = __iter__ = boom
    __float__ = __int__ = __index__ = __getitem__ = __call__ = __await__ = boom


HOSTILE = [lambda: StrSub("x"), lambda: DictSub(title="t"), lambda: IntSub(3), BadStr, BadEq,
           BadBool, BadNumber, BadMapping, BadEverything, lambda: 10**100, lambda: -10**100,
           lambda: math.nan, lambda: math.inf, lambda: -math.inf, lambda: 1e308, lambda: None,
           lambda: b"bytes", list, lambda: (1, 2, 3), object, str, lambda: "\0\ud800",
           lambda: True, int, lambda: -1, lambda: 2**63, lambda: {"title": BadStr()},
           lambda: {"title": 5, "artist": b"x"}, lambda: DictSub(session_id=BadEq())]

# Made by index, so hypothesis never has to hash, compare or print a hostile value.
hostile = st.integers(0, len(HOSTILE) - 1).map(lambda i: HOSTILE[i]())
values = st.one_of(hostile, st.text(max_size=8), st.integers(),
                   st.floats(allow_nan=True, allow_infinity=True),
                   st.dictionaries(st.text(max_size=4), hostile, max_size=3))


class HostileSpeaker(FakeSpeaker):
    """A member whose ``did`` or operation results are hostile."""

    def __init__(self, did, result):
        super().__init__(did, results={op: result for op in FakeSpeaker.DEFAULT_RESULTS})


class RaisingDid:
    did = property(boom)


def hub_with(**values):
    """A recording hub whose answers are the given (hostile) values."""
    hub = FakeHub()
    for name, value in values.items():
        setattr(hub, name, value)
    return hub


def run(loop, made):
    """Awaits what an operation gave back, if it is awaitable; a bounded wait."""
    if asyncio.iscoroutine(made) or isinstance(made, asyncio.Future):
        return loop.run_until_complete(asyncio.wait_for(made, 0.5))
    return made


def attempt(loop, call, *args):
    try:
        return run(loop, call(*args))
    except SystemError:
        raise
    except Exception:
        return None


def members_of(did_value, result):
    return [FakeSpeaker("d1"), HostileSpeaker(did_value, result), RaisingDid()]


def family_controller(gb, loop):
    @given(values, values, values, values)
    def check(config_value, url, audio_id, volume):
        provider = {"a": FakeSpeaker("d1")}
        controller = attempt(loop, gb.GroupController, make_config(["d1"]), lambda: provider)
        for op, args in [("play_url", (url, audio_id)), ("play_url", (url,)),
                         ("set_volume", (volume,)), ("stop", ()), ("get_status", ())]:
            attempt(loop, getattr(controller, op), *args)
        hostile = attempt(loop, gb.GroupController, config_value, lambda: config_value)
        for op in ("get_member_controllers", "stop", "resume", "get_status"):
            attempt(loop, lambda: getattr(hostile, op)())
        attempt(loop, gb.GroupController, config_value)

    return check


def family_members(gb, loop):
    @given(values, values, values)
    def check(did_value, result, member_dids):
        speakers = members_of(did_value, result)
        config = make_config([])
        config.group.member_dids = member_dids
        controller = gb.GroupController(config, lambda: {i: s for i, s in enumerate(speakers)})
        for op, args in [("play_url", ("http://h/a", None)), ("stop", ()), ("pause", ()),
                         ("resume", ()), ("set_volume", (4,)), ("get_status", ())]:
            attempt(loop, getattr(controller, op), *args)
        config.group.member_dids = ["d1", did_value]
        attempt(loop, controller.get_member_controllers)
        attempt(loop, controller.play_url, "http://h/a", "AID")

    return check


def family_bridge(gb, loop):
    @given(values, values, values, values)
    def check(host, name, hub_value, receiver_value):
        controller = gb.GroupController(make_config(["d1"]), lambda: {"a": FakeSpeaker("d1")})
        attempt(loop, gb.GroupBridge, host, controller)
        attempt(loop, gb.GroupBridge, "h", controller, None, make_config(), hub_value)
        bridge = gb.GroupBridge("h", controller, None, make_config(["d1"], airplay_name=name),
                                hub_with(lease=receiver_value))
        receiver = FakeReceiver()
        receiver.is_playing, receiver.metadata = receiver_value, hub_value
        receiver.client_name, receiver.artwork, receiver.rtsp_port = name, host, receiver_value
        bridge.airplay_server = receiver
        for op in ("snapshot", "_acquire_audio", "_release_audio", "_acquire_audio"):
            attempt(loop, getattr(bridge, op))
        attempt(loop, lambda: bridge.device_name)
        bridge.audio_hub, bridge.config, bridge.controller = hub_value, name, receiver_value
        for op in ("snapshot", "_release_audio", "_acquire_audio"):
            attempt(loop, getattr(bridge, op))

    return check


HOOKS = ["_on_play_start", "_on_play_stop", "_on_play_pause", "_on_play_resume",
         "_on_volume_change", "_on_metadata_change", "_on_progress_change"]


def family_hooks(gb, loop):
    """Hooks with hostile values, handed to a loop running on another thread."""
    other = asyncio.new_event_loop()
    threading.Thread(target=other.run_forever, daemon=True).start()

    @given(st.sampled_from(HOOKS), st.lists(values, max_size=3), values, st.booleans())
    def check(hook, args, config_value, running):
        speakers = [FakeSpeaker("d1")]
        controller = gb.GroupController(make_config(["d1"]), lambda: {"a": speakers[0]})
        bridge = gb.GroupBridge("h", controller, None, make_config(["d1"]), FakeHub())
        bridge._loop = other if running else config_value
        attempt(loop, getattr(bridge, hook), *args)
        bridge.config, bridge.audio_hub = config_value, config_value
        attempt(loop, getattr(bridge, hook), *args)

    return check


def family_playback(gb, loop):
    @given(values, values, values, values)
    def check(metadata, progress, session, audio_id):
        speaker = FakeSpeaker("d1", results={"search_audio_id": audio_id,
                                             "get_status": session, "play_url": audio_id})
        controller = gb.GroupController(make_config(["d1"]), lambda: {"a": speaker})
        hub = hub_with(session=session, session_id=audio_id, lease=progress)
        config = make_config(["d1"], default_audio_id=audio_id, web_port=metadata,
                             virtual_delay=progress)
        bridge = gb.GroupBridge("h", controller, None, config, hub)
        receiver = FakeReceiver()
        receiver.metadata, receiver.progress, receiver.artwork = metadata, progress, session
        receiver.is_playing = True
        bridge.airplay_server = receiver
        attempt(loop, bridge._resolve_audio_id)
        attempt(loop, bridge._play_on_target, "http://sender/s?x=1")
        attempt(loop, bridge._play_on_target, metadata)
        bridge._stream_url, bridge._airplay_active, bridge._play_grace_until = progress, True, 0.0
        attempt(loop, bridge._pause_target)
        bridge._airplay_active, bridge._stream_url = True, "http://sender/s"
        attempt(loop, lambda: loop.run_until_complete(start_and_wait_poll(bridge)))
        attempt(loop, bridge._stop_target)
        bridge._session_audio_id, bridge._audio_lease, bridge._poll_task = audio_id, session, None
        attempt(loop, bridge._stop_target)
        bridge._stream_url, bridge._poll_task = metadata, None
        attempt(loop, bridge.stop)

    return check


async def start_and_wait_poll(bridge):
    bridge._start_poll()
    try:
        await asyncio.wait_for(asyncio.shield(bridge._poll_task), 0.05)
    except TimeoutError:
        pass


FAMILIES = {name[len("family_"):]: f for name, f in globals().items() if name.startswith("family_")}


def main(family):
    gb = workload.load_module(os.environ.get("VESBEL_IMPL", "module"))
    workload.quiet_log()
    clock = workload.FastClock()
    clock.install(gb)
    workload.install_receiver_and_broadcast(gb)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    examples = int(os.environ.get("VESBEL_FUZZ_EXAMPLES", "40"))
    check = settings(max_examples=examples, deadline=None, database=None, derandomize=False,
                     suppress_health_check=list(HealthCheck))(FAMILIES[family](gb, loop))
    check()
    print(f"{family}: {examples} examples, no crash, no SystemError")


if __name__ == "__main__":
    main(sys.argv[1])
