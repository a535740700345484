"""The README's host-application example runs as printed and says what the
README says it does."""

import os
import re
import subprocess
import sys

from conftest import IMPL, ROOT

SECTION = "## Using it from the host application"
# Run against the baseline, the example finds it under the module's name.
BASELINE_FIRST = "from bench.baseline.loader import load_baseline; load_baseline()\n"


def example():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index(SECTION):]
    return re.search(r"```python\n(.*?)```", section, re.S)[1]


def test_the_host_example_wires_the_group_and_the_bridge_and_logs_under_vesbel(tmp_path):
    code = example()
    script = tmp_path / "example.py"
    script.write_text((BASELINE_FIRST if IMPL == "baseline" else "") + code, encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    done = subprocess.run([sys.executable, "-W", "error", str(script)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, encoding="utf-8", timeout=60)
    assert done.returncode == 0, done.stderr
    volume, status, snapshot = done.stdout.splitlines()
    assert volume == "volume set: True"
    assert status == "status: {'status': 0, 'volume': 40, 'cur_time': 0, 'duration': 0}"
    assert snapshot == "snapshot: Whole House 2"
    assert re.fullmatch(r"vesbel INFO Started Group AirPlay bridge Whole House on rtsp=\d+\n", done.stderr)


FAILED_HAND_OVER = """
import threading

class UnreachableHub(AudioHub):
    def acquire_source(self, source, target):
        raise ConnectionError("audio hub unreachable")

async def main():
    speakers = {"kitchen": TargetController("kitchen")}
    config = Config(group=GroupConfig(member_dids=list(speakers)))
    bridge = GroupBridge("127.0.0.1", GroupController(config, lambda: speakers), None, config, UnreachableHub())
    await bridge.start()
    receiver = threading.Thread(target=bridge._on_play_start, args=("rtsp://127.0.0.1/live",))
    receiver.start()
    receiver.join()
    for _ in range(100):
        await asyncio.sleep(0.01)
    await bridge.stop()
"""


def test_a_failed_hand_over_logs_the_line_the_readme_shows(tmp_path):
    code = example()
    quoted = re.search(r"^ +(vesbel WARNING Group bridge .*)$", (ROOT / "README.md").read_text("utf-8"), re.M)[1]
    # The example's imports and logging set-up, then a hub that cannot be reached.
    script = tmp_path / "failing.py"
    script.write_text((BASELINE_FIRST if IMPL == "baseline" else "") + code[:code.index("async def main")]
                      + FAILED_HAND_OVER + "\nasyncio.run(main())\n", encoding="utf-8")
    done = subprocess.run([sys.executable, "-W", "error", str(script)], cwd=tmp_path,
                          env=dict(os.environ, PYTHONPATH=str(ROOT)), capture_output=True, text=True,
                          encoding="utf-8", timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stderr.splitlines()[1:] == [quoted]
