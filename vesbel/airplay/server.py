"""A minimal AirPlay (RAOP) receiver.

It listens on a real TCP port, answers RTSP OPTIONS, and announces itself over
mDNS when given a zeroconf instance. Audio is not decoded: what a sender does
is simulated with the ``sender_*`` methods, which report the event through the
receiver's callbacks on the receiver's own thread, as a real receiver does.
"""

import asyncio
import concurrent.futures
import queue
import secrets
import socket
import threading

from zeroconf import ServiceInfo, get_all_addresses
from zeroconf.asyncio import AsyncZeroconf

RAOP_TYPE = "_raop._tcp.local."
RTSP_METHODS = "ANNOUNCE, SETUP, RECORD, PAUSE, FLUSH, TEARDOWN, OPTIONS, GET_PARAMETER, SET_PARAMETER"


class AirPlayServer:
    def __init__(self, host, name, zeroconf=None, speaker_hardware=""):
        self.host = host
        self.name = name
        self.zeroconf = zeroconf
        self.speaker_hardware = speaker_hardware
        self.on_play_start = None
        self.on_play_stop = None
        self.on_play_pause = None
        self.on_play_resume = None
        self.on_volume_change = None
        self.on_metadata_change = None
        self.on_progress_change = None
        self.rtsp_port = 0
        self.is_playing = False
        self.client_name = ""
        self.metadata = {}
        self.artwork = None
        self.progress = (None, None)
        # Names the receiver on the network: its mDNS service is "<device_id>@<name>".
        self.device_id = secrets.token_hex(6).upper()
        self._server = None
        self._connections = set()
        self._service = None
        self._announcement = None  # zeroconf's pending announcement of the service
        self._events = None
        self._worker = None

    # --- lifecycle ---------------------------------------------------------

    async def start(self):
        """Starts the event thread, listens on a free port of ``host`` and
        registers the RAOP service. Serving once this returns."""
        self._events = queue.SimpleQueue()
        self._worker = threading.Thread(target=self._run_events, name=f"airplay:{self.name}",
                                        daemon=True)
        self._worker.start()
        try:
            self._server = await asyncio.start_server(self._serve_rtsp, self.host or None, 0)
            self.rtsp_port = self._server.sockets[0].getsockname()[1]
            if self.zeroconf is not None:
                service = self._service_info()
                self._announcement = await self._on_zeroconf_loop(
                    self._zeroconf().async_register_service, service, wait_for_broadcast=False)
                self._service = service
        except BaseException:
            await self.stop()
            raise

    async def stop(self):
        """Unregisters the service, closes the port and joins the event
        thread after it has delivered every event already queued."""
        try:
            if self._service is not None:
                service, self._service = self._service, None
                announcement, self._announcement = self._announcement, None
                if not announcement.done():
                    announcement.get_loop().call_soon_threadsafe(announcement.cancel)
                await self._on_zeroconf_loop(self._zeroconf().async_unregister_service, service,
                                             wait_for_broadcast=True)
        finally:
            if self._server is not None:
                server, self._server = self._server, None
                server.close()
                for writer in list(self._connections):
                    writer.close()
                await server.wait_closed()
            if self._worker is not None:
                worker, self._worker = self._worker, None
                self._events.put(None)
                await asyncio.get_running_loop().run_in_executor(None, worker.join)

    # --- simulated sender --------------------------------------------------

    def sender_play(self, stream_url, metadata=None, artwork=None, client_name="iPhone"):
        def play():
            self.client_name = client_name
            self.metadata = dict(metadata or {})
            self.artwork = artwork
            self.is_playing = True
            self._callback("on_metadata_change", self.metadata, self.artwork)
            self._callback("on_play_start", stream_url)

        return self._submit(play)

    def sender_pause(self):
        return self._submit(self._transport, False, "on_play_pause")

    def sender_resume(self):
        return self._submit(self._transport, True, "on_play_resume")

    def sender_stop(self):
        return self._submit(self._transport, False, "on_play_stop")

    def sender_volume(self, db):
        return self._submit(self._callback, "on_volume_change", float(db))

    def sender_progress(self, position_ms, duration_ms):
        def progress():
            self.progress = (position_ms, duration_ms)
            self._callback("on_progress_change", position_ms, duration_ms)

        return self._submit(progress)

    # --- internals ---------------------------------------------------------

    def _transport(self, playing, callback_name):
        self.is_playing = playing
        self._callback(callback_name)

    def _callback(self, name, *args):
        callback = getattr(self, name)
        if callback is not None:
            callback(*args)

    def _submit(self, action, *args):
        """Queues ``action`` for the event thread; the returned future
        completes when it has run (with its exception if it raised)."""
        if self._worker is None:
            raise RuntimeError("the AirPlay receiver is not started")
        future = concurrent.futures.Future()
        self._events.put((future, action, args))
        return future

    def _run_events(self):
        while (item := self._events.get()) is not None:
            future, action, args = item
            if not future.set_running_or_notify_cancel():
                continue
            try:
                future.set_result(action(*args))
            except BaseException as exc:
                future.set_exception(exc)

    async def _serve_rtsp(self, reader, writer):
        """Answers OPTIONS (how senders probe a receiver); refuses the rest."""
        self._connections.add(writer)
        try:
            while True:
                head = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1")
                lines = head.split("\r\n")
                headers = dict(line.split(":", 1) for line in lines[1:] if ":" in line)
                headers = {k.strip().lower(): v.strip() for k, v in headers.items()}
                body_length = int(headers.get("content-length", "0") or 0)
                if body_length:
                    await reader.readexactly(body_length)
                method = lines[0].split(" ", 1)[0]
                status = "200 OK" if method == "OPTIONS" else "501 Not Implemented"
                reply = [f"RTSP/1.0 {status}", f"CSeq: {headers.get('cseq', '0')}",
                         "Server: AirTunes/366.0"]
                if method == "OPTIONS":
                    reply.append(f"Public: {RTSP_METHODS}")
                writer.write(("\r\n".join(reply) + "\r\n\r\n").encode("latin-1"))
                await writer.drain()
        except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError,
                ValueError):
            pass
        finally:
            self._connections.discard(writer)
            writer.close()

    def _zeroconf(self):
        zc = self.zeroconf
        return zc.zeroconf if isinstance(zc, AsyncZeroconf) else zc

    def _service_info(self):
        if self.host in ("", "0.0.0.0"):
            addresses = get_all_addresses()
        else:
            addresses = [socket.gethostbyname(self.host)]
        return ServiceInfo(
            RAOP_TYPE,
            f"{self.device_id}@{self.name}.{RAOP_TYPE}",
            port=self.rtsp_port,
            properties={"txtvers": "1", "ch": "2", "cn": "0,1", "et": "0,1", "sr": "44100",
                        "ss": "16", "tp": "UDP", "vn": "3", "am": self.speaker_hardware},
            server=f"{self.device_id}.local.",
            parsed_addresses=addresses,
        )

    async def _on_zeroconf_loop(self, operation, info, *, wait_for_broadcast):
        """Runs a zeroconf (un)registration on the zeroconf instance's own
        event loop: ours when it was created inside this loop, else the loop
        of its private thread. Returns the future of the broadcast that
        follows, unless told to wait for it."""
        async def run():
            broadcast = await operation(info)
            if wait_for_broadcast:
                await broadcast
            return broadcast

        zc_loop = self._zeroconf().loop
        if zc_loop is asyncio.get_running_loop():
            return await run()
        return await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(run(), zc_loop))
