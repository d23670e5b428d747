#!/usr/bin/env bash
# quillo refresh end to end: a workbook of N instruments x 10 quote fields
# (written by openpyxl) filled from the local market-data service through the
# whole program - add-in start-up, xlsx open, requests over HTTP, parsing,
# re-evaluation, atomic save. Reports wall time and peak memory, once with the
# one-second pacing of queued requests and once with send_on_completion.
#
# Usage: bench/refresh_bench.sh BUILD_DIR [N]     (N defaults to 1000)
# Needs a Release build of quillo and quillo-market, /usr/bin/time and
# python3-openpyxl.
set -euo pipefail

build=$1
n=${2:-1000}
quillo="$build/src/cli/quillo"
market="$build/testing/quillo-market"
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
market_pid=
cleanup() {
  [ -n "$market_pid" ] && kill "$market_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$market" >"$work/market.txt" &
market_pid=$!
for _ in $(seq 50); do [ -s "$work/market.txt" ] && break; sleep 0.1; done
port=$(head -1 "$work/market.txt" | sed 's/.*://')

mkdir -p "$work/install"
sed "s/{port}/$port/g" "$here/data/ds.xml" >"$work/install/ds.xml"
cp "$here/data/tarnvale.xla" "$work/install/"
export QUILLO_HKCU_DIR="$work/store" QUILLO_HKLM_DIR="$work/store-machine"
"$quillo" settings set installpath "$work/install"

/usr/bin/python3 - "$n" "$work/book.xlsx" <<'PY'
import sys
from openpyxl import Workbook
n, path = int(sys.argv[1]), sys.argv[2]
fields = ["NAME", "LAST", "CHANGE", "CHANGEPCT", "CURRENCY", "PREVCLOSE", "OPEN", "DAYLOW",
          "DAYHIGH", "VOLUME"]
wb = Workbook()
ws = wb.active
for i in range(n):
    c = (i * 7919 + 1234) % (26 * 26 * 26)
    ws.cell(row=i + 1, column=1, value=chr(65 + c // 676) + chr(65 + c // 26 % 26) + chr(65 + c % 26))
    for col, f in enumerate(fields, 2):
        ws.cell(row=i + 1, column=col, value=f'=fsingle($A{i + 1},"LMS.QUO.{f}")')
wb.save(path)
PY

for mode in ${MODES:-0 1}; do
  "$quillo" settings set send_on_completion "$mode"
  /usr/bin/time -f "%e s wall, %M KB peak" -o "$work/time.txt" \
    "$quillo" refresh "$work/book.xlsx" -o "$work/out.xlsx" --timeout 600 >"$work/out.txt"
  echo "send_on_completion=$mode, $n instruments x 10 fields: $(cat "$work/time.txt")"
  sed -n 2p "$work/out.txt"
done
