#!/usr/bin/python3
"""quillo.oxt in LibreOffice Calc, end to end against the local market-data service.

Usage: calc_addin_test.py QUILLO QUILLO_MARKET DATA_DIR OXT

A headless Calc with a private profile gets the extension from `unopkg add`
and a settings store of the run's own that points it at the service. As a
user would, the test types formulas into a new sheet and checks:

  first start (automatic updates every minute, the engine's minute
  shortened to MINUTE_S seconds):
    the Function Wizard offers every function with its arguments;
    single items fill, a formula over them follows, and a value changes at
    the next automatic update without anything touching the document;
    an unknown instrument and an unknown field show their error texts;
    a price-history table is written below its formula and an indicator
    series beside the table; a table's record follows rows inserted above
    it, its sheet renamed and its formula cut and pasted (a later answer
    leaves no row of the last table); one call in two cells, one of them
    blocked, shows a text naming the blocked cell; closing a document
    fetches nothing again for the one still open; a web link reads its
    page; the user's Ctrl+Z undoes the user's edit, not quillo's table;
    saving as .ods and .xlsx writes the permanent name
    ORG.QUILLO.CALC.FSINGLE(...)
    a document with a history table and indicators over more rows than
    it holds is saved as .xlsx, its table shortened in the file, and
    `quillo refresh` run on it: the indicators compute over the rows
    holding data and clear exactly the old rows of what Calc wrote
  second start (manual updates):
    both files reopen with their formulas and live values; a table saved
    moved away from its formula goes when the formula writes its own; rows
    deleted through a table leave it unwritten (.ods); a failed history
    answer keeps its table and says so (.xlsx); "Update data" from the
    extension's menu (a dispatch of its URL) fetches again; the refreshed
    file reopens with no old rows of a series left.

Exits 77 (skipped) when soffice, unopkg, the uno module or the .oxt is
missing. soffice and the service are always ended; every wait is bounded.
"""

import datetime
import http.server
import os
import re
import sys
import threading
import time
import traceback
import urllib.error
import urllib.request
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from calc_session import NOBODY, CalcSession, menu_urls, prop, skip_unless_ready, wait_for  # noqa: E402

# com.sun.star.sheet.FormulaResult
VALUE, STRING, ERROR = 1, 2, 4
LOADING = "Loading data..."
TIME_TEXT = re.compile(r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}$")
WAIT = 30  # seconds for any one answer from the local service
DEADLINE = 240  # seconds for the whole test (CTest's limit is 300)
MINUTE_S = 2  # the engine's minute (QUILLO_CALC_MINUTE_SECONDS): the automatic update's clock


class CountedPage(http.server.BaseHTTPRequestHandler):
    """A page of our own that counts how often it is fetched."""
    hits = 0

    def do_GET(self):
        CountedPage.hits += 1
        body = b"<html><body><table><tr><th>Open</th><td>77.5</td></tr></table></body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class HistoryProxy(http.server.BaseHTTPRequestHandler):
    """The price-history service as the extension sees it: every request is
    counted and passed on to the market service."""
    market = None
    fetches = []
    hold = None  # an Event: answers wait until it is set

    def do_GET(self):
        HistoryProxy.fetches.append(self.path)
        if HistoryProxy.hold is not None:
            HistoryProxy.hold.wait(WAIT)
        try:
            with urllib.request.urlopen(HistoryProxy.market + self.path, timeout=WAIT) as answer:
                status, body = answer.status, answer.read()
        except urllib.error.HTTPError as e:
            status, body = e.code, e.read()
        self.send_response(status)
        self.send_header("Content-Type", "text/csv")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def history_proxy(market):
    HistoryProxy.market = market
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), HistoryProxy)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return "http://127.0.0.1:%d" % server.server_address[1]


def counted_page():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), CountedPage)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return "http://127.0.0.1:%d/counted" % server.server_address[1]


def result_type(cell):
    return cell.getPropertyValue("FormulaResultType2")


def number(cell):
    return cell.getValue() if result_type(cell) == VALUE else None


def shows_time(cell):
    s = cell.getString()
    return s if TIME_TEXT.match(s) else None


def type_formula(cell, text):
    """Enters a formula as a user types it (display names, en-US separators)."""
    cell.setPropertyValue("FormulaLocal", text)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


LATE = []  # failures that leave the later checks meaningful: reported at the end


def check_late(condition, message):
    if not condition:
        print("calc: FAILED " + message, flush=True)
        LATE.append(message)


def step(text):
    print("calc: " + text, flush=True)


def first_start(s, oxt):
    step("unopkg add took %.1f s" % s.install_extension())
    started = s.start_calc()
    function_wizard(s)
    doc = s.new_sheet()
    sheet = doc.Sheets.getByIndex(0)
    cell = sheet.getCellRangeByName

    type_formula(cell("A1"), '=FSINGLE("BVM","LMS.QUO.LAST")')
    type_formula(cell("A2"), '=FSINGLE("BVM","LMS.QUO.TIME")')
    type_formula(cell("A3"), "=A1*2")
    type_formula(cell("B1"), '=FSINGLE("NOSUCH","LMS.QUO.LAST")')
    type_formula(cell("B2"), '=FSINGLE("BVM","LMS.QUO.NOSUCH")')
    # Known to Calc at once: the status text or already the value, never #NAME?.
    shown = cell("A1").getString()
    at_once = shown == LOADING or number(cell("A1")) is not None

    last = wait_for("A1 (=FSINGLE last price) to show a number", lambda: number(cell("A1")), WAIT)
    step("first value %.2f, %.1f s after soffice was started" % (last, time.monotonic() - started))
    first_time = wait_for("A2 (=FSINGLE time) to show the page's time", lambda: shows_time(cell("A2")), WAIT)
    wait_for("A3 (=A1*2) to follow A1", lambda: number(cell("A3")) == 2 * number(cell("A1")), WAIT)
    wait_for("B1 to show the invalid instrument text",
             lambda: cell("B1").getString() == "Invalid instrument id", WAIT)
    wait_for("B2 to show the invalid field text", lambda: cell("B2").getString() == "Invalid fieldname!", WAIT)
    check("FSINGLE" in cell("A1").getPropertyValue("FormulaLocal"), "A1's formula as shown: %r" %
          cell("A1").getPropertyValue("FormulaLocal"))

    history(doc)
    tables_at_the_edges(doc)
    record_follows(s, doc)
    guarded_writes(s)
    same_calls_elsewhere(s, doc)
    closed_at, hits = weblink(s, doc)
    undo_keeps_the_users_steps(s)

    # The next automatic update (every minute) brings the page's new time.
    later = wait_for("A2 to change at the next automatic update",
                     lambda: (shows_time(cell("A2")) or first_time) != first_time and shows_time(cell("A2")),
                     WAIT + 2 * MINUTE_S)
    step("automatic update: A2 went from %s to %s" % (first_time, later))

    round_trip = indicators_for_the_command(s)

    saved_time = shows_time(cell("A2"))
    ods = s.save_as(doc, "live.ods", "calc8")
    xlsx = s.save_as(doc, "live.xlsx", "Calc MS Excel 2007 XML")
    doc.close(True)
    closed_document_quiet(closed_at, hits)
    stored = stored_formulas(ods, xlsx)
    step("saved formula in .ods: %s" % stored["ods"])
    step("saved formula in .xlsx: %s" % stored["xlsx"])
    check(s.stop_calc(), "Calc did not quit within 20 s of Desktop.terminate()")
    check_late(at_once, "A1 showed %r right after typing =FSINGLE(...), not the status text" % shown)
    return ods, xlsx, saved_time, round_trip


