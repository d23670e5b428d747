#!/usr/bin/python3
"""Takes the README's picture of Calc with live quillo cells (docs/screenshots/libreoffice.png).

Usage: screenshot.py QUILLO QUILLO_MARKET DATA_DIR OXT OUT.png

Runs Calc on a virtual X display (Xvfb, a Debian package), types a small
quote table of =FSINGLE(...) formulas into a new sheet, waits until every
cell shows its value and grabs the screen with libX11's XGetImage (LibreOffice
links libX11, so nothing else is needed), written as PNG with zlib.
"""

import ctypes
import os
import struct
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from calc_session import CalcSession, skip_unless_ready, wait_for  # noqa: E402

WIDTH, HEIGHT = 1200, 640
DISPLAY = ":97"


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_ubyte)), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int),
                ("red_mask", ctypes.c_ulong), ("green_mask", ctypes.c_ulong), ("blue_mask", ctypes.c_ulong)]


def grab(display, width, height):
    """The display's root window as rows of RGB bytes (24-bit TrueColor, 32 bits a pixel)."""
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XGetImage.restype = ctypes.POINTER(XImage)
    x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                            ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    d = x.XOpenDisplay(display.encode())
    if not d:
        raise RuntimeError("cannot open display %s" % display)
    img = x.XGetImage(d, x.XDefaultRootWindow(d), 0, 0, width, height, 0xFFFFFFFF, 2).contents  # ZPixmap
    if img.bits_per_pixel != 32:
        raise RuntimeError("%d bits a pixel; expected 32" % img.bits_per_pixel)
    raw = ctypes.string_at(img.data, img.bytes_per_line * height)
    rows = []
    for y in range(height):
        line = raw[y * img.bytes_per_line:y * img.bytes_per_line + width * 4]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = line[2::4], line[1::4], line[0::4]  # BGRX
        rows.append(bytes(rgb))
    x.XCloseDisplay(ctypes.c_void_p(d))
    return rows


def write_png(path, rows, width, height):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    body = zlib.compress(b"".join(b"\0" + r for r in rows), 9)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", body) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 6:
        print(__doc__, file=sys.stderr)
        return 2
    quillo, market, data, oxt, out = sys.argv[1:]
    skip_unless_ready(oxt)
    xvfb = subprocess.Popen(["timeout", "300", "Xvfb", DISPLAY, "-screen", "0", "%dx%dx24" % (WIDTH, HEIGHT),
                             "-nolisten", "tcp", "-ac"], stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        time.sleep(1)
        with CalcSession(quillo, market, data, oxt) as s:
            s.install_extension()
            s.start_calc(display=DISPLAY)
            doc = s.new_sheet(hidden=False)
            doc.getCurrentController().getFrame().getContainerWindow().setPosSize(0, 0, WIDTH, HEIGHT, 15)
            sheet = doc.Sheets.getByIndex(0)
            header = ["Symbol", "Name", "Last", "Change", "Change %", "Volume", "Time (UTC)"]
            fields = ["NAME", "LAST", "CHANGE", "CHANGEPCT", "VOLUME", "TIME"]
            for c, h in enumerate(header):
                sheet.getCellByPosition(c, 0).setString(h)
            ids = ["BVM", "NOB", "QRZ", "ODD", "ABC", "NOSUCH"]
            for r, i in enumerate(ids, start=1):
                sheet.getCellByPosition(0, r).setString(i)
                for c, f in enumerate(fields, start=1):
                    sheet.getCellByPosition(c, r).setPropertyValue("FormulaLocal",
                                                                   '=FSINGLE($A%d,"LMS.QUO.%s")' % (r + 1, f))
            sheet.getColumns().getByIndex(1).setPropertyValue("Width", 4200)
            sheet.getColumns().getByIndex(6).setPropertyValue("Width", 4200)
            area = sheet.getCellRangeByPosition(1, 1, len(fields), len(ids) - 1)
            wait_for("the quote table to fill",
                     lambda: all(v not in ("", "Loading data...") for row in area.getDataArray() for v in row), 60)
            doc.getCurrentController().select(sheet.getCellRangeByName("C2"))
            time.sleep(2)  # the window repaints
            write_png(out, grab(DISPLAY, WIDTH, HEIGHT), WIDTH, HEIGHT)
            print("wrote %s" % out)
            doc.close(True)
    finally:
        if xvfb.poll() is None:
            os.killpg(xvfb.pid, 15)
            xvfb.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
