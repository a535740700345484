"""AirPlay-to-Xiaomi group bridge runtime."""

from __future__ import annotations

import asyncio
import inspect
import logging
import time

from zeroconf import Zeroconf

from vesbel.airplay.server import AirPlayServer
from vesbel.config import Config, TargetConfig, airplay_db_to_xiaomi_volume
from vesbel.xiaomi import TargetController

log = logging.getLogger("vesbel")

# Every wait goes through the module's `asyncio` and every clock read through
# its `time`, looked up when used, so a host or a test can replace them.


class GroupController:
    """组目标控制器：使用 asyncio.gather 向全屋组成员并发广播控制指令。"""

    def __init__(self, config: Config, controllers_provider: callable):
        self.config = config
        self._get_controllers = controllers_provider

    @property
    def id(self) -> str:
        return "group_all"

    @property
    def did(self) -> str:
        return "group_all"

    @property
    def hardware(self) -> str:
        return "GROUP"

    def get_member_controllers(self) -> list[TargetController]:
        all_controllers = self._get_controllers()
        member_dids = set(self.config.group.member_dids)
        return [c for c in all_controllers.values() if c.did in member_dids]

    # Checks its arguments on the call; an async method to introspection.
    @inspect.markcoroutinefunction
    def play_url(self, url: str, audio_id: str | None = None) -> bool:
        # Checked on the call itself, before the coroutine exists.
        if type(url) is not str:
            raise TypeError(f"url must be str, not {type(url).__name__}")
        if audio_id is not None and type(audio_id) is not str:
            raise TypeError(f"audio_id must be str or None, not {type(audio_id).__name__}")
        return _group_play_url(self, url, audio_id)

    async def stop(self) -> bool:
        members = self.get_member_controllers()
        if members:
            tasks = _start_each(members, "stop")
            await _gather(tasks)
        return True

    async def pause(self) -> bool:
        members = self.get_member_controllers()
        if members:
            tasks = _start_each(members, "pause")
            await _gather(tasks)
        return True

    async def resume(self) -> bool:
        members = self.get_member_controllers()
        if not members:
            return True
        # Not every speaker can resume; one that cannot counts as a failure.
        resume = [getattr(member, "resume", None) for member in members]
        tasks = []
        try:
            for operation in resume:
                if operation is not None:
                    tasks.append(operation())
                else:
                    tasks.append(asyncio.sleep(0, result=False))
        except BaseException:
            _close_unstarted(tasks)
            raise
        results = await _gather(tasks)
        return all(result is True for result in results)

    # Checks its arguments on the call; an async method to introspection.
    @inspect.markcoroutinefunction
    def set_volume(self, volume: int) -> bool:
        if type(volume) is not int:
            volume = _truncated(volume, "volume")
        return _group_set_volume(self, volume)

    async def get_status(self) -> dict:
        members = self.get_member_controllers()
        if not members:
            return _default_status()
        try:
            status = await members[0].get_status()
        except Exception:
            return _default_status()
        if status is None or isinstance(status, dict):
            return status
        return _default_status()


