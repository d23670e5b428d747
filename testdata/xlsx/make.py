#!/usr/bin/python3
"""Makes the xlsx test workbooks with spreadsheet writers that are not quillo's.

openpyxl writes the workbooks (styles, a chart, a defined name, a hidden sheet,
merged cells, the 1904 date system). openpyxl stores formulas without values,
so LibreOffice Calc then opens each one and saves it again, computing and
storing every formula's value as a spreadsheet application does.

LibreOffice writes each formula of a filled-down column on its own, while
Excel stores such a column as one shared formula. shared.xlsx is LibreOffice's
file with that column rewritten the way Excel writes it (a master cell with
the formula and its range, dependents that only name the group), so the
reader's handling of shared formulas is tested on the form Excel produces.

Run from anywhere with Debian's python3-openpyxl and libreoffice-calc:
    /usr/bin/python3 testdata/xlsx/make.py
"""
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

import openpyxl
from openpyxl.chart import BarChart, Reference
from openpyxl.styles import Alignment, Font, PatternFill
from openpyxl.workbook.defined_name import DefinedName

HERE = os.path.dirname(os.path.abspath(__file__))


def book():
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Data"
    header = ["Item", "Price", "Qty", "Total", "Date", "Size", "Label", "Ratio", "NPV", "Median"]
    for i, h in enumerate(header, 1):
        c = ws.cell(1, i, h)
        c.font = Font(bold=True)
        c.fill = PatternFill("solid", fgColor="FFFF00")
    items = [("apple", 1.25, 10), ("pear", 2.5, 40), ("plum", 0.75, 200), ("fig", 12.0, 9),
             ("kiwi", 3.125, 64)]
    for r, (name, price, qty) in enumerate(items, 2):
        ws.cell(r, 1, name)
        ws.cell(r, 2, price).number_format = "0.000"
        ws.cell(r, 3, qty)
        ws.cell(r, 4, f"=B{r}*C{r}")
        ws.cell(r, 5, datetime.date(2020, 1, r)).number_format = "yyyy-mm-dd"
        ws.cell(r, 6, f'=IF(D{r}>100,"big","small")')
        ws.cell(r, 7, f'=CONCATENATE(A{r}," x",C{r})')
        ws.cell(r, 8, f"=C{r}/D{r}").number_format = "0.00%"
    ws["I2"] = "=NPV(0.1,B2:B6)"
    ws["J2"] = "=MEDIAN(C2:C6)"
    ws["B7"] = "=AVERAGE(B2:B6)"
    ws["C7"] = "=MAX(C2:C6)"
    ws["D7"] = "=SUM(D2:D6)"
    ws["H7"] = "=1/0"
    ws["A9"] = True
    ws["A10"] = "  padded  "
    ws["A11"] = "a & b < c > d \"q\""
    ws["A12"] = "line one\nline two"
    ws["A13"] = "merged"
    ws.merge_cells("A13:C13")
    ws.column_dimensions["A"].width = 18
    ws.row_dimensions[3].height = 30
    chart = BarChart()
    chart.title = "Totals"
    chart.add_data(Reference(ws, min_col=4, min_row=1, max_row=6), titles_from_data=True)
    chart.set_categories(Reference(ws, min_col=1, min_row=2, max_row=6))
    ws.add_chart(chart, "L2")
    wb.defined_names.append(DefinedName("Totals", attr_text="Data!$D$2:$D$6"))

    s2 = wb.create_sheet("Sheet 2")
    s2["A1"] = "='Data'!D7*2"
    s2["A2"] = "=SUM(Data!C2:C6)"
    s2["A3"] = "=Hidden!A1+1"
    s2["B1"] = 7
    s2["B2"] = "=ROUND(B1/3,2)"
    hidden = wb.create_sheet("Hidden")
    hidden["A1"] = 41
    hidden.sheet_state = "hidden"
    return wb


def column_book():
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Column"
    for r in range(1, 21):
        ws.cell(r, 1, r * 1.5)
        ws.cell(r, 2, f"=A{r}*2+$A$1")
        ws.cell(r, 3, f"=SUM($A$1:A{r})")
    return wb


def date1904_book():
    wb = openpyxl.Workbook()
    wb.epoch = openpyxl.utils.datetime.CALENDAR_MAC_1904
    ws = wb.active
    ws.title = "Dates"
    ws["A1"] = datetime.date(2021, 3, 4)
    ws["A1"].number_format = "yyyy-mm-dd"
    ws["A2"] = 3.5
    return wb


