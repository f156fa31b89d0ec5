#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test,
# then does the same in the AddressSanitizer + UndefinedBehaviorSanitizer build.
#   scripts/test.sh            both builds
#   V7_SKIP_SANITIZE=1 scripts/test.sh   without the sanitizer build
#   V7_SKIP_FUZZ=1 scripts/test.sh       without the short fuzz runs
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" --tests
jobs=$(nproc)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
export QT_QPA_PLATFORM=offscreen

run_suite() { # name, extra cmake args...
    local dir="$top/build/$1"; shift
    cmake -S "$top" -B "$dir" -G Ninja -DV7_WERROR=ON "${launcher[@]}" "$@"
    cmake --build "$dir" --parallel "$jobs"
    ctest --test-dir "$dir" --output-on-failure --parallel "$jobs" --timeout 600
}

run_suite ci -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ -z "${V7_SKIP_FUZZ:-}" ]; then
    # Every parser of outside data gets a short libFuzzer run from its seed corpus.
    CC=clang CXX=clang++ run_suite fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DV7_FUZZ=ON -DBUILD_TESTING=OFF
fi
if [ -z "${V7_SKIP_SANITIZE:-}" ]; then
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    run_suite asan -DCMAKE_BUILD_TYPE=Debug -DV7_SANITIZE=ON
fi
