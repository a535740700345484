"""The sender's script: what a phone streaming to the group does.

Every step goes through the receiver's ``sender_*`` methods, which run the
bridge's hooks on the receiver's own thread, and then waits until the house
shows the result (all speakers playing, paused, ...), so the script does not
depend on how fast the clock runs.
"""

import asyncio

TRACK = {"title": "So What", "artist": "Miles Davis", "album": "Kind of Blue"}
ARTWORK = ("data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42m"
           "NkYPhfDwAChwGA60e6kgAAAABJRU5ErkJggg==")
DURATION_MS = 545_000
VOLUME_DB = -12.0  # 60 on the speakers' 0..100 scale
WAIT_LIMIT = 40.0  # house seconds any one step may take; an auto-resume needs about 16


class DemoError(Exception):
    """The house did not do what the step expected."""


class Sender:
    def __init__(self, receiver, speakers, hub, clock, timeline):
        self._receiver = receiver
        self._speakers = speakers
        self._hub = hub
        self._clock = clock
        self._timeline = timeline

    async def run(self):
        speakers, first = self._speakers, self._speakers[0]
        stream_url = f"rtsp://127.0.0.1:{self._receiver.rtsp_port}/airplay/live?client=iPhone"
        self._timeline.explain_resume_of(stream_url)

        await self._send("play", f"plays {TRACK['title']!r} by {TRACK['artist']} with artwork "
                                 f"from {stream_url}", stream_url, TRACK, ARTWORK)
        await self._until(lambda: all(s.playing for s in speakers), "every speaker plays")
        await self._send("progress", "reports its position 0:01 of 9:05", 1_000, DURATION_MS)
        await self._send("volume", f"sets the volume to {VOLUME_DB} dB", VOLUME_DB)
        await self._until(lambda: all(s.volume == 60 for s in speakers), "every speaker is at 60")

        await self._clock.sleep(1)
        self._timeline.add("scenario", f"{first.did} drops off the network; the group's status "
                                       "comes from it, so the bridge's poll will notice")
        first.drop_out()
        await self._until(lambda: first.playing, f"{first.did} plays again")
        await self._send("progress", "reports its position 0:20", 20_000, DURATION_MS)

        await self._clock.sleep(2)
        await self._send("pause", "pauses")
        await self._until(lambda: all(s.paused for s in speakers), "every speaker is paused")
        await self._clock.sleep(3)
        await self._send("resume", "resumes")
        await self._until(lambda: all(s.playing for s in speakers), "every speaker plays")

        await self._clock.sleep(7)  # long enough for the poll to judge the group again
        await self._send("progress", "reports its position 0:30", 30_000, DURATION_MS)
        await self._send("stop", "stops")
        await self._until(lambda: not any(s.playing or s.paused for s in speakers)
                          and not self._hub.get_session(), "the house is quiet")

    async def _send(self, action, description, *args):
        self._timeline.add("sender", description)
        await asyncio.wrap_future(getattr(self._receiver, f"sender_{action}")(*args))

    async def _until(self, condition, what):
        deadline = asyncio.get_running_loop().time() + self._clock.real(WAIT_LIMIT) + 5.0
        while not condition():
            if asyncio.get_running_loop().time() > deadline:
                raise DemoError(f"timed out waiting until {what}")
            await asyncio.sleep(0.005)
