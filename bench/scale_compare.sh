#!/usr/bin/env bash
# The spreadsheet at scale, quillo beside LibreOffice on the same files.
#
# Generated workbooks (openpyxl write-only mode, except blanks):
#   numbers  ROWS rows x 6 columns of plain numbers
#   prices   ROWS rows of a price table (date, open, high, low, close, volume)
#            with two formulas per row (=E3-E2 and =F3/F2-1)
#   blanks   1,000 rows x 10,000 filled blank cells around three numbers
#            (a sheet formatted to the end), written as raw sheet XML
# Sections (all by default):
#   compare  numbers and prices at ROWS rows: quillo show of one cell (the
#            load) and quillo refresh -o (load + recalculate + save), and
#            LibreOffice headless --convert-to xlsx with recalculation on load
#            (its start-up included): wall time and peak resident memory, and
#            quillo's bytes per cell (peak minus the peak of a one-cell
#            workbook, over the cells)
#   linear   numbers and prices at 1x, 2x, 4x, 8x LINEAR_ROWS rows, quillo
#            only: load, refresh and refresh minus load (recalculate + save),
#            each as a percentage of linear (100% = exactly k times the 1x run,
#            the start-up time of the one-cell refresh left out of both)
#   million  1,000,000 rows x 6 numbers: quillo refresh, against 1 GB
#   blanks   the ten million styled blanks: quillo refresh; the blanks are no
#            cells of the model, the save writes them all again
#
# Usage: bench/scale_compare.sh BUILD_DIR [SECTION...]
#        ROWS (default 100000), LINEAR_ROWS (default 25000),
#        REPEAT (default 3): runs of each measurement, the fastest is shown
#        (the machine is shared; the peak memory is the largest),
#        SKIP_LIBREOFFICE=1 to measure quillo only.
# Needs a Release build of quillo, /usr/bin/time, python3-openpyxl and, unless
# skipped, libreoffice-calc. Figures in docs/benchmarks.md.
set -euo pipefail

build=$1
shift
sections=("${@:-compare linear million blanks}")
read -r -a sections <<<"${sections[*]}"
rows=${ROWS:-100000}
linear_rows=${LINEAR_ROWS:-25000}
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
import sys, zipfile
kind, rows, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if kind == "blanks":
    # openpyxl would take minutes over ten million cells: the parts by hand.
    ns = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
    rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
    pkg = "http://schemas.openxmlformats.org/package/2006/relationships"
    ct = "application/vnd.openxmlformats-officedocument.spreadsheetml"
    blank_row = '<c s="1"/>' * 10000
    def sheet():
        yield f'<worksheet xmlns="{ns}"><dimension ref="A1:NTP1000"/><sheetData>'
        for r in range(1, 1001):
            cells = blank_row if r != 500 else '<c s="1"><v>1</v></c><c s="1"><v>2</v></c><c s="1"><v>3</v></c>' + '<c s="1"/>' * 9997
            yield f'<row r="{r}">{cells}</row>'
        yield '</sheetData></worksheet>'
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", f'<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName="/xl/workbook.xml" ContentType="{ct}.sheet.main+xml"/><Override PartName="/xl/worksheets/sheet1.xml" ContentType="{ct}.worksheet+xml"/><Override PartName="/xl/styles.xml" ContentType="{ct}.styles+xml"/></Types>')
        z.writestr("_rels/.rels", f'<Relationships xmlns="{pkg}"><Relationship Id="rId1" Type="{rel}/officeDocument" Target="xl/workbook.xml"/></Relationships>')
        z.writestr("xl/workbook.xml", f'<workbook xmlns="{ns}" xmlns:r="{rel}"><sheets><sheet name="Data" sheetId="1" r:id="rId1"/></sheets></workbook>')
        z.writestr("xl/_rels/workbook.xml.rels", f'<Relationships xmlns="{pkg}"><Relationship Id="rId1" Type="{rel}/worksheet" Target="worksheets/sheet1.xml"/><Relationship Id="rId2" Type="{rel}/styles" Target="styles.xml"/></Relationships>')
        z.writestr("xl/styles.xml", f'<styleSheet xmlns="{ns}"><fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts><fills count="3"><fill><patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill><fill><patternFill patternType="solid"><fgColor rgb="FFFFFF00"/></patternFill></fill></fills><borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders><cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs><cellXfs count="2"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/><xf numFmtId="0" fontId="0" fillId="2" borderId="0" xfId="0" applyFill="1"/></cellXfs></styleSheet>')
        with z.open("xl/worksheets/sheet1.xml", "w") as f:
            for piece in sheet():
                f.write(piece.encode())
    sys.exit(0)
from openpyxl import Workbook
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

