#!/usr/bin/env bash
# Runs a command (ctest, usually) with quillo's Wine prefix warm: its
# wineserver and services are started first with their standard streams
# detached, and stopped afterwards. A wineserver or service that inherits
# the command's streams keeps CTest waiting for their end for minutes.
#
#   cmake/wine-session.sh ctest --test-dir build/win -R Registry
set -uo pipefail
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/quillo-wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot </dev/null >/dev/null 2>&1
"$@"
status=$?
wineserver -k </dev/null >/dev/null 2>&1
exit $status
