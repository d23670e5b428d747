#!/usr/bin/env bash
# Sets up, builds and runs quillo's main job: `quillo demo` starts the local
# market-data service on a loopback port, fills the bundled demo workbook
# (data/demo.xlsx) from it through the whole engine, saves demo-out.xlsx and
# prints the filled table. Needs no network.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLO_TESTS=OFF -DQUILLO_BENCH=OFF >/dev/null
cmake --build build/demo --target quillo
./build/demo/src/cli/quillo demo -o demo-out.xlsx
