#!/usr/bin/env bash
# Builds the libFuzzer target over the numeric core (clang, ASan and UBSan) and fuzzes it for the
# given number of seconds (default 60), starting from the committed corpus in fuzz/corpus. New
# inputs go to build/fuzz-corpus; a crashing input is written to build/ and fails the run.
#   bash scripts/fuzz.sh 3600          # an hour
#   bash scripts/fuzz.sh 3600 -jobs=2  # extra arguments go to libFuzzer
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-60}
shift || true
bash scripts/system-deps.sh

build=build/cmake-fuzz
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOVREL_FUZZ=ON > /dev/null
cmake --build "$build" --parallel 2 > /dev/null

mkdir -p build/fuzz-corpus
log=$(mktemp)
if ! "$build/fuzz_core" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build/ "$@" build/fuzz-corpus fuzz/corpus > "$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: failure; the crashing input is in build/" >&2
    exit 1
fi
runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
echo "fuzz: ${runs} inputs in ${seconds} s, no failure"
rm -f "$log"
