#!/usr/bin/env bash
# Installs the Debian packages quillo needs. Safe to run again: packages
# already present are skipped, and the front end is built only when a
# source is newer than its build.
#
#   scripts/setup.sh          what building the program and `quillo demo` need
#                             (the demo command runs this)
#   scripts/setup.sh --web    that, Node.js and the browser front end (web/dist,
#                             which `quillo ui` serves)
#   scripts/setup.sh --package  that and the tools scripts/package.sh needs
#   scripts/setup.sh --libreoffice  what building the program needs and the
#                             LibreOffice SDK, to build the Calc extension
#                             quillo.oxt (and Calc to run it)
#   scripts/setup.sh --test   everything the tests, the fuzz run, the Windows
#                             build under Wine, the package check and the
#                             benchmarks need, the front end included (the
#                             test command runs this)
set -euo pipefail
mode=${1:-demo}
case "$mode" in
  demo | --web | --package | --libreoffice | --test) ;;
  *) echo "usage: scripts/setup.sh [--web | --package | --libreoffice | --test]" >&2; exit 2 ;;
esac

# The compiler, the build tools and the libraries the program links.
packages=(
  cmake ninja-build g++ pkg-config
  libpugixml-dev libcli11-dev libcurl4-openssl-dev libcpp-httplib-dev libzip-dev libgumbo-dev
  libexpat1-dev nlohmann-json3-dev
)
if [ "$mode" = --test ]; then
  packages+=(
    # unit tests and benchmarks; the format check
    libgtest-dev libgmock-dev libbenchmark-dev clang-format
    # the fuzz targets (libFuzzer comes with clang's runtime)
    clang-14 libclang-rt-14-dev
    # xlsx files read back and formulas compared: openpyxl and LibreOffice
    python3-openpyxl libreoffice-calc
    # the browser tests
    chromium
    # the Windows add-in, cross-built and tested under Wine
    g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 libwine-dev
  )
fi
# The Calc extension: the SDK (cppumaker, unoidl-write, the UNO headers),
# Calc, python3-uno to drive a headless Calc in the tests, Xvfb for a
# screenshot of the menu.
if [ "$mode" = --libreoffice ] || [ "$mode" = --test ]; then
  packages+=(libreoffice-dev libreoffice-calc python3-uno xvfb)
fi
# The Debian package (cpack's dpkg-shlibdeps), and pugixml's source for Windows.
if [ "$mode" = --package ] || [ "$mode" = --test ]; then packages+=(dpkg-dev file); fi
# Node.js and npm build the browser front end and run its tests. A Node.js
# from elsewhere (with its own npm) is used as it is; npm fetches the front
# end's packages over https.
if [ "$mode" != demo ] && [ "$mode" != --libreoffice ] && ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm ca-certificates)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "setup: installing ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
[ "$mode" = demo ] || [ "$mode" = --libreoffice ] && exit 0

# The browser front end (web/): its npm packages as package-lock.json pins
# them, and its build into web/dist, which quillo serves. Built again only
# when a source is newer than the build.
cd "$(dirname "$0")/../web"
if [ ! -d node_modules ] || [ package-lock.json -nt node_modules ]; then
  echo "setup: installing the front end's npm packages" >&2
  npm ci --no-audit --no-fund --loglevel=error
  touch node_modules
fi
if [ ! -f dist/index.html ] || [ -n "$(find src build.mjs -newer dist/index.html -print -quit)" ]; then
  echo "setup: building the front end" >&2
  npm run --silent build
fi
