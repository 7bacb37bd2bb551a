#!/usr/bin/env bash
# Sets everything up (see setup.sh) and runs the whole test suite: the C++ tests of the core, again
# under AddressSanitizer and UndefinedBehaviorSanitizer, a 60-second fuzzing run of the core, then
# the documentation site (built with warnings as errors, broken references included), then the
# Python tests of the module (exact values, properties, the bad-input battery, threads, memory)
# and the code examples of README.md and docs/ (see conftest.py).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/system-deps.sh
bash scripts/setup.sh

# run_core_tests BUILD_DIR "CTEST ARGS" CMAKE ARGS...
run_core_tests() {
    local dir=$1 ctest_args=$2
    shift 2
    cmake -S . -B "$dir" "$@" > /dev/null
    cmake --build "$dir" --parallel 2 > /dev/null
    local log
    log=$(mktemp)
    # shellcheck disable=SC2086
    if ! ctest --test-dir "$dir" --output-on-failure --parallel 2 $ctest_args > "$log" 2>&1; then
        cat "$log"
        return 1
    fi
    grep "tests passed" "$log"
    rm -f "$log"
}

echo "== C++ formatting"
clang-format --dry-run --Werror src/*.cpp src/*.h tests/cpp/*.cpp tests/support/*.h fuzz/*.cpp bench/*.cpp

echo "== C++ core tests, with the vector expf and logf checked on all 2^32 inputs"
run_core_tests build/cmake-release "" -DCMAKE_BUILD_TYPE=Release
echo "== C++ core tests under ASan and UBSan"
run_core_tests build/cmake-sanitize "-LE exhaustive" -DCMAKE_BUILD_TYPE=Debug -DTOVREL_SANITIZE=ON

echo "== Fuzzing the core for 60 s under ASan and UBSan"
bash scripts/fuzz.sh 60

echo "== Documentation site, warnings as errors, into build/docs"
.venv/bin/python -m sphinx -W --keep-going -n -q -E -b html docs build/docs

echo "== Python tests and the documentation's examples"
.venv/bin/python -m pytest
