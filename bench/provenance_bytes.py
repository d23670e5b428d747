#!/usr/bin/env python3
"""Bytes the provenance record adds to a saved workbook, per filled cell.

Usage: bench/provenance_bytes.py BOOK.xlsx

The record is the very hidden sheet quillo_provenance. Its cost in the
file is its sheet part as stored (deflated), plus the shared strings only
it uses, deflated on their own as the package would store them, plus its
entries in the workbook, its relationships and the content types (their
deflated size with and without those entries). Filled cells are counted
from the record itself: one per single item or web link, and every cell of
a price-history table or indicator series (with its formula cell).
"""
import re
import sys
import zipfile
import zlib

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def deflated(data: bytes) -> int:
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return len(c.compress(data) + c.flush())


def main(path: str) -> None:
    z = zipfile.ZipFile(path)
    wb = z.read("xl/workbook.xml").decode()
    rels = z.read("xl/_rels/workbook.xml.rels").decode()
    types = z.read("[Content_Types].xml").decode()
    m = re.search(r'<sheet [^>]*name="quillo_provenance"[^>]*/>', wb)
    if not m:
        sys.exit(f"{path}: no quillo_provenance sheet")
    rid = re.search(r'r:id="([^"]+)"', m.group(0)).group(1)
    rel = re.search(r'<Relationship [^>]*Id="%s"[^>]*/>' % rid, rels).group(0)
    target = re.search(r'Target="([^"]+)"', rel).group(1).lstrip("/")
    part = target if target.startswith("xl/") else "xl/" + target
    info = z.getinfo(part)
    sheet_xml = z.read(part).decode()
    ctype = re.search(r'<Override [^>]*PartName="/%s"[^>]*/>' % re.escape(part), types)

    # Shared strings the record's cells use and no other sheet does.
    own = set(int(v) for v in re.findall(r'<c [^>]*t="s"[^>]*><v>(\d+)</v>', sheet_xml))
    others = set()
    for name in z.namelist():
        if name.startswith("xl/worksheets/") and name.endswith(".xml") and name != part:
            others |= set(int(v) for v in re.findall(r'<c [^>]*t="s"[^>]*><v>(\d+)</v>',
                                                     z.read(name).decode()))
    strings_bytes = 0
    lines = []
    if "xl/sharedStrings.xml" in z.namelist():
        sst = z.read("xl/sharedStrings.xml").decode()
        items = re.findall(r"<si>.*?</si>", sst, re.S)
        mine = [items[i] for i in sorted(own - others) if i < len(items)]
        strings_bytes = deflated("".join(mine).encode())
        for i in sorted(own):
            t = re.sub(r"<[^>]+>", "", items[i]) if i < len(items) else ""
            lines.append(t)
    inline = re.findall(r"<is><t[^>]*>(.*?)</t></is>", sheet_xml, re.S)
    lines += inline

    # The entries naming the part.
    wb_cost = deflated(wb.encode()) - deflated(wb.replace(m.group(0), "").encode())
    rel_cost = deflated(rels.encode()) - deflated(rels.replace(rel, "").encode())
    type_cost = 0
    if ctype:
        type_cost = deflated(types.encode()) - deflated(types.replace(ctype.group(0), "").encode())
    entry = 30 + 46 + 2 * len(part)  # zip local header and central directory entry with the name

    records = 0
    cells = 0
    for line in lines:
        f = line.split("\t")
        if f[0] != "C" or len(f) < 5:
            continue
        records += 1
        block = f[3]
        if not block:
            cells += 1
            continue
        a, b = block.split(":")
        def rc(s):
            col = 0
            i = 0
            while s[i].isalpha():
                col = col * 26 + ord(s[i]) - 64
                i += 1
            return int(s[i:]), col
        (r1, c1), (r2, c2) = rc(a), rc(b)
        cells += (r2 - r1 + 1) * (c2 - c1 + 1) + 1
    total = info.compress_size + strings_bytes + wb_cost + rel_cost + type_cost + entry
    print(f"{path}: {records} records, {cells} filled cells")
    print(f"  sheet part {info.compress_size} B deflated ({info.file_size} B plain), "
          f"its shared strings {strings_bytes} B, package entries {wb_cost + rel_cost + type_cost + entry} B")
    print(f"  total {total} B: {total / max(cells, 1):.1f} B per filled cell, "
          f"{total / max(records, 1):.1f} B per record")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
