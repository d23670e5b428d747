#!/usr/bin/env bash
# The request table at scale: quillo refresh of a workbook whose N rows each
# hold one =fsingle(...) waiting on the service's quote pages, through the
# whole program: add-in start-up, xlsx open, requests over HTTP
# (send_on_completion), parsing, re-evaluation, save. The local service
# knows 1,200 instruments, so the rows share 1,200 URLs: the figures are
# per waiting formula cell, each with its registry entry and provenance.
# (The extra option n=<row> names no allowed value of its parameter, so it
# falls back to the default and does not make the URLs distinct.) Runs
# N = 10,000 and 100,000 (or the sizes given) and reports each run's wall
# time, peak memory and time per cell, and between the two largest runs the
# memory each added cell took. A run where any cell is not filled fails.
#
# With DISTINCT=1 every row asks its own URL (up to 120,000): the figures
# are per distinct request. DELAY=<ms> has the service answer each page
# after that long, so the run lasts as long as its requests take to be
# answered: a cost that grew with the answers so far would show there.
#
# Usage: [DISTINCT=1] [DELAY=ms] bench/request_table_bench.sh BUILD_DIR [N...]
#        (default 10000 100000)
# Needs a Release build of quillo and quillo-market, /usr/bin/time and
# python3-openpyxl.
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

distinct=${DISTINCT:-0}
mkdir -p "$work/install"
# The quote category gets a parameter "n" that goes into the URL. For
# distinct rows it allows the values 0 to 99: with the 1,200 instruments,
# 120,000 distinct URLs.
param='<parameter name="n" urlkey="n" defaultvalue="0"\/>'
slow=()
if [ "$distinct" = 1 ]; then
  param='<parameter name="n" urlkey="n" defaultvalue="0">'
  for v in $(seq 0 99); do param+="<enumvalue displayname=\"$v\" value=\"$v\"\/>"; done
  param+='<\/parameter>'
fi
if [ -n "${DELAY:-}" ]; then
  slow=(-e "s|\\(<url>http://127.0.0.1:[0-9]*/quote\\)</url>|\\1?_delay=$DELAY</url>|")
fi
sed -e "s/{port}/$port/g" "${slow[@]}" \
  -e "0,/<parameter name=\"instrument id\" urlkey=\"s\" defaultvalue=\"\"\/>/s//&$param/" \
  "$here/data/ds.xml" >"$work/install/ds.xml"
cp "$here/data/tarnvale.xla" "$work/install/"
export QUILLO_HKCU_DIR="$work/store" QUILLO_HKLM_DIR="$work/store-machine"
"$quillo" settings set installpath "$work/install"
"$quillo" settings set send_on_completion 1

prev_n=
prev_kb=
for n in "${sizes[@]}"; do
  /usr/bin/python3 - "$n" "$work/book.xlsx" "$distinct" <<'PY'
import sys
from openpyxl import Workbook
n, path, distinct = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "1"
wb = Workbook()
ws = wb.active
for i in range(n):
    c = (i % 1200 * 7919 + 1234) % (26 * 26 * 26)
    ws.cell(row=i + 1, column=1, value=chr(65 + c // 676) + chr(65 + c // 26 % 26) + chr(65 + c % 26))
    n_value = i // 1200 if distinct else i
    ws.cell(row=i + 1, column=2, value=f'=fsingle($A{i + 1},"LMS.QUO.LAST",{{"n","{n_value}"}})')
wb.save(path)
PY
  /usr/bin/time -f "%e %M %U %S" -o "$work/time.txt" \
    "$quillo" refresh --strict "$work/book.xlsx" -o "$work/out.xlsx" --timeout 900 >"$work/out.txt" || { cat "$work/out.txt"; exit 1; }
  read -r s kb user sys <"$work/time.txt"
  awk -v n="$n" -v s="$s" -v kb="$kb" -v cpu="$(echo "$user + $sys" | bc)" \
    'BEGIN{printf "%d cells: %.2f s wall, %.2f s CPU, %d MB peak, %.1f us a cell, %.1f us CPU a cell\n", n, s, cpu, kb/1024, s*1e6/n, cpu*1e6/n}'
  sed -n 2p "$work/out.txt"
  if [ -n "$prev_n" ]; then
    awk -v a="$prev_kb" -v b="$kb" -v m="$prev_n" -v n="$n" \
      'BEGIN{printf "memory per added cell (%d to %d): %.0f bytes\n", m, n, (b-a)*1024/(n-m)}'
  fi
  prev_n=$n
  prev_kb=$kb
done
