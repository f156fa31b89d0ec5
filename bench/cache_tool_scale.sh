#!/usr/bin/env bash
# What one folder costs the command-line tool, a new process each time, in a
# cache of a million thumbnails (10,000 folders) against a cache that holds
# only the measured folder: `prefill` of an already cached one-file folder (it
# records the folder's use, one commit) and of a new one-file folder. The two
# caches are made by cache_scale_bench --dir. Prints the mean time of each in
# milliseconds, small and big cache taken in turn.
#   bench/cache_tool_scale.sh BUILD_DIR [RUNS=20] [WORK_DIR]
set -eu
build=${1:?usage: cache_tool_scale.sh BUILD_DIR [RUNS] [WORK_DIR]}
runs=${2:-20}
work=$(mktemp -d "${3:-$PWD}/cache_tool_scale.XXXXXX")
trap 'rm -rf "$work"' EXIT
tool="$build/tools/vorlane7-cache"
picture="$(dirname "$0")/../samples/landscape.jpg"
export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/xdg-cache"
"$build/bench/cache_scale_bench" --dir "$work" --reads 1 --commits 1 >/dev/null 2>&1
mkdir -p "$work/one"
cp "$picture" "$work/one/"

now() { date +%s%N; }
prefill() { "$tool" prefill --quiet --threads 1 --cache-dir "$work/$1" "$2" >/dev/null; }

declare -A cached made
for c in small big; do
    prefill "$c" "$work/one" # cached from here on
    cached[$c]=0 made[$c]=0
done
for ((i = 0; i < runs; i++)); do
    for c in small big; do
        t=$(now)
        prefill "$c" "$work/one"
        cached[$c]=$((cached[$c] + $(now) - t))
        mkdir -p "$work/new/$c$i"
        cp "$picture" "$work/new/$c$i/"
        t=$(now)
        prefill "$c" "$work/new/$c$i"
        made[$c]=$((made[$c] + $(now) - t))
    done
done
mean() { awk -v n="$1" -v r="$runs" 'BEGIN { printf "%.1f", n / r / 1e6 }'; }
echo "prefill, one-file folder     empty cache (ms)   1,000,000 thumbnails (ms)"
echo "already cached               $(mean "${cached[small]}")               $(mean "${cached[big]}")"
echo "new folder                   $(mean "${made[small]}")               $(mean "${made[big]}")"
