#!/usr/bin/env bash
# Runs the whole test suite on CPython 3.13: its own virtualenv .venv-3.13
# (prepared like .venv, see env.sh), a build in build-3.13/ whose
# group_bridge.cpython-313-*.so lands in vesbel/ beside the 3.12 one.
# Arguments go to pytest.
set -euo pipefail
export VESBEL_PYTHON_VERSION=3.13
export VESBEL_VENV="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/.venv-3.13"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$VESBEL_ROOT"
prepare_env
build_module "$VESBEL_ROOT/build-3.13"
"$VESBEL_PY" -m pytest -q -p no:cacheprovider "$@"
