"""A whole-house AirPlay session on the host application's stand-ins.

A house of simulated speakers (the last one slower than the others), the
audio hub, the group controller and the group bridge, started with a real
mDNS responder and a real RTSP port on loopback. A phone finds the group over
mDNS, then a sender plays a track, changes the volume, loses a speaker (the
bridge brings it back by itself), pauses, resumes and stops. Everything that
happens is printed as a timeline, followed by the bridge's final snapshot.

    python -m demo.whole_house [--fast N] [--speakers N]
"""

import argparse
import asyncio
import contextlib
import json
import logging
import math
import sys

from zeroconf import Zeroconf
from zeroconf.asyncio import AsyncZeroconf

from demo.clock import HouseClock
from demo.discovery import LOOPBACK, Phone
from demo.impl import implementation_name, load_group_bridge
from demo.sender import DemoError, Sender
from demo.timeline import Timeline, TimelineLogHandler
from vesbel.audio_hub import AudioHub
from vesbel.config import Config, GroupConfig
from vesbel.web import api
from vesbel.xiaomi import TargetController

ROOMS = ("kitchen", "living-room", "bedroom", "study", "bathroom", "hallway", "attic", "garden")
LATENCY = 0.1  # house seconds each speaker command takes
SLOW_LATENCY = 0.8  # the last speaker sits behind a weak Wi-Fi link
DISCOVERY_TIMEOUT = 5.0  # real seconds the phone may take to find the group
SNAPSHOT_HEADING = "final snapshot, after the sender stopped:"


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="scripts/demo.sh", description=__doc__.split("\n\n")[0])
    parser.add_argument("--fast", type=float, default=4.0, metavar="N",
                        help="run the bridge's clock N times faster (default 4; 1 is real time)")
    parser.add_argument("--speakers", type=int, default=4, metavar="N",
                        help="number of speakers in the house (default 4)")
    args = parser.parse_args(argv)
    if not (args.fast > 0 and math.isfinite(args.fast)):
        parser.error(f"--fast must be a positive finite number, not {args.fast:g}")
    if args.speakers < 1:
        parser.error("--speakers must be at least 1")
    try:
        implementation_name()
    except ValueError as exc:
        parser.error(str(exc))
    return args


def room_name(index):
    return ROOMS[index] if index < len(ROOMS) else f"room-{index + 1}"


def build_speakers(count, clock, timeline):
    speakers = []
    for index in range(count):
        slow = count > 1 and index == count - 1
        latency = clock.real(SLOW_LATENCY if slow else LATENCY)
        speakers.append(TargetController(room_name(index), latency=latency,
                                         listener=timeline.speaker_listener))
    return speakers


async def print_web_socket_events(clients, timeline):
    while True:
        timeline.web_socket_event(await clients.get())


async def session(gb, args, clock, timeline):
    """Runs the whole session; gives back the bridge's snapshot after the sender stopped.
    It is cancelled, and cleans up, when the timeline's reader goes away."""
    loop, me = asyncio.get_running_loop(), asyncio.current_task()
    timeline.on_closed = lambda: loop.call_soon_threadsafe(me.cancel)
    speakers = build_speakers(args.speakers, clock, timeline)
    config = Config(group=GroupConfig(member_dids=[s.did for s in speakers]))
    hub = AudioHub(listener=timeline.hub_listener)
    group = gb.GroupController(config, lambda: {s.did: s for s in speakers})
    responder = Zeroconf(interfaces=[LOOPBACK])
    bridge = gb.GroupBridge(LOOPBACK, group, responder, config, hub)
    phone = Phone(timeline)
    clients = api.subscribe()
    printer = asyncio.create_task(print_web_socket_events(clients, timeline))
    try:
        await bridge.start()
        await phone.start_browsing()
        service = await phone.find_group(bridge.airplay_server.device_id, DISCOVERY_TIMEOUT)
        await phone.probe_rtsp(service.port)
        await Sender(bridge.airplay_server, speakers, hub, clock, timeline).run()
        return bridge.snapshot()
    finally:
        try:
            await bridge.stop()
            timeline.add("demo", "bridge stopped")
        finally:
            await phone.close()
            await AsyncZeroconf(zc=responder).async_close()
            while not clients.empty():
                await asyncio.sleep(0)
            printer.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await printer
            api.unsubscribe(clients)


def describe(args, clock, timeline):
    names = [room_name(i) for i in range(args.speakers)]
    if args.speakers > 1:
        names[-1] += " (slow)"
    timeline.note(f"Whole-house AirPlay demo: {args.speakers} speakers: {', '.join(names)}")
    timeline.note(f"group bridge: {implementation_name()}; house clock {args.fast:g}x faster "
                  f"(the bridge's 3 s poll takes {clock.real(3):.2f} s)")
    timeline.note("lines ending in [thread airplay:...] happened on the AirPlay receiver's thread, "
                  "all others on the event loop")
    timeline.note()


def main(argv=None):
    args = parse_args(argv)
    try:
        return play(args)
    except KeyboardInterrupt:
        # asyncio.run has already cancelled the session, whose clean-up
        # stopped the bridge and closed the network services.
        print("demo interrupted", file=sys.stderr)
        return 130


def play(args):
    gb = load_group_bridge()
    clock = HouseClock(args.fast)
    timeline = Timeline()
    undo_clock = clock.install(gb) if args.fast != 1 else (lambda: None)
    logger = logging.getLogger("vesbel")
    handler = TimelineLogHandler(timeline)
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    describe(args, clock, timeline)
    if timeline.closed:
        return 1
    try:
        snapshot = asyncio.run(session(gb, args, clock, timeline))
    except DemoError as exc:
        print(f"demo failed: {exc}", file=sys.stderr)
        return 1
    except asyncio.CancelledError:
        if timeline.closed:
            return 1  # nobody reads the timeline any more
        raise
    finally:
        logger.removeHandler(handler)
        undo_clock()
    timeline.note()
    timeline.note(SNAPSHOT_HEADING)
    timeline.note(json.dumps(snapshot, indent=2, ensure_ascii=False))
    timeline.note(f"\nfinished in {timeline.elapsed():.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
