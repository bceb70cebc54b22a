#!/usr/bin/env bash
# Find or install CPython 3.13, create .venv with it, install the build tools and dependencies.
# Idempotent: a second run only checks.
set -euo pipefail
cd "$(dirname "$0")/.."

# `--tests`: also what the test suite needs beyond Python (a real Redis on a loopback port for the
# shared quota and rate counters); running the service does not need it.
if [ "${1:-}" = "--tests" ] && ! command -v redis-server >/dev/null 2>&1; then
    echo "bootstrap: installing redis-server from Debian's packages" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq redis-server >/dev/null
fi

# The extensions are C++20: without a compiler that takes -std=c++20 the build fails late and
# obscurely, so install g++ from Debian's packages, as Python and redis-server are.
has_cxx20() {
    printf 'int main() { return 0; }\n' | "${CXX:-c++}" -std=c++20 -x c++ - -o /dev/null >/dev/null 2>&1
}
if ! has_cxx20; then
    echo "bootstrap: no C++20 compiler (${CXX:-c++}) found; installing g++ from Debian's packages" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++ >/dev/null
    if ! has_cxx20; then
        echo "bootstrap: ${CXX:-c++} still cannot compile C++20; set CXX to a compiler that can" >&2
        exit 1
    fi
fi

find_python() {
    local c
    for c in "${PYTHON313:-}" python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13 \
             "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
        [ -n "$c" ] || continue
        if command -v "$c" >/dev/null 2>&1 &&
           "$c" -c 'import sys, sysconfig, os; assert sys.version_info[:2] == (3, 13); assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")); import venv, ensurepip' >/dev/null 2>&1; then
            command -v "$c"
            return 0
        fi
    done
    return 1
}

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    PY=$(find_python || true)
    if [ -z "$PY" ]; then
        echo "bootstrap: no usable Python 3.13 found; installing it from Debian's packages" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.13-dev python3.13-venv >/dev/null
        PY=$(find_python)
    fi
    echo "bootstrap: creating .venv with $PY" >&2
    rm -rf .venv
    "$PY" -m venv .venv
fi

stamp=.venv/.deps-stamp
want=$(cat pyproject.toml scripts/bootstrap.sh | sha256sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    .venv/bin/python -m pip install -q --upgrade pip
    # Build tools live in the venv so the editable build can run without isolation (incremental rebuilds).
    .venv/bin/python -m pip install -q "scikit-build-core>=0.10,<2" "cmake>=3.26,<5" "ninja>=1.11,<2"
    .venv/bin/python - <<'PY' > .venv/.requirements.txt
import tomllib
p = tomllib.load(open("pyproject.toml", "rb"))["project"]
print("\n".join(p["dependencies"] + p["optional-dependencies"]["test"]))
PY
    .venv/bin/python -m pip install -q -r .venv/.requirements.txt
    echo "$want" > "$stamp"
fi
