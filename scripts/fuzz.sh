#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, build tree build/fuzz, only the targets and what they link)
# and runs each one for the given seconds over a copy of its seed corpus (Tests/Fuzz/corpus/<name>,
# so the repository is never changed), as many at once as there are cores. Any finding (crash,
# failed check, leak, sanitizer report, timeout) fails the run; its input is kept in
# build/fuzz/findings/.
# Usage: scripts/fuzz.sh [seconds per target, default 20] [target names, default all]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for d in Tests/Fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

dir=build/fuzz
echo "=== fuzz: configure"
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DRSM_FUZZ=ON -DRSM_BENCHMARKS=OFF >/dev/null
echo "=== fuzz: build"
cmake --build "$dir" -j "$(nproc)" --target rsm_fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings=$dir/findings
mkdir -p "$findings"

run_one() {
    local name=$1
    local corpus=$work/$name
    mkdir -p "$corpus"
    cp -r "Tests/Fuzz/corpus/$name/." "$corpus/"
    local extra=()
    if [ -f "Tests/Fuzz/dict/$name.dict" ]; then extra+=("-dict=Tests/Fuzz/dict/$name.dict"); fi
    local rc=0
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
        "$dir/Tests/Fuzz/fuzz_$name" "$corpus" "${extra[@]}" -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$findings/$name-" \
        >"$work/$name.log" 2>&1 || rc=$?
    local executions
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log")
    if [ "$rc" -ne 0 ]; then
        echo "fuzz_$name: FINDING (exit $rc) after ${executions:-?} executions"
        tail -n 60 "$work/$name.log"
        return 1
    fi
    echo "fuzz_$name: ${executions} executions in ${seconds} s, no finding"
}

echo "=== fuzz: run (${seconds} s per target)"
slots=$(nproc)
failed=0
running=0
for name in "${targets[@]}"; do
    if [ ! -d "Tests/Fuzz/corpus/$name" ]; then
        echo "unknown fuzz target '$name'"
        exit 2
    fi
    run_one "$name" &
    running=$((running + 1))
    if [ "$running" -ge "$slots" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
done
while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done
if [ "$failed" -ne 0 ]; then
    echo "=== fuzz: findings (inputs in $findings)"
    exit 1
fi
echo "=== fuzz: no findings"
