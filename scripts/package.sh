#!/usr/bin/env bash
# Builds the release program and makes a Debian package of it
# (build/demo/quillo_<version>_<arch>.deb).
#   scripts/package.sh           build the package
#   scripts/package.sh check     build it, install it with dpkg, run the
#                                installed `quillo demo` from an empty folder,
#                                and remove the package again (needs root or sudo)
# scripts/setup.sh --package installs the tools it needs and builds the
# browser front end the package carries.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-build}
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLO_TESTS=OFF -DQUILLO_BENCH=OFF >/dev/null
# The LibreOffice Calc extension goes into the package where LibreOffice's
# SDK is installed (scripts/setup.sh --test installs it).
targets=(--target quillo)
oxt=no
# (grep reads cmake's whole answer: an early exit would fail the pipe.)
if grep -q '^QUILLO_LIBREOFFICE:BOOL=ON' <<<"$(cmake -N -L build/demo 2>/dev/null)"; then
  targets+=(--target quillo_oxt)
  oxt=yes
fi
cmake --build build/demo "${targets[@]}"
(cd build/demo && cpack -G DEB >/dev/null)
deb=$(ls -t build/demo/quillo_*.deb | head -n 1)
echo "package: $deb"
# The runtime libraries are found by dpkg-shlibdeps; the package must name
# each of them (libgumbo1 parses pages for link creation).
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libgumbo1 libcurl4 libzip4 libpugixml1v5; do
  case "$depends" in
    *"$lib"*) ;;
    *) echo "package: $deb does not depend on $lib (Depends: $depends)" >&2; exit 1 ;;
  esac
done
if [ $oxt = yes ] && ! grep -q ' ./usr/lib/quillo/quillo.oxt$' <<<"$(dpkg-deb -c "$deb")"; then
  echo "package: $deb does not carry usr/lib/quillo/quillo.oxt" >&2
  exit 1
fi
[ "$mode" = check ] || exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
if dpkg-query -W -f='${Status}' quillo 2>/dev/null | grep -q "install ok installed"; then
  echo "package check: quillo is already installed on this machine; not touching it" >&2
  exit 1
fi
work=$(mktemp -d)
cleanup() { $sudo dpkg -r quillo >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
# Without LibreOffice the maintainer scripts do nothing and succeed.
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm; do
  PATH=/nonexistent /bin/sh "$work/control/$script" configure 2>/dev/null ||
    { echo "package check: $script fails without LibreOffice" >&2; exit 1; }
done
$sudo dpkg -i "$deb" >/dev/null
# With LibreOffice, the extension is installed for every user.
listed() {
  local profile out
  profile=$(mktemp -d)
  out=$($sudo unopkg list --shared "-env:UserInstallation=file://$profile" 2>/dev/null || true)
  rm -rf "$profile"
  grep -q 'org.quillo.calc' <<<"$out"
}
if [ $oxt = yes ] && command -v unopkg >/dev/null; then
  listed || { echo "package check: quillo.oxt is not installed for all users (unopkg list --shared)" >&2; exit 1; }
fi
# The installed program finds its data in /usr/share/quillo from any folder;
# its settings go to a store of the run's own.
(cd "$work" && XDG_CONFIG_HOME="$work/config" /usr/bin/quillo demo -o "$work/out.xlsx" >"$work/demo.log")
grep -q '^saved ' "$work/demo.log" || { cat "$work/demo.log"; exit 1; }
$sudo dpkg -r quillo >/dev/null
if [ -e /usr/bin/quillo ] || [ -e /usr/bin/quillo-commands ] || [ -e /usr/share/quillo ] || [ -e /usr/lib/quillo ]; then
  echo "package check: dpkg -r left files behind" >&2
  exit 1
fi
if [ $oxt = yes ] && command -v unopkg >/dev/null && listed; then
  echo "package check: dpkg -r left quillo.oxt installed in LibreOffice" >&2
  exit 1
fi
echo "package check: installed, ran quillo demo, removed (LibreOffice extension: $oxt)"
