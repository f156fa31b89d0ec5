#!/usr/bin/env bash
# Kills a real `vorlane7-cache prefill` with SIGKILL at random moments and checks
# the cache after each kill: every indexed thumbnail reads and decodes, has a
# stamp, and shows its file's current picture when the stamp is the file's. The
# pictures change colour between trials, so every prefill has work to do. At the
# end one prefill runs to completion and must leave every picture cached and
# current, and `vorlane7-cache check` must find nothing.
#   bench/cache_job_kill_soak.sh BUILD_DIR [TRIALS=200] [WORK_DIR]
set -u
build=${1:?usage: cache_job_kill_soak.sh BUILD_DIR [TRIALS] [WORK_DIR]}
trials=${2:-200}
work=$(mktemp -d "${3:-$PWD}/cache_job_soak.XXXXXX")
tool="$build/tools/vorlane7-cache"
helper="$build/bench/cache_job_soak"
export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/xdg-cache"
cache=(--cache-dir "$work/cache")
count=40
"$helper" make "$work" "$count" || { echo "cannot make the pictures"; exit 1; }
damaged=0 killed=0 finished=0 unlisted=0 tails=0
# The kills land within the time a whole prefill takes here, so most of them
# strike while the job works, however fast the machine.
start=$(date +%s%N)
"$tool" prefill --quiet --threads 1 "${cache[@]}" "$work/pictures" >/dev/null 2>&1
span=$((($(date +%s%N) - start) / 1000000))
((span < 10)) && span=10
for ((i = 1; i <= trials; i++)); do
    # A third of the pictures change colour; now and then the cache starts afresh.
    for ((k = 0; k < count; k++)); do
        if ((RANDOM % 3 == 0)); then
            name=$(printf 'p%03d.jpg' "$k")
            cp "$work/variants/$name.$( ((RANDOM % 2)) && echo a || echo b).jpg" "$work/pictures/$name"
        fi
    done
    ((i % 25 == 0)) && rm -f "$work/cache/QLM70.TDB"
    "$tool" prefill --quiet --threads 1 "${cache[@]}" "$work/pictures" >/dev/null 2>&1 &
    pid=$!
    sleep "$(awk -v ms=$((RANDOM % span + 1)) 'BEGIN { printf "%.3f", ms / 1000 }')"
    if kill -9 "$pid" 2>/dev/null; then killed=$((killed + 1)); else finished=$((finished + 1)); fi
    wait "$pid" 2>/dev/null
    out=$("$helper" check "$work")
    # A kill may leave a stream that no entry lists (the next job reuses it), or
    # sectors written past the committed tables (the next commit takes them in):
    # both are counted, neither is damage. Any other finding of check is.
    found=$("$tool" check "${cache[@]}" 2>&1)
    grep -q 'a stream no index entry lists' <<<"$found" && unlisted=$((unlisted + 1))
    grep -q 'note: sectors past the committed tables' <<<"$found" && tails=$((tails + 1))
    other=$(grep -v -e 'a stream no index entry lists' -e 'note: sectors past the committed tables' -e ' problems$' \
        -e '^vorlane7-cache: .*no cache file' <<<"$found")
    # check's closing "damaged" line follows any finding, these two as well.
    [[ $(grep -c -v -e ': damaged; repair keeps it aside' <<<"$other") -eq 0 ]] && other=
    if [[ $out != ok* || -n $other ]]; then
        damaged=$((damaged + 1))
        echo "trial $i: $out $other"
        cp "$work/cache/QLM70.TDB" "$work/damaged-$i.tdb" 2>/dev/null
    fi
done
"$tool" prefill --quiet --threads 1 "${cache[@]}" "$work/pictures" >/dev/null
final=$("$helper" check "$work" --complete)
"$tool" check "${cache[@]}" >"$work/final-check.txt"
final_check=$?
echo "trials $trials, damaged $damaged, killed during the job $killed, done before the kill $finished;" \
    "left unlisted streams $unlisted, left sectors past the tables $tails;" \
    "after a whole prefill: $final, check exit $final_check (work: $work)"
[[ $damaged -eq 0 && $final == ok* && $final_check -eq 0 ]] && rm -rf "$work" && exit 0
exit 1
