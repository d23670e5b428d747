#!/usr/bin/env bash
# Installs the Debian packages quillo needs to build, test and benchmark.
# Safe to run again: packages already present are skipped.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang-format dpkg-dev file
  libpugixml-dev libcli11-dev libcurl4-openssl-dev libcpp-httplib-dev libzip-dev libgumbo-dev
  libexpat1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  python3-openpyxl libreoffice-calc
  chromium
  g++-mingw-w64-x86-64 wine wine64 mingw-w64-tools libwine-dev
)
# Node.js and npm build the browser front end and run its tests. A Node.js
# from elsewhere (with its own npm) is used as it is.
if ! command -v npm >/dev/null 2>&1; then packages+=(nodejs npm); fi

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
