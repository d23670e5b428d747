#!/usr/bin/python3
"""Formula cases (testdata/oracle/*.txt, format in its README) as workbooks,
and the comparison of what quillo and LibreOffice computed for them.

    formula_oracle.py build ORACLE_DIR OUT_DIR
        writes OUT_DIR/<case file>.xlsx for every case file: the sheet "Data"
        from its data lines, the sheet "Cases" with one formula per row of
        column A (row n holds the n-th case of the file)
    formula_oracle.py compare ORACLE_DIR QUILLO_DIR LIBREOFFICE_DIR
        reads the workbooks quillo saved (with QUILLO_DIR/<name>.warnings,
        its error output) and the ones LibreOffice saved, compares case by
        case and prints a table of the disagreements; exit status 1 when
        there is one
"""
import glob
import math
import os
import re
import sys

import datetime

import openpyxl
from openpyxl.utils.datetime import to_excel

TOLERANCE = 1e-9
# Results this close to zero are zero: iterative solvers stop at different
# residues (RATE answers 4e-11 in one application, 4e-17 in another).
ZERO = 1e-9
ERRORS = ("#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A", "#GETTING_DATA")


def split_comment(line):
    """The line without its comment: a '#' after a blank, followed by a blank
    or the end of the line, outside double quotes (error values such as #N/A
    are no comments)."""
    quoted = False
    for i, ch in enumerate(line):
        if ch == '"':
            quoted = not quoted
        elif (ch == "#" and not quoted and i > 0 and line[i - 1] in " \t" and
              (i + 1 == len(line) or line[i + 1] in " \t")):
            return line[:i].rstrip(), line[i + 1:].strip()
    return line.rstrip(), ""


class Expected:
    """A value as the case files write one: 7, "text", TRUE, #N/A, empty."""

    def __init__(self, text):
        text = text.strip()
        if text.startswith('"'):
            i, out = 1, []
            while i < len(text):
                if text[i] == '"':
                    if text[i + 1:i + 2] == '"':
                        out.append('"')
                        i += 2
                        continue
                    break
                out.append(text[i])
                i += 1
            self.value = "".join(out)
            return
        token = text.split()[0] if text else "empty"
        if token.upper() in ("TRUE", "FALSE"):
            self.value = token.upper() == "TRUE"
        elif token.startswith("#"):
            self.value = Error(token)
        elif token == "empty":
            self.value = None
        else:
            self.value = float(token)


class Error:
    def __init__(self, code):
        self.code = code.upper()

    def __eq__(self, other):
        return isinstance(other, Error) and other.code == self.code

    def __repr__(self):
        return self.code


def typed(text):
    """A data value as a person would type it."""
    if text.startswith("="):
        return text
    if text.startswith("'"):  # typed as text, whatever it looks like
        return text[1:]
    if re.fullmatch(r"\d{4}-\d{2}-\d{2}", text):
        return datetime.datetime.strptime(text, "%Y-%m-%d")
    if text.upper() in ("TRUE", "FALSE"):
        return text.upper() == "TRUE"
    try:
        if text.endswith("%"):
            return float(text[:-1]) / 100
        number = float(text)
        return int(number) if re.fullmatch(r"[+-]?\d+", text) else number
    except ValueError:
        return text


def read_cases(path):
    """(data cells, cases) of a case file; each case (line, formula, expected
    or None)."""
    data, cases = [], []
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line, comment = split_comment(raw.rstrip("\n"))
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            if line.startswith("data "):
                parts = line.split(None, 2)
                data.append((parts[1], typed(parts[2] if len(parts) > 2 else "")))
            elif line.startswith("="):
                expected = None
                if comment.startswith("excel:"):
                    expected = Expected(comment[len("excel:"):]).value
                cases.append((number, line.strip(), expected))
            else:
                raise SystemExit(f"{path}:{number}: neither data nor a formula: {line}")
    return data, cases


def case_files(oracle_dir):
    return sorted(glob.glob(os.path.join(oracle_dir, "*.txt")))


def file_prefixes():
    """The functions a workbook file writes with the "_xlfn." prefix (newer
    than the file format), read from the list quillo's formula writer uses,
    so that the workbooks name them as a spreadsheet would."""
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "src", "spreadsheet", "formula_writer.cpp")) as f:
        source = f.read()
    newer = re.search(r"kNewer\[\] = \{(.*?)\};", source, re.S).group(1)
    worksheet = re.search(r"kWorksheet\[\] = \{(.*?)\};", source, re.S).group(1)
    prefixes = {n: "_xlfn." for n in re.findall(r'"([A-Z0-9.]+)"', newer)}
    prefixes.update({n: "_xlfn._xlws." for n in re.findall(r'"([A-Z0-9.]+)"', worksheet)})
    return prefixes


