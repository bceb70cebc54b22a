#!/usr/bin/env bash
# Builds the extensions with AddressSanitizer and UndefinedBehaviorSanitizer into a venv of
# their own (.venv-asan) and runs the whole test suite against them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh --tests

if [ ! -x .venv-asan/bin/python ]; then
    base=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
    "$base" -m venv .venv-asan
fi
stamp=.venv-asan/.deps-stamp
want=$(cat .venv/.deps-stamp)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
    .venv-asan/bin/python -m pip install -q --upgrade pip
    .venv-asan/bin/python -m pip install -q "scikit-build-core>=0.10,<2" "cmake>=3.26,<5" "ninja>=1.11,<2"
    .venv-asan/bin/python -m pip install -q -r .venv/.requirements.txt
    echo "$want" > "$stamp"
fi
.venv-asan/bin/python -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/asan \
    -Ccmake.build-type=RelWithDebInfo -Ccmake.define.VEXLO_SANITIZE=ON -Ccmake.define.VEXLO_WERROR=ON \
    -Ccmake.define.VEXLO_TEST_EXTENSION=ON .

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
# The interpreter itself is not instrumented: use the system allocator so ASan sees every
# object, and leave leak detection off (the interpreter keeps memory until exit by design).
export LD_PRELOAD="$asan:$ubsan"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Instrumented frames are several times larger: give the deep-await checks the stack that the
# recursion limit assumes.
ulimit -s 262144 2>/dev/null || ulimit -s unlimited 2>/dev/null || true
export VEXLO_HYPOTHESIS_EXAMPLES="${VEXLO_HYPOTHESIS_EXAMPLES:-2000}"
# Allocation-count leak loops mean nothing with the system allocator; they run in the main suite.
exec .venv-asan/bin/python -m pytest -q -p no:cacheprovider -m "not leakcheck" "$@"
