#!/usr/bin/env bash
# Starts or stops the native market-data service for the Windows build's
# tests (a CTest fixture): the tests, running under Wine, fetch from it on
# 127.0.0.1.
#
#   market-service-fixture.sh start NATIVE_BUILD URLS_FILE
#   market-service-fixture.sh stop  ""           URLS_FILE
#
# start runs NATIVE_BUILD/testing/quillo-market in the background and
# writes its two addresses (main service, fault server) to URLS_FILE; with
# no native build it writes nothing, and the tests that need the service
# skip. stop ends the service it started (its id is kept beside URLS_FILE)
# and removes the file.
set -euo pipefail
action=$1
native=$2
urls=$3
pidfile="$urls.pid"

stop() {
  if [ -f "$pidfile" ]; then
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    rm -f "$pidfile"
  fi
  rm -f "$urls" "$urls.out" "$urls.err"
}

case "$action" in
  start)
    stop
    exe="$native/testing/quillo-market"
    if [ -z "$native" ] || [ ! -x "$exe" ]; then
      echo "market-service-fixture: no native quillo-market (QUILLO_NATIVE_BUILD='$native');" \
        "the tests that fetch from it will be skipped" >&2
      exit 0
    fi
    # Detached from CTest's pipes, or CTest would wait for the service to end.
    "$exe" </dev/null >"$urls.out" 2>"$urls.err" &
    echo $! >"$pidfile"
    for _ in $(seq 100); do
      if [ "$(wc -l <"$urls.out")" -ge 2 ]; then
        head -n 2 "$urls.out" >"$urls.tmp"
        mv "$urls.tmp" "$urls"
        echo "market-service-fixture: $(tr '\n' ' ' <"$urls")"
        exit 0
      fi
      if ! kill -0 "$(cat "$pidfile")" 2>/dev/null; then break; fi
      sleep 0.1
    done
    echo "market-service-fixture: quillo-market did not start: $(cat "$urls.err")" >&2
    stop
    exit 1
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start|stop NATIVE_BUILD URLS_FILE" >&2
    exit 2
    ;;
esac