ROUND_TRIP_START, ROUND_TRIP_END, ROUND_TRIP_SHORT = 45292, 45337, 45296  # 2024-01-01, -02-15, -01-05


def indicators_for_the_command(s):
    """A history table with indicators over more rows than it holds,
    saved as .xlsx for `quillo refresh` (the dates are numbers in cells, so
    the file can be changed without Calc)."""
    doc = s.new_sheet()
    sheet = doc.Sheets.getByIndex(0)
    cell = sheet.getCellRangeByName
    cell("K1").setValue(ROUND_TRIP_START)
    cell("K2").setValue(ROUND_TRIP_END)
    cell("L1").setString("SORT")
    cell("M1").setString("ASC")
    type_formula(cell("A1"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE,VOLUME,OPEN,HIGH,LOW",K1,K2,"d",L1:M1)')
    wait_for("the round trip's table", lambda: cell("A1").getString() == "Data loaded.", WAIT)
    type_formula(cell("H2"), "=SMA(A3:F60,5)")
    type_formula(cell("I2"), "=MACD(A3:F60,3,6,2)")

    def written():
        shown = cell("H2").getString(), cell("I2").getString()
        last = len(table_rows(sheet, "A3:A60")) + 2
        return shown == ("SMA,5", "MACD,3,6,2") and cell("H%d" % last).getString() != "" and last
    last = wait_for("the round trip's SMA and MACD series", written, WAIT)
    path = s.save_as(doc, "round.xlsx", "Calc MS Excel 2007 XML")
    doc.close(True)
    step("round trip: a table to row %d with SMA and MACD beside it saved as .xlsx" % last)
    return path


def refreshed_by_the_command(s, path):
    """The table's end date moved earlier in the file, then `quillo
    refresh`: every indicator computes over the shorter table."""
    with zipfile.ZipFile(path) as z:
        parts = [(i, z.read(i.filename)) for i in z.infolist()]
    done = []
    with zipfile.ZipFile(path + ".new", "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in parts:
            if info.filename == "xl/worksheets/sheet1.xml":
                data, n = re.subn(rb'(<c r="K2"[^>]*><v>)%d(</v>)' % ROUND_TRIP_END,
                                  rb"\g<1>%d\g<2>" % ROUND_TRIP_SHORT, data)
                done.append(n)
            z.writestr(info, data)
    check(done == [1], "round.xlsx: K2 not found in the first sheet's part")
    os.replace(path + ".new", path)
    if s.as_nobody:
        os.chown(path, NOBODY, NOBODY)
    out = s.run_user([s.quillo, "refresh", "--timeout", str(WAIT), path], timeout=WAIT + 30)
    check("calculation error" not in out and "3 filled" in out,
          "quillo refresh of the shortened round.xlsx: %s" % out.strip())
    step("round trip: quillo refresh of the shorter table: %s" % out.strip().splitlines()[-1])


def round_trip_reopened(s, path):
    """Back in Calc, the series end with the table: no old rows left."""
    doc = s.open(path)
    sheet = doc.Sheets.getByIndex(0)
    cell = sheet.getCellRangeByName
    wait_for("the refreshed round.xlsx to show its captions",
             lambda: (cell("H2").getString(), cell("I2").getString()) == ("SMA,5", "MACD,3,6,2"), WAIT)
    rows = len(table_rows(sheet, "A3:A60"))
    check(rows == 5, "round.xlsx: the table has %d rows after the refresh, not 5" % rows)

    def only_beside_the_table():
        cell("H2").getString()
        left = [r for r in sheet.getCellRangeByName("H8:J60").getDataArray() if any(v != "" for v in r)]
        return not left and cell("H7").getString() != ""
    try:
        wait_for("round.xlsx's series to end with the table", only_beside_the_table, WAIT)
    except AssertionError:
        print("round.xlsx H2 %r I2 %r; H3:J12 %r" % (cell("H2").getString(), cell("I2").getString(),
                                                     sheet.getCellRangeByName("H3:J12").getDataArray()))
        raise
    doc.close(True)
    step("round trip: back in Calc, the series end with the 5-row table")


FUNCTIONS = ["FSINGLE", "FHISTORY", "WLINK", "SMA", "WMA", "EMA", "RSI", "MACD", "STO_FAST", "STO_SLOW",
             "BOLLINGER", "PRICECHANNEL", "MOMENTUM", "ROC", "MONEY_FLOW", "OSC", "W_CLOSE", "VOL_CTC", "BETA"]


def function_wizard(s):
    """Every function is offered with a description and named arguments."""
    descriptions = s.smgr.createInstanceWithContext("com.sun.star.sheet.FunctionDescriptions", s.ctx)
    listed = {}
    for i in range(descriptions.getCount()):
        d = {p.Name: p.Value for p in descriptions.getByIndex(i)}
        listed[d["Name"]] = d
    for name in FUNCTIONS:
        d = listed.get(name)
        check(d and d["Description"] and d["Arguments"] and all(a.Name for a in d["Arguments"]),
              "the Function Wizard has no description or arguments for %s: %r" % (name, d))
    step("Function Wizard: %d functions, FSINGLE(%s)" %
         (len(FUNCTIONS), "; ".join(a.Name for a in listed["FSINGLE"]["Arguments"])))


def history(doc):
    """A price-history table below its formula, and an indicator series beside it."""
    doc.Sheets.insertNewByName("History", 1)
    sheet = doc.Sheets.getByName("History")
    cell = sheet.getCellRangeByName
    cell("J1").setString("SORT")
    cell("K1").setString("ASC")
    type_formula(cell("A3"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE,VOLUME,OPEN,HIGH,LOW",'
                 'DATE(2024,1,1),DATE(2024,6,30),"d",J1:K1)')
    type_formula(cell("H4"), "=SMA(A4:F134,20)")
    # Calc computes a formula when something shows or reads its cell (a
    # view paints it; here nothing does): until then the call is not made.
    # The test looks at the cells as a user on this sheet would see them.
    wait_for("History!A3 to show that the table is loaded",
             lambda: cell("A3").getString() == "Data loaded.", WAIT)

    def table_written():
        rows = [r for r in sheet.getCellRangeByName("A5:F200").getDataArray() if r[0] != ""]
        return len(rows) >= 120 and all(isinstance(v, float) and v > 0 for r in rows for v in r[1:]) and rows

    try:
        rows = [None] + wait_for("the price history of BVM below History!A3", table_written, WAIT)
    except AssertionError:
        rows = [r for r in sheet.getCellRangeByName("A5:F200").getDataArray() if r[0] != ""]
        odd = [r for r in rows if not all(isinstance(v, float) and v > 0 for v in r[1:])]
        print("History!A3 shows %r; A4:F7 %r; %d rows, %d not all positive numbers: %r" %
              (cell("A3").getString(), sheet.getCellRangeByName("A4:F7").getDataArray(), len(rows), len(odd),
               odd[:3]))
        raise
    dates = [r[0] for r in rows[1:]]
    check(dates == sorted(dates) and dates[0] != dates[-1], "History column A: %r" % dates[:3])
    check_late(all(isinstance(d, float) for d in dates),
               "History column A holds dates as text, not date numbers: %r" % dates[:3])
    step("history: A3 shows %r, %d rows below it" % (cell("A3").getString(), len(rows)))

    def series_written():
        cell("H4").getString()  # as shown: its call is made with the table as written
        values = [r[0] for r in sheet.getCellRangeByName("H5:H134").getDataArray()]
        numbers = [v for v in values if isinstance(v, float) and v > 0]
        return len(numbers) >= 100 and numbers

    numbers = wait_for("the 20-day SMA series below History!H4", series_written, WAIT)
    closes = [r[1] for r in rows[1:]]
    expected = sum(closes[-20:]) / 20
    check(any(abs(v - expected) < 0.01 for v in numbers),
          "no value of the SMA series is the mean of the last 20 closes (%.4f): %r" % (expected, numbers[-3:]))
    step("indicator: H4 shows %r, %d values of the series" % (cell("H4").getString(), len(numbers)))

    # A whole-column table reads as its rows holding data: its series, and
    # nothing below the data's last row.
    type_formula(cell("M4"), "=SMA(A4:F1048576,10)")

    def column_series_written():
        cell("M4").getString()
        values = [r[0] for r in sheet.getCellRangeByName("M5:M134").getDataArray()]
        return len([v for v in values if isinstance(v, float) and v > 0]) >= 100

    try:
        wait_for("the SMA series of the whole-column table below History!M4", column_series_written, WAIT)
    except AssertionError:
        print("History!M4 shows %r; M5:N8 %r" % (cell("M4").getString(), sheet.getCellRangeByName("M5:N8").getDataArray()))
        raise
    below = [r[0] for r in sheet.getCellRangeByName("M%d:M2000" % (len(rows) + 6)).getDataArray()]
    check(all(v == "" for v in below), "the whole-column SMA wrote below the data: %r" %
          [v for v in below if v != ""][:3])
    step("indicator over A4:F1048576: M4 shows %r" % cell("M4").getString())

    # A table never lands on a formula it did not write: the formula and
    # its number format stay, nothing of the table is written, and the
    # calling cell says what is in the way.
    cell("P6").setFormula("=1+1")
    kept_format = cell("P6").NumberFormat
    type_formula(cell("P3"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE",45292,45382,"d")')
    try:
        wait_for("History!P3 to say that its table is blocked",
                 lambda: cell("P3").getString().startswith("Blocked: "), WAIT)
    except AssertionError:
        print("History!P3 shows %r; P4:Q7 %r" % (cell("P3").getString(), sheet.getCellRangeByName("P4:Q7").getDataArray()))
        raise
    check(cell("P6").getFormula() == "=1+1" and cell("P6").NumberFormat == kept_format,
          "the table in the way changed P6: %r" % cell("P6").getFormula())
    check([v for r in sheet.getCellRangeByName("P4:Q40").getDataArray() for v in r if v != ""] == [2.0],
          "a blocked table was written in part below History!P3")
    step("blocked table: P3 shows %r" % cell("P3").getString())

    # The same call in a cell with room: its table is written there, and
    # the one text both cells show names the cell that was blocked.
    type_formula(cell("S3"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE",45292,45382,"d")')
    shared = "Blocked at History.P3: the formula in P6 is in the way; written for 1 of 2 cells"
    try:
        wait_for("History!S3's table, and the text of P3 and S3 to name P3",
                 lambda: cell("S3").getString() == shared and cell("P3").getString() == shared and
                 table_rows(sheet, "S4:T60"), WAIT)
    except AssertionError:
        print("History!S3 %r, P3 %r, S4:T6 %r" % (cell("S3").getString(), cell("P3").getString(),
                                                  sheet.getCellRangeByName("S4:T6").getDataArray()))
        raise
    step("one call, two cells: both show %r" % shared)
    cell("S3").setString("")


def undo_keeps_the_users_steps(s):
    """quillo's writes are no steps of the user's: a table written after the
    user's last edit leaves Ctrl+Z to undo that edit, and the step before,
    in their order, and the written table stays."""
    doc = s.new_sheet()
    sheet = doc.Sheets.getByIndex(0)
    cell = sheet.getCellRangeByName
    undo = doc.getUndoManager()
    HistoryProxy.hold = threading.Event()
    try:
        fetched = len(HistoryProxy.fetches)
        type_formula(cell("B1"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE",DATE(2024,2,1),DATE(2024,2,28),"d")')
        cell("B1").getString()  # as shown: the call is made, its answer held
        wait_for("the held history request", lambda: len(HistoryProxy.fetches) > fetched, WAIT)
        cell("A1").setString("mine")  # the user's last edit
    finally:
        HistoryProxy.hold.set()
        HistoryProxy.hold = None
    wait_for("B1's table, written after the user's edit",
             lambda: cell("B1").getString() == "Data loaded." and table_rows(sheet, "B2:C40"), WAIT)
    rows = len(table_rows(sheet, "B2:C40"))
    undo.undo()
    shown = cell("A1").getString(), cell("B1").getFormula(), len(table_rows(sheet, "B2:C40"))
    check(shown == ("", shown[1], rows) and "FHISTORY" in shown[1],
          "the first Ctrl+Z after quillo wrote a table: A1 %r, B1 %r, %d table rows (of %d); undo list %r" %
          (shown[0], shown[1], shown[2], rows, undo.getAllUndoActionTitles()))
    undo.undo()
    check(cell("B1").getFormula() == "", "the second Ctrl+Z did not undo typing B1's formula: %r" %
          cell("B1").getFormula())
    check(not any(doc.Sheets.getByIndex(i).IsVisible and doc.Sheets.getByIndex(i).Name == "quillo_blocks"
                  for i in range(doc.Sheets.getCount())), "an undo showed the record sheet")
    undo.redo()
    undo.redo()
    check(cell("A1").getString() == "mine" and "FHISTORY" in cell("B1").getFormula(),
          "redo did not bring the user's steps back: A1 %r, B1 %r" % (cell("A1").getString(), cell("B1").getFormula()))
    step("undo: the user's edit and formula were undone in order; quillo's table (%d rows) stayed" % rows)
    doc.close(True)


def tables_at_the_edges(doc):
    """A transposed table starts right of its formula, in its row; a table
    running past the sheet's last row is written as far as it fits and its
    cell says it was cut, never that the data is loaded."""
    doc.Sheets.insertNewByName("Edges", 2)
    sheet = doc.Sheets.getByName("Edges")
    cell = sheet.getCellRangeByName
    type_formula(cell("C3"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE",DATE(2024,1,1),DATE(2024,1,28),"d",'
                 '{"TRANSPOSE","YES"})')
    type_formula(cell("A1048570"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE",DATE(2024,1,1),DATE(2024,1,30),"d")')

    def written():
        shown = cell("C3").getString(), cell("A1048570").getString()
        return shown[0] == "Data loaded." and shown[1].startswith("Cut at the sheet's edge: ") and shown
    try:
        shown = wait_for("Edges!C3 (transposed) to load and Edges!A1048570 to say its table was cut", written, WAIT)
    except AssertionError:
        print("Edges!C3 %r, D3:F4 %r; A1048570 %r" % (cell("C3").getString(), sheet.getCellRangeByName(
            "D3:F4").getDataArray(), cell("A1048570").getString()))
        raise
    across = sheet.getCellRangeByName("D3:Z4").getDataArray()
    check(across[0][0] == "Date" and across[1][0] == "Close" and isinstance(across[0][1], float) and
          cell("C4").getString() == "", "the transposed table: %r, C4 %r" % (across, cell("C4").getString()))
    bottom = sheet.getCellRangeByName("A1048571:B1048576").getDataArray()
    check(bottom[0] == ("Date", "Close") and all(isinstance(r[1], float) for r in bottom[1:]),
          "the cut table's rows: %r" % (bottom,))
    step("edges: transposed C3 shows %r; A1048570 shows %r" % shown)

    # An indicator over more rows than its table holds follows the table
    # when it gets shorter: none of the longer series is left below.
    cell("J10").setString("SORT")
    cell("K10").setString("ASC")
    table = '=FHISTORY("BVM","Yahoo","DATE,CLOSE,VOLUME,OPEN,HIGH,LOW",DATE(2024,1,1),DATE(2024,%d,28),"d",J10:K10)'
    type_formula(cell("A10"), table % 3)
    wait_for("Edges!A10 to load", lambda: cell("A10").getString() == "Data loaded.", WAIT)
    type_formula(cell("H11"), "=SMA(A11:F200,5)")

    def series(at_most):
        cell("H11").getString()
        values = [r[0] for r in sheet.getCellRangeByName("H12:H200").getDataArray() if r[0] != ""]
        return cell("H11").getString() == "SMA,5" and 0 < len(values) <= at_most and len(values)
    longer = wait_for("Edges!H11's series over the table", lambda: series(200), WAIT)
    type_formula(cell("A10"), table % 1)
    wait_for("Edges!A10 to load the shorter table", lambda: cell("A10").getString() == "Data loaded.", WAIT)
    rows = len(table_rows(sheet, "A12:A200"))
    try:
        shorter = wait_for("Edges!H11's series to follow the shorter table", lambda: series(rows), WAIT)
    except AssertionError:
        print("Edges!H11 %r; %d rows of the table; H12:H200 %r" % (
            cell("H11").getString(), rows, [r[0] for r in sheet.getCellRangeByName("H12:H200").getDataArray()]))
        raise
    step("a shorter table: its indicator went from %d to %d values" % (longer, shorter))

    # An indicator that fails after it wrote a series shows why and takes
    # its series away: none of it is left beside the table.
    type_formula(cell("H11"), "=SMA(A11:F200,0)")

    def failed_and_cleared():
        shown = cell("H11").getString()
        left = [r[0] for r in sheet.getCellRangeByName("H12:H200").getDataArray() if r[0] != ""]
        return shown == "period parameter is invalid" and not left
    try:
        wait_for("Edges!H11 to fail and clear its series", failed_and_cleared, WAIT)
    except AssertionError:
        print("Edges!H11 %r; H12:H200 %r" % (
            cell("H11").getString(), [r[0] for r in sheet.getCellRangeByName("H12:H200").getDataArray()][:5]))
        raise
    step("a failed indicator: H11 shows %r, its old series is gone" % cell("H11").getString())


MOVES = '=FHISTORY("BVM","Yahoo","DATE,CLOSE",DATE(2024,%d,2),DATE(2024,%d,%d),"d")'
KEPT = " (the table it wrote before is kept)"
EPOCH = datetime.date(1899, 12, 30)  # day 0 of the sheets' date numbers


def only_table(sheet, column, top, months, what):
    """The table of MOVES % months below a formula: its header in `top`, then
    its rows one after another, each a day asked for and no day twice, and
    nothing below them (no row of a table written before). Answers how many
    rows it fills."""
    rows = sheet.getCellRangeByName("%s%d:%s%d" % (column, top, chr(ord(column) + 1), top + 150)).getDataArray()
    filled = [i for i, r in enumerate(rows) if r[0] != "" or r[1] != ""]
    first = (datetime.date(2024, months[0], 2) - EPOCH).days
    last = (datetime.date(2024, months[1], months[2]) - EPOCH).days
    days = [r[0] for r in rows[1:len(filled)]]
    check(rows[0] == ("Date", "Close") and filled == list(range(len(filled))) and len(set(days)) == len(days) and
          all(isinstance(d, float) and first <= d <= last for d in days),
          "%s: not the one table from %s%d: header %r, rows %r, days %r" % (
              what, column, top, rows[0], filled[-3:], days[-3:]))
    return len(filled)


def record_follows(s, doc):
    """The record of a table follows what the user does to the sheet: rows
    inserted above it, its sheet renamed, its formula cut and pasted alone.
    Each later answer clears every row of the table before; the moved table
    is saved with the files (second_start reopens it)."""
    doc.Sheets.insertNewByName("Moves", 3)
    sheet = doc.Sheets.getByName("Moves")
    cell = sheet.getCellRangeByName

    def answer(at, months, what):
        type_formula(cell(at), MOVES % months)
        try:
            wait_for(what, lambda: cell(at).getString() == "Data loaded.", WAIT)
        except AssertionError:
            print("Moves!%s shows %r" % (at, cell(at).getString()))
            raise

    answer("B3", (1, 3, 31), "Moves!B3 to load January to March")
    only_table(sheet, "B", 4, (1, 3, 31), "Moves!B3")
    sheet.Rows.insertByIndex(0, 2)
    answer("B5", (1, 1, 31), "Moves!B5 (two rows inserted above it) to load January")
    only_table(sheet, "B", 6, (1, 1, 31), "a shorter answer after two rows were inserted above")
    sheet.Name = "Moved"
    answer("B5", (1, 1, 15), "Moved!B5 (its sheet renamed) to load half of January")
    only_table(sheet, "B", 6, (1, 1, 15), "a shorter answer after the sheet was renamed")
    controller = doc.getCurrentController()
    controller.setActiveSheet(sheet)
    controller.select(cell("B5"))
    s.dispatch(doc, ".uno:Cut")
    controller.select(cell("E20"))
    s.dispatch(doc, ".uno:Paste")
    check("FHISTORY" in cell("E20").getPropertyValue("FormulaLocal") and cell("B5").getFormula() == "",
          "the cut formula did not land in E20: %r" % cell("E20").getFormula())
    answer("E20", (2, 2, 29), "Moved!E20 (cut from B5 and pasted) to load February")
    february = only_table(sheet, "E", 21, (2, 2, 29), "the table of the pasted formula")
    left = [r for r in sheet.getCellRangeByName("B5:C40").getDataArray() if any(v != "" for v in r)]
    check(not left, "the table the cut formula left behind in B6 is still there: %r" % left[:2])
    # Two rows above and one between the formula and its table: the
    # formula goes to E22, its table to E24, and the files keep that.
    sheet.Rows.insertByIndex(0, 2)
    sheet.Rows.insertByIndex(22, 1)
    check(cell("E24").getString() == "Date" and cell("E23").getString() == "", "the table did not move to E24")
    step("record follows: rows inserted above, sheet renamed, formula cut and pasted; %d rows of "
         "February now below a row inserted at E23" % february)


def moved_table_reopened(doc, name, after):
    """The table saved away from its formula (a row inserted between them)
    is taken away when the reopened formula's answer writes its table where
    it belongs: no row of it is left. Then, in the .ods, rows deleted
    through the table leave it alone (nothing is written: it is no longer
    known to be quillo's, nor all of it); in the .xlsx a failed answer keeps
    it and says so."""
    sheet = doc.Sheets.getByName("Moved")
    cell = sheet.getCellRangeByName
    try:
        wait_for("%s Moved!E22 to write its table in E23" % name,
                 lambda: cell("E22").getString() == "Data loaded." and cell("E23").getString() == "Date", WAIT)
    except AssertionError:
        print("%s Moved!E22 %r; E23:F25 %r" % (name, cell("E22").getString(),
                                                sheet.getCellRangeByName("E23:F25").getDataArray()))
        raise
    rows = only_table(sheet, "E", 23, (2, 2, 29), "%s: the reopened table moved away from its formula" % name)
    if after == "delete":
        sheet.Rows.removeByIndex(27, 2)
        before = sheet.getCellRangeByName("E23:F80").getDataArray()
        type_formula(cell("E22"), MOVES % (3, 3, 31))
        wait_for("%s Moved!E22 to say its table was not written" % name,
                 lambda: cell("E22").getString().startswith("Not written: "), WAIT)
        check(sheet.getCellRangeByName("E23:F80").getDataArray() == before,
              "%s: a table cut through by deleted rows was changed" % name)
        step("%s: rows deleted through the table: E22 shows %r" % (name, cell("E22").getString()))
    else:
        before = sheet.getCellRangeByName("E23:F80").getDataArray()
        type_formula(cell("E22"), MOVES.replace("BVM", "NOSUCH") % (2, 2, 29))
        try:
            wait_for("%s Moved!E22 to fail and say its table is kept" % name,
                     lambda: cell("E22").getString().endswith(KEPT), WAIT)
        except AssertionError:
            print("%s Moved!E22 shows %r" % (name, cell("E22").getString()))
            raise
        check(sheet.getCellRangeByName("E23:F80").getDataArray() == before,
              "%s: a failed answer changed the table it keeps" % name)
        step("%s: a failed answer keeps the %d rows: E22 shows %r" % (name, rows, cell("E22").getString()))


def put_prices(sheet, top):
    """20 rows of a price table (date, close, volume, open, high, low) from row `top`."""
    rows = [(45000.0 + i, 100.0 + (i % 5) * 10, 1000.0, 100.0, 110.0 + i, 90.0) for i in range(20)]
    sheet.getCellRangeByName("A%d:F%d" % (top, top + 19)).setDataArray(rows)
    return rows


def guarded_writes(s):
    """Where a series is never written, and what its cell says instead: over
    the table its own formula reads; into a protected sheet (written once the
    sheet is unprotected and recalculated); into a document whose structure
    is protected (no record sheet is added). A whole-column table is read and
    its series written, though a formula whose table cannot be known
    (INDIRECT) makes the same call."""
    doc = s.new_sheet()
    sheet = doc.Sheets.getByIndex(0)
    cell = sheet.getCellRangeByName
    put_prices(sheet, 1)
    # Structure protected (before anything was written): no record sheet
    # can be added, so nothing is written.
    doc.protect("")
    type_formula(cell("M1"), "=SMA(A1:F20,4)")
    wait_for("M1 to say the document's structure is protected",
             lambda: "structure is protected" in cell("M1").getString(), WAIT)
    check(not doc.Sheets.hasByName("quillo_blocks") and cell("M3").getString() == "",
          "a series or the record sheet was added to a document whose structure is protected")
    doc.unprotect("")

    type_formula(cell("K1"), '=SMA(INDIRECT("A1:F20"),3)')
    type_formula(cell("H1"), "=SMA(A:F,3)")
    doc.Sheets.insertNewByName("Own", 1)
    own = doc.Sheets.getByName("Own")
    rows = put_prices(own, 2)
    type_formula(own.getCellRangeByName("B1"), "=SMA(A2:F21,2)")
    # The same, with its sheet named on both ends of the range.
    type_formula(own.getCellRangeByName("C1"), "=SMA($Own.A2:$Own.F21,4)")
    cell("K1").getString()  # its call is made

    def settled():
        shown = own.getCellRangeByName("B1").getString(), cell("H1").getString()
        series = [r[0] for r in sheet.getCellRangeByName("H4:H21").getDataArray()]
        return (shown[0].startswith("Blocked: ") and shown[1] == "SMA,3" and
                all(isinstance(v, float) for v in series) and shown)
    try:
        shown = wait_for("Own!B1 (over its own table) to be blocked and H1 (=SMA(A:F,3)) written", settled, WAIT)
    except AssertionError:
        print("Own!B1 %r, H1 %r, K1 %r; H2:H6 %r" % (own.getCellRangeByName("B1").getString(), cell("H1").getString(),
              cell("K1").getString(), sheet.getCellRangeByName("H2:H6").getDataArray()))
        raise
    check(shown[0] == "Blocked: the block would cover A2:F21, which the formula reads",
          "Own!B1 shows %r" % shown[0])
    try:
        wait_for("Own!C1 (its sheet named in its range) to be blocked",
                 lambda: "the block would cover A2:F21, which the formula reads" in
                 own.getCellRangeByName("C1").getString(), WAIT)
    except AssertionError:
        print("Own!C1 %r, formula %r, C2:C6 %r" % (own.getCellRangeByName("C1").getString(),
              own.getCellRangeByName("C1").getFormula(), own.getCellRangeByName("C2:C6").getDataArray()))
        raise
    check([r[2] for r in own.getCellRangeByName("A2:F21").getDataArray()] == [r[2] for r in rows],
          "Own!C1's series overwrote what it reads")
    check([r[1] for r in own.getCellRangeByName("A2:F21").getDataArray()] == [r[1] for r in rows],
          "the series overwrote the closes it reads")
    check(all(r[0] == "" for r in sheet.getCellRangeByName("K2:K21").getDataArray()),
          "a series was written below the INDIRECT formula")
    step("own table: Own!B1 shows %r; =SMA(A:F,3) written" % shown[0])

    # A protected sheet: blocked, then written once unprotected and recalculated.
    doc.Sheets.insertNewByName("Locked", 2)
    locked = doc.Sheets.getByName("Locked")
    put_prices(locked, 2)
    formula_cell = locked.getCellRangeByName("H1")
    protection = formula_cell.CellProtection
    protection.IsLocked = False
    formula_cell.CellProtection = protection
    locked.protect("")
    type_formula(formula_cell, "=SMA(A2:F21,5)")
    wait_for("Locked!H1 to say the sheet is protected",
             lambda: "is protected" in formula_cell.getString(), WAIT)
    check(locked.getCellRangeByName("H6").getString() == "", "a series was written into a protected sheet")
    locked.unprotect("")
    doc.calculateAll()
    wait_for("Locked!H1's series once the sheet is unprotected",
             lambda: formula_cell.getString() == "SMA,5" and
             isinstance(locked.getCellRangeByName("H10").getDataArray()[0][0], float), WAIT)
    step("protected: structure and sheet refuse the series; written once unprotected")

    # A history nested in an indicator's arguments feeds it a value: the
    # cell's table is the indicator's series, the user's notes beside it
    # stay, and the history's table goes only beside the cell making it on
    # its own.
    doc.Sheets.insertNewByName("Nested", 3)
    nested = doc.Sheets.getByName("Nested")
    put_prices(nested, 2)
    nested.getCellRangeByName("I2:I21").setDataArray([("note %d" % r,) for r in range(2, 22)])
    history_call = 'FHISTORY("BVM","Yahoo","DATE,CLOSE",DATE(2024,1,1),DATE(2024,1,31),"d")'
    type_formula(nested.getCellRangeByName("H1"), "=SMA(A2:F21,3+0*LEN(%s))" % history_call)
    type_formula(nested.getCellRangeByName("P1"), "=" + history_call)

    def nested_settled():
        shown = nested.getCellRangeByName("H1").getString(), nested.getCellRangeByName("P1").getString()
        series = [r[0] for r in nested.getCellRangeByName("H2:H21").getDataArray() if r[0] != ""]
        alone = [r for r in nested.getCellRangeByName("P2:Q40").getDataArray() if r[0] != ""]
        return shown == ("SMA,3", "Data loaded.") and len(series) >= 15 and len(alone) >= 15 and series
    series = wait_for("Nested!H1's SMA series and P1's history", nested_settled, WAIT)
    check(all(isinstance(v, float) and 90 <= v <= 200 for v in series),
          "Nested!H holds something else than the SMA of its closes: %r" % series[:4])
    check([r[0] for r in nested.getCellRangeByName("I2:I21").getDataArray()] ==
          ["note %d" % r for r in range(2, 22)], "the nested history wrote over the notes beside Nested!H1")
    step("nested: SMA with a history in its arguments writes its series, the history only beside P1")
    doc.close(True)


def table_rows(sheet, address):
    """The rows of the range whose first cell holds something."""
    return [r for r in sheet.getCellRangeByName(address).getDataArray() if r[0] != ""]


def same_calls_elsewhere(s, doc):
    """Each cell making a history call gets its own table: the same call in
    another cell and in another document, and calls whose arguments Calc
    computes (DATE(...)) that show the same status; where which cell makes
    a call cannot be known, nothing is written and the cell says so."""
    history = doc.Sheets.getByName("History")
    table = '=FHISTORY("BVM","Yahoo","DATE,CLOSE,VOLUME,OPEN,HIGH,LOW",DATE(2024,1,1),DATE(2024,6,30),"d",J1:K1)'
    type_formula(history.getCellRangeByName("W3"), table)
    other = s.new_sheet()
    sheet = other.Sheets.getByIndex(0)
    cell = sheet.getCellRangeByName
    cell("J1").setString("SORT")
    cell("K1").setString("ASC")
    type_formula(cell("A3"), table)
    type_formula(cell("I3"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE",DATE(2024,1,1),DATE(2024,1,31),"d")')
    type_formula(cell("L3"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE",DATE(2024,1,1),DATE(2024,2,29),"d")')
    cell("A1").setValue(45292)
    type_formula(cell("P3"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE",A1+0,DATE(2024,1,30),"d")')
    type_formula(cell("S3"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE",A1+1,DATE(2024,1,30),"d")')
    for at in ("A3", "I3", "L3", "P3", "S3"):
        cell(at).getString()  # as shown: the calls are made
    history.getCellRangeByName("W3").getString()

    def tables():
        w = table_rows(history, "W4:AB200")
        a = table_rows(sheet, "A4:F200")
        d = table_rows(sheet, "I4:J200")
        g = table_rows(sheet, "L4:M200")
        return len(w) > 120 and len(a) > 120 and 15 < len(d) < 30 and 30 < len(g) < 50 and (w, a, d, g)

    try:
        w, a, d, g = wait_for("each cell's own table (History!W3, A3, I3, L3 of a second document)", tables, WAIT)
    except AssertionError:
        print("History!W3 %r, %d rows; A3 %r, %d rows; I3 %r, %d rows; L3 %r, %d rows" % (
            history.getCellRangeByName("W3").getString(), len(table_rows(history, "W4:AB200")),
            cell("A3").getString(), len(table_rows(sheet, "A4:F200")), cell("I3").getString(),
            len(table_rows(sheet, "I4:J200")), cell("L3").getString(), len(table_rows(sheet, "L4:M200"))))
        raise
    last_d, last_g = max(r[0] for r in d[1:]), max(r[0] for r in g[1:])
    check(last_d < 45323 <= last_g, "I3's table ends %r, L3's %r" % (last_d, last_g))
    step("the same call in History!W3 and another document: %d and %d rows; January %d rows, "
         "to February %d rows" % (len(w), len(a), len(d), len(g)))
    # S3's call is made by no cell known to make it: written nowhere. P3's
    # (A1+0 is 2024-01-01) is also Edges!A1048570's, a cell known to make
    # it: that one gets its table, P3 none.
    unsure = wait_for("S3 (argument computed from A1) to say its table was not written",
                      lambda: cell("S3").getString().startswith("Not written: "), WAIT)
    check(unsure and not table_rows(sheet, "P4:Q60") and not table_rows(sheet, "S4:T60"),
          "a table was written below P3 or S3")
    check(not cell("P3").getString().startswith("Not written: "),
          "P3's call, also made by Edges!A1048570, was written nowhere: %r" % cell("P3").getString())
    step("calls that cannot be told apart: S3 shows %r, P3 %r" % (cell("S3").getString(), cell("P3").getString()))
    # Closing a document forgets only its own calls' requests: the tables of
    # the document still open are not fetched again. A new call made after
    # the close is answered after the engine has dealt with it.
    fetched = len(HistoryProxy.fetches)
    other.close(True)
    edges = doc.Sheets.getByName("Edges").getCellRangeByName
    type_formula(edges("P20"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE",DATE(2024,1,1),DATE(2024,1,26),"d")')
    wait_for("Edges!P20 to load after the second document was closed",
             lambda: edges("P20").getString() == "Data loaded.", WAIT)
    again = HistoryProxy.fetches[fetched:]
    check(len(again) == 1, "closing a document fetched the open one's tables again: %r" % again)
    step("a document closed: the open one's tables were not fetched again")
    # A formula removed: its record goes when the document is saved.
    history.getCellRangeByName("W3").setString("")


def weblink(s, doc):
    """=WLINK reads a value marked on a page (the link made by `quillo link add`);
    a document's links are no longer fetched once it is closed. Answers when
    that document was closed and how often its page had been fetched then."""
    scratch = s.new_sheet()
    book = s.save_as(scratch, "links.xlsx", "Calc MS Excel 2007 XML")
    scratch.close(True)
    s.run_user([s.quillo, "link", "add", book, "B2", s.base_url + "/wl/figures?open=123.45", "123.45",
                "--name", "open"], timeout=60)
    s.run_user([s.quillo, "link", "add", book, "B3", counted_page(), "77.5", "--name", "counted"], timeout=60)
    stored = s.open(book)
    links = stored.Sheets.getByName("weblinks_data")
    area = links.createCursor()
    area.gotoEndOfUsedArea(False)
    end = area.getRangeAddress()
    rows = links.getCellRangeByPosition(0, 0, end.EndColumn, end.EndRow).getDataArray()
    stored.close(True)

    def with_links(target_doc):
        target_doc.Sheets.insertNewByName("weblinks_data", target_doc.Sheets.getCount())
        target = target_doc.Sheets.getByName("weblinks_data")
        target.getCellRangeByPosition(0, 0, end.EndColumn, end.EndRow).setDataArray(rows)

    with_links(doc)
    cell = doc.Sheets.getByIndex(0).getCellRangeByName("C1")
    type_formula(cell, '=WLINK("open")')
    try:
        value = wait_for("C1 (=WLINK(\"open\")) to read 123.45 from its page", lambda: number(cell) == 123.45 and number(cell), WAIT)
    except AssertionError:
        print("C1 shows %r; weblinks_data holds %r" % (cell.getString(), rows), flush=True)
        raise
    step("web link: C1 reads %s" % value)

    closing = s.new_sheet()
    with_links(closing)
    counted = closing.Sheets.getByIndex(0).getCellRangeByName("A1")
    type_formula(counted, '=WLINK("counted")')
    wait_for("=WLINK(\"counted\") to read 77.5", lambda: number(counted) == 77.5, WAIT)
    closing.close(True)
    return time.monotonic(), CountedPage.hits


def closed_document_quiet(closed_at, hits):
    """No request of a closed document goes out any more (a web link is
    fetched again at every automatic update while it is in use)."""
    left = closed_at + 2 * MINUTE_S + 0.5 - time.monotonic()
    if left > 0:
        time.sleep(left)
    check(CountedPage.hits <= hits + 1, "the page of a closed document's web link was fetched %d times after "
          "it was closed" % (CountedPage.hits - hits))
    step("closed document: its web link was fetched %d times since" % (CountedPage.hits - hits))


def stored_formulas(ods, xlsx):
    """The first quillo formula as each file stores it; both must use the permanent name."""
    with zipfile.ZipFile(ods) as z:
        content = z.read("content.xml").decode("utf-8")
    m = re.search(r'table:formula="([^"]*FSINGLE[^"]*)"', content)
    check(m and "ORG.QUILLO.CALC.FSINGLE(" in m.group(1), ".ods stores %r" % (m and m.group(1)))
    with zipfile.ZipFile(xlsx) as z:
        sheet = z.read("xl/worksheets/sheet1.xml").decode("utf-8")
    n = re.search(r"<f[^>]*>([^<]*FSINGLE[^<]*)</f>", sheet)
    check(n and "ORG.QUILLO.CALC.FSINGLE(" in n.group(1), ".xlsx stores %r" % (n and n.group(1)))
    return {"ods": m.group(1).replace("&quot;", '"'), "xlsx": n.group(1).replace("&quot;", '"')}


def shorter_history(doc, name, user_formula):
    """After a reopen, a shorter answer clears the rows the longer one wrote
    (the record of them is kept in the file, on a hidden sheet), unless a
    cell of them no longer holds what was written (here a formula the user
    put there): then the old rows are all left as they are."""
    sheet = doc.Sheets.getByName("History")
    cell = sheet.getCellRangeByName
    blocks = doc.Sheets.getByName("quillo_blocks") if doc.Sheets.hasByName("quillo_blocks") else None
    check(blocks is not None and not blocks.IsVisible, "%s has no hidden record sheet quillo_blocks" % name)
    records = [r[:3] for r in blocks.getCellRangeByName("A2:C40").getDataArray() if r[0] != ""]
    check(("History", 3.0, 1.0) in records and ("History", 3.0, 23.0) not in records,
          "%s records %r: not History!A3's block, or still that of the removed formula in W3" % (name, records))
    if user_formula:
        cell("F120").setFormula("=1+1")
    type_formula(cell("A3"), '=FHISTORY("BVM","Yahoo","DATE,CLOSE,VOLUME,OPEN,HIGH,LOW",'
                 'DATE(2024,1,1),DATE(2024,3,31),"d",J1:K1)')
    wait_for("%s History!A3 to load the shorter table" % name, lambda: cell("A3").getString() == "Data loaded.", WAIT)
    rows = sheet.getCellRangeByName("A5:F140").getDataArray()
    filled = [i for i, r in enumerate(rows) if r[0] != ""]
    if user_formula:
        check(cell("F120").getFormula() == "=1+1" and rows[100][0] != "" and rows[110][1] != "",
              "%s: old rows of a table the user changed were cleared: F120 %r, A105 %r" %
              (name, cell("F120").getFormula(), rows[100][0]))
        step("%s: a shorter table left the old rows the user changed alone" % name)
        return
    check(filled == list(range(len(filled))) and 50 < len(filled) < 70,
          "%s: the shorter table is not rows 5 to about 65: %r" % (name, filled[-3:]))
    left = [r for r in rows[len(filled):] if any(v != "" for v in r)]
    check(not left, "%s: a shorter table after the reopen left old rows behind: %r" % (name, left[:2]))
    step("%s: a shorter table after the reopen cleared the old rows (%d rows now)" % (name, len(filled)))


def second_start(s, oxt, ods, xlsx, saved_time, round_trip):
    """Both files come back live; "Update data" from the menu fetches again."""
    s.set_settings([("trading_updatemode", "2")])  # manual: "Update data" enabled
    s.start_calc()
    round_trip_reopened(s, round_trip)
    update = menu_urls(oxt).get("Update data")
    check(update, "the extension's menu has no \"Update data\" entry: %r" % menu_urls(oxt))
    for path in (ods, xlsx):
        name = os.path.basename(path)
        doc = s.open(path)
        cell = doc.Sheets.getByIndex(0).getCellRangeByName
        check("FSINGLE" in cell("A2").getPropertyValue("FormulaLocal"),
              "%s A2 lost its formula: %r" % (name, cell("A2").getPropertyValue("FormulaLocal")))
        live = wait_for("%s A2 to show a time fetched after the save (saved %s)" % (name, saved_time),
                        lambda: shows_time(cell("A2")) not in (None, saved_time) and shows_time(cell("A2")), WAIT)
        wait_for("%s A1 to show a number" % name, lambda: number(cell("A1")), WAIT)
        step("%s reopened: A2 %s (saved %s)" % (name, live, saved_time))
        shorter_history(doc, name, user_formula=path == xlsx)
        moved_table_reopened(doc, name, "delete" if path == ods else "fail")
        # The page's time (UTC) has whole seconds: the update must come in a later one.
        wait_for("the clock to pass %s" % live, lambda: time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime()) > live, 2)
        s.dispatch(doc, update)
        again = wait_for("%s A2 to change after Update data (%s)" % (name, update),
                         lambda: shows_time(cell("A2")) not in (None, live) and shows_time(cell("A2")), WAIT)
        step("%s Update data: A2 %s" % (name, again))
        doc.close(True)
    check(s.stop_calc(), "Calc did not quit within 20 s of Desktop.terminate()")


def found_install_path(s):
    """Without the setting installpath the extension finds its own files
    (the definitions it carries) and stores no installpath in the settings
    the command line shares."""
    s.run_user([s.quillo, "settings", "unset", "installpath"], timeout=30)
    s.start_calc()
    doc = s.new_sheet()
    cell = doc.Sheets.getByIndex(0).getCellRangeByName("A1")
    type_formula(cell, '=FSINGLE("BVM","LMS.QUO.NOSUCH")')
    wait_for("A1 to show the invalid field text from the extension's own definitions",
             lambda: cell.getString() == "Invalid fieldname!", WAIT)

    stored = s.run_user([s.quillo, "settings", "get", "installpath"], timeout=30).strip()
    doc.close(True)
    scratch_document(s)
    check(s.stop_calc(), "Calc did not quit within 20 s of Desktop.terminate()")
    check(stored == "", "the extension stored installpath %r in the shared settings" % stored)
    step("no installpath stored: the extension found its own files")


def scratch_document(s):
    """The document where quillo computes DATE(...) arguments is none of the
    desktop's: a user closing every document leaves it working, and it is
    never one to be asked to save."""
    table = '=FHISTORY("BVM","Yahoo","DATE,CLOSE",DATE(2024,1,1),DATE(2024,1,%d),"d")'

    def loaded(doc, day):
        cell = doc.Sheets.getByIndex(0).getCellRangeByName
        type_formula(cell("A1"), table % day)
        try:
            wait_for("A1 (dates computed) to load its table", lambda: cell("A1").getString() == "Data loaded." and
                     cell("A5").getString() != "", WAIT)
        except AssertionError:
            print("A1 shows %r" % cell("A1").getString())
            raise

    loaded(s.new_sheet(), 12)
    listed = []
    e = s.desktop.Components.createEnumeration()
    while e.hasMoreElements():
        listed.append(e.nextElement())
    check(len(listed) == 1, "the desktop lists %d documents, not only the user's one" % len(listed))
    for d in listed:
        d.close(True)
    other = s.new_sheet()
    loaded(other, 19)
    other.close(True)
    step("scratch document: not among the desktop's documents, working after every document was closed")


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    quillo, market, data, oxt = sys.argv[1:]
    skip_unless_ready(oxt)
    t = time.monotonic()
    with CalcSession(quillo, market, data, oxt, minute_seconds=MINUTE_S) as s:
        s.watchdog(DEADLINE)
        s.set_settings([("history_service", history_proxy(s.base_url))])
        try:
            ods, xlsx, saved_time, round_trip = first_start(s, oxt)
            refreshed_by_the_command(s, round_trip)
            second_start(s, oxt, ods, xlsx, saved_time, round_trip)
            found_install_path(s)
        except BaseException:
            traceback.print_exc()
            print("soffice's output:\n" + s.soffice_log(), file=sys.stderr, flush=True)
            return 1
    if LATE:
        print("calc: %d check(s) failed:\n  %s" % (len(LATE), "\n  ".join(LATE)), file=sys.stderr)
        return 1
    step("passed in %.0f s" % (time.monotonic() - t))
    return 0


if __name__ == "__main__":
    sys.exit(main())
