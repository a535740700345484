#!/usr/bin/env bash
# Runs a short scenario of every operation (bench/memcheck_scenario.py) under
# valgrind's memcheck with PYTHONMALLOC=malloc, then prints the verdict about
# the module's own code first, memcheck's totals for the whole process (mostly
# CPython's, labelled so) after it, and every record that reaches the module's
# sources (definitely lost blocks, invalid reads and writes, uses of
# uninitialised values; see scripts/valgrind_report.py).  Ends with a PASS or
# FAIL line.  The full log is build/valgrind.log.
# Arguments go to the scenario, e.g. scripts/valgrind.sh --rounds 5.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$VESBEL_ROOT"
prepare_env
build_module
log="$VESBEL_ROOT/build/valgrind.log"
scenario="$VESBEL_ROOT/build/valgrind-scenario.txt"
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=40 --fullpath-after= --log-file="$log" \
    "$VESBEL_PY" bench/memcheck_scenario.py "$@" >"$scenario" && ran=0 || ran=$?
"$VESBEL_PY" scripts/valgrind_report.py "$log" "$VESBEL_ROOT/src/" && verdict=0 || verdict=$?
echo "scenario (exit $ran): $(cat "$scenario")"
echo "full log: $log"
if ((ran == 0 && verdict == 0)); then
    echo "valgrind: PASS (the module's own code: nothing lost, no invalid access; the scenario ran to its end)"
else
    echo "valgrind: FAIL ($( ((verdict)) && echo "records in the module's own code" || echo "the scenario exited $ran"))"
    exit 1
fi
