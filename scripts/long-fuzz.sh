#!/usr/bin/env bash
# Runs the compound-file fuzzer for a long time from its seed corpus (the test
# suite runs every fuzzer for a few seconds only). Optional; needs clang.
#   scripts/long-fuzz.sh              one hour
#   SECONDS_TO_RUN=14400 scripts/long-fuzz.sh
#   JOBS=2 scripts/long-fuzz.sh       that many fuzzing processes side by side
# Crashes are kept as build/fuzz/long-cfb-crash-*; the corpus it grows stays in
# build/fuzz/long-cfb-corpus for the next run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${SECONDS_TO_RUN:-3600}
jobs=${JOBS:-1}
dir="$top/build/fuzz"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DV7_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DV7_FUZZ=ON -DBUILD_TESTING=OFF "${launcher[@]}"
cmake --build "$dir" --parallel "$(nproc)" --target fuzz_cfb
work="$dir/long-cfb-corpus"
mkdir -p "$work"
cp -n "$top"/fuzz/corpus/fuzz_cfb/* "$work"/
# The seeds reach 2 MB: inputs may be as large, and a 2 MB file takes a while.
exec "$dir/fuzz/fuzz_cfb" -max_total_time="$seconds" -max_len=2200000 -rss_limit_mb=4096 -timeout=60 \
    -jobs="$jobs" -workers="$jobs" -artifact_prefix="$dir/long-cfb-crash-" "$work"
