"""The demo's printed timeline: one line per thing that happened.

Every line carries the real seconds since the demo began, where it came from
(the sender, a speaker, the audio hub, the web-socket clients, the bridge's
log) and, when it did not happen on the event loop's thread, the thread's
name. Lines may come from any thread, so writing is serialised.

When the reader goes away (``scripts/demo.sh | head``), the timeline stops
writing, calls ``on_closed`` once and lets the rest of the output go.
"""

import logging
import os
import sys
import threading
import time

MAX_VALUE = 64  # longer values (artwork, URLs in events) are shortened
# English for the bridge's log lines that are not in English.
GLOSSES = {
    "[Group] 全屋播放检测到中断，等待后自动续播...":
        "whole-house playback was interrupted; resuming by itself after a short wait",
}


class Timeline:
    def __init__(self, out=None):
        self._out = out or sys.stdout
        self._lock = threading.Lock()
        self._origin = time.monotonic()
        self._loop_thread = threading.get_ident()
        self._resume_prefix = None  # a play_url to a URL with this prefix is a resume
        self.closed = False  # the reader went away
        self.on_closed = None  # called once, from the writing thread, when it does

    def elapsed(self):
        return time.monotonic() - self._origin

    def add(self, source, text):
        thread = threading.current_thread()
        where = "" if thread.ident == self._loop_thread else f"  [thread {thread.name}]"
        self._write(f"{self.elapsed():7.3f}s  {source:<19} {text}{where}\n")

    def note(self, text=""):
        """A line without time stamp: headings and the final report."""
        self._write(text + "\n")

    def _write(self, text):
        with self._lock:
            if self.closed:
                return
            try:
                self._out.write(text)
                self._out.flush()
            except BrokenPipeError:
                self.closed = True
                # What is still buffered, and the interpreter's last flush, go nowhere.
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, self._out.fileno())
                os.close(devnull)
            else:
                return
        if self.on_closed:
            self.on_closed()

    def explain_resume_of(self, stream_url):
        """The first speaker told to play the resume URL built from the
        sender's ``stream_url`` gets a note saying what that URL is."""
        self._resume_prefix = stream_url.split("?", 1)[0] + "?sid="

    # Listeners for the stand-ins.

    def speaker_listener(self, event):
        details = dict(event)
        did, command = details.pop("did"), details.pop("command")
        self.add(f"speaker {did}", " ".join([command, *_fields(details)]))
        prefix = self._resume_prefix
        if command == "play_url" and prefix and str(details.get("url", "")).startswith(prefix):
            self._resume_prefix = None
            self.add("note", "the auto-resume sends the sender's own stream URL with ?sid=<now>, "
                             "not the hub's session URL: this is how the bridge resumes")

    def hub_listener(self, event):
        details = dict(event)
        self.add("hub", " ".join([details.pop("event"), *_fields(details)]))

    def web_socket_event(self, event):
        details = dict(event)
        kind = details.pop("type", "?")
        self.add("web-socket", " ".join([kind, *_fields(details)]))


class TimelineLogHandler(logging.Handler):
    """Puts the records of a logger on the timeline."""

    def __init__(self, timeline):
        super().__init__(logging.INFO)
        self._timeline = timeline

    def emit(self, record):
        try:
            message = record.getMessage()
            gloss = GLOSSES.get(message)
            self._timeline.add("log", f"{record.levelname:<7} {message}" + (f"  ({gloss})" if gloss else ""))
        except Exception:
            self.handleError(record)


def _fields(details):
    return [f"{key}={_short(value)}" for key, value in details.items()]


def _short(value):
    text = repr(value) if isinstance(value, (dict, list, tuple)) else str(value)
    return text if len(text) <= MAX_VALUE else text[:MAX_VALUE - 3] + "..."
