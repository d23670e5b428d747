#!/usr/bin/python3
"""Writes data/demo.xlsx, the workbook `quillo demo` fills: quotes of twenty
instruments of the local market-data service, a few fields with options, a
cell with an instrument id that does not exist and one with a field code
that does not exist, and three quotes from the service's JSON answer; on a
second sheet, half a year of daily prices of the
first instrument and a moving average, MACD and Bollinger bands beside them. Written with openpyxl, a spreadsheet writer that is not
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
# The same quotes from the service's JSON answer (a source without pages:
# its fields name their values by JSON Pointer).
ws.cell(row=last + 6, column=1, value="From the JSON answer (LMS.QJS)").font = Font(bold=True)
for r, sym in enumerate(symbols[:3], start=last + 7):
    ws.cell(row=r, column=1, value=sym)
    for col, field in enumerate(["NAME", "LAST", "CHANGE", "CHANGEPCT"], start=2):
        ws.cell(row=r, column=col, value=f'=fsingle($A{r},"LMS.QJS.{field}")')
    ws.cell(row=r, column=5).number_format = "0.00%"
ws.column_dimensions["B"].width = 28

# Price history, oldest first, in the column order the indicators read
# (date, close, volume, open, high, low). The service answers 130 trading
# days for this half year, so the table fills A4:F134 (header in row 4);
# each indicator stands in the header row, its series beside the periods.
hs = wb.create_sheet("History")
hs["A1"] = f"quillo demo: daily prices of {symbols[0]} and indicators over them"
hs["A1"].font = Font(bold=True)
hs["A3"] = (f'=fhistory("{symbols[0]}","Yahoo","DATE,CLOSE,VOLUME,OPEN,HIGH,LOW",'
            'DATE(2024,1,1),DATE(2024,6,30),"d",{"SORT","ASC"})')
table = "A4:F134"
hs["H4"] = f"=sma({table},20)"
hs["I4"] = f"=macd({table},12,26,9)"
hs["K4"] = f"=bollinger({table},20,2)"
for col in "ABCDEFHIJKL":
    hs.column_dimensions[col].width = 13
for row in range(5, 135):
    hs.cell(row=row, column=1).number_format = "yyyy-mm-dd"

wb.save(os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo.xlsx"))
