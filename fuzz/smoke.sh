#!/usr/bin/env bash
# CI fuzz smoke: builds the imaging fuzz targets with clang and runs each for a
# short while on its seed corpus (the corpus in the repository is not changed).
#   fuzz/smoke.sh [SECONDS]   default 20 per target
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-20}
dir="$top/build/fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DV7_FUZZ=ON -DV7_SANITIZE=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
targets=(fuzz_bmp fuzz_pcx fuzz_photocd fuzz_image_dispatch)
cmake --build "$dir" --parallel 2 --target "${targets[@]}"
for t in "${targets[@]}"; do
    work=$(mktemp -d)
    echo "== $t: ${secs}s"
    "$dir/fuzz/$t" -max_total_time="$secs" -rss_limit_mb=2560 -timeout=20 -print_final_stats=1 \
        -artifact_prefix="$dir/$t-" "$work" "$top/fuzz/corpus/$t" 2>&1 | tail -n 6
    rm -rf "$work"
done
