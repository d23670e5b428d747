#!/usr/bin/python3
"""The workbook the refresh fidelity test works on, and the formula texts of
a saved workbook.

    real_workbook.py make BOOK      writes the workbook with openpyxl
    real_workbook.py formulas BOOK  prints each <f> element: part, cell,
                                    attributes and text, one per line
"""
import sys
import xml.etree.ElementTree as ET
import zipfile

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"


def make(path):
    import openpyxl
    from openpyxl.workbook.defined_name import DefinedName
    from openpyxl.worksheet.table import Table

    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Prices"
    ws["A1"], ws["B1"] = "Symbol", "Last"
    ws["A2"] = "BVM"
    ws["B2"] = '=fsingle($A2,"LMS.QUO.LAST")'
    ws["C2"] = "=B2 * 2"
    ws["D2"] = '=IF(B2>0,"up",\n"down")'
    ws["E2"] = '=SUMIF(A2:A3,"BVM",B2:B3)'
    ws["F2"] = '=TEXT(B2,"0.00")'
    ws["G2"] = "=SUM(Last)"
    ws["H2"] = "=SUM(Trades[Qty])"
    ws["I2"] = "=1E+3+A9"
    ws["A9"] = 4
    ws["J1"], ws["K1"] = "Sym", "Qty"
    ws["J2"], ws["K2"] = "BVM", 5
    ws["J3"], ws["K3"] = "XYZ", 7
    ws.add_table(Table(displayName="Trades", ref="J1:K3"))
    wb.defined_names.append(DefinedName("Last", attr_text="Prices!$B$2"))
    calc = wb.create_sheet("Calc")
    calc["A1"] = "=Prices!C2+1"
    wb.save(path)


def formulas(path):
    with zipfile.ZipFile(path) as z:
        for name in sorted(n for n in z.namelist() if n.startswith("xl/worksheets/sheet")):
            root = ET.fromstring(z.read(name))
            for c in root.iter(MAIN + "c"):
                f = c.find(MAIN + "f")
                if f is not None:
                    attrs = " ".join(f"{k}={v}" for k, v in sorted(f.attrib.items()))
                    print(f"{name}\t{c.get('r')}\t{attrs}\t{f.text or ''!r}")


if __name__ == "__main__":
    {"make": make, "formulas": formulas}[sys.argv[1]](sys.argv[2])