class GroupBridge:
    """全屋虚拟 AirPlay 桥接器，连接全屋组控制器与独立 AirPlayServer。"""

    def __init__(
        self,
        host: str,
        group_controller: GroupController,
        shared_zeroconf: Zeroconf | None = None,
        config: Config | None = None,
        audio_hub=None,
    ):
        if type(host) is not str:
            raise TypeError(f"host must be str, not {type(host).__name__}")
        self.host = host
        self.controller = group_controller
        self.shared_zeroconf = shared_zeroconf
        self.config = config
        self.audio_hub = audio_hub
        self.airplay_server = None
        self._loop = None
        self._stream_url = ""
        self._airplay_active = False
        self._poll_task = None
        self._play_grace_until = 0.0
        self._session_audio_id = None
        self._metadata_track_key = ""
        self._audio_lease = None

    def _acquire_audio(self):
        # A refusal is stored too: only None means "not asked yet".
        if self.audio_hub and self._audio_lease is None:
            self._audio_lease = self.audio_hub.acquire_source("airplay1", "group_all")
        return self._audio_lease

    def _release_audio(self):
        if self.audio_hub and self._audio_lease is not None:
            self.audio_hub.release_source(self._audio_lease, "airplay stopped")
            self._audio_lease = None

    @property
    def device_name(self) -> str:
        if not self.config:
            return "Vesbel 全屋播放"
        name = self.config.group.airplay_name
        if name is not None and type(name) is not str:
            raise TypeError(f"group.airplay_name must be str or None, not {type(name).__name__}")
        return name

    async def start(self):
        self._loop = asyncio.get_running_loop()
        # The receiver this one replaces would go on serving under the same name.
        if self.airplay_server:
            await self.airplay_server.stop()
        server = self.airplay_server = AirPlayServer(
            self.host, self.device_name, self.shared_zeroconf, speaker_hardware="GROUP"
        )
        server.on_play_start = self._on_play_start
        server.on_play_stop = self._on_play_stop
        server.on_play_pause = self._on_play_pause
        server.on_play_resume = self._on_play_resume
        server.on_volume_change = self._on_volume_change
        server.on_metadata_change = self._on_metadata_change
        server.on_progress_change = self._on_progress_change
        await server.start()
        log.info("Started Group AirPlay bridge %s on rtsp=%s", self.device_name, server.rtsp_port)

    async def stop(self):
        self._airplay_active = False
        task = self._poll_task
        if task:
            task.cancel()
            await _wait_for_poll_end(self, task)
        if self.airplay_server:
            await self.airplay_server.stop()
            self.airplay_server = None

    # Receiver hooks: called on the receiver's own thread.  They do their small
    # synchronous part and hand the rest to the bridge's loop at once.

    def _on_play_start(self, stream_url: str):
        if type(stream_url) is not str:
            raise TypeError(f"stream_url must be str, not {type(stream_url).__name__}")
        loop = self._loop
        if loop and loop.is_running():
            _hand_over(self._play_on_target(stream_url), loop)

    def _on_play_stop(self):
        loop = self._loop
        if loop and loop.is_running():
            _hand_over(self._stop_target(), loop)

    def _on_play_pause(self):
        loop = self._loop
        if loop and loop.is_running():
            _hand_over(self._pause_target(), loop)

    def _on_play_resume(self):
        loop = self._loop
        if not (loop and loop.is_running()):
            return

        def resume():
            if self.audio_hub:
                self.audio_hub.resume_source(self._audio_lease)
            self._airplay_active = True
            self._start_poll()
            asyncio.create_task(self.controller.resume())

        loop.call_soon_threadsafe(resume)

    def _on_metadata_change(self, metadata: dict, artwork: str | None):
        if type(metadata) is not dict:
            raise TypeError(f"metadata must be dict, not {type(metadata).__name__}")
        if artwork is not None and type(artwork) is not str:
            raise TypeError(f"artwork must be str or None, not {type(artwork).__name__}")
        if not self.audio_hub:
            return
        payload = metadata.copy()
        track_key = " ".join(
            str(value) if value else ""
            for value in (metadata.get("title"), metadata.get("artist"), metadata.get("album"))
        )
        # A new track without artwork clears the previous track's artwork;
        # the same track without artwork leaves the session's artwork alone.
        if artwork is not None or track_key != self._metadata_track_key:
            payload["artwork"] = artwork if artwork else ""
        self._metadata_track_key = track_key
        self.audio_hub.update_session_metadata(payload)

    def _on_progress_change(self, position_ms: int, duration_ms: int | None):
        if type(position_ms) is not int:
            position_ms = _truncated(position_ms, "position_ms")
        if duration_ms is not None and type(duration_ms) is not int:
            duration_ms = _truncated(duration_ms, "duration_ms")
        if self.audio_hub:
            self.audio_hub.update_session_progress(position_ms, duration_ms)

    def _on_volume_change(self, vol_db: float):
        if type(vol_db) is not float:
            kind = type(vol_db)
            if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
                raise TypeError(f"vol_db must be a number, not {kind.__name__}")
            vol_db = float(vol_db)
        default_volume = self.config.default_xiaomi_volume if self.config else 30
        volume = airplay_db_to_xiaomi_volume(vol_db, default_volume)
        loop = self._loop
        if loop and loop.is_running():
            _hand_over(self.controller.set_volume(volume), loop)

    async def _resolve_audio_id(self) -> str | None:
        """从当前 AirPlay 元数据中解析并检索曲库匹配的 audioID。"""
        meta = self.airplay_server.metadata if self.airplay_server else {}
        # The sender's metadata is network input: any set value is taken as text.
        title = str(meta.get("title") or "").strip()
        artist = str(meta.get("artist") or "").strip()
        if not title:
            return None
        members = self.controller.get_member_controllers()
        if not members:
            return None
        try:
            audio_id = await asyncio.wait_for(
                members[0].search_audio_id(title, artist, fuzzy_fallback=True), timeout=3.0
            )
            if not audio_id:
                return None
            if type(audio_id) is not str:
                raise TypeError(f"audio ID must be str, not {type(audio_id).__name__}")
            return audio_id
        except Exception as exc:
            log.warning("Group audio ID search error for %s: %s", title, exc)
            return None

    # Checks its arguments on the call; an async method to introspection.
    @inspect.markcoroutinefunction
    def _play_on_target(self, stream_url: str):
        if type(stream_url) is not str:
            raise TypeError(f"stream_url must be str, not {type(stream_url).__name__}")
        return _bridge_play_on_target(self, stream_url)

    async def _stop_target(self):
        self._airplay_active = False
        self._stream_url = ""
        self._session_audio_id = None
        session_id = 0
        if self.audio_hub:
            session_id = self.audio_hub.get_session().get("session_id", 0)
            self._release_audio()
        _broadcast_in_background(
            {"type": "control_command", "action": "stop", "target": "group_all", "session_id": session_id}
        )
        task = self._poll_task
        if task:
            task.cancel()
            await _wait_for_poll_end(self, task)
        try:
            await self.controller.stop()
        except Exception:
            pass  # the stop is best effort: a speaker that fails is left as it is

    async def _pause_target(self):
        self._airplay_active = False
        if self._poll_task:
            self._poll_task.cancel()
            self._poll_task = None
        session_id = 0
        if self.audio_hub:
            session_id = self.audio_hub.get_session().get("session_id", 0)
            self.audio_hub.pause_source(self._audio_lease)
        try:
            from vesbel.web.api import broadcast_ws

            await broadcast_ws(
                {"type": "control_command", "action": "pause", "target": "group_all", "session_id": session_id}
            )
        except Exception:
            pass  # web clients are optional
        try:
            await self.controller.pause()
        except Exception:
            pass  # the pause is best effort

    def _start_poll(self):
        if self._poll_task and not self._poll_task.done():
            return
        loop = asyncio.get_running_loop()
        self._poll_task = loop.create_task(self._poll_target_state())

    async def _poll_target_state(self):
        try:
            while self._airplay_active and self._stream_url:
                await asyncio.sleep(3)
                if not self._airplay_active or not self._stream_url:
                    return
                if self.airplay_server and not self.airplay_server.is_playing:
                    return
                if time.time() < self._play_grace_until:
                    continue
                try:
                    status = await asyncio.wait_for(self.controller.get_status(), timeout=8)
                    if status.get("status", 0) == 1:
                        continue
                    log.info("[Group] 全屋播放检测到中断，等待后自动续播...")
                    await asyncio.sleep(4)
                    if not self._airplay_active or not self._stream_url:
                        return
                    if self.airplay_server and not self.airplay_server.is_playing:
                        return
                    base_url = self._stream_url.partition("?")[0]
                    fresh_url = f"{base_url}?sid={int(time.time())}"
                    self._play_grace_until = time.time() + 10.0
                    await self.controller.play_url(fresh_url, self._session_audio_id)
                except Exception:
                    # A failed or timed-out reading is never taken for an interruption.
                    continue
        except asyncio.CancelledError:
            return

    def snapshot(self) -> dict:
        members = self.controller.get_member_controllers()
        return {
            "id": "group_all",
            "did": "group_all",
            "name": self.device_name,
            "airplay_name": self.device_name,
            "hardware": "GROUP",
            "active": True if (self.airplay_server and self.airplay_server.is_playing) else False,
            "client_name": self.airplay_server.client_name if self.airplay_server else "",
            "metadata": self.airplay_server.metadata if self.airplay_server else {},
            "artwork": self.airplay_server.artwork if self.airplay_server else None,
            "rtsp_port": self.airplay_server.rtsp_port if self.airplay_server else 0,
            "stream_url": self._stream_url,
            "use_music_api": False,
            "member_count": len(members),
        }


