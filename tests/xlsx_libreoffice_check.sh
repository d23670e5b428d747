#!/usr/bin/env bash
# Checks quillo's saved xlsx files with two readers that are not quillo's.
#
# For every workbook under testdata/xlsx, and every workbook the xlsx unit
# tests save: `quillo refresh` writes it again, LibreOffice Calc opens the
# result headless with recalculation on load (so it computes every formula
# itself) and exports each sheet as CSV, and the values must agree with what
# `quillo show` reads back. Cells whose formulas quillo reported it cannot
# compute are left out of the comparison. openpyxl must open every saved
# file as well.
#
# Usage: xlsx_libreoffice_check.sh QUILLO TESTDATA_DIR [UNIT_TEST_BINARY]
# Exits 77 (skipped) when LibreOffice or openpyxl is not installed.
set -euo pipefail

quillo=$1
testdata=$2
unit_tests=${3:-}
python=/usr/bin/python3
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v soffice >/dev/null || ! "$python" -c 'import openpyxl' 2>/dev/null; then
  echo "skipped: needs libreoffice-calc and python3-openpyxl (scripts/setup.sh --test)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A throw-away profile that recalculates xlsx formulas on load.
source "$here/libreoffice_profile.sh"
recalc_profile "$work/home"
mkdir -p "$work/in" "$work/out"

# The add-in's settings go to a store of the run's own, never the user's.
export QUILLO_HKCU_DIR="$work/store/user" QUILLO_HKLM_DIR="$work/store/machine"

cp "$testdata"/xlsx/*.xlsx "$work/in/"
# Its cells call the add-in's functions, which only quillo computes (the
# refresh end-to-end test checks that workbook).
rm "$work/in/quillo_formulas.xlsx"
if [ -n "$unit_tests" ]; then
  QUILLO_XLSX_KEEP="$work/in" "$unit_tests" --gtest_filter='Xlsx*' >"$work/unit.log" 2>&1 ||
    { cat "$work/unit.log"; exit 1; }
  # Kept for its column widths alone (checked below).
  if [ -f "$work/in/look-widths.xlsx" ]; then mv "$work/in/look-widths.xlsx" "$work/"; fi
fi

status=0
saved=()
for book in "$work"/in/*.xlsx; do
  name=$(basename "$book" .xlsx)
  out="$work/out/$name.xlsx"
  if ! "$quillo" refresh "$book" -o "$out" >/dev/null 2>"$work/out/$name.warnings"; then
    echo "FAIL $name: quillo refresh failed"; cat "$work/out/$name.warnings"; status=1; continue
  fi
  "$quillo" show --raw "$out" >"$work/out/$name.show"
  # `show` lists very hidden sheets (quillo's record sheets) only when named;
  # LibreOffice exports them, so their cells are compared too.
  while IFS= read -r hidden; do
    "$quillo" show --raw "$out" "'${hidden//\'/\'\'}'!A1:XFD1048576" >>"$work/out/$name.show"
  done < <("$python" - "$out" <<'PY'
import re, sys, zipfile
xml = zipfile.ZipFile(sys.argv[1]).read("xl/workbook.xml").decode("utf-8")
for tag in re.findall(r"<(?:\w+:)?sheet\b[^>]*>", xml):
    if 'state="veryHidden"' in tag:
        print(re.search(r'name="([^"]*)"', tag).group(1))
PY
)
  saved+=("$out")
done
# One start for every workbook: each start costs seconds. The sheets come
# out as NAME-SHEET.csv, or NAME.csv for a workbook of one sheet.
if [ ${#saved[@]} -gt 0 ]; then
  HOME="$work/home" timeout 600 soffice --headless --calc --convert-to \
    'csv:Text - txt - csv (StarCalc):9,34,76,1,,0,false,true,false,false,false,-1' \
    --outdir "$work/csv" "${saved[@]}" >/dev/null 2>&1
fi
# Longest names first, so "a-*.csv" cannot take the sheets of "a-b".
for out in $(printf '%s\n' "${saved[@]}" | awk '{ print length, $0 }' | sort -rn | cut -d' ' -f2-); do
  name=$(basename "$out" .xlsx)
  mkdir -p "$work/csv/$name"
  for csv in "$work/csv/$name.csv" "$work/csv/$name"-*.csv; do
    if [ -f "$csv" ]; then mv "$csv" "$work/csv/$name/"; fi
  done
done
for out in "${saved[@]}"; do
  name=$(basename "$out" .xlsx)
  if ! "$python" "$here/xlsx_compare.py" "$name" "$work/out/$name.show" "$work/csv/$name" \
      "$work/out/$name.warnings" "$out"; then
    status=1
  fi
done
# Column widths a user set, as LibreOffice reads them from the unit tests'
# file: column C set to 30.5 characters, beside A's 20 from the file.
widths="$work/look-widths.xlsx"
if [ -f "$widths" ]; then
  HOME="$work/home" timeout 300 soffice --headless --convert-to ods --outdir "$work/ods" \
    "$widths" >/dev/null 2>&1
  if ! "$python" - "$work/ods/look-widths.ods" <<'PY'
import re, sys, zipfile
xml = zipfile.ZipFile(sys.argv[1]).read("content.xml").decode()
widths = dict(re.findall(r'style:name="(co\d+)".*?style:column-width="([\d.]+)in"', xml))
columns = []
for style, repeat in re.findall(
        r'<table:table-column table:style-name="(co\d+)"(?: table:number-columns-repeated="(\d+)")?', xml):
    columns += [float(widths[style])] * int(repeat or 1)
if abs(columns[2] / columns[0] - 30.5 / 20) > 0.02:
    sys.exit(f"FAIL look-widths: columns A and C are {columns[0]} and {columns[2]} in wide")
PY
  then
    status=1
  fi
fi
exit $status
