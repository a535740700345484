#!/usr/bin/env bash
# Prepares the development environment: CPython 3.12, a virtualenv in .venv
# with pytest, zeroconf and hypothesis, and the build of the extension module.
#
# Source it to get the functions (prepare_env, build_module, ...), or run it:
#   scripts/env.sh          prepare .venv
#   scripts/env.sh build    prepare .venv and build the module
# Every step is skipped when already done, so a second run is quick.
#
# Another interpreter gets its own virtualenv when these are set before
# sourcing, e.g. VESBEL_PYTHON_VERSION=3.13 VESBEL_VENV=$PWD/.venv-3.13.

VESBEL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VESBEL_PYTHON_VERSION="${VESBEL_PYTHON_VERSION:-3.12}"
VESBEL_VENV="${VESBEL_VENV:-$VESBEL_ROOT/.venv}"
VESBEL_PY="$VESBEL_VENV/bin/python"
VESBEL_TEST_MODULES=(pytest zeroconf hypothesis)
VESBEL_DEBIAN_PACKAGES=(python3-pytest python3-zeroconf python3-hypothesis)
VESBEL_DEBIAN_SITE=/usr/lib/python3/dist-packages

vesbel_say() { echo "[env] $*" >&2; }

# True when $1 runs and is CPython $VESBEL_PYTHON_VERSION with its C headers
# (needed to build).
is_usable_python() {
    "$1" - "$VESBEL_PYTHON_VERSION" >/dev/null 2>&1 <<'EOF'
import os, sys, sysconfig
assert sys.implementation.name == "cpython"
assert "%d.%d" % sys.version_info[:2] == sys.argv[1]
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
EOF
}

# Prints the path of a working CPython $VESBEL_PYTHON_VERSION: one on PATH
# (each is run, since a pyenv shim fails while another version is selected),
# else pyenv's build.
find_python() {
    local version="$VESBEL_PYTHON_VERSION"
    local candidate pyenv_root candidates=()
    while IFS= read -r candidate; do candidates+=("$candidate"); done \
        < <(type -ap "python$version" 2>/dev/null)
    if command -v pyenv >/dev/null 2>&1; then
        pyenv_root="$(pyenv root 2>/dev/null)"
    fi
    for pyenv_root in "$pyenv_root" "${PYENV_ROOT:-}" "$HOME/.pyenv"; do
        [[ -n "$pyenv_root" ]] || continue
        for candidate in "$pyenv_root"/versions/"$version".*/bin/"python$version"; do
            [[ -x "$candidate" ]] && candidates+=("$candidate")
        done
    done
    for candidate in "${candidates[@]}"; do
        if is_usable_python "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done
    vesbel_say "error: no working CPython $version with development headers was found."
    vesbel_say "Install one, e.g. 'pyenv install $version' or" \
        "'apt-get install python$version python$version-dev python$version-venv'."
    return 1
}

ensure_venv() {
    if [[ -x "$VESBEL_PY" ]] && is_usable_python "$VESBEL_PY"; then
        return 0
    fi
    local python
    python="$(find_python)" || return 1
    vesbel_say "creating $VESBEL_VENV with $python"
    rm -rf "$VESBEL_VENV"
    "$python" -m venv "$VESBEL_VENV" || return 1
}

have_test_modules() {
    local IFS=,
    "$VESBEL_PY" -c "import ${VESBEL_TEST_MODULES[*]}" >/dev/null 2>&1
}

# A quick probe: can pip fetch from a package index here?
index_reachable() {
    local scratch status
    scratch="$(mktemp -d)"
    "$VESBEL_PY" -m pip download --quiet --no-deps --no-cache-dir --timeout 5 --retries 0 \
        --dest "$scratch" pytest >/dev/null 2>&1
    status=$?
    rm -rf "$scratch"
    return $status
}

# Installs Debian's packages when missing and puts their folder on the
# virtualenv's path (they are pure Python, so they work under 3.12 and 3.13).
use_debian_packages() {
    local missing=() package site
    for package in "${VESBEL_DEBIAN_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    if ((${#missing[@]})); then
        local sudo=()
        [[ "$(id -u)" == 0 ]] || sudo=(sudo)
        vesbel_say "installing ${missing[*]} with apt-get"
        "${sudo[@]}" apt-get update -qq || return 1
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends "${missing[@]}" >/dev/null || return 1
    fi
    site="$("$VESBEL_PY" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" || return 1
    echo "$VESBEL_DEBIAN_SITE" >"$site/debian-dist-packages.pth"
}

ensure_test_modules() {
    have_test_modules && return 0
    if index_reachable; then
        vesbel_say "installing ${VESBEL_TEST_MODULES[*]} with pip"
        "$VESBEL_PY" -m pip install --quiet "${VESBEL_TEST_MODULES[@]}" || return 1
    else
        vesbel_say "no package index reachable; using Debian's packages"
        use_debian_packages || return 1
    fi
    have_test_modules || {
        vesbel_say "error: ${VESBEL_TEST_MODULES[*]} are still not importable in $VESBEL_VENV"
        return 1
    }
}

prepare_env() {
    ensure_venv && ensure_test_modules
}

# Configures and builds the extension with the virtualenv's interpreter; the
# .so lands in vesbel/.  Optional: a build folder (default build/) and further
# CMake options, e.g. build_module "$VESBEL_ROOT/build-asan" -DGROUP_BRIDGE_SANITIZE=ON.
build_module() {
    local build_dir="${1:-$VESBEL_ROOT/build}"
    (($#)) && shift
    cmake -S "$VESBEL_ROOT" -B "$build_dir" -DPython_EXECUTABLE="$VESBEL_PY" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGROUP_BRIDGE_WERROR=ON "$@" >/dev/null || return 1
    cmake --build "$build_dir" -j2
}

# Prepares .venv and builds the module, unless VESBEL_IMPL=baseline selects
# the plain-Python baseline (which needs no build).
prepare_for_run() {
    prepare_env
    if [[ "${VESBEL_IMPL:-module}" != baseline ]]; then
        build_module
    fi
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    set -euo pipefail
    prepare_env
    if [[ "${1:-}" == build ]]; then
        build_module
    fi
fi
