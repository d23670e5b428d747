#!/usr/bin/env bash
# Recalculation against HyperFormula (npm hyperformula), both in process and
# on one thread, over the same three workbooks (bench/recalc_compare.cpp
# describes them): a 100,000-formula chain, 100,000 formulas fanning out from
# one input, and 10,000 rows of mixed SUM, AVERAGE, IF, ROUND, VLOOKUP and
# INDEX/MATCH formulas. Each is built and computed in one go
# (HyperFormula.buildFromArray; quillo's Model::set_values), then one input
# changes (setCellContents; set_value) and the dependents are recomputed.
# Medians of RUNS builds (default 3) and of three changes after each. The
# package is installed from the npm registry into BUILD_DIR/hyperformula
# (never into the source tree). Its sheet is allowed a million rows (the
# default stops at 40,000), as a spreadsheet's.
#
# Usage: [RUNS=5] bench/hyperformula_compare.sh BUILD_DIR
# Needs a Release build with benchmarks (BUILD_DIR/bench/recalc_compare),
# node and npm.
set -euo pipefail

build=$(cd "$1" && pwd)
runs=${RUNS:-3}
dir="$build/hyperformula"
mkdir -p "$dir"
if [ ! -d "$dir/node_modules/hyperformula" ]; then
  npm install --prefix "$dir" --no-audit --no-fund --silent hyperformula@3 >/dev/null
fi

cat >"$dir/compare.js" <<'JS'
const { HyperFormula } = require('hyperformula');
const runs = Number(process.argv[2] || 3);

function chain(n) {
  const cells = [[1]];
  for (let r = 1; r <= n; r++) cells.push([`=A${r}+1`]);
  return { name: 'chain', cells, input: [0, 0], check: [n, 0], expected: (x) => x + n };
}
function fanout(n) {
  const cells = [];
  for (let r = 0; r < n; r++) cells.push([r === 0 ? 1 : null, '=$A$1*2']);
  return { name: 'fanout', cells, input: [0, 0], check: [n - 1, 1], expected: (x) => x * 2 };
}
function mixed(n) {
  const cells = [];
  for (let r = 0; r < n; r++) {
    const row = r + 1;
    cells.push([
      r,
      ((r * 37) % 101) + 0.25,
      `=SUM(A${row}:B${row})`,
      `=AVERAGE(A${row}:C${row})`,
      `=IF(B${row}>50,ROUND(B${row}*1.1,2),ROUND(B${row}/3,2))`,
      `=VLOOKUP(MOD(A${row},100),$H$1:$I$100,2,FALSE)`,
      `=INDEX($I$1:$I$100,MATCH(MOD(A${row},100),$H$1:$H$100,0))`,
      r < 100 ? r : null,
      r < 100 ? r * 1.5 : null,
    ]);
  }
  return { name: 'mixed', cells, input: [49, 8], check: [49, 6], expected: (x) => x };
}

const median = (v) => v.slice().sort((a, b) => a - b)[Math.floor(v.length / 2)];
const now = () => Number(process.hrtime.bigint()) / 1e6;

let right = true;
for (const w of [chain(100000), fanout(100000), mixed(10000)]) {
  const build = [], recompute = [];
  for (let i = 0; i < runs; i++) {
    if (global.gc) global.gc();
    let t0 = now();
    const hf = HyperFormula.buildFromArray(w.cells, { licenseKey: 'gpl-v3', maxRows: 1048576 });
    build.push(now() - t0);
    for (let k = 0; k < 3; k++) {
      const x = 1000 + i * 10 + k;
      t0 = now();
      hf.setCellContents({ sheet: 0, row: w.input[0], col: w.input[1] }, [[x]]);
      recompute.push(now() - t0);
      const v = hf.getCellValue({ sheet: 0, row: w.check[0], col: w.check[1] });
      if (typeof v !== 'number' || Math.abs(v - w.expected(x)) > 1e-9) right = false;
    }
    hf.destroy();
  }
  console.log(`${w.name}\t${median(build).toFixed(1)}\t${median(recompute).toFixed(1)}`);
  if (!right) console.error(`${w.name}: wrong result`);
}
process.exit(right ? 0 : 1);
JS

node --expose-gc --max-old-space-size=4096 "$dir/compare.js" "$runs" >"$dir/hyperformula.txt"
"$build/bench/recalc_compare" "$runs" >"$dir/quillo.txt"
echo "workbook   HyperFormula build ms  quillo build ms  ratio   HyperFormula recompute ms  quillo recompute ms  ratio"
while IFS=$'\t' read -r name hb hr; do
  read -r qb qr < <(awk -F'\t' -v n="$name" '$1 == n { print $2, $3 }' "$dir/quillo.txt")
  awk -v name="$name" -v hb="$hb" -v hr="$hr" -v qb="$qb" -v qr="$qr" \
    'BEGIN { printf "%-9s %22.1f %16.1f %6.1fx %26.1f %20.1f %6.1fx\n",
             name, hb, qb, hb / qb, hr, qr, hr / qr }'
done <"$dir/hyperformula.txt"
