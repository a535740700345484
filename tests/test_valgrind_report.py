"""scripts/valgrind_report.py: which memcheck records are the module's own,
and a report that gives that verdict before the interpreter's totals."""

import subprocess
import sys

import pytest

from conftest import ROOT

SOURCES = "/src/tree/src/"
OURS_LOST = """\
==7== 48 bytes in 1 blocks are definitely lost in loss record 9 of 40
==7==    at 0x4848899: malloc (vg_replace_malloc.c:381)
==7==    by 0x5A1: gb::make_snapshot(_object*) (/src/tree/src/group_bridge/bridge_state.cpp:41)
==7==    by 0x4B2: _PyEval_EvalFrameDefault (ceval.c:4760)
"""
PYTHONS_LOST = """\
==7== 64 bytes in 1 blocks are definitely lost in loss record 12 of 40
==7==    at 0x4848899: malloc (vg_replace_malloc.c:381)
==7==    by 0x4C3: PyUnicode_New (unicodeobject.c:1206)
==7==    by 0x4B2: _PyEval_EvalFrameDefault (ceval.c:4760)
==7==    by 0x5A1: gb::module_exec(_object*) (/src/tree/src/group_bridge/module.cpp:88)
"""
INTERNED = """\
==7== 56 bytes in 1 blocks are definitely lost in loss record 10 of 40
==7==    at 0x4848899: malloc (vg_replace_malloc.c:381)
==7==    by 0x4D4: PyUnicode_InternFromString (unicodeobject.c:15001)
==7==    by 0x4E5: PyDict_SetItemString (dictobject.c:3920)
==7==    by 0x5A1: gb::module_exec(_object*) (/src/tree/src/group_bridge/module.cpp:90)
"""
INVALID_READ = """\
==7== Invalid read of size 8
==7==    at 0x5B2: gb::resume(_object*, _object* const*) (/src/tree/src/group_bridge/bridge_transport_hooks.cpp:40)
==7==    by 0x4B2: _PyEval_EvalFrameDefault (ceval.c:4760)
"""
SUMMARY = """\
==7== LEAK SUMMARY:
==7==    definitely lost: 168 bytes in 3 blocks
==7==    indirectly lost: 0 bytes in 0 blocks
==7==      possibly lost: 2,048 bytes in 4 blocks
==7== ERROR SUMMARY: 4 errors from 4 contexts (suppressed: 0 from 0)
"""


def report(tmp_path, *records):
    log = tmp_path / "memcheck.log"
    log.write_text("==7== \n".join(records + (SUMMARY,)))
    done = subprocess.run([sys.executable, str(ROOT / "scripts" / "valgrind_report.py"), str(log), SOURCES],
                          capture_output=True, text=True, timeout=30)
    return done.returncode, done.stdout.splitlines()


@pytest.mark.parametrize("records, status, verdict", [
    ((PYTHONS_LOST, INTERNED), 0, "clean: nothing lost, no invalid access; names interned once "
                                  "for its C-string keys: 1"),
    ((OURS_LOST, PYTHONS_LOST, INTERNED), 1, "1 records, 1 of them definitely lost (listed below); names "
                                             "interned once for its C-string keys: 1"),
    ((INVALID_READ, PYTHONS_LOST), 1, "1 records, 0 of them definitely lost (listed below); names "
                                      "interned once for its C-string keys: 0"),
])
def test_the_modules_verdict_comes_first_and_the_interpreters_totals_after(tmp_path, records, status, verdict):
    code, lines = report(tmp_path, *records)
    assert code == status
    assert lines[0] == f"the module's own code ({SOURCES}): {verdict}"
    assert lines[1].startswith("memcheck's totals for the whole process, CPython's own")
    assert [line.strip() for line in lines[2:6]] == [
        "definitely lost: 168 bytes in 3 blocks", "indirectly lost: 0 bytes in 0 blocks",
        "possibly lost: 2,048 bytes in 4 blocks", "ERROR SUMMARY: 4 errors from 4 contexts (suppressed: 0 from 0)"]
    listed = "\n".join(lines[6:])
    assert ("bridge_state.cpp:41" in listed) == (OURS_LOST in records)
    assert ("bridge_transport_hooks.cpp:40" in listed) == (INVALID_READ in records)
    assert "PyUnicode_New" not in listed and "PyUnicode_InternFromString" not in listed
