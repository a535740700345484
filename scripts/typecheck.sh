#!/usr/bin/env bash
# Checks with pyright that a host application sees vesbel.group_bridge's types
# once the wheel is installed, in both set-ups the README describes:
#   installed host     the host's vesbel package in the same site-packages
#   host from source   the host run from its source tree (its vesbel/__init__.py
#                      extends __path__), the wheel in the environment
# Each set-up type-checks a small host file that uses the module's classes and
# asserts their types, so a module pyright cannot resolve fails the check.
#
#   scripts/typecheck.sh [WHEEL]   without WHEEL, builds one with .venv's pip
#
# pyright is taken from PATH, else from .tools/ (`npm install --prefix .tools
# pyright`); without it the script exits 3. Needs no network.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$VESBEL_ROOT"

pyright="$(command -v pyright || true)"
[[ -n "$pyright" ]] || pyright="$VESBEL_ROOT/.tools/node_modules/.bin/pyright"
if [[ ! -x "$pyright" ]]; then
    echo "pyright not found: put it on PATH or run 'npm install --prefix .tools pyright'" >&2
    exit 3
fi

prepare_env
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
wheel="${1:-}"
if [[ -z "$wheel" ]]; then
    "$VESBEL_PY" -m pip wheel . --no-deps --no-index --no-build-isolation -q -w "$work/dist" >&2
    wheel="$(echo "$work"/dist/*.whl)"
fi

# A virtualenv with the wheel, and zeroconf where .venv finds it (the stub imports it).
"$VESBEL_PY" -m venv --without-pip "$work/venv"
python="$work/venv/bin/python"
site="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
"$VESBEL_PY" -c 'import pathlib, zeroconf; print(pathlib.Path(zeroconf.__file__).resolve().parent.parent)' \
    >"$site/zeroconf-home.pth"
"$VESBEL_PY" -m pip --python "$python" install --no-deps --no-index -q "$wheel" >&2

# The host's package: the stand-ins, without the module built into this tree.
host_package() {
    mkdir -p "$1/vesbel"
    (cd vesbel && find . -name '*.py' -not -path '*/__pycache__/*' -exec cp --parents {} "$1/vesbel/" \;)
}

cat >"$work/host.py" <<'EOF'
from typing import Any, assert_type

from vesbel.config import Config
from vesbel.group_bridge import GroupBridge, GroupController


async def main(config: Config) -> None:
    group = GroupController(config, dict)
    bridge = GroupBridge("127.0.0.1", group, None, config, None)
    assert_type(group.did, str)
    assert_type(await group.set_volume(40), bool)
    assert_type(bridge.device_name, str)
    assert_type(bridge.snapshot(), dict[str, Any])
EOF

# Pyright checks the one file named; the project folder decides what is "local".
check() {
    local name="$1" project="$2"
    cp "$work/host.py" "$project/host.py"
    echo "== $name"
    (cd "$project" && "$pyright" --pythonpath "$python" host.py) || failed+=("$name")
}

failed=()
host_package "$site"
mkdir -p "$work/app"
check "installed host" "$work/app"
rm -rf "$site/vesbel"/*.py "$site/vesbel"/airplay "$site/vesbel"/web
host_package "$work/source"
check "host run from its source tree" "$work/source"

if ((${#failed[@]})); then
    echo "typecheck: FAIL (${failed[*]})"
    exit 1
fi
echo "typecheck: PASS (installed host, host run from its source tree)"
