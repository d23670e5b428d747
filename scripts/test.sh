#!/usr/bin/env bash
# Sets up, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every test, gives each fuzz target a short run over its corpus,
# builds and tests the Windows add-in under Wine, and checks the Debian
# package (built, installed, run, removed) when it can.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step's end, with the seconds since the start: where a slow run went.
took() { echo "test: $1 done at ${SECONDS}s" >&2; }
./scripts/setup.sh --test
took setup
./scripts/format_check.sh
jobs=$(nproc)

# The LibreOffice extension runs inside soffice, which carries no sanitizer
# runtime: it is built in the release tree scripts/package.sh uses (where
# LibreOffice's SDK is installed), and the Calc tests of the sanitizer build
# install it from there.
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLO_TESTS=OFF -DQUILLO_BENCH=OFF >/dev/null
oxt=""
# (grep reads cmake's whole answer: an early exit would fail the pipe.)
if grep -q '^QUILLO_LIBREOFFICE:BOOL=ON' <<<"$(cmake -N -L build/demo 2>/dev/null)"; then
  cmake --build build/demo -j "$jobs" --target quillo_oxt
  oxt=$PWD/build/demo/src/libreoffice/quillo.oxt
fi

# -O1 without debug information: what the sanitizers need, at the lowest
# build cost; a unity build (several sources compiled as one) parses each
# header and instantiates each template once per batch rather than once per
# source. Benchmarks are built and run on their own (see docs/benchmarks.md).
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O1 \
  -DQUILLO_SANITIZE=ON -DQUILLO_BENCH=OFF -DCMAKE_UNITY_BUILD=ON "-DQUILLO_OXT=$oxt" >/dev/null
cmake --build build/asan -j "$jobs"
took "sanitizer build"
ctest --test-dir build/asan -j "$jobs" --output-on-failure --timeout 300
took tests

./scripts/fuzz.sh smoke
took fuzz

# The Windows add-in, cross-built with mingw-w64 and tested under Wine.
./scripts/windows.sh build/win
took "Windows add-in"

# The package check installs into /usr: only where we may (CI runs as root).
if [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; then
  ./scripts/package.sh check
  took "package check"
else
  echo "test: package check skipped (needs root or sudo)" >&2
fi
