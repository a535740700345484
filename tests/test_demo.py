"""The README's demo plays a whole session on the stand-ins and ends cleanly,
refuses bad options before anything starts, ends quietly on Ctrl-C, and its
phone plays through the receiver the demo started even when others are announced."""

import asyncio
import json
import os
import re
import signal
import subprocess
import sys

import types

import pytest
from zeroconf import Zeroconf
from zeroconf.asyncio import AsyncZeroconf

from conftest import ROOT
from demo.discovery import LOOPBACK, Phone
from vesbel.airplay.server import AirPlayServer

AUTO_RESUME = "[Group] 全屋播放检测到中断，等待后自动续播..."
DEMO = [sys.executable, "-W", "error", "-m", "demo.whole_house"]
SNAPSHOT_HEADING = "final snapshot, after the sender stopped:\n"


def test_demo_plays_a_whole_session_and_exits_cleanly():
    # The child picks the same implementation through VESBEL_IMPL, inherited.
    done = subprocess.run(
        DEMO + ["--fast", "20", "--speakers", "3"],
        cwd=ROOT, capture_output=True, text=True, encoding="utf-8", timeout=60,
    )
    assert (done.returncode, done.stderr) == (0, "")
    out = done.stdout

    port = int(re.search(r"Started Group AirPlay bridge Whole House on rtsp=(\d+)", out)[1])
    assert re.search(rf"phone +resolved \w+@Whole House\._raop\._tcp\.local\.: 127\.0\.0\.1 "
                     rf"port={port} am=GROUP", out)
    assert f"RTSP OPTIONS on port {port}: RTSP/1.0 200 OK" in out

    told = re.findall(r"speaker (\S+) +(play_url|set_volume|pause|resume|stop)\b(?: url=(\S+))?", out)
    for room in ("kitchen", "living-room", "bedroom"):
        commands = [(command, url) for did, command, url in told if did == room]
        assert commands == [
            ("play_url", "http://127.0.0.1:8080/stream/live.wav?session_id=1&delay_ms=0"),
            ("set_volume", ""),
            ("play_url", commands[2][1]),  # the auto-resume, on a fresh URL
            ("pause", ""), ("resume", ""), ("stop", ""),
        ]
        assert re.fullmatch(rf"rtsp://127\.0\.0\.1:{port}/airplay/live\?sid=\d+", commands[2][1])
    assert re.search(r"speaker kitchen +drop_out", out).start() < out.index(AUTO_RESUME)
    # The Chinese log line is glossed in English, and the resume URL explained once.
    assert re.search(re.escape(AUTO_RESUME) + r"  \(whole-house playback was interrupted; .*\)\n", out)
    notes = re.findall(r"note +(.*)", out)
    assert len(notes) == 1 and "sender's own stream URL" in notes[0]
    assert out.index(notes[0]) > out.index(commands[2][1])
    assert re.findall(r"web-socket +control_command action=(\w+)", out) == ["play_url", "pause", "stop"]

    snapshot = json.JSONDecoder().raw_decode(out[out.index(SNAPSHOT_HEADING) + len(SNAPSHOT_HEADING):])[0]
    assert snapshot == {
        "id": "group_all", "did": "group_all", "name": "Whole House", "airplay_name": "Whole House",
        "hardware": "GROUP", "active": False, "client_name": "iPhone",
        "metadata": {"title": "So What", "artist": "Miles Davis", "album": "Kind of Blue"},
        "artwork": snapshot["artwork"], "rtsp_port": port, "stream_url": "", "use_music_api": False,
        "member_count": 3,
    }
    assert snapshot["artwork"].startswith("data:image/png;base64,")


@pytest.mark.parametrize("args, impl, complaint", [
    (["--fast", "inf"], None, "--fast must be a positive finite number, not inf"),
    (["--fast", "nan"], None, "--fast must be a positive finite number, not nan"),
    (["--fast", "0"], None, "--fast must be a positive finite number, not 0"),
    (["--speakers", "0"], None, "--speakers must be at least 1"),
    ([], "modul", "VESBEL_IMPL must be 'module' or 'baseline', not 'modul'"),
])
def test_bad_options_are_refused_before_anything_starts(args, impl, complaint):
    env = dict(os.environ, **({"VESBEL_IMPL": impl} if impl else {}))
    done = subprocess.run(DEMO + args, cwd=ROOT, env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1] == f"scripts/demo.sh: error: {complaint}"
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize("after", [
    "Started Group AirPlay bridge",  # the phone is still looking for the group
    "sets the volume",  # the group plays
    "drops off the network",  # the poll is about to resume the group
])
def test_ctrl_c_stops_the_bridge_and_ends_with_one_line_and_status_130(after):
    # SIGINT at its default in the demo even when this run ignores it (a
    # suite started in the background inherits an ignored SIGINT).
    demo = subprocess.Popen(DEMO + ["--fast", "4", "--speakers", "2"], cwd=ROOT, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, encoding="utf-8",
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        for line in demo.stdout:
            if after in line:
                break
        demo.send_signal(signal.SIGINT)
        rest, err = demo.communicate(timeout=30)
    finally:
        demo.kill()
    assert (demo.returncode, err) == (130, "demo interrupted\n")
    assert re.search(r"demo +bridge stopped\n", rest)
    assert "final snapshot" not in rest


@pytest.mark.parametrize("lines", [1, 8])
def test_a_reader_that_goes_away_ends_the_demo_quietly(lines):
    # As `scripts/demo.sh | head`: the reader closes its end after a few lines.
    with subprocess.Popen(DEMO + ["--fast", "4", "--speakers", "2"], cwd=ROOT, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, encoding="utf-8") as demo:
        try:
            for _ in range(lines):
                demo.stdout.readline()
            demo.stdout.close()
            err = demo.stderr.read()
            demo.wait(timeout=30)
        finally:
            demo.kill()
    assert (demo.returncode, err) == (1, "")


def test_the_phone_finds_each_receiver_by_its_device_id_among_others_of_the_same_name():
    # Two demos on one machine: two "Whole House" receivers on loopback.
    async def ports_found():
        responder = Zeroconf(interfaces=[LOOPBACK])
        receivers = [AirPlayServer(LOOPBACK, "Whole House", responder, speaker_hardware="GROUP") for _ in range(2)]
        phone = Phone(types.SimpleNamespace(add=lambda *_: None))
        try:
            for receiver in receivers:
                await receiver.start()
            await phone.start_browsing()
            found = [(await phone.find_group(r.device_id, 5.0)).port for r in receivers]
            return found, [r.rtsp_port for r in receivers]
        finally:
            await phone.close()
            for receiver in receivers:
                await receiver.stop()
            await AsyncZeroconf(zc=responder).async_close()

    found, started = asyncio.run(ports_found())
    assert found == started
