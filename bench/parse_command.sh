#!/usr/bin/env bash
# `quillo parse` as a user runs it, on pages of the shape parse_bench uses
# (120 fields: 24 between markers, 96 in 8 tables) of 1 and 8 MB: the whole
# command (start-up, reading the definitions and the page, decoding, the
# parse, the output), best of REPEAT runs (default 5). Prints the seconds,
# MB/s and peak memory of each, and the 8 MB / 1 MB time ratio.
#
# Usage: bench/parse_command.sh BUILD_DIR     (a Release build with QUILLO_BENCH)
set -euo pipefail

build=$1
repeat=${REPEAT:-5}
quillo="$build/src/cli/quillo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/bench/parse_bench" --write "$work" 1 8
declare -A best
for mb in 1 8; do
  best[$mb]=
  for _ in $(seq "$repeat"); do
    t0=$(date +%s%N)
    "$quillo" parse --definitions "$work/ds.xml" BEN.PAG "$work/page-$mb.html" >"$work/out.txt"
    t1=$(date +%s%N)
    s=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.4f", (b-a)/1e9}')
    if [ -z "${best[$mb]}" ] || awk "BEGIN{exit !($s < ${best[$mb]})}"; then best[$mb]=$s; fi
  done
  /usr/bin/time -f "%M" -o "$work/time.txt" \
    "$quillo" parse --definitions "$work/ds.xml" BEN.PAG "$work/page-$mb.html" >/dev/null
  peak=$(cat "$work/time.txt")
  fields=$(wc -l <"$work/out.txt")
  bytes=$(stat -c %s "$work/page-$mb.html")
  awk -v s="${best[$mb]}" -v b="$bytes" -v f="$fields" -v kb="$peak" -v mb="$mb" \
    'BEGIN{printf "%d MB page, %d fields: %.3f s, %.0f MB/s, %d MB peak\n", mb, f, s, b/1048576/s, kb/1024}'
done
awk -v a="${best[8]}" -v b="${best[1]}" 'BEGIN{printf "8 MB / 1 MB time: %.1f\n", a/b}'