# Private helpers.  The methods that check their arguments when called are
# plain functions returning one of the coroutines below, which carry the
# method's own name so tracebacks and "never awaited" warnings name it.


def _runs_as(method):
    def rename(body):
        body.__name__ = method.__name__
        body.__qualname__ = method.__qualname__
        return body

    return rename


@_runs_as(GroupController.play_url)
async def _group_play_url(self, url, audio_id):
    members = self.get_member_controllers()
    if not members:
        log.warning("Group play: no active member speakers selected in group mode")
        return False
    tasks = _start_each(members, "play_url", url, audio_id)
    results = await _gather(tasks)
    success_count = sum(1 for result in results if result is True)
    log.info(
        "Group play_url pushed to %d/%d member speakers (audio_id=%s)",
        success_count,
        len(members),
        audio_id,
    )
    return success_count > 0


@_runs_as(GroupController.set_volume)
async def _group_set_volume(self, volume):
    members = self.get_member_controllers()
    if members:
        tasks = _start_each(members, "set_volume", volume)
        await _gather(tasks)
    return True


@_runs_as(GroupBridge._play_on_target)
async def _bridge_play_on_target(self, stream_url):
    self._stream_url = stream_url
    self._airplay_active = True
    self._play_grace_until = time.time() + 10.0
    if not self._acquire_audio():
        log.warning("AudioHub is busy; rejected group AirPlay stream")
        return
    custom_default = getattr(self.config, "default_audio_id", "") if self.config else ""
    resolved = await self._resolve_audio_id()
    if not self._airplay_active:
        log.info("Group AirPlay start given up: playback stopped or paused while resolving the audio ID")
        return
    self._session_audio_id = resolved or custom_default or None
    if not self.audio_hub:
        log.warning("Group Xiaomi target rejected AirPlay stream for %s", self.device_name)
        return

    metadata = dict(self.airplay_server.metadata) if self.airplay_server else {}
    if self.airplay_server and self.airplay_server.artwork:
        metadata["artwork"] = self.airplay_server.artwork
    lease_session_id = self._audio_lease.session_id if self._audio_lease else 0
    xiaomi_url = (
        f"http://{self.host!s}:{self.config.web_port!s}/stream/live.wav"
        f"?session_id={lease_session_id!s}&delay_ms=0"
    )
    pod_url = (
        f"http://{self.host!s}:{self.config.web_port!s}/stream/live.wav"
        f"?session_id={lease_session_id!s}&virtual_delay={self.config.virtual_delay!s}"
    )
    session_id = self.audio_hub.begin_session(
        "airplay1",
        "group_all",
        metadata,
        pod_url,
        capabilities={"play_pause": True, "seek": False, "previous": False, "next": False},
        lease=self._audio_lease,
    )

    accepted = await self.controller.play_url(xiaomi_url, self._session_audio_id)
    if not accepted:
        log.warning("Group Xiaomi Egress rejected: session_id=%s", session_id)
    if not self._airplay_active:
        log.info("Group AirPlay start given up: playback stopped or paused while the speakers were told to play")
        return

    if self.audio_hub and self.airplay_server:
        position_ms, duration_ms = self.airplay_server.progress
        if position_ms is not None:
            self.audio_hub.update_session_progress(position_ms, duration_ms)
    _broadcast_in_background(
        {
            "type": "control_command",
            "action": "play_url",
            "target": "group_all",
            "url": pod_url,
            "session_id": session_id,
            "metadata": metadata,
        }
    )
    self._start_poll()
    log.info("Group AirPlay stream attached to speakers (%s)", self.device_name)


