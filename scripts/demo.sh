#!/usr/bin/env bash
# Sets up, builds and runs quillo's main job on the bundled sample: the
# definition-based parse of a saved quote page.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLO_TESTS=OFF -DQUILLO_BENCH=OFF >/dev/null
cmake --build build/demo --target quillo
./build/demo/src/cli/quillo parse --definitions data/sample/ds.xml --instrument IBM \
  SMP.QUO data/sample/quote-IBM.html
