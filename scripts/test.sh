#!/usr/bin/env bash
# Installs what is missing, then configures, builds and runs every test three times:
# a normal build, an AddressSanitizer+UndefinedBehaviorSanitizer build (any finding fails),
# and a ThreadSanitizer build of the concurrency tests; then builds the libFuzzer targets with
# clang and runs each for 20 seconds over its seed corpus (any finding fails). Between the normal
# and the sanitizer builds, the whole tree (benchmarks too) is compiled with clang and its thread
# safety analysis as errors; nothing of that build runs.
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/install-deps.sh"

jobs=$(nproc)
run_build() {
    local name=$1 sanitize=$2 benchmarks=$3 labels=$4
    local dir=build/$name
    echo "=== ${name}: configure"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DRSM_SANITIZE="$sanitize" -DRSM_BENCHMARKS="$benchmarks" >/dev/null
    echo "=== ${name}: build"
    cmake --build "$dir" -j "$jobs"
    echo "=== ${name}: test"
    if [ -n "$labels" ]; then
        ctest --test-dir "$dir" --output-on-failure -j "$jobs" -L "$labels"
    else
        ctest --test-dir "$dir" --output-on-failure -j "$jobs"
    fi
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

only=${1:-all}
if [ "$only" = all ] || [ "$only" = normal ]; then run_build normal "" ON ""; fi
if [ "$only" = all ] || [ "$only" = clang ]; then
    echo "=== clang: configure"
    CC=clang CXX=clang++ cmake -S . -B build/clang -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS= \
        -DRSM_THREAD_SAFETY=ON -DRSM_SANITIZE= -DRSM_FUZZ=OFF -DRSM_BENCHMARKS=ON >/dev/null
    echo "=== clang: build"
    cmake --build build/clang -j "$jobs"
fi
if [ "$only" = all ] || [ "$only" = asan ]; then run_build asan address OFF ""; fi
if [ "$only" = all ] || [ "$only" = tsan ]; then run_build tsan thread OFF concurrency; fi
if [ "$only" = all ] || [ "$only" = fuzz ]; then "$(dirname "$0")/fuzz.sh" 20; fi
echo "=== all builds passed"
