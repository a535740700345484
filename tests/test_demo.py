"""The README's demo plays a whole session on the stand-ins and ends cleanly."""

import json
import re
import subprocess
import sys

from conftest import ROOT

AUTO_RESUME = "[Group] 全屋播放检测到中断，等待后自动续播..."
SNAPSHOT_HEADING = "final snapshot, after the sender stopped:\n"


def test_demo_plays_a_whole_session_and_exits_cleanly():
    # The child picks the same implementation through VESBEL_IMPL, inherited.
    done = subprocess.run(
        [sys.executable, "-W", "error", "-m", "demo.whole_house", "--fast", "20", "--speakers", "3"],
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
