#!/usr/bin/env bash
# Builds quillo for Windows (quillo.dll, its tests and the release archive
# quillo-windows-<version>.zip) with mingw-w64 and runs the tests under Wine.
#
#   scripts/windows.sh [BUILD_DIR]     (default build/win)
#
# pugixml has no mingw package in Debian, so its Debian source package is
# fetched (checked against the archive's signatures by apt) and compiled
# into the build. The tests run under Wine in a prefix of its own under
# $TMPDIR (cmake/wine-session.sh keeps its wineserver warm while they run).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build/win}
mkdir -p "$build"
build=$(cd "$build" && pwd)

# The Debian source of pugixml, the same version as the native package.
deps="$build/deps"
pugixml_version=$(dpkg-query -W -f='${source:Version}' libpugixml-dev)
pugixml_dir="$deps/pugixml-${pugixml_version%%-*}"
if [ ! -f "$pugixml_dir/src/pugixml.cpp" ]; then
  mkdir -p "$deps/apt/lists/partial"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
    >"$deps/apt/sources.list"
  apt_opts=(-qq -o "Dir::Etc::SourceList=$deps/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
            -o "Dir::State::Lists=$deps/apt/lists" -o "Dir::Cache=$deps/apt/cache")
  echo "windows: fetching the Debian source of pugixml $pugixml_version" >&2
  apt-get "${apt_opts[@]}" update
  (cd "$deps" && apt-get "${apt_opts[@]}" source --download-only "pugixml=$pugixml_version" 2>/dev/null)
  (cd "$deps" && dpkg-source --no-check -x "pugixml_${pugixml_version}.dsc" "$pugixml_dir" >/dev/null)
fi

# The native build whose market-data service the WinHTTP tests fetch from
# (without one those tests skip).
native=""
for tree in build/asan build/dev; do
  if [ -x "$root/$tree/testing/quillo-market" ]; then
    native="$root/$tree"
    break
  fi
done

# A unity build (several sources compiled as one) takes less than half the
# compiler's time.
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O1 -DQUILLO_BENCH=OFF -DCMAKE_UNITY_BUILD=ON \
  -DQUILLO_PUGIXML_SOURCE="$pugixml_dir" -DQUILLO_NATIVE_BUILD="$native" "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
cmake/wine-session.sh ctest --test-dir "$build" -j "$(nproc)" --output-on-failure --timeout 120
# The build also packed the release archive.
ls "$build"/quillo-windows-*.zip
