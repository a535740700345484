#!/usr/bin/env bash
# Runs the whole-house demo: prepares .venv with the one package the demo
# needs (zeroconf), builds the extension module and plays an AirPlay session
# on the stand-in speakers, printing its timeline.
# Arguments go to the demo, e.g. `scripts/demo.sh --fast 8 --speakers 6`.
# With VESBEL_IMPL=baseline the demo runs the plain-Python baseline and the
# module is not built.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$VESBEL_ROOT"
prepare_for_run demo
exec "$VESBEL_PY" -m demo.whole_house "$@"