def as_filed(formula, prefixes):
    """The formula with the prefixes a file gives newer functions."""
    def one(m):
        name = m.group(1).upper()
        return prefixes.get(name, "") + m.group(1) + "("
    # A function name: letters, digits and dots before "(", outside texts;
    # the character before it is only looked at, so that a call right after
    # another's "(" is found too.
    parts = formula.split('"')
    for i in range(0, len(parts), 2):
        parts[i] = re.sub(r"(?<![A-Za-z0-9._!])([A-Za-z][A-Za-z0-9.]*)\(", one, parts[i])
    return '"'.join(parts)


def build(oracle_dir, out_dir):
    prefixes = file_prefixes()
    for path in case_files(oracle_dir):
        data, cases = read_cases(path)
        wb = openpyxl.Workbook()
        ws = wb.active
        ws.title = "Cases"
        sheet = wb.create_sheet("Data")
        for address, value in data:
            sheet[address] = as_filed(value, prefixes) if isinstance(value, str) else value
        for row, (_, formula, _) in enumerate(cases, 1):
            ws.cell(row, 1, as_filed(formula, prefixes))
        name = os.path.splitext(os.path.basename(path))[0]
        wb.save(os.path.join(out_dir, name + ".xlsx"))


def value_of(cell):
    v = cell.value
    if cell.data_type == "e" or (isinstance(v, str) and v in ERRORS):
        return Error(v)
    if isinstance(v, bool):
        return v
    if isinstance(v, (int, float)):
        return float(v)
    # A cell the application formatted as a date or time: its serial.
    if isinstance(v, datetime.datetime):
        return float(to_excel(v))
    if isinstance(v, datetime.time):
        return (v.hour * 3600 + v.minute * 60 + v.second + v.microsecond / 1e6) / 86400
    return v  # text, or None for no value


def agree(quillo, other):
    if isinstance(quillo, float) and isinstance(other, float):
        return math.isclose(quillo, other, rel_tol=TOLERANCE, abs_tol=ZERO)
    if isinstance(quillo, bool) or isinstance(other, bool):
        return isinstance(quillo, bool) and isinstance(other, bool) and quillo == other
    if quillo in (None, "") and other in (None, ""):
        return True
    return type(quillo) is type(other) and quillo == other


def shown(v):
    if v is None:
        return "(no value)"
    if isinstance(v, bool):
        return "TRUE" if v else "FALSE"
    if isinstance(v, float):
        return repr(int(v)) if v.is_integer() and abs(v) < 1e15 else repr(v)
    if isinstance(v, str):
        return '"' + v.replace('"', '""') + '"'
    return repr(v)


def uncomputed(warnings_file):
    """Cells of the sheet Cases quillo said it does not compute, with why."""
    out = {}
    if os.path.exists(warnings_file):
        with open(warnings_file, encoding="utf-8") as f:
            for line in f:
                m = re.search(r"warning: '?Cases'?!\$?([A-Z]+)\$?(\d+): (.*)", line)
                if m:
                    out[int(m.group(2))] = m.group(3).strip()
    return out


def compare(oracle_dir, quillo_dir, office_dir):
    rows, total = [], 0
    for path in case_files(oracle_dir):
        name = os.path.splitext(os.path.basename(path))[0]
        _, cases = read_cases(path)
        total += len(cases)
        rel = os.path.relpath(path)
        try:
            q = openpyxl.load_workbook(os.path.join(quillo_dir, name + ".xlsx"), data_only=True)
            o = openpyxl.load_workbook(os.path.join(office_dir, name + ".xlsx"), data_only=True)
        except Exception as e:  # a workbook that does not exist or open is the finding
            rows.append((rel, "", "(the workbook)", f"cannot be read: {e}", ""))
            continue
        skipped = uncomputed(os.path.join(quillo_dir, name + ".warnings"))
        for row, (line, formula, expected) in enumerate(cases, 1):
            got = value_of(q["Cases"].cell(row, 1))
            office = value_of(o["Cases"].cell(row, 1))
            where = f"{rel}:{line}"
            if row in skipped:
                rows.append((where, formula, "not computed: " + skipped[row], shown(office)))
            elif expected is not None or (got is None and office not in (None, "")):
                want = expected if expected is not None else office
                if got is None or not agree(got, want):
                    label = f"excel {shown(want)}" if expected is not None else shown(office)
                    rows.append((where, formula, shown(got), label))
            elif not agree(got, office):
                rows.append((where, formula, shown(got), shown(office)))
    if rows:
        widths = [max(len(r[i]) for r in rows + [("case", "formula", "quillo", "LibreOffice")])
                  for i in range(4)]
        header = ("case", "formula", "quillo", "LibreOffice")
        for r in [header] + rows:
            print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    print(f"{total - len(rows)} of {total} formula cases agree with LibreOffice")
    return 1 if rows else 0


def main():
    if sys.argv[1] == "build":
        build(sys.argv[2], sys.argv[3])
        return 0
    return compare(sys.argv[2], sys.argv[3], sys.argv[4])


if __name__ == "__main__":
    sys.exit(main())
