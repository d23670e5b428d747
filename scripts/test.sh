#!/usr/bin/env bash
# Sets up, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every test, then gives each fuzz target a short run over its corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs=$(nproc)

# -O1 without debug information: what the sanitizers need, at the lowest
# build cost. Benchmarks are built and run on their own (see README).
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O1 \
  -DQUILLO_SANITIZE=ON -DQUILLO_BENCH=OFF >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan -j "$jobs" --output-on-failure --timeout 300

./scripts/fuzz.sh smoke
