#!/usr/bin/env bash
# quillo link add on a large page of text: 60 MB (or SIZE_MB) of paragraphs
# about 1 KB long, then a small quote table whose last price is linked.
# Reports the exit code, wall time and peak memory (/usr/bin/time -v), and
# the peak memory as a multiple of the page's size.
#
# Usage: bench/weblink_large.sh BUILD_DIR     (a Release build)
#        SIZE_MB=30 bench/weblink_large.sh ...
#        KEEP=out.xlsx bench/weblink_large.sh ...   (keeps the written workbook)
# Needs python3 (its http.server serves the page) and /usr/bin/time.
set -euo pipefail

build=$1
size_mb=${SIZE_MB:-60}
quillo="$build/src/cli/quillo"
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/pages" "$work/install" "$work/user" "$work/machine"
python3 - "$work/pages/large.html" "$size_mb" <<'PY'
import sys
path, mb = sys.argv[1], int(sys.argv[2])
words = "market close report shares index trading volume price session outlook".split()
para = " ".join(words[(i * 7) % len(words)] for i in range(150))
with open(path, "w") as f:
    f.write("<html><head><title>Report</title></head><body>\n")
    n = 0
    i = 0
    while n < mb * 1024 * 1024:
        line = f"<p class=\"t\">{i} {para}</p>\n"
        f.write(line)
        n += len(line)
        i += 1
    f.write("<table id=\"q\"><tr><td>Last</td><td>4321.25</td></tr></table></body></html>\n")
PY
bytes=$(stat -c %s "$work/pages/large.html")

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/pages" >/dev/null 2>&1 &
server_pid=$!
for _ in $(seq 50); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" 2>/dev/null && break
  sleep 0.1
done

export QUILLO_HKCU_DIR="$work/user" QUILLO_HKLM_DIR="$work/machine"
cp "$here/data/ds.xml" "$here/data/tarnvale.xla" "$work/install/"
"$quillo" settings set installpath "$work/install" >/dev/null
cp "$here/testdata/xlsx/openpyxl_book.xlsx" "$work/book.xlsx"
set +e
/usr/bin/time -v -o "$work/time.txt" "$quillo" link add "$work/book.xlsx" Data!B2 \
  "http://127.0.0.1:$port/large.html" 4321.25 --timeout 120 >"$work/out.txt" 2>"$work/err.txt"
code=$?
set -e
seconds=$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$work/time.txt")
kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
awk -v b="$bytes" -v c="$code" -v s="$seconds" -v kb="$kb" \
  'BEGIN{printf "%.1f MB page: exit %d, %s wall, %d MB peak (%.1fx the page)\n", b/1048576, c, s, kb/1024, kb*1024/b}'
cat "$work/out.txt" "$work/err.txt" | head -5
if [ -n "${KEEP:-}" ]; then cp "$work/book.xlsx" "$KEEP"; fi
