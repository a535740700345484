#!/usr/bin/env bash
# Runs the whole test suite: prepares .venv, builds the extension module and
# runs pytest (warnings are errors, see pytest.ini). Arguments go to pytest.
# With VESBEL_IMPL=baseline the suite runs against the plain-Python baseline
# and the module is not built.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$VESBEL_ROOT"
prepare_for_run
"$VESBEL_PY" -m pytest -q "$@"
