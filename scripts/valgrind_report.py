"""Reads a valgrind memcheck log and prints the records that are the module's
own: an error (invalid read or write, uninitialised value, ...) with one of
its frames in the module's sources, or a lost block allocated by the
module's code directly, with no Python code run between (blocks that Python
code allocates while the module imports its collaborators are the
interpreter's, which never frees everything at exit).  Exits 1 when there is
one.  The verdict about the module's own code comes first, memcheck's
totals for the whole process (mostly the interpreter's) after it.  Strings
that CPython interns for a C-string key or attribute name
(``PyDict_SetItemString`` and the like) are immortal and never freed: they
are lost once per distinct name, counted apart, and not a leak.

    python scripts/valgrind_report.py LOG SOURCE_DIR
"""

import re
import sys

PYTHON_CODE = "_PyEval_EvalFrameDefault"
INTERNING = ("PyDict_SetItemString", "PyDict_GetItemString", "PyUnicode_InternFromString",
             "PyObject_SetAttrString", "PyObject_GetAttrString", "PyObject_HasAttrString")


def records(text):
    """Memcheck's reports: runs of "==pid== " lines separated by empty ones."""
    current = []
    for line in text.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if body.strip():
            current.append(body)
        elif current:
            yield current
            current = []
    if current:
        yield current


def allocated_by_us(record, source_dir):
    """Whether the nearest frame that is ours or Python code is ours."""
    for frame in record[1:]:
        if source_dir in frame:
            return True
        if PYTHON_CODE in frame:
            return False
    return False


def interned_name(record, source_dir):
    for frame in record[1:]:
        if source_dir in frame:
            return False
        if any(call in frame for call in INTERNING):
            return True
    return False


def is_ours(record, source_dir):
    if " lost in loss record " in record[0]:
        return allocated_by_us(record, source_dir)
    return any(source_dir in frame for frame in record[1:])


def totals(found):
    """Memcheck's whole-process summary lines (leak totals, error count)."""
    return [line.strip() for record in found for line in record
            if re.search(r"(definitely|indirectly|possibly) lost:|ERROR SUMMARY", line)]


def main(log, source_dir):
    with open(log) as handle:
        found = list(records(handle.read()))
    ours = [r for r in found if is_ours(r, source_dir)]
    names = [r for r in ours if interned_name(r, source_dir)]
    ours = [r for r in ours if r not in names]
    definite = [r for r in ours if "definitely lost" in r[0]]
    verdict = ("clean: nothing lost, no invalid access" if not ours else
               f"{len(ours)} records, {len(definite)} of them definitely lost (listed below)")
    print(f"the module's own code ({source_dir}): {verdict}; "
          f"names interned once for its C-string keys: {len(names)}")
    print("memcheck's totals for the whole process, CPython's own for the most part (it does not free "
          "everything at exit); not a verdict on the module:")
    for line in totals(found):
        print("  " + line)
    for record in ours:
        print()
        print("\n".join(record[:30]))
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