def quillo_book():
    """Quotes through the add-in's functions, one called through a copy of the
    function library in another folder, beside cells quillo must not touch."""
    symbols = []
    for i in range(4):
        c = (i * 7919 + 1234) % (26 * 26 * 26)
        symbols.append(chr(65 + c // 676) + chr(65 + c // 26 % 26) + chr(65 + c % 26))
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Prices"
    for col, h in enumerate(["Symbol", "Last", "Name", "Note", "Double"], 1):
        ws.cell(row=1, column=col, value=h).font = Font(bold=True, color="FF0000")
    for r, sym in enumerate(symbols, 2):
        ws.cell(row=r, column=1, value=sym)
        ws.cell(row=r, column=2, value=f'=fsingle($A{r},"LMS.QUO.LAST")').number_format = "0.00"
        ws.cell(row=r, column=3, value=f"='/old/addins/tarnvale.xla'!fsingle($A{r},\"LMS.QUO.NAME\")")
        ws.cell(row=r, column=4, value=f"kept {r}")
        ws.cell(row=r, column=5, value=f"=B{r}*2")
    ws.cell(row=7, column=1, value="NOSUCH")
    ws.cell(row=7, column=2, value='=fsingle($A7,"LMS.QUO.LAST")')
    ws.cell(row=8, column=2, value='=fsingle($A2,"LMS.QUO.NOFIELD")')
    ws.cell(row=9, column=2, value=42.5)
    ws.cell(row=9, column=3, value=datetime.date(2026, 12, 6))
    notes = wb.create_sheet("Notes")
    notes["A1"] = "Untouched sheet"
    notes["B2"] = "=SUM(1,2)"
    wb.defined_names.append(DefinedName("Symbols", attr_text="Prices!$A$2:$A$5"))
    return wb


def odd_book():
    """Formulas spelled as people and other programs write them: blanks,
    line breaks, exponents, lower case, a prefix of newer functions. A save
    must write each one back exactly as the file had it."""
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Odd"
    for r, v in enumerate([1.5, 2.5, 4], 1):
        ws.cell(r, 1, v)
    ws["B1"] = "=1E+3+A1"
    ws["B2"] = "= SUM( A1:A3 )"
    ws["B3"] = "=SUM(A1,\nA2)"
    ws["B4"] = "=sum(a1:a3)"
    ws["B5"] = "=A1 * 2.50"
    ws["B6"] = "=IF(A1>1,\"yes\" , \"no\")"
    ws["B7"] = "=+A2-A1"
    ws["B8"] = "=Other!A1*1e3"
    ws["B9"] = "=0.50+A3%"
    ws["B10"] = '=_xlfn.CONCAT("a","b")'
    other = wb.create_sheet("Other")
    other["A1"] = 3
    return wb


def layout_book():
    """A sheet laid out as people lay them out: widths and a taller row,
    bold, italic, a fill, text aligned right, a merged heading, frozen
    panes, text running into the empty cells beside it, text wrapped in
    its cell, and an empty
    merged area below the last filled row."""
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Layout"
    ws.column_dimensions["A"].width = 30
    ws.column_dimensions["C"].width = 14
    ws.row_dimensions[1].height = 30
    ws["A1"] = "Instrument"
    ws["A1"].font = Font(bold=True)
    ws["B1"] = "Price"
    ws["B1"].font = Font(italic=True)
    ws["C1"] = "Filled"
    ws["C1"].fill = PatternFill("solid", fgColor="FFFF00")
    ws["D2"] = "right"
    ws["D2"].alignment = Alignment(horizontal="right")
    ws["C2"] = 42
    ws["A4"] = "Merged heading"
    ws.merge_cells("A4:C5")
    ws["B7"] = "This text is long enough to run into the empty cells beside it"
    ws["B8"] = "This text is long enough to run into the cell beside it"
    ws["C8"] = "stop"
    ws["B9"] = "This text wraps within its cell"
    ws["B9"].alignment = Alignment(wrap_text=True)
    for r in range(10, 400):
        ws.cell(r, 1, r)
    # An empty merged area beyond the filled cells: the sheet's used range
    # reaches its far corner.
    ws.merge_cells("F420:G421")
    ws.freeze_panes = "B3"
    return wb


def tables_book():
    """A table with structured references, names of the workbook and of a
    sheet, array formulas and a 3-D reference, as openpyxl writes them."""
    from openpyxl.worksheet.table import Table
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Holdings"
    rows = [["Sym", "Qty", "Unit [Price]", "Value"], ["IBM", 10, 2.5], ["SAP", 20, 3], ["Total"]]
    for r, row in enumerate(rows, 1):
        for c, v in enumerate(row, 1):
            ws.cell(row=r, column=c, value=v)
    for r in (2, 3):
        ws.cell(row=r, column=4, value="=Holdings[[#This Row],[Qty]]*Holdings[[#This Row],[Unit '[Price']]]")
    ws["B4"] = "=SUBTOTAL(109,Holdings[Qty])"
    table = Table(displayName="Holdings", ref="A1:D4", totalsRowCount=1)
    table._initialise_columns()
    for col, name in zip(table.tableColumns, rows[0]):
        col.name = name
    ws.add_table(table)
    ws["F1"] = "=SUM(Holdings[Qty])"
    ws["F2"] = "=LastPx*2"
    ws["F3"] = "=Fee"
    ws["F4"] = "=SUM(Holdings[Qty]*Holdings[Unit '[Price']])"
    ws.formula_attributes["F4"] = {"t": "array", "ref": "F4"}
    ws["G1"] = "=B2:B3*2"
    ws.formula_attributes["G1"] = {"t": "array", "ref": "G1:G2"}
    ws["F5"] = "=SUM(Jan:Feb!A1)"
    ws["F6"] = '=_xlfn.CONCAT("a","b")'
    for name in ("Jan", "Feb"):
        m = wb.create_sheet(name)
        m["A1"] = 5 if name == "Jan" else 7
    wb.defined_names.append(DefinedName("LastPx", attr_text="Holdings!$C$3"))
    wb.defined_names.append(DefinedName("Fee", attr_text="0.25", hidden=True))
    wb.defined_names.append(DefinedName("Fee", attr_text="Jan!$A$1", localSheetId=0))
    wb.defined_names.append(DefinedName("_xlnm.Print_Area", attr_text="Holdings!$A$1:$D$4", localSheetId=0))
    return wb


def libreoffice_resave(src, dst):
    """Opens src in LibreOffice Calc and saves it as dst, formulas computed."""
    with tempfile.TemporaryDirectory() as home:
        out = os.path.join(home, "out")
        env = dict(os.environ, HOME=home)
        subprocess.run(["soffice", "--headless", "--calc", "--convert-to", "xlsx:Calc MS Excel 2007 XML",
                        "--outdir", out, src], check=True, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        shutil.copy(os.path.join(out, os.path.basename(src)), dst)


def share_column(path, column):
    """Rewrites the formulas of one column of the first sheet as one shared
    formula, the way Excel stores a filled-down column."""
    with zipfile.ZipFile(path) as z:
        parts = {n: z.read(n) for n in z.namelist()}
    name = "xl/worksheets/sheet1.xml"
    xml = parts[name].decode()
    cells = list(re.finditer(r'<c r="%s(\d+)"([^>]*)><f[^>]*>([^<]*)</f>' % column, xml))
    first, last = cells[0].group(1), cells[-1].group(1)
    out, pos = [], 0
    for i, m in enumerate(cells):
        out.append(xml[pos:m.start()])
        if i == 0:
            f = '<f t="shared" ref="%s%s:%s%s" si="0">%s</f>' % (column, first, column, last,
                                                                m.group(3))
        else:
            f = '<f t="shared" si="0"/>'
        out.append('<c r="%s%s"%s>%s' % (column, m.group(1), m.group(2), f))
        pos = m.end()
    out.append(xml[pos:])
    parts[name] = "".join(out).encode()
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for n, data in parts.items():
            z.writestr(n, data)


def main():
    book().save(os.path.join(HERE, "openpyxl_book.xlsx"))
    date1904_book().save(os.path.join(HERE, "date1904.xlsx"))
    quillo_book().save(os.path.join(HERE, "quillo_formulas.xlsx"))
    odd_book().save(os.path.join(HERE, "odd_spellings.xlsx"))
    tables_book().save(os.path.join(HERE, "tables.xlsx"))
    layout_book().save(os.path.join(HERE, "layout.xlsx"))
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "calc_book.xlsx")
        book().save(src)
        libreoffice_resave(src, os.path.join(HERE, "calc_book.xlsx"))
        src = os.path.join(tmp, "shared.xlsx")
        column_book().save(src)
        libreoffice_resave(src, os.path.join(HERE, "shared.xlsx"))
        src = os.path.join(tmp, "odd_spellings_lo.xlsx")
        odd_book().save(src)
        libreoffice_resave(src, os.path.join(HERE, "odd_spellings_lo.xlsx"))
    share_column(os.path.join(HERE, "shared.xlsx"), "B")
    return 0


if __name__ == "__main__":
    sys.exit(main())
