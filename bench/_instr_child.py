"""What `bench/instructions.py` runs under callgrind:

    python bench/_instr_child.py FAMILY CANDIDATE COUNT

The collector is off from the first line: a collection is set off by
allocation counts, which tiny differences of start-up (an import's
directory listing re-read) shift, and one more or fewer collection would
swamp the difference between two runs.  The child leaves without the
interpreter's shutdown, whose clean-up would differ with what the runs
left behind.
"""

import gc

gc.disable()

import os  # noqa: E402
import sys  # noqa: E402

from _instr_scenarios import child  # noqa: E402

if __name__ == "__main__":
    status = child(sys.argv[1], sys.argv[2], int(sys.argv[3]))
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)
