#!/usr/bin/env bash
# The indicators whose definitions agree with the npm package
# technicalindicators (SMA, EMA, Bollinger bands with the divisor p, ROC),
# each over 1,000,000 rows: the package under Node.js against quillo's
# indicators_bench. The package is installed from the npm registry into
# BUILD_DIR/technicalindicators (never into the source tree).
#
# Usage: bench/technicalindicators_compare.sh BUILD_DIR
# Needs a Release build with benchmarks (BUILD_DIR/bench/indicators_bench),
# node and npm.
set -euo pipefail

build=$(cd "$1" && pwd)
dir="$build/technicalindicators"
mkdir -p "$dir"
if [ ! -d "$dir/node_modules/technicalindicators" ]; then
  npm install --prefix "$dir" --no-audit --no-fund --silent technicalindicators@3 >/dev/null
fi

cat >"$dir/compare.js" <<'JS'
const ti = require('technicalindicators');
const n = 1000000;
let seed = 42;
const random = () => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed / 2147483648; };
const close = new Array(n);
let c = 100;
for (let i = 0; i < n; i++) { c = Math.max(1, c + (random() - 0.5) * 2); close[i] = c; }
const time = (name, f) => {
  f();  // warm up
  const runs = 3;
  const t0 = process.hrtime.bigint();
  for (let i = 0; i < runs; i++) f();
  const ms = Number(process.hrtime.bigint() - t0) / 1e6 / runs;
  console.log(`${name}\t${ms.toFixed(1)}`);
};
time('Sma20', () => ti.SMA.calculate({period: 20, values: close}));
time('Ema20', () => ti.EMA.calculate({period: 20, values: close}));
time('Bollinger20_2', () => ti.BollingerBands.calculate({period: 20, stdDev: 2, values: close}));
time('Roc10', () => ti.ROC.calculate({period: 10, values: close}));
JS

echo "indicator      technicalindicators ms     quillo ms   ratio"
node "$dir/compare.js" >"$dir/node.txt"
"$build/bench/indicators_bench" --benchmark_filter='Sma20|Ema20|Bollinger20_2|Roc10' \
  --benchmark_format=csv 2>/dev/null >"$dir/quillo.csv"
while IFS=$'\t' read -r name ms; do
  ours=$(awk -F, -v n="\"$name\"" '$1 == n { print $3 }' "$dir/quillo.csv")
  awk -v name="$name" -v ms="$ms" -v ours="$ours" \
    'BEGIN { printf "%-14s %20.1f %17.2f %7.0fx\n", name, ms, ours, ms / ours }'
done <"$dir/node.txt"
