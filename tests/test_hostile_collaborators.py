"""Legal but hostile Python code running inside the module's calls (a
``__bool__``, ``__eq__``, ``__str__``, a property, a ``did``) that changes or
frees what the module is working on, reaching it through its owner or
through ``gc.get_referrers``.  The outcome must be Python's own; each case
runs in a fresh interpreter that has to end cleanly."""

import pytest

from isolated import run_isolated


def test_metadata_values_freed_while_the_track_key_is_built():
    outcome = run_isolated("""
        freed = set()

        class Value:
            def __init__(self, text, metadata=None):
                self.text, self.metadata = text, metadata

            def __bool__(self):
                if self.metadata is not None:
                    self.metadata.clear()  # the dict held the only references
                    self.metadata = None
                return True

            def __str__(self):
                return "<freed>" if id(self) in freed else self.text

            def __del__(self):
                freed.add(id(self))

        hub = FakeHub()
        ctrl, _, config = make_group(gb, [])
        bridge = gb.GroupBridge("h", ctrl, None, config, hub)
        metadata = {}
        metadata["title"] = Value("Title", metadata)
        metadata["artist"], metadata["album"] = Value("Artist"), Value("Album")
        bridge._on_metadata_change(metadata, None)
        [((payload,), _)] = hub.called("update_session_metadata")
        print(json.dumps([bridge._metadata_track_key, sorted(payload)]))
    """)
    assert outcome == ["Title Artist Album", ["album", "artist", "artwork", "title"]]


@pytest.mark.parametrize("command, args", [
    ("play_url", ("u",)), ("stop", ()), ("pause", ()), ("set_volume", (5,)), ("resume", ()),
    ("get_status", ())])
def test_member_list_emptied_while_members_are_started(command, args):
    # The first member's operation lookup empties the command's member list
    # (found through gc.get_referrers): as in `for member in members`, the
    # walk ends there.
    outcome = run_isolated(f"""
        op = {"resume" if command == "resume" else "get_status" if command == "get_status" else
              "play_url" if command == "play_url" else command!r}

        class Clearing(FakeSpeaker):
            def __getattribute__(self, name):
                if name == op and not speakers_started:
                    speakers_started.append(self.did)
                    for holder in gc.get_referrers(self):
                        if type(holder) is list and holder is not speakers:
                            holder.clear()
                return super().__getattribute__(name)

        speakers_started = []
        speakers = [Clearing(d, results={{"get_status": {{"status": 1}}}}) for d in "abc"]
        ctrl, _, _ = make_group(gb, speakers)
        result = asyncio.run(ctrl.{command}(*{args!r}))
        print(json.dumps([result, [s.did for s in speakers if s.calls]]))
    """)
    assert outcome == [{"status": 1} if command == "get_status" else True, ["a"]]


def test_instance_dict_replaced_by_a_key_compared_during_an_attribute_read():
    # A key in the bridge's __dict__ that collides with "audio_hub" replaces
    # the whole __dict__ when compared; the read must finish in the dict it
    # started in (which it holds), not in freed memory that a new dict reuses.
    outcome = run_isolated("""
        hub, decoy_hub = FakeHub(), FakeHub()
        ctrl, _, config = make_group(gb, [])
        bridge = gb.GroupBridge("h", ctrl, None, config, hub)
        decoys = []

        class Collider:
            armed = False

            def __hash__(self):
                return hash("audio_hub")

            def __eq__(self, other):
                if Collider.armed:
                    Collider.armed = False
                    bridge.__dict__ = dict(bridge.__dict__)  # the old dict loses its last reference
                    decoys.extend({"audio_hub": decoy_hub} for _ in range(20))
                return False

        attrs = vars(bridge)
        kept = attrs.pop("audio_hub")
        attrs[Collider()] = None  # probed before "audio_hub" from now on
        attrs["audio_hub"] = kept
        del attrs, kept
        Collider.armed = True
        bridge._on_progress_change(1, 2)
        print(json.dumps([len(hub.called("update_session_progress")), len(decoy_hub.calls)]))
    """)
    assert outcome == [1, 0]


