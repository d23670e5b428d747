#!/usr/bin/env bash
# The request table at scale: quillo refresh of a workbook whose N rows each
# hold one =fsingle(...) for an instrument of its own (four letters made
# from the row number; the local market-data service answers any), so N
# distinct requests go through the whole program: add-in start-up, xlsx
# open, requests over HTTP (send_on_completion), parsing, re-evaluation,
# save. Runs N = 10,000 and 100,000 (or the sizes given) and reports each
# run's wall time, peak memory and time per request, and between the two
# largest runs the memory each added request took.
#
# Usage: bench/request_table_bench.sh BUILD_DIR [N...]   (default 10000 100000)
# A run where any cell is not filled fails (--strict). Needs a Release
# build of quillo and quillo-market, /usr/bin/time and python3-openpyxl.
set -euo pipefail

build=$1
shift
if [ $# -eq 0 ]; then sizes=(10000 100000); else sizes=("$@"); fi
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
sed -e "s/{port}/$port/g" "$here/data/ds.xml" >"$work/install/ds.xml"
cp "$here/data/tarnvale.xla" "$work/install/"
export QUILLO_HKCU_DIR="$work/store" QUILLO_HKLM_DIR="$work/store-machine"
"$quillo" settings set installpath "$work/install"
"$quillo" settings set send_on_completion 1

prev_n=
prev_kb=
for n in "${sizes[@]}"; do
  /usr/bin/python3 - "$n" "$work/book.xlsx" <<'PY'
import sys
from openpyxl import Workbook
n, path = int(sys.argv[1]), sys.argv[2]
wb = Workbook()
ws = wb.active
for i in range(n):
    c = i * 7919 % (26 ** 4)  # distinct for every row below 26^4
    ws.cell(row=i + 1, column=1, value="".join(chr(65 + c // 26 ** k % 26) for k in (3, 2, 1, 0)))
    ws.cell(row=i + 1, column=2, value=f'=fsingle($A{i + 1},"LMS.QUO.LAST")')
wb.save(path)
PY
  /usr/bin/time -f "%e %M" -o "$work/time.txt" \
    "$quillo" refresh --strict "$work/book.xlsx" -o "$work/out.xlsx" --timeout 900 >"$work/out.txt"
  read -r s kb <"$work/time.txt"
  awk -v n="$n" -v s="$s" -v kb="$kb" \
    'BEGIN{printf "%d distinct requests: %.2f s wall, %d MB peak, %.1f us a request\n", n, s, kb/1024, s*1e6/n}'
  sed -n 2p "$work/out.txt"
  if [ -n "$prev_n" ]; then
    awk -v a="$prev_kb" -v b="$kb" -v m="$prev_n" -v n="$n" \
      'BEGIN{printf "memory per added request (%d to %d): %.0f bytes\n", m, n, (b-a)*1024/(n-m)}'
  fi
  prev_n=$n
  prev_kb=$kb
done
