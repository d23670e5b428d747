#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them.
#   scripts/fuzz.sh smoke          each target for a few seconds, two at a time (CI)
#   scripts/fuzz.sh run SECONDS    each target for SECONDS, two at a time,
#                                  new corpus entries kept in build/fuzz-corpus
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-smoke}
seconds=${2:-10}
[ "$mode" = smoke ] && seconds=6

# -O1 with line tables only: fast runs and readable stacks, without the
# build cost of full debug information; a unity build, for less compiling.
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -gline-tables-only" -DQUILLO_FUZZ=ON \
  -DCMAKE_UNITY_BUILD=ON \
  -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
targets=(text_helpers table_parse definition_parse definitions_load structured_answer settings_file formula_roundtrip
         xlsx_load number_format)
cmake --build build/fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
run_one() {
  local t=$1 work=build/fuzz-corpus/$1
  [ "$mode" = smoke ] && work=build/fuzz-smoke/$1
  mkdir -p "$work"
  # Seeds: the target's own corpus, and the sample and golden pages and
  # definitions files (libFuzzer reads folders recursively).
  local seeds=(data/sample testdata/parse)
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  # Whole workbook files besides the parts in the target's corpus.
  [ "$t" = xlsx_load ] && seeds+=(testdata/xlsx)
  ./build/fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 "$work" "${seeds[@]}" \
    >"build/fuzz-$mode-$t.log" 2>&1 || { tail -40 "build/fuzz-$mode-$t.log"; return 1; }
  echo "fuzz_$t: $(grep -E 'stat::number_of_executed_units' "build/fuzz-$mode-$t.log" | awk '{print $2}') executions in ${seconds}s"
}
# Two at a time (the machines that run this have two cores or more).
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  if [ ${#pids[@]} -ge 2 ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
for p in "${pids[@]}"; do wait "$p"; done
