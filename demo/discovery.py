"""A phone on the loopback network: finds the group's AirPlay service over
mDNS and probes its RTSP port, as an AirPlay sender does before it streams.

Other receivers may be announced on loopback too (another demo, a host
application), all perhaps named "Whole House": the phone picks the one the
demo started by its device id, the part of the service name before the "@"."""

import asyncio

from zeroconf import ServiceStateChange
from zeroconf.asyncio import AsyncServiceBrowser, AsyncServiceInfo, AsyncZeroconf

from vesbel.airplay.server import RAOP_TYPE

LOOPBACK = "127.0.0.1"


class Phone:
    def __init__(self, timeline):
        self._timeline = timeline
        self._zeroconf = None
        self._browser = None
        self._changed = None  # set whenever a service was seen
        self.services = []  # names of the AirPlay services seen, in order

    async def start_browsing(self):
        self._changed = asyncio.Event()
        self._zeroconf = AsyncZeroconf(interfaces=[LOOPBACK])
        self._browser = AsyncServiceBrowser(self._zeroconf.zeroconf, RAOP_TYPE,
                                            handlers=[self._on_change])
        self._timeline.add("phone", f"browsing {RAOP_TYPE} on {LOOPBACK}")

    async def find_group(self, device_id, timeout):
        """The resolved service of the AirPlay receiver with this device id."""
        name = await asyncio.wait_for(self._wait_for(f"{device_id}@"), timeout)
        info = AsyncServiceInfo(RAOP_TYPE, name)
        if not await info.async_request(self._zeroconf.zeroconf, int(timeout * 1000)):
            raise TimeoutError(f"{name} did not answer")
        hardware = (info.properties.get(b"am") or b"").decode()
        self._timeline.add("phone", f"resolved {info.name}: {', '.join(info.parsed_addresses())}"
                                    f" port={info.port} am={hardware}")
        return info

    async def _wait_for(self, prefix):
        while True:
            found = [name for name in self.services if name.startswith(prefix)]
            if found:
                return found[0]
            self._changed.clear()
            await self._changed.wait()

    async def probe_rtsp(self, port):
        """Sends RTSP OPTIONS to the receiver and puts its status line on the timeline."""
        reader, writer = await asyncio.open_connection(LOOPBACK, port)
        try:
            writer.write(b"OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")
            reply = await reader.readuntil(b"\r\n\r\n")
        finally:
            writer.close()
            await writer.wait_closed()
        status_line = reply.decode("latin-1").split("\r\n", 1)[0]
        self._timeline.add("phone", f"RTSP OPTIONS on port {port}: {status_line}")

    async def close(self):
        if self._browser is not None:
            await self._browser.async_cancel()
            self._browser = None
        if self._zeroconf is not None:
            await self._zeroconf.async_close()
            self._zeroconf = None

    def _on_change(self, zeroconf, service_type, name, state_change):
        if state_change is ServiceStateChange.Added:
            self.services.append(name)
            self._changed.set()
            self._timeline.add("phone", f"mDNS found {name}")
