#!/usr/bin/env bash
# quillo ui under other programs' connections: while 64 connections without
# the token are open (8 sending one header byte a second, 56 idle) and 8
# event streams (8 tabs) are open, times 20 requests with the token (a new
# connection each, GET api/book, which runs on the event loop). Reports each
# request's time, the median and the worst.
# Then 10 bursts: 400 connections without the token opened as fast as they
# can be (a third with a partial head, a third with a refused post left
# open, a third idle) and 20 event streams, a request with the token right
# behind each burst; reports how many were answered and the worst time.
#
# Usage: bench/ui_slow_clients.sh BUILD_DIR
# Needs quillo and quillo-market built in BUILD_DIR, and python3.
set -euo pipefail

build=$1
quillo="$build/src/cli/quillo"
market="$build/testing/quillo-market"
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
market_pid=
ui_pid=
cleanup() {
  [ -n "$ui_pid" ] && kill "$ui_pid" 2>/dev/null && wait "$ui_pid" 2>/dev/null
  [ -n "$market_pid" ] && kill "$market_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$market" >"$work/market.txt" &
market_pid=$!
for _ in $(seq 50); do [ -s "$work/market.txt" ] && break; sleep 0.1; done
port=$(head -1 "$work/market.txt" | sed 's/.*://')

mkdir -p "$work/install"
sed "s/{port}/$port/g" "$here/data/ds.xml" >"$work/install/ds.xml"
cp "$here/data/tarnvale.xla" "$work/install/"
export QUILLO_HKCU_DIR="$work/store" QUILLO_HKLM_DIR="$work/store-machine"
"$quillo" settings set installpath "$work/install/" >/dev/null
cp "$here/data/demo.xlsx" "$work/book.xlsx"

"$quillo" ui "$work/book.xlsx" --no-open >"$work/ui.txt" 2>"$work/ui.err" &
ui_pid=$!
for _ in $(seq 100); do grep -q 'http://' "$work/ui.txt" 2>/dev/null && break; sleep 0.1; done
address=$(grep -o 'http://[^ ]*' "$work/ui.txt" | head -1)
[ -n "$address" ] || { cat "$work/ui.err" >&2; exit 1; }

python3 - "$address" <<'PY'
import socket, statistics, sys, threading, time, urllib.parse, http.client

address = sys.argv[1]
u = urllib.parse.urlsplit(address)
host, port, prefix = u.hostname, u.port, u.path

slow = []
for _ in range(8):
    s = socket.create_connection((host, port))
    s.sendall(b"GET /not-the-token/api/book HTTP/1.1\r\nX-Slow: ")
    slow.append(s)
idle = [socket.create_connection((host, port)) for _ in range(56)]
tabs = []
for i in range(8):
    s = socket.create_connection((host, port))
    s.sendall(f"GET {prefix}api/events?client=tab{i} HTTP/1.1\r\nHost: {host}:{port}\r\n"
              "Accept: text/event-stream\r\n\r\n".encode())
    tabs.append(s)

stop = False
def trickle():
    while not stop:
        for s in slow:
            try:
                s.send(b"x")
            except OSError:
                pass
        time.sleep(1)
t = threading.Thread(target=trickle)
t.start()
time.sleep(0.5)

times = []
try:
    for _ in range(20):
        start = time.monotonic()
        c = http.client.HTTPConnection(host, port, timeout=60)
        c.request("GET", prefix + "api/book")
        r = c.getresponse()
        r.read()
        c.close()
        elapsed = time.monotonic() - start
        if r.status != 200:
            raise SystemExit(f"answer {r.status}")
        times.append(elapsed)
finally:
    stop = True
    t.join()
    for s in slow + idle + tabs:
        s.close()

print("requests with the token while 64 connections without it (8 slow, 56 idle)")
print("and 8 event streams were open:")
print("  each (ms): " + " ".join(f"{x * 1000:.1f}" for x in times))
print(f"  median {statistics.median(times) * 1000:.1f} ms, worst {max(times) * 1000:.1f} ms")

def burst(n, streams):
    socks = []
    for i in range(n):
        s = socket.create_connection((host, port))
        if i % 3 == 0:
            s.sendall(f"GET /{prefix[1:11]} HTTP/1.1\r\nHost: {host}:{port}\r\n".encode())
        elif i % 3 == 1:
            s.sendall(f"POST /x HTTP/1.1\r\nHost: {host}:{port}\r\n"
                      "Content-Length: 1000000\r\n\r\nabc".encode())
        socks.append(s)
    for i in range(streams):
        s = socket.create_connection((host, port))
        s.sendall(f"GET {prefix}api/events?client=b{i} HTTP/1.1\r\nHost: {host}:{port}\r\n"
                  "Accept: text/event-stream\r\n\r\n".encode())
        socks.append(s)
    return socks

answered, times = 0, []
for _ in range(10):
    socks = burst(400, 20)
    start = time.monotonic()
    try:
        c = http.client.HTTPConnection(host, port, timeout=60)
        c.request("GET", prefix + "api/book")
        r = c.getresponse()
        r.read()
        c.close()
        answered += r.status == 200
        times.append(time.monotonic() - start)
    except OSError:
        pass
    for s in socks:
        s.close()
    time.sleep(0.5)

print("requests with the token right behind a burst of 400 connections without it")
print(f"and 20 event streams: {answered} of 10 answered"
      + (f", worst {max(times) * 1000:.1f} ms" if times else ""))
if answered != 10:
    raise SystemExit(1)
PY
