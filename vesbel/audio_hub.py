"""The application's audio hub: one audio output shared by several sources.

One source at a time holds the output through a lease; the hub also keeps the
current playback session. Every method is safe to call from any thread (the
AirPlay receiver updates the session from its own thread).
"""

import copy
import threading
from dataclasses import dataclass


@dataclass(eq=False)
class Lease:
    """The right of one source to the output. Compared by identity."""

    source: str
    target: str
    session_id: int


class AudioHub:
    def __init__(self, listener=None):
        self.listener = listener
        self._lock = threading.Lock()
        self._holder = None  # the Lease currently holding the output
        self._last_id = 0
        self._session = {}

    def acquire_source(self, source, target):
        """A new lease for ``source``, or None while another source holds the
        output. A source that already holds it gets a fresh lease that
        replaces its old one."""
        with self._lock:
            if self._holder is not None and self._holder.source != source:
                lease = None
            else:
                lease = self._holder = Lease(source, target, self._next_id())
        self._notify("acquire_source", source=source, target=target,
                     session_id=lease.session_id if lease else None)
        return lease

    def release_source(self, lease, reason=""):
        """Frees the output if ``lease`` holds it and ends its session."""
        with self._lock:
            released = lease is not None and lease is self._holder
            if released:
                self._holder = None
                self._session = {}
        if released:
            self._notify("release_source", session_id=lease.session_id, reason=reason)

    def pause_source(self, lease):
        self._set_state(lease, "paused", "pause_source")

    def resume_source(self, lease):
        self._set_state(lease, "playing", "resume_source")

    def begin_session(self, source, target, metadata, stream_url, capabilities=None, lease=None):
        """Starts a new session and returns its id: the lease's id when
        ``lease`` holds the output, else a fresh one."""
        with self._lock:
            if lease is not None and lease is self._holder:
                session_id = lease.session_id
            else:
                session_id = self._next_id()
            self._session = {
                "session_id": session_id,
                "source": source,
                "target": target,
                "metadata": dict(metadata),
                "stream_url": stream_url,
                "capabilities": dict(capabilities or {}),
                "position_ms": None,
                "duration_ms": None,
                "state": "playing",
            }
        self._notify("begin_session", session_id=session_id, source=source, target=target,
                     stream_url=stream_url)
        return session_id

    def get_session(self):
        """A copy of the current session, {} when there is none."""
        with self._lock:
            return copy.deepcopy(self._session)

    def update_session_metadata(self, payload):
        with self._lock:
            if not self._session:
                return
            self._session["metadata"].update(payload)
        self._notify("update_session_metadata", metadata=dict(payload))

    def update_session_progress(self, position_ms, duration_ms):
        with self._lock:
            if not self._session:
                return
            self._session["position_ms"] = position_ms
            self._session["duration_ms"] = duration_ms
        self._notify("update_session_progress", position_ms=position_ms, duration_ms=duration_ms)

    def _set_state(self, lease, state, event):
        with self._lock:
            changed = lease is not None and lease is self._holder and bool(self._session)
            if changed:
                self._session["state"] = state
        if changed:
            self._notify(event, session_id=lease.session_id)

    def _next_id(self):
        self._last_id += 1
        return self._last_id

    def _notify(self, event, **details):
        # Called outside the lock so a listener may call back into the hub.
        if self.listener is not None:
            self.listener({"event": event, **details})
