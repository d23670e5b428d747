#!/usr/bin/env bash
# Registers (or, with /u, unregisters) quillo.dll with Wine's regsvr32.
# regsvr32 reads an argument starting with "/" as a switch, so the DLL's
# Unix path is converted to a Windows path first.
#
#   regsvr32.sh <wine-run.sh> <quillo.dll> [/u]
set -euo pipefail
run=$1
dll=$2
shift 2
path=$("$run" winepath -w "$dll" | tr -d '\r')
exec "$run" regsvr32 /s "$@" "$path"