# LABEL COMMAND...: prints "LABEL  S s  KB KB", sets $secs and $peak_kb.
measure() {
  local best="" most=0 s kb
  for _ in $(seq "${REPEAT:-3}"); do
    # Wall time to the microsecond from bash's clock (time's %e counts in
    # hundredths, 7% of a 0.15 s run); time gives the peak memory.
    local start=$EPOCHREALTIME
    /usr/bin/time -f "%M" -o "$work/time.txt" "${@:2}" >/dev/null 2>"$work/err.txt" || {
      echo "$1: failed: $(tail -3 "$work/err.txt")" >&2
      return 1
    }
    s=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f", b - a }')
    read -r kb <"$work/time.txt"
    if [ -z "$best" ] || awk -v a="$s" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$s; fi
    [ "$kb" -gt "$most" ] && most=$kb
  done
  secs=$best peak_kb=$most
  printf '  %-28s %8.3f s %10d KB\n' "$1" "$secs" "$peak_kb"
}

cells_of() {  # KIND ROWS
  if [ "$1" = numbers ]; then echo $(($2 * 6)); else echo $(($2 * 8)); fi
}

generate empty 1 "$work/empty.xlsx"
measure "quillo refresh (one cell)" "$quillo" refresh "$work/empty.xlsx" -o "$work/empty-out.xlsx"
empty_kb=$peak_kb empty_secs=$secs

for section in "${sections[@]}"; do
  case $section in
    compare)
      for kind in numbers prices; do
        book="$work/$kind-$rows.xlsx"
        generate "$kind" "$rows" "$book"
        cells=$(cells_of "$kind" "$rows")
        echo "$kind, $rows rows, $cells cells, $(($(stat -c %s "$book") / 1024)) KB xlsx:"
        measure "quillo load (show A1)" "$quillo" show --raw "$book" A1
        measure "quillo refresh" "$quillo" refresh "$book" -o "$work/out.xlsx"
        q_secs=$secs q_kb=$peak_kb
        printf '  %-28s %8.1f bytes per cell\n' "quillo refresh memory" \
          "$(awk -v p="$peak_kb" -v e="$empty_kb" -v c="$cells" 'BEGIN { print (p - e) * 1024 / c }')"
        if [ -z "${SKIP_LIBREOFFICE:-}" ]; then
          measure "LibreOffice convert-to xlsx" env HOME="$work/home" \
            soffice --headless --norestore --convert-to xlsx --outdir "$work/lo" "$book"
          awk -v q="$q_secs" -v l="$secs" -v qm="$q_kb" -v lm="$peak_kb" 'BEGIN {
            printf "  %-28s %8.2fx faster, %.2f of its peak memory\n", "quillo vs LibreOffice", l / q, qm / lm }'
        fi
        rm -f "$book" "$work/out.xlsx" "$work/lo/"*
      done
      ;;
    linear)
      for kind in numbers prices; do
        echo "$kind, linearity from $linear_rows rows ($(cells_of "$kind" "$linear_rows") cells):"
        printf '  %-6s %10s %10s %10s %12s %8s %8s %8s\n' size load refresh "rest" "peak" \
          "load%" "refr%" "rest%"
        base_load="" base_refresh=""
        for k in 1 2 4 8; do
          n=$((linear_rows * k))
          book="$work/$kind-$n.xlsx"
          generate "$kind" "$n" "$book"
          measure "" "$quillo" show --raw "$book" A1 >/dev/null
          load=$secs
          measure "" "$quillo" refresh "$book" -o "$work/out.xlsx" >/dev/null
          refresh=$secs
          [ -z "$base_load" ] && base_load=$load base_refresh=$refresh
          # The percentages leave out the start-up (the one-cell refresh),
          # which no size changes.
          awk -v k="$k" -v l="$load" -v r="$refresh" -v bl="$base_load" -v br="$base_refresh" \
            -v kb="$peak_kb" -v e="$empty_secs" 'BEGIN {
              printf "  %-6s %9.3fs %9.3fs %9.3fs %9d KB %7.0f%% %7.0f%% %7.0f%%\n",
                k "x", l, r, r - l, kb, 100 * (l - e) / (k * (bl - e)),
                100 * (r - e) / (k * (br - e)), 100 * (r - l) / (k * (br - bl)) }'
          rm -f "$book" "$work/out.xlsx"
        done
      done
      ;;
    million)
      book="$work/numbers-1000000.xlsx"
      generate numbers 1000000 "$book"
      echo "numbers, 1000000 rows, 6000000 cells, $(($(stat -c %s "$book") / 1024)) KB xlsx:"
      if measure "quillo refresh" "$quillo" refresh "$book" -o "$work/out.xlsx"; then
        awk -v kb="$peak_kb" 'BEGIN { printf "  %-28s %s\n", "under 1 GB", (kb < 1048576 ? "yes" : "no") }'
      else
        printf '  %-28s %s\n' "under 1 GB" "no (the refresh failed)"
      fi
      rm -f "$book" "$work/out.xlsx"
      ;;
    blanks)
      book="$work/blanks.xlsx"
      generate blanks 0 "$book"
      echo "blanks, 10000000 styled blank cells and 3 numbers, $(($(stat -c %s "$book") / 1024)) KB xlsx:"
      measure "quillo load (show A1)" "$quillo" show --raw "$book" A1 || true
      measure "quillo refresh" "$quillo" refresh "$book" -o "$work/out.xlsx" || true
      rm -f "$book" "$work/out.xlsx"
      ;;
    *)
      echo "unknown section $section (compare, linear, million, blanks)" >&2
      exit 2
      ;;
  esac
done