def _start_each(members, operation, *args):
    """Calls ``operation`` on every member, in order, without awaiting any."""
    started = []
    try:
        for member in members:
            started.append(getattr(member, operation)(*args))
    except BaseException:
        _close_unstarted(started)
        raise
    return started


def _gather(operations):
    """``asyncio.gather`` of the member operations, failures as outcomes.  A
    gather that refuses one operation has already made tasks of those before
    it: they keep running, and only the coroutines no task holds are closed."""
    try:
        return asyncio.gather(*operations, return_exceptions=True)
    except BaseException:
        held = {id(task.get_coro()) for task in asyncio.all_tasks()}
        _close_unstarted([operation for operation in operations if id(operation) not in held])
        raise


def _close_unstarted(pending):
    # A command that fails before its fan-out leaves no coroutine un-awaited.
    for operation in pending:
        if asyncio.iscoroutine(operation):
            operation.close()


def _default_status():
    # What the group reports when its first speaker cannot: not playing.
    return {"status": 0, "volume": 50, "cur_time": 0, "duration": 0}


def _truncated(value, name):
    """``value`` as an int truncated toward zero; anything but a number is refused."""
    kind = type(value)
    if hasattr(kind, "__int__") or hasattr(kind, "__index__"):
        return int(value)
    if hasattr(kind, "__float__"):
        return int(float(value))
    raise TypeError(f"{name} must be a number, not {kind.__name__}")


