#!/usr/bin/env bash
# Runs a Windows program under Wine in quillo's own prefix, quietly.
# scripts/windows.sh starts the prefix's wineserver beforehand (detached),
# so each run costs a fraction of a second instead of Wine's start-up.
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/quillo-wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
