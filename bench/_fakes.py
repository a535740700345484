"""Minimal instant stand-ins for the host's pieces: they do nothing and
complete at once, so the figures measure the module and asyncio only."""

import types

STREAM = "rtsp://sender.local/stream?token=9"


class InstantSpeaker:
    def __init__(self, did):
        self.did = did

    async def play_url(self, url, audio_id=None):
        return True

    async def stop(self):
        return True

    async def pause(self):
        return True

    async def resume(self):
        return True

    async def set_volume(self, volume):
        return True

    async def get_status(self):
        return {"status": 1}

    async def search_audio_id(self, title, artist, fuzzy_fallback=False):
        return "AID-1"


class Lease:
    def __init__(self, session_id):
        self.session_id = session_id


class InstantHub:
    def __init__(self):
        self.lease = Lease(41)

    def acquire_source(self, source, target):
        return self.lease

    def release_source(self, lease, reason=""):
        pass

    def pause_source(self, lease):
        pass

    def resume_source(self, lease):
        pass

    def begin_session(self, *args, **kwargs):
        return 7

    def get_session(self):
        return {"session_id": 7}

    def update_session_metadata(self, payload):
        pass

    def update_session_progress(self, position_ms, duration_ms):
        pass


class InstantReceiver:
    """What the bridge reads of a running receiver."""

    def __init__(self):
        self.rtsp_port = 7000
        self.is_playing = True
        self.client_name = "iPhone"
        self.metadata = {"title": "Song", "artist": "Band", "album": "LP"}
        self.artwork = None
        self.progress = (1000, 200000)


def make_config(member_dids):
    group = types.SimpleNamespace(member_dids=list(member_dids), airplay_name="Whole House")
    return types.SimpleNamespace(group=group, default_xiaomi_volume=40, default_audio_id="",
                                 web_port=8080, virtual_delay=300)


def make_speakers(count):
    return [InstantSpeaker(f"did{i}") for i in range(count)]


def make_controller(impl, speakers):
    """A GroupController of ``impl`` whose members are all of ``speakers``,
    and its configuration."""
    mapping = {f"key{i}": s for i, s in enumerate(speakers)}
    config = make_config(s.did for s in speakers)
    return impl.GroupController(config, lambda: mapping), config


def make_bridge(impl, speakers, *, hub=True):
    """A GroupBridge of ``impl`` over ``speakers``, with an instant hub and receiver."""
    controller, config = make_controller(impl, speakers)
    bridge = impl.GroupBridge("192.168.1.20", controller, None, config,
                              InstantHub() if hub else None)
    bridge.airplay_server = InstantReceiver()
    return bridge


def make_idle_bridge(impl):
    """A GroupBridge with nothing to stop: no receiver, no poll task."""
    controller, config = make_controller(impl, [])
    return impl.GroupBridge("192.168.1.20", controller, None, config, None)


async def instant_broadcast(event):
    pass


def patch_broadcast():
    """Replaces the web-socket push with an instant coroutine; returns the undo."""
    import vesbel.web.api as api

    real = api.broadcast_ws
    api.broadcast_ws = instant_broadcast
    return lambda: setattr(api, "broadcast_ws", real)
