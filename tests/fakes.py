"""Recording stand-ins for the host application's pieces, for tests.

Every fake records what it was asked in ``calls`` as ``(name, args, kwargs)``
tuples so tests can assert on exactly what the module sent.
"""

import asyncio
import types


class Recorder:
    def __init__(self):
        self.calls = []

    def record(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))

    def called(self, name):
        """The recorded (args, kwargs) pairs of one operation, in call order."""
        return [(a, k) for n, a, k in self.calls if n == name]

    def names(self):
        return [n for n, _, _ in self.calls]


class FakeSpeaker(Recorder):
    """A speaker controller whose every operation is recorded.

    ``results``, ``errors`` and ``delays`` map an operation name ("play_url",
    "stop", "pause", "resume", "set_volume", "get_status", "search_audio_id")
    to the value it completes with, the exception it raises, and the seconds
    it sleeps first.  ``started`` and ``finished`` collect the operation names
    as they begin and end; ``cancelled`` those that were cancelled.
    """

    DEFAULT_RESULTS = {
        "play_url": True,
        "stop": True,
        "pause": True,
        "resume": True,
        "set_volume": True,
        "get_status": None,
        "search_audio_id": None,
    }

    def __init__(self, did, *, results=None, errors=None, delays=None):
        super().__init__()
        self.did = did
        self.results = dict(self.DEFAULT_RESULTS, **(results or {}))
        self.errors = dict(errors or {})
        self.delays = dict(delays or {})
        self.started = []
        self.finished = []
        self.cancelled = []

    async def _op(self, name, *args, **kwargs):
        self.record(name, *args, **kwargs)
        self.started.append(name)
        try:
            delay = self.delays.get(name, 0)
            if delay:
                await asyncio.sleep(delay)
        except asyncio.CancelledError:
            self.cancelled.append(name)
            raise
        self.finished.append(name)
        if name in self.errors:
            raise self.errors[name]
        return self.results[name]

    def play_url(self, url, audio_id):
        return self._op("play_url", url, audio_id)

    def stop(self):
        return self._op("stop")

    def pause(self):
        return self._op("pause")

    def resume(self):
        return self._op("resume")

    def set_volume(self, volume):
        return self._op("set_volume", volume)

    def get_status(self):
        return self._op("get_status")

    def search_audio_id(self, title, artist, fuzzy_fallback=False):
        return self._op("search_audio_id", title, artist, fuzzy_fallback=fuzzy_fallback)

    def __repr__(self):
        return f"FakeSpeaker({self.did!r})"


class NoResumeSpeaker(FakeSpeaker):
    """A speaker controller that has no ``resume`` operation at all."""

    @property
    def resume(self):
        raise AttributeError("resume")


def make_config(member_dids=(), *, airplay_name="Whole House", **fields):
    """A configuration object with the fields the module reads."""
    values = dict(
        default_xiaomi_volume=40,
        default_audio_id="",
        web_port=8080,
        virtual_delay=300,
    )
    values.update(fields)
    group = types.SimpleNamespace(member_dids=list(member_dids), airplay_name=airplay_name)
    return types.SimpleNamespace(group=group, **values)


class Provider(Recorder):
    """A controllers provider: returns its mapping, recording each call."""

    def __init__(self, speakers=()):
        super().__init__()
        self.mapping = {f"key{i}": s for i, s in enumerate(speakers)}

    def __call__(self):
        self.record("provider")
        return self.mapping


def make_group(gb, speakers, member_dids=None, **config_fields):
    """A GroupController over ``speakers``; every speaker is a member unless
    ``member_dids`` says otherwise.  Returns (controller, provider, config)."""
    if member_dids is None:
        member_dids = [s.did for s in speakers]
    config = make_config(member_dids, **config_fields)
    provider = Provider(speakers)
    return gb.GroupController(config, provider), provider, config


class Lease:
    def __init__(self, session_id):
        self.session_id = session_id

    def __repr__(self):
        return f"Lease({self.session_id!r})"


class FakeHub(Recorder):
    """An audio hub.  ``lease`` is what ``acquire_source`` hands out (None to
    refuse); ``session`` is what ``get_session`` returns; ``session_id`` is
    what ``begin_session`` returns.  ``errors`` maps an operation name to the
    exception it raises."""

    def __init__(self, *, lease="default", session=None, session_id=7, errors=None):
        super().__init__()
        self.lease = Lease(41) if lease == "default" else lease
        self.session = {"session_id": 5} if session is None else session
        self.session_id = session_id
        self.errors = dict(errors or {})

    def _check(self, name):
        if name in self.errors:
            raise self.errors[name]

    def acquire_source(self, *args, **kwargs):
        self.record("acquire_source", *args, **kwargs)
        self._check("acquire_source")
        return self.lease

    def release_source(self, *args, **kwargs):
        self.record("release_source", *args, **kwargs)
        self._check("release_source")

    def pause_source(self, *args, **kwargs):
        self.record("pause_source", *args, **kwargs)
        self._check("pause_source")

    def resume_source(self, *args, **kwargs):
        self.record("resume_source", *args, **kwargs)
        self._check("resume_source")

    def begin_session(self, *args, **kwargs):
        self.record("begin_session", *args, **kwargs)
        self._check("begin_session")
        return self.session_id

    def get_session(self, *args, **kwargs):
        self.record("get_session", *args, **kwargs)
        self._check("get_session")
        return self.session

    def update_session_metadata(self, *args, **kwargs):
        self.record("update_session_metadata", *args, **kwargs)
        self._check("update_session_metadata")

    def update_session_progress(self, *args, **kwargs):
        self.record("update_session_progress", *args, **kwargs)
        self._check("update_session_progress")


class FakeReceiver(Recorder):
    """An AirPlay receiver: records its construction, start and stop."""

    instances = []

    def __init__(self, *args, **kwargs):
        super().__init__()
        self.record("__init__", *args, **kwargs)
        self.rtsp_port = 7000
        self.is_playing = False
        self.client_name = ""
        self.metadata = {}
        self.artwork = None
        self.progress = (None, None)
        self.on_play_start = None
        self.on_play_stop = None
        self.on_play_pause = None
        self.on_play_resume = None
        self.on_volume_change = None
        self.on_metadata_change = None
        self.on_progress_change = None
        FakeReceiver.instances.append(self)

    async def start(self):
        self.record("start")

    async def stop(self):
        self.record("stop")
