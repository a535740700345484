#!/usr/bin/env bash
# Runs the whole test suite against a build of the module with AddressSanitizer
# and UndefinedBehaviorSanitizer.  The sanitized module is built in build-asan/
# and placed in build-asan/pkg/vesbel/ beside links to the repository's Python
# stand-ins, so the normal module in vesbel/ is left alone.  Arguments go to
# pytest.  Any sanitizer report fails the run (halt_on_error) and is also
# written to build-asan/reports/.  Ends with a PASS or FAIL line.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$VESBEL_ROOT"
prepare_env

build_dir="$VESBEL_ROOT/build-asan"
pkg="$build_dir/pkg"
build_module "$build_dir" -DGROUP_BRIDGE_SANITIZE=ON -DGROUP_BRIDGE_OUTPUT_DIR="$pkg/vesbel"

# The stand-ins stay the repository's: link each of them into the package.
for entry in "$VESBEL_ROOT"/vesbel/*; do
    case "$entry" in *.so|*/__pycache__) continue ;; esac
    ln -sfn "$entry" "$pkg/vesbel/$(basename "$entry")"
done

# The demo package alone, without the repository's own vesbel/ beside it.
mkdir -p "$build_dir/demo-path" && ln -sfn "$VESBEL_ROOT/demo" "$build_dir/demo-path/demo"

reports="$build_dir/reports"
rm -rf "$reports" && mkdir -p "$reports"
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"

# -P keeps the working folder off sys.path and "-o pythonpath" replaces
# pytest.ini's "pythonpath = .", so "vesbel" is build-asan/pkg/vesbel; the
# demo's package comes from the repository, after it.
env LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    PYTHONPATH="$VESBEL_ROOT/scripts" VESBEL_EXPECT_MODULE="$pkg/vesbel" \
    "$VESBEL_PY" -P -m pytest -q -p no:cacheprovider -p imported_module_check \
    -o pythonpath="$pkg $build_dir/demo-path" "$@" && status=0 || status=$?

if compgen -G "$reports/*" >/dev/null; then
    echo "[asan] sanitizer reports:" >&2
    cat "$reports"/* >&2
    echo "asan: FAIL (sanitizer reports, kept in $reports)"
    exit 1
fi
if ((status == 0)); then
    echo "asan: PASS (the tests passed with no sanitizer report)"
else
    echo "asan: FAIL (pytest exited $status, no sanitizer report)"
fi
exit "$status"