def _hand_over(coro, loop):
    """Submits ``coro`` to ``loop`` from another thread; an ordinary failure of
    it is logged when it ends, since nobody waits for its outcome."""
    try:
        future = asyncio.run_coroutine_threadsafe(coro, loop)
    except BaseException:
        _close_unstarted([coro])
        raise
    name = coro.__qualname__

    def report(done):
        if done.cancelled():
            return
        exc = done.exception()
        if isinstance(exc, Exception):
            log.warning("Group bridge %s failed: %r", name, exc)

    future.add_done_callback(report)


def _broadcast_in_background(event):
    """Sends a web-socket event by a task nobody waits for; web clients are optional."""
    try:
        from vesbel.web.api import broadcast_ws

        asyncio.ensure_future(broadcast_ws(event))
    except Exception:
        pass


async def _wait_for_poll_end(bridge, task):
    """Waits for a cancelled poll task.  A poll that died of an error of its
    own must not keep the stop from going on: the error is logged instead.
    A cancellation of the waiting task itself went into the poll, which ends
    quietly; it is passed on rather than lost."""
    current = asyncio.current_task()
    requests = current.cancelling() if current is not None else 0
    try:
        await task
    except asyncio.CancelledError:
        pass
    except Exception as exc:
        log.warning("Group poll task had ended with an error: %r", exc)
    if bridge._poll_task is task:
        bridge._poll_task = None
    if current is not None and current.cancelling() > requests:
        raise asyncio.CancelledError


# The future import binds a name of its own; keep the namespace to the module's.
del annotations
