#!/bin/bash
# The provenance record's size in saved workbooks: the demo workbook, and a
# workbook of 1,000 fsingle cells (100 instruments by 10 quote fields)
# filled from the local market-data service. Prints bench/provenance_bytes.py's
# figures for each.
#
# Usage: bench/provenance_bytes.sh QUILLO QUILLO_MARKET
set -euo pipefail
quillo=$1
market=$2
here=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
market_pid=
cleanup() {
  [ -n "$market_pid" ] && kill "$market_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
export QUILLO_HKCU_DIR=$tmp/user QUILLO_HKLM_DIR=$tmp/machine

"$quillo" demo -o "$tmp/demo-out.xlsx" >/dev/null
python3 "$here/bench/provenance_bytes.py" "$tmp/demo-out.xlsx"

"$market" >"$tmp/market.out" 2>&1 &
market_pid=$!
for _ in $(seq 50); do [ -s "$tmp/market.out" ] && break; sleep 0.1; done
base=$(head -1 "$tmp/market.out")
mkdir -p "$tmp/install"
sed "s/{port}/${base##*:}/g" "$here/data/ds.xml" >"$tmp/install/ds.xml"
cp "$here/data/tarnvale.xla" "$tmp/install/"
"$quillo" settings set installpath "$tmp/install/" >/dev/null
ids=$(for q in a e o i u n r s t l m k; do curl -s "$base/search?q=$q"; done |
  grep -o '<tr><td>[^<]*</td><td>[A-Z]\{3\}</td>' | sed 's/.*<td>\([A-Z]*\)<\/td>$/\1/' |
  sort -u | head -100 | paste -sd,)
fields=LMS.QUO.NAME,LMS.QUO.LAST,LMS.QUO.CHANGE,LMS.QUO.CHANGEPCT,LMS.QUO.CURRENCY,LMS.QUO.EXCHANGE,LMS.QUO.OPEN,LMS.QUO.DAYLOW,LMS.QUO.DAYHIGH,LMS.QUO.VOLUME
cp "$here/testdata/xlsx/calc_book.xlsx" "$tmp/cells.xlsx"
"$quillo" insert single "$tmp/cells.xlsx" "Data!H2" --ids "$ids" --fields "$fields" >/dev/null
"$quillo" refresh "$tmp/cells.xlsx" --timeout 300 | tail -1
python3 "$here/bench/provenance_bytes.py" "$tmp/cells.xlsx"
