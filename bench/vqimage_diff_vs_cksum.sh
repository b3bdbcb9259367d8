#!/usr/bin/env bash
# How long `vqimage diff` of two 16 MiB images takes beside `cksum` of the
# same two files (the cost of merely reading them once). Prints the median
# and the spread of N runs of each, in turn; never fails on time. A second
# vqimage (an older build) is timed in the same rounds, for a before/after
# that shares the machine's mood.
# usage: bench/vqimage_diff_vs_cksum.sh [path/to/vqimage] [runs] [path/to/other/vqimage]
set -euo pipefail
vqimage=${1:-build/tools/vqimage/vqimage}
runs=${2:-11}
other=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

head -c $((16 << 20)) /dev/urandom >"$work/old.bin"
cp "$work/old.bin" "$work/new.bin"
# 1% of the 4 KiB sectors changed, one byte each.
for i in $(seq 1 40); do
  printf '\x5a' | dd of="$work/new.bin" bs=1 seek=$(( (RANDOM * 32768 + RANDOM) % (16 << 20) )) conv=notrunc status=none
done

ms_now() { date +%s%N; }
declare -a diff_ms cksum_ms other_ms
for ((r = 0; r <= runs; r++)); do
  t0=$(ms_now); "$vqimage" diff "$work/old.bin" "$work/new.bin" -o "$work/u.diff" >/dev/null; t1=$(ms_now)
  cksum "$work/old.bin" "$work/new.bin" >/dev/null; t2=$(ms_now)
  [[ -n $other ]] && "$other" diff "$work/old.bin" "$work/new.bin" -o "$work/o.diff" >/dev/null
  t3=$(ms_now)
  ((r == 0)) && continue  # warm-up: the page cache and the loader
  diff_ms+=($(( (t1 - t0) / 1000 ))); cksum_ms+=($(( (t2 - t1) / 1000 ))); other_ms+=($(( (t3 - t2) / 1000 )))
done

summary() {  # microseconds in, "median (min..max) ms" out
  sort -n | awk '{ v[NR] = $1 } END { printf "%.1f ms median (%.1f..%.1f)", v[int((NR + 1) / 2)] / 1000, v[1] / 1000, v[NR] / 1000 }'
}
echo "two 16 MiB images, $runs runs each, whole process"
echo "vqimage diff:  $(printf '%s\n' "${diff_ms[@]}" | summary)"
echo "cksum of both: $(printf '%s\n' "${cksum_ms[@]}" | summary)"
[[ -n $other ]] && echo "$other diff: $(printf '%s\n' "${other_ms[@]}" | summary)"
true
