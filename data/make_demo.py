#!/usr/bin/python3
"""Writes data/demo.xlsx, the workbook `quillo demo` fills: quotes of twenty
instruments of the local market-data service, a few fields with options, a
cell with an instrument id that does not exist and one with a field code
that does not exist. Written with openpyxl, a spreadsheet writer that is not
quillo's own. Run: /usr/bin/python3 data/make_demo.py"""
import os
from openpyxl import Workbook
from openpyxl.styles import Font

# The first twenty symbols of the service's instrument list.
symbols = []
for i in range(20):
    c = (i * 7919 + 1234) % (26 * 26 * 26)
    symbols.append(chr(65 + c // 676) + chr(65 + c // 26 % 26) + chr(65 + c % 26))

wb = Workbook()
ws = wb.active
ws.title = "Quotes"
ws["A1"] = "quillo demo: quotes from the local market-data service"
ws["A1"].font = Font(bold=True)
headers = ["Symbol", "Name", "Last", "Change", "Change %", "Volume", "Market cap (bn)", "Currency"]
fields = [None, "NAME", "LAST", "CHANGE", "CHANGEPCT", "VOLUME", "MARKETCAP", "CURRENCY"]
for col, h in enumerate(headers, start=1):
    ws.cell(row=3, column=col, value=h).font = Font(bold=True)
for r, sym in enumerate(symbols, start=4):
    ws.cell(row=r, column=1, value=sym)
    for col, field in enumerate(fields, start=1):
        if field is None:
            continue
        options = ',{"units";"Billions"}' if field == "MARKETCAP" else ""
        ws.cell(row=r, column=col, value=f'=fsingle($A{r},"LMS.QUO.{field}"{options})')
    ws.cell(row=r, column=5).number_format = "0.00%"
    ws.cell(row=r, column=6).number_format = "#,##0"
last = 3 + len(symbols)
ws.cell(row=last + 2, column=1, value="NOSUCH")
ws.cell(row=last + 2, column=3, value=f'=fsingle($A{last + 2},"LMS.QUO.LAST")')
ws.cell(row=last + 3, column=1, value=symbols[0])
ws.cell(row=last + 3, column=3, value=f'=fsingle($A{last + 3},"LMS.QUO.NOSUCHFIELD")')
ws.cell(row=last + 4, column=1, value="Average last")
ws.cell(row=last + 4, column=3, value=f"=AVERAGE(C4:C{last})")
ws.column_dimensions["B"].width = 28

wb.save(os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo.xlsx"))
