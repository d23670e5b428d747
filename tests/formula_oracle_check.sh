#!/usr/bin/env bash
# Checks quillo's formula results against LibreOffice Calc's.
#
# Every case file testdata/oracle/*.txt becomes one workbook (openpyxl, no
# cached values); `quillo refresh` computes and saves each; one LibreOffice
# start opens them all with recalculation on load and saves them again; the
# two results are compared case by case (tests/formula_oracle.py), and a
# table of the disagreements is printed. A case quillo does not compute
# fails.
#
# Usage: formula_oracle_check.sh QUILLO TESTDATA_DIR
# Exits 77 (skipped) when LibreOffice or openpyxl is not installed.
set -euo pipefail

quillo=$1
testdata=$2
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
mkdir -p "$work/in" "$work/quillo" "$work/office"

# The add-in's settings go to a store of the run's own, never the user's.
export QUILLO_HKCU_DIR="$work/store/user" QUILLO_HKLM_DIR="$work/store/machine"

"$python" "$here/formula_oracle.py" build "$testdata/oracle" "$work/in"
status=0
for book in "$work"/in/*.xlsx; do
  name=$(basename "$book" .xlsx)
  if ! "$quillo" refresh "$book" -o "$work/quillo/$name.xlsx" --timeout 10 >/dev/null \
      2>"$work/quillo/$name.warnings"; then
    echo "FAIL $name: quillo refresh failed"; cat "$work/quillo/$name.warnings"; status=1
  fi
done
# One start for every workbook: each start costs seconds.
HOME="$work/home" timeout 300 soffice --headless --calc --convert-to xlsx \
  --outdir "$work/office" "$work"/in/*.xlsx >"$work/office.log" 2>&1 ||
  { cat "$work/office.log"; exit 1; }
(cd "$testdata/.." && "$python" "$here/formula_oracle.py" compare "$testdata/oracle" \
  "$work/quillo" "$work/office") || status=1
exit $status
