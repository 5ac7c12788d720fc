#!/usr/bin/env bash
# Checks tests/EXIT_CODES.md against the tests that exist: every row of its
# tables names at least one test, or says why none can trigger it ("not
# triggered: ..."), and every test it names exists:
#   - a name with a dot (Suite.Name, with its instantiation and parameter
#     when it has them) must be a test of the built suite (ctest -N);
#   - a name starting with test_ must be a function of the viewer's
#     end-to-end tests (tests/viewer/*.sh).
# Usage: tests/check_exit_codes.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: tests/check_exit_codes.sh BUILD_DIR}
table=tests/EXIT_CODES.md

known=$(ctest --test-dir "$build" -N | sed -n 's/^ *Test *#[0-9]*: //p' | sed 's/  #.*//')
[ -n "$known" ] || { echo "no tests listed in $build"; exit 1; }

problems=0
rows=0
while IFS= read -r line; do
    # the rows of the tables: "| code | ... | tests |", not the header or the rule
    [[ $line == "| "[0-9]* ]] || continue
    rows=$((rows + 1))
    tests_cell=${line%|}
    tests_cell=${tests_cell##*|}
    names=$(grep -o '`[^`]*`' <<<"$tests_cell" | tr -d '`' || true)
    if [ -z "$names" ]; then
        if ! grep -q 'not triggered' <<<"$tests_cell"; then
            echo "no test and no reason: $line"
            problems=$((problems + 1))
        fi
        continue
    fi
    while IFS= read -r name; do
        if [[ $name == test_* ]]; then
            grep -q "^$name()" tests/viewer/*.sh 2>/dev/null || { echo "no viewer test $name"; problems=$((problems + 1)); }
        elif [[ $name == *.* ]]; then
            grep -qxF "$name" <<<"$known" || { echo "no test $name"; problems=$((problems + 1)); }
        else
            echo "not a test name: $name"
            problems=$((problems + 1))
        fi
    done <<<"$names"
done <"$table"

echo "$table: $rows rows, $problems problems"
[ "$rows" -gt 0 ] && [ "$problems" -eq 0 ]
