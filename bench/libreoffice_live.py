#!/usr/bin/python3
"""Calc's start-up to first value, and its CPU with 1,000 live cells updating.

Usage: libreoffice_live.py QUILLO QUILLO_MARKET DATA_DIR OXT [MINUTE_S [WINDOW_S]]

A headless Calc with quillo.oxt in a fresh profile (tests/libreoffice/
calc_session.py), automatic updates every minute, against the local
market-data service on the real clock, so every update brings new prices.
The engine's minute is shortened to MINUTE_S seconds (default 6;
QUILLO_CALC_MINUTE_SECONDS), so a window of WINDOW_S seconds (default 60)
holds WINDOW_S / MINUTE_S updates of every cell.

  start to first value: from starting soffice (profile already made by
    unopkg) until a new sheet's =FSINGLE(...) shows a number; this includes
    the connection of the driver and the creation of the document.
  CPU: the user+system time of soffice.bin (/proc/PID/stat; the extension
    runs inside it) over the window, starting once all 1,000 cells
    (200 instruments x 5 fields, =FSINGLE) show numbers. Once per minute
    the driver reads every cell, as a view showing them would make Calc
    compute them (Calc computes a cell when it is shown or read). Printed:
    CPU per update of the 1,000 cells, which is the CPU per minute with one
    update a minute (an upper bound: it includes MINUTE_S seconds at rest),
    and how many cells changed per update. The market service is a separate process
    and is not counted.
"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "libreoffice"))
from calc_session import CalcSession, skip_unless_ready, wait_for  # noqa: E402

FIELDS = ["LAST", "CHANGE", "CHANGEPCT", "VOLUME", "PREVCLOSE"]
ROWS = 200
VALUE = 1  # com.sun.star.sheet.FormulaResult.VALUE


def soffice_bin_pid(session_pid):
    """The soffice.bin process in the process group started by the session."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % pid) as f:
                stat = f.read()
        except OSError:
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        if comm == "soffice.bin" and int(fields[2]) == session_pid:  # field 5: pgrp
            return int(pid)
    raise RuntimeError("no soffice.bin in process group %d" % session_pid)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks  # utime, stime


def main():
    if len(sys.argv) not in (5, 6, 7):
        print(__doc__, file=sys.stderr)
        return 2
    quillo, market, data, oxt = sys.argv[1:5]
    minute = float(sys.argv[5]) if len(sys.argv) > 5 else 6.0
    window = float(sys.argv[6]) if len(sys.argv) > 6 else 60.0
    skip_unless_ready(oxt)
    with CalcSession(quillo, market, data, oxt, settings=[("trading_updatefrq", "1")],
                     minute_seconds=minute) as s:
        s.install_extension()
        started = s.start_calc()
        doc = s.new_sheet()
        sheet = doc.Sheets.getByIndex(0)
        first = sheet.getCellRangeByName("A1")
        first.setPropertyValue("FormulaLocal", '=FSINGLE("BVM","LMS.QUO.LAST")')
        wait_for("the first value", lambda: first.getPropertyValue("FormulaResultType2") == VALUE, 60, poll=0.02)
        print("start to first value: %.2f s" % (time.monotonic() - started))

        ids = instrument_ids(s.base_url, ROWS)
        t = time.monotonic()
        formulas = [['=FSINGLE("%s","LMS.QUO.%s")' % (i, f) for f in FIELDS] for i in ids]
        area = sheet.getCellRangeByPosition(1, 1, len(FIELDS), ROWS)
        for r, row in enumerate(formulas):
            for c, text in enumerate(row):
                area.getCellByPosition(c, r).setPropertyValue("FormulaLocal", text)

        def all_numbers():
            return all(isinstance(v, float) for row in area.getDataArray() for v in row)

        wait_for("1,000 cells to show numbers", all_numbers, 300, poll=0.5)
        print("1,000 cells typed and filled: %.1f s" % (time.monotonic() - t))

        pid = soffice_bin_pid(s.soffice.pid)
        shown = [tuple(r) for r in area.getDataArray()]
        c0, w0 = cpu_seconds(pid), time.monotonic()
        changed = []
        while time.monotonic() - w0 < window:
            time.sleep(minute)
            now = [tuple(r) for r in area.getDataArray()]
            changed.append(sum(1 for a, b in zip(shown, now) for x, y in zip(a, b) if x != y))
            shown = now
        c1, w1 = cpu_seconds(pid), time.monotonic()
        updates = (w1 - w0) / minute
        print("soffice.bin CPU over %.0f s with the minute at %g s (%.0f updates of 1,000 cells): %.2f s; "
              "%.3f s per update = per minute with one update a minute (%.2f%% of one core); "
              "cells changed per update: %s" %
              (w1 - w0, minute, updates, c1 - c0, (c1 - c0) / updates, 100 * (c1 - c0) / updates / 60,
               ", ".join(str(n) for n in changed)))
        doc.close(True)
    return 0


def instrument_ids(base_url, n):
    """The first n instrument ids the service's symbol search lists."""
    import re
    import urllib.request
    ids = []
    for letter in "ABCDEFGHIJKLMNOPQRSTUVWXYZ":
        with urllib.request.urlopen("%s/search?q=%s" % (base_url, letter), timeout=10) as r:
            page = r.read().decode("utf-8", "replace")
        for sym in re.findall(r"<tr><td>[^<]*</td><td>([A-Z]{3})</td>", page):
            if sym not in ids:
                ids.append(sym)
        if len(ids) >= n:
            return ids[:n]
    raise RuntimeError("the service's search listed only %d ids" % len(ids))


if __name__ == "__main__":
    sys.exit(main())
