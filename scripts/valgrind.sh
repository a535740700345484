#!/usr/bin/env bash
# Runs a short scenario of every operation (bench/memcheck_scenario.py) under
# valgrind's memcheck with PYTHONMALLOC=malloc, then prints the verdict about
# the module's own code first, memcheck's totals for the whole process (mostly
# CPython's) after it, and every record that reaches the module's sources
# (definitely lost blocks, invalid reads and writes, uses of uninitialised
# values; see scripts/valgrind_report.py).  The full log is build/valgrind.log.
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
((ran == 0 && verdict == 0))
