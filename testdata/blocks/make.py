#!/usr/bin/python3
"""Makes earlier_refresh.xlsx: a workbook as an earlier quillo session left it.

Sheet "H" holds a price-history formula in A1 (January 2024) whose table
from a longer period (a header and sixty rows) fills A2:B62, an SMA over the
table's first ten periods in D1 whose series from a longer table fills
D2:D61, a second history formula in F1 with a user's formula =1+1 in F3
where its table would go, and user data in row 100 below every block. The very hidden sheet "quillo_blocks"
records where A1's and D1's blocks lie, as quillo writes it. openpyxl writes
it, so the record is read as a spreadsheet application other than quillo
saves it.

Run with Debian's python3-openpyxl:  /usr/bin/python3 testdata/blocks/make.py
"""
import os

import openpyxl

HERE = os.path.dirname(os.path.abspath(__file__))

wb = openpyxl.Workbook()
ws = wb.active
ws.title = "H"
ws["A1"] = '=fhistory("BVM","Yahoo","DATE,CLOSE",DATE(2024,1,1),DATE(2024,1,31))'
ws["A2"], ws["B2"] = "Date", "Close"
for i in range(60):
    ws.cell(row=3 + i, column=1, value="old %d" % (i + 1))
    ws.cell(row=3 + i, column=2, value=100 + i)
ws["D1"] = "=sma(A2:B12,2)"
for i in range(60):
    ws.cell(row=2 + i, column=4, value=1000.5 + i)
ws["F1"] = '=fhistory("BVM","Yahoo","DATE,CLOSE",DATE(2024,1,1),DATE(2024,1,31))'
ws["F3"] = "=1+1"
ws["A100"], ws["D100"] = "user data", "keep me"
store = wb.create_sheet("quillo_blocks")
store.sheet_state = "veryHidden"
store.append(["H", 1, 1, 2, 1, 61, 2])
store.append(["H", 1, 4, 2, 4, 60, 1])
wb.save(os.path.join(HERE, "earlier_refresh.xlsx"))
