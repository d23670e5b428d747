#!/usr/bin/env bash
# `quillo refresh`, `show`, `settings` and `watch`: exit codes, in-place saves and no
# files left behind by a failed command.
# Usage: xlsx_cli_check.sh QUILLO TESTDATA_DIR
set -uo pipefail

quillo=$1
testdata=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
# The add-in's settings go to a store of the run's own, never the user's.
export QUILLO_HKCU_DIR="$work/store/user" QUILLO_HKLM_DIR="$work/store/machine"

expect() {  # expect CODE DESCRIPTION COMMAND...
  local want=$1 what=$2
  shift 2
  "$@" >"$work/stdout" 2>"$work/stderr"
  local got=$?
  if [ "$got" -ne "$want" ]; then
    echo "FAIL $what: exit $got, wanted $want"; cat "$work/stderr"; failures=$((failures + 1))
  fi
}

cp "$testdata/xlsx/calc_book.xlsx" "$work/book.xlsx"
printf 'not a workbook' >"$work/text.xlsx"

expect 2 "no subcommand" "$quillo"
expect 2 "unknown setting" "$quillo" settings set nothing 1
expect 2 "setting out of range" "$quillo" settings set trading_updatefrq 7
expect 0 "setting in range" "$quillo" settings set trading_updatefrq 15
expect 0 "settings listed" "$quillo" settings
grep -qx "trading_updatefrq=15" "$work/stdout" ||
  { echo "FAIL settings did not list the new value"; failures=$((failures + 1)); }
expect 2 "watch of a missing book" "$quillo" watch "$work/absent.xlsx"
expect 2 "refresh without a book" "$quillo" refresh
expect 2 "missing book" "$quillo" refresh "$work/absent.xlsx"
expect 2 "not an xlsx file" "$quillo" refresh "$work/text.xlsx"
expect 2 "show of a text file" "$quillo" show "$work/text.xlsx"
expect 2 "unknown sheet" "$quillo" show "$work/book.xlsx" "'No Sheet'!A1"
expect 2 "not a range" "$quillo" show "$work/book.xlsx" "A1:"
expect 1 "output folder missing" "$quillo" refresh "$work/book.xlsx" -o "$work/none/out.xlsx"

expect 0 "show a range" "$quillo" show "$work/book.xlsx" "'Sheet 2'!A1:A2"
if [ "$(cat "$work/stdout")" != "$(printf "'Sheet 2'!A1\t=Data!D7*2\t1141\n'Sheet 2'!A2\t=SUM(Data!C2:C6)\t323")" ]; then
  echo "FAIL show a range printed:"; cat "$work/stdout"; failures=$((failures + 1))
fi

# A cell shows its value through its number format; --raw prints the value.
expect 0 "show formatted" "$quillo" show "$work/book.xlsx" "Data!H2"
grep -q "80.00%" "$work/stdout" || { echo "FAIL show did not format: $(cat "$work/stdout")"; failures=$((failures + 1)); }
expect 0 "show raw" "$quillo" show --raw "$work/book.xlsx" "Data!H2"
grep -qP "\t0.8$" "$work/stdout" || { echo "FAIL show --raw printed: $(cat "$work/stdout")"; failures=$((failures + 1)); }

expect 0 "refresh in place" "$quillo" refresh "$work/book.xlsx"
expect 0 "show after refresh" "$quillo" show --raw "$work/book.xlsx" "Data!I2"
grep -q "13.90250603845" "$work/stdout" || { echo "FAIL the NPV value was lost"; failures=$((failures + 1)); }

# Nothing but the book and the text file: no temporary or partial files.
leftovers=$(ls -A "$work" | grep -v -x -e book.xlsx -e text.xlsx -e stdout -e stderr -e store)
[ -z "$leftovers" ] || { echo "FAIL files left behind: $leftovers"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] && echo "ok"
exit $((failures > 0))