@pytest.mark.parametrize("change", ["grows", "shrinks"])
def test_provider_dict_changed_by_a_did_read_ends_the_walk_like_python(change):
    outcome = run_isolated(f"""
        class Meddling:
            def __init__(self, did):
                self._did = did

            @property
            def did(self):
                if {change!r} == "grows":
                    mapping[object()] = Meddling("x")
                elif len(mapping) > 1:
                    mapping.popitem()
                return self._did

        mapping = {{k: Meddling(k) for k in "abc"}}
        ctrl = gb.GroupController(make_config("abc"), lambda: mapping)
        try:
            ctrl.get_member_controllers()
        except RuntimeError as exc:
            print(json.dumps(str(exc)))
    """, timeout=30)
    assert outcome == "dictionary changed size during iteration"


@pytest.mark.parametrize("outcomes, expected", [("iter([True, True])", True), ("iter([True, 1])", False),
                                                ("(r for r in [True])", True)])
def test_resume_with_outcomes_that_have_no_length(outcomes, expected):
    # A replaced gather whose result can be walked but has no len().
    outcome = run_isolated(f"""
        class Gathering:
            def __getattr__(self, name):
                return getattr(asyncio, name)

            async def gather(self, *operations, return_exceptions=False):
                for operation in operations:
                    await operation
                return {outcomes}

        gb.asyncio = Gathering()
        ctrl, _, _ = make_group(gb, [FakeSpeaker("a"), FakeSpeaker("b")])

        async def main():
            return await asyncio.wait_for(asyncio.ensure_future(ctrl.resume()), 5)

        print(json.dumps(asyncio.run(main())))
    """, timeout=30)
    assert outcome is expected


@pytest.mark.parametrize("piece, base", [("42", "42"), ("Piece()", "base"), ("'http://h/s'", "http://h/s")])
def test_resume_url_built_from_a_stream_url_that_splits_into_anything(piece, base):
    outcome = run_isolated(f"""
        class Piece:
            def __str__(self):
                return "base"

        class Url(str):
            def split(self, *args):
                return [{piece}, "rest"]

            def partition(self, *args):
                return ({piece}, "?", "rest")

        clock = types.SimpleNamespace(now=1000.0)

        class Clocked:
            def __getattr__(self, name):
                return getattr(asyncio, name)

            async def sleep(self, delay, result=None):
                clock.now += delay
                await asyncio.sleep(0)
                return result

        gb.asyncio, gb.time = Clocked(), types.SimpleNamespace(time=lambda: clock.now)
        speaker = FakeSpeaker("a", results={{"get_status": {{"status": 0}}}})
        ctrl, _, config = make_group(gb, [speaker])
        bridge = gb.GroupBridge("h", ctrl, config=config)
        bridge._airplay_active, bridge._stream_url = True, Url("http://h/s?x=1")

        async def main():
            bridge._start_poll()
            while not speaker.called("play_url"):
                await asyncio.sleep(0.001)
            bridge._poll_task.cancel()

        asyncio.run(main())
        print(json.dumps(speaker.called("play_url")[0][0][0]))
    """)
    assert outcome == f"{base}?sid=1007"


def test_a_poll_task_that_drops_itself_when_judged_is_still_ended():
    # The bridge holds the only reference to its poll task, and the task's
    # __bool__ takes it away: the stop must hold the task it judged, and
    # cancel and await that one, before it may be freed.
    outcome = run_isolated("""
        events = []

        class PollTask:
            def __bool__(self):
                bridge._poll_task = None
                events.append("judged")
                return True

            def cancel(self):
                events.append("cancelled")

            def __await__(self):
                events.append("awaited")
                raise asyncio.CancelledError
                yield

            def __del__(self):
                events.append("freed")

        ctrl, _, config = make_group(gb, [])
        bridge = gb.GroupBridge("h", ctrl, config=config)
        bridge._poll_task = PollTask()
        asyncio.run(bridge.stop())
        print(json.dumps([events, bridge._poll_task]))
    """)
    assert outcome == [["judged", "cancelled", "awaited", "freed"], None]
