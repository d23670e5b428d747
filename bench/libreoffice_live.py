#!/usr/bin/python3
"""Calc's start-up to first value, and its CPU with 1,000 live cells.

Usage: libreoffice_live.py QUILLO QUILLO_MARKET DATA_DIR OXT [PERIODS]

A headless Calc with quillo.oxt in a fresh profile (tests/libreoffice/
calc_session.py), automatic updates every minute (the shortest interval the
settings take), against the local market-data service on the real clock, so
every update brings new prices.

  start to first value: from starting soffice (profile already made by
    unopkg) until a new sheet's =FSINGLE(...) shows a number; this includes
    the connection of the driver and the creation of the document.
  CPU: the user+system time of soffice.bin (/proc/PID/stat; the extension
    runs inside it) over PERIODS whole minutes (default 3), starting once
    all 1,000 cells (200 instruments x 5 fields, =FSINGLE) show numbers,
    divided by the wall time: the share of one core. Nothing reads the cells
    while it is measured. The market service is a separate process and is
    not counted.
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
    if len(sys.argv) not in (5, 6):
        print(__doc__, file=sys.stderr)
        return 2
    quillo, market, data, oxt = sys.argv[1:5]
    periods = int(sys.argv[5]) if len(sys.argv) == 6 else 3
    skip_unless_ready(oxt)
    with CalcSession(quillo, market, data, oxt, settings=[("trading_updatefrq", "1")]) as s:
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

        wait_for("1,000 cells to show numbers", all_numbers, 300, poll=1)
        print("1,000 cells typed and filled: %.1f s" % (time.monotonic() - t))

        pid = soffice_bin_pid(s.soffice.pid)
        before = [tuple(r) for r in area.getDataArray()]
        c0, w0 = cpu_seconds(pid), time.monotonic()
        time.sleep(60 * periods)
        c1, w1 = cpu_seconds(pid), time.monotonic()
        after = [tuple(r) for r in area.getDataArray()]
        changed = sum(1 for a, b in zip(before, after) for x, y in zip(a, b) if x != y)
        print("soffice.bin CPU over %.0f s (%d update periods of 1 min): %.2f s, %.1f%% of one core; "
              "%d of 1,000 cells changed" % (w1 - w0, periods, c1 - c0, 100 * (c1 - c0) / (w1 - w0), changed))
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
