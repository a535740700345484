"""A simulated Xiaomi speaker controller.

Each command takes ``latency`` seconds (as a network round trip would) and
only then changes the speaker's state, so a cancelled command changes nothing.
"""

import asyncio
import time

# (audio_id, title, artist) entries of the speakers' music catalogue.
DEFAULT_CATALOGUE = (
    ("1001", "Blue in Green", "Miles Davis"),
    ("1002", "So What", "Miles Davis"),
    ("1003", "Clair de Lune", "Claude Debussy"),
    ("1004", "Gymnopédie No. 1", "Erik Satie"),
)

STOPPED, PLAYING, PAUSED = 0, 1, 2


class TargetController:
    def __init__(self, did, name="", *, latency=0.0, listener=None, catalogue=DEFAULT_CATALOGUE,
                 volume=30, duration=0):
        self.did = did
        self.name = name or did
        self.latency = latency
        self.listener = listener
        self.catalogue = tuple(catalogue)
        self.url = ""
        self.audio_id = None
        self.volume = volume
        self.state = STOPPED
        self.duration = duration
        self._started_at = None  # monotonic time playback (re)started
        self._played = 0.0  # seconds played before the last pause

    def __repr__(self):
        return f"TargetController({self.did!r})"

    @property
    def playing(self):
        return self.state == PLAYING

    @property
    def paused(self):
        return self.state == PAUSED

    async def _command(self, command, **details):
        if self.latency:
            await asyncio.sleep(self.latency)
        if self.listener is not None:
            self.listener({"did": self.did, "command": command, **details})

    async def play_url(self, url, audio_id):
        await self._command("play_url", url=url, audio_id=audio_id)
        self.url, self.audio_id = url, audio_id
        self._set_playing(restart=True)
        return True

    async def stop(self):
        await self._command("stop")
        self.state, self.url, self.audio_id = STOPPED, "", None
        self._played, self._started_at = 0.0, None
        return True

    async def pause(self):
        await self._command("pause")
        if self.state == PLAYING:
            self._played = self._elapsed()
            self._started_at = None
            self.state = PAUSED
        return True

    async def resume(self):
        await self._command("resume")
        if self.state == PAUSED:
            self._set_playing(restart=False)
        return True

    async def set_volume(self, volume):
        await self._command("set_volume", volume=volume)
        self.volume = volume
        return True

    async def get_status(self):
        await self._command("get_status")
        return {
            "status": self.state,
            "volume": self.volume,
            "cur_time": int(self._elapsed()),
            "duration": self.duration,
        }

    async def search_audio_id(self, title, artist, fuzzy_fallback=False):
        """The catalogue id of the track with this exact title and artist; with
        ``fuzzy_fallback``, else of the first track whose title matches
        ignoring case. None when nothing matches."""
        await self._command("search_audio_id", title=title, artist=artist,
                            fuzzy_fallback=fuzzy_fallback)
        for audio_id, entry_title, entry_artist in self.catalogue:
            if entry_title == title and entry_artist == artist:
                return audio_id
        if fuzzy_fallback:
            wanted = title.casefold()
            for audio_id, entry_title, _ in self.catalogue:
                if entry_title.casefold() == wanted:
                    return audio_id
        return None

    def drop_out(self):
        """Stops playing by itself, as a speaker does when its network drops."""
        self.state = STOPPED
        self._played, self._started_at = 0.0, None
        if self.listener is not None:
            self.listener({"did": self.did, "command": "drop_out"})

    def _set_playing(self, *, restart):
        if restart:
            self._played = 0.0
        self._started_at = time.monotonic()
        self.state = PLAYING

    def _elapsed(self):
        if self._started_at is None:
            return self._played
        return self._played + time.monotonic() - self._started_at
