#!/usr/bin/env bash
# Kills a writing cache_soak child with SIGKILL at random moments and checks,
# after each kill, that the file holds exactly a committed version.
#   bench/cache_kill_soak.sh BUILD_DIR [TRIALS=200] [WORK_DIR]
set -u
build=${1:?usage: cache_kill_soak.sh BUILD_DIR [TRIALS] [WORK_DIR]}
trials=${2:-200}
work=$(mktemp -d "${3:-$PWD}/cache_soak.XXXXXX")
tool="$build/bench/cache_soak"
file="$work/soak.cfb" manifest="$work/manifest" seed=$RANDOM
damaged=0 advanced=0 last=0
for ((i = 1; i <= trials; i++)); do
    "$tool" write "$file" "$manifest" "$seed" &
    pid=$!
    sleep "0.$(printf '%03d' $((RANDOM % 400 + 5)))"
    kill -9 "$pid"
    wait "$pid" 2>/dev/null
    out=$("$tool" check "$file" "$manifest" "$seed")
    if [[ $out != ok* ]]; then
        damaged=$((damaged + 1))
        echo "trial $i: $out"
        cp "$file" "$work/damaged-$i.cfb"
    else
        v=${out#ok }
        ((v > last)) && advanced=$((advanced + 1))
        last=$v
    fi
done
echo "trials $trials, damaged $damaged, versions committed $last, trials that advanced $advanced (work: $work)"
[[ $damaged -eq 0 ]] && rm -rf "$work"
exit $((damaged > 0))
