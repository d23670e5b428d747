#!/usr/bin/env bash
# Calc with quillo.oxt: the time from Calc's start to the first value, and
# the CPU Calc spends with 1,000 live cells updating every minute, the
# engine's minute shortened to MINUTE_S seconds (what is measured:
# bench/libreoffice_live.py). Takes WINDOW_S seconds and about a minute.
#
#   bench/libreoffice_live.sh [BUILD_DIR [OXT [MINUTE_S [WINDOW_S]]]]
#
# BUILD_DIR holds quillo, quillo-market and the extension (default build/demo,
# the release tree: cmake --build build/demo --target quillo quillo-market
# quillo_oxt); OXT defaults to the one built there. Run it under the
# build lock so no build runs beside it:
#   flock /tmp/quillo-build.lock bench/libreoffice_live.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/demo}
oxt=${2:-$build/src/libreoffice/quillo.oxt}
minute=${3:-6}
window=${4:-60}
exec /usr/bin/python3 "$here/bench/libreoffice_live.py" "$build/src/cli/quillo" \
  "$build/testing/quillo-market" "$here/data" "$oxt" "$minute" "$window"
