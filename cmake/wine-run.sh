#!/usr/bin/env bash
# Runs a Windows program under Wine in quillo's own prefix, quietly.
# scripts/windows.sh starts the prefix's wineserver beforehand (detached),
# so each run costs a fraction of a second instead of Wine's start-up.
#
# A test program always prints before it runs anything (the test runner's
# banner). When Wine fails to start one, which happens now and then on a
# busy machine, the run ends in an error with nothing printed at all; that
# start is tried again, up to twice, with a word on stderr. A test that
# ran and failed has printed, so it is never run again.
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/quillo-wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
case "$(basename -- "${1:-}")" in
  *_test.exe) ;;
  *) exec wine "$@" ;;
esac
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for attempt in 1 2 3; do
  wine "$@" >"$out"
  status=$?
  cat "$out"
  if [ "$status" -eq 0 ] || [ -s "$out" ] || [ "$attempt" -eq 3 ]; then
    exit "$status"
  fi
  echo "wine-run: $(basename -- "$1") printed nothing and ended with $status; starting it again" >&2
done
