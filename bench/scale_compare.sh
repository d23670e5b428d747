#!/usr/bin/env bash
# The spreadsheet at scale, quillo beside LibreOffice on the same files.
#
# Generates (with openpyxl, write-only mode) two kinds of workbook:
#   numbers  ROWS rows x 6 columns of plain numbers
#   prices   ROWS rows of a price table (date, open, high, low, close, volume)
#            with two formulas per row (=E3-E2 and =F3/F2-1)
# and for each prints, for quillo:
#   show     load only (`quillo show --raw`, output discarded)
#   refresh  load + recalculate + save (`quillo refresh -o`)
# and for LibreOffice headless `--convert-to xlsx` with recalculation on load
# (its start-up included): wall time and peak resident memory, and quillo's
# bytes per cell (peak minus the peak of an empty workbook, over the cells).
#
# Usage: bench/scale_compare.sh BUILD_DIR [ROWS...]   (ROWS defaults to 100000)
#        SKIP_LIBREOFFICE=1 to measure quillo only (for the 1x 2x 4x 8x series).
# Needs a Release build of quillo, /usr/bin/time, python3-openpyxl and, unless
# skipped, libreoffice-calc.
set -euo pipefail

build=$1
shift
rows_list=("${@:-100000}")
quillo="$build/src/cli/quillo"
python=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# quillo's settings go to a store of the run's own, never the user's.
export QUILLO_HKCU_DIR="$work/store" QUILLO_HKLM_DIR="$work/store-machine"

# A throw-away profile that recalculates xlsx formulas on load.
source "$(dirname "$0")/../tests/libreoffice_profile.sh"
recalc_profile "$work/home"
mkdir -p "$work/lo"

generate() {  # KIND ROWS PATH
  "$python" - "$@" <<'PY'
import sys
from openpyxl import Workbook
kind, rows, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
wb = Workbook(write_only=True)
ws = wb.create_sheet("Data")
if kind == "empty":
    ws.append([1])
elif kind == "numbers":
    for r in range(rows):
        ws.append([r * 6 + c + 0.25 for c in range(6)])
else:
    ws.append(["Date", "Open", "High", "Low", "Close", "Volume", "Change", "Return"])
    for r in range(rows):
        i = r + 2
        close = 100 + (r * 37 % 1000) / 10
        row = [40000 + r, close - 1, close + 2, close - 2, close, 1000000 + r * 13]
        row += [f"=E{i}-E{i - 1}", f"=F{i}/F{i - 1}-1"] if r else ["", ""]
        ws.append(row)
wb.save(path)
PY
}

measure() {  # LABEL COMMAND... ; prints "LABEL  S s  KB KB" and sets $peak_kb
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "${@:2}" >/dev/null 2>"$work/err.txt" || {
    echo "$1: failed: $(tail -3 "$work/err.txt")" >&2
    return 1
  }
  read -r secs peak_kb <"$work/time.txt"
  printf '  %-28s %8.2f s %10d KB\n' "$1" "$secs" "$peak_kb"
}

generate empty 1 "$work/empty.xlsx"
measure "quillo refresh (empty)" "$quillo" refresh "$work/empty.xlsx" -o "$work/empty-out.xlsx"
empty_kb=$peak_kb

for rows in "${rows_list[@]}"; do
  for kind in numbers prices; do
    book="$work/$kind-$rows.xlsx"
    generate "$kind" "$rows" "$book"
    per_row=8
    [ "$kind" = numbers ] && per_row=6
    cells=$((rows * per_row))
    echo "$kind, $rows rows, $cells cells, $(($(stat -c %s "$book") / 1024)) KB xlsx:"
    measure "quillo show" "$quillo" show --raw "$book"
    measure "quillo refresh" "$quillo" refresh "$book" -o "$work/out.xlsx"
    printf '  %-28s %8d bytes per cell\n' "quillo refresh memory" \
      $(((peak_kb - empty_kb) * 1024 / cells))
    if [ -z "${SKIP_LIBREOFFICE:-}" ]; then
      measure "LibreOffice convert-to xlsx" env HOME="$work/home" \
        soffice --headless --norestore --convert-to xlsx --outdir "$work/lo" "$book"
    fi
    rm -f "$book" "$work/out.xlsx" "$work/lo/"*
  done
done
