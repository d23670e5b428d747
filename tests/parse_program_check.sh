#!/usr/bin/env bash
# The quillo program as `quillo parse` users run it: it starts without the
# libraries only the other commands need, reads a page from a file, a pipe
# or standard input alike, and hands every other command line (help,
# --version, mistakes, other commands) to quillo-commands beside it.
# Usage: parse_program_check.sh QUILLO TESTDATA_DIR
set -uo pipefail

quillo=$1
testdata=$2
case_dir="$testdata/parse/latin1-page"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

needed=$(readelf -d "$quillo" | grep NEEDED)
for lib in libcurl libssl libcrypto libzip libexpat libgumbo httplib; do
  if grep -q "$lib" <<<"$needed"; then fail "quillo loads $lib"; fi
done

parse=("$quillo" parse --definitions "$case_dir/ds.xml" --instrument X LAT.QUO)
"${parse[@]}" "$case_dir/page.html" >"$work/file.txt" || fail "parse of a file exits $?"
cmp -s "$work/file.txt" "$case_dir/expected.txt" || fail "parse of a file differs from expected.txt"
cat "$case_dir/page.html" | "${parse[@]}" /dev/stdin >"$work/pipe.txt" ||
  fail "parse of a pipe exits $?"
cmp -s "$work/pipe.txt" "$case_dir/expected.txt" || fail "parse of a pipe differs"
"${parse[@]}" - <"$case_dir/page.html" >"$work/stdin.txt" || fail "parse of - exits $?"
cmp -s "$work/stdin.txt" "$case_dir/expected.txt" || fail "parse of - differs"
"${parse[@]}" "$work" >/dev/null 2>"$work/err.txt"
code=$?
[ "$code" -eq 2 ] || fail "a folder as the page exits $code, not 2"
grep -q "cannot read the page" "$work/err.txt" || fail "a folder as the page: no reason given"

# A figure beyond a double's range shows as the cell shows it, not as "inf".
printf '<h1>X</h1><p>Dernier <b>%s</b></p><i>n</i>' "$(printf '9%.0s' $(seq 400))" >"$work/huge.html"
"${parse[@]}" "$work/huge.html" >"$work/huge.txt" || fail "parse of a huge figure exits $?"
grep -qx $'LAST\t#NUM!' "$work/huge.txt" || fail "a huge figure shows as $(grep LAST "$work/huge.txt")"

"$quillo" --version >"$work/version.txt" || fail "--version exits $?"
grep -q '^quillo ' "$work/version.txt" || fail "--version prints $(cat "$work/version.txt")"
"$quillo" parse --help >"$work/help.txt" || fail "parse --help exits $?"
grep -q 'SOURCE.CATEGORY' "$work/help.txt" || fail "parse --help prints no usage"
"$quillo" parse BEN.PAG page.html >/dev/null 2>"$work/err.txt"
code=$?
[ "$code" -eq 2 ] || fail "parse without --definitions exits $code, not 2"
grep -q -- '--definitions is required' "$work/err.txt" || fail "parse without --definitions: $(cat "$work/err.txt")"
"$quillo" show "$work/missing.xlsx" >/dev/null 2>&1
code=$?
[ "$code" -eq 2 ] || fail "show of a missing workbook exits $code, not 2"

[ "$failures" -eq 0 ] && echo "parse program: all checks passed"
[ "$failures" -eq 0 ]
