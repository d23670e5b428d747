#!/usr/bin/python3
"""Compares what `quillo show` prints for a saved workbook with the CSV
sheets LibreOffice exported from it, and checks openpyxl opens the file.

Usage: xlsx_compare.py NAME SHOW_FILE CSV_DIR WARNINGS_FILE XLSX
"""
import csv
import glob
import math
import os
import re
import sys

import openpyxl


def column_number(letters):
    n = 0
    for ch in letters:
        n = n * 26 + ord(ch) - ord("A") + 1
    return n


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t", "r": "\r"}.get(m.group(1), m.group(1)),
                  text)


def split_address(address):
    sheet, cell = address.rsplit("!", 1)
    if sheet.startswith("'"):
        sheet = sheet[1:-1].replace("''", "'")
    m = re.fullmatch(r"([A-Z]+)(\d+)", cell)
    return sheet, int(m.group(2)), column_number(m.group(1))


def as_number(text):
    t = text.strip()
    scale = 1.0
    if t.endswith("%"):
        t, scale = t[:-1], 0.01
    try:
        return float(t) * scale
    except ValueError:
        return None


def same(quillo, office):
    # The CSV export writes a line end inside a cell as "\n" alone.
    if quillo == office or quillo.replace("\r\n", "\n") == office:
        return True
    a, b = as_number(quillo), as_number(office)
    if a is not None and b is not None:
        return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)
    return quillo.upper() == office.upper() and quillo.upper() in ("TRUE", "FALSE")


def main():
    name, show_file, csv_dir, warnings_file, xlsx = sys.argv[1:6]
    skipped = set()
    with open(warnings_file, encoding="utf-8") as f:
        for line in f:
            m = re.search(r"warning: (.+?!\$?[A-Z]+\$?\d+): ", line)
            if m:
                skipped.add(m.group(1))
    cells = {}
    with open(show_file, encoding="utf-8") as f:
        for line in f:
            address, _formula, value = line.rstrip("\n").split("\t")
            cells[split_address(address)] = (address, unescape(value))
    sheets = {}
    for path in glob.glob(os.path.join(csv_dir, "*.csv")):
        sheet = os.path.basename(path)[len(name) + 1:-len(".csv")]
        with open(path, encoding="utf-8", newline="") as f:
            sheets[sheet] = list(csv.reader(f, delimiter="\t", quotechar='"'))
    if len(sheets) == 1 and not any(s in sheets for s, _, _ in cells):
        # A workbook of one sheet is exported without the sheet's name.
        only = next(iter(cells))[0] if cells else ""
        sheets = {only: next(iter(sheets.values()))}
    bad = []
    for (sheet, row, col), (address, value) in sorted(cells.items()):
        if address in skipped:
            continue
        rows = sheets.get(sheet)
        if rows is None:
            bad.append(f"{address}: LibreOffice exported no sheet {sheet!r}")
            continue
        office = rows[row - 1][col - 1] if row <= len(rows) and col <= len(rows[row - 1]) else ""
        if not same(value, office):
            bad.append(f"{address}: quillo {value!r}, LibreOffice {office!r}")
    for sheet, rows in sheets.items():
        for r, line in enumerate(rows, 1):
            for c, office in enumerate(line, 1):
                if office and (sheet, r, c) not in cells:
                    bad.append(f"{sheet}!R{r}C{c}: only LibreOffice shows {office!r}")
    try:
        wb = openpyxl.load_workbook(xlsx)
        missing = {s for s, _, _ in cells} - set(wb.sheetnames)
        if missing:
            bad.append(f"openpyxl does not see sheets {sorted(missing)}")
    except Exception as e:  # any failure to open is the finding
        bad.append(f"openpyxl cannot open the file: {e}")
    for b in bad:
        print(f"FAIL {name}: {b}")
    if not bad:
        print(f"ok   {name}: {len(cells)} cells agree")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
