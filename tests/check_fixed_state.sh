#!/bin/sh
# The form-factor stage keeps no state of its own: what a worker changes is
# in its worker record and what the run fixes in its read-only tables, both
# passed by pointer. So the stage's library must define no writable data at
# all (nm's b, B, d, D, g, G, s, S symbols: .bss, .data and their small
# kinds), only code and constants. The sanitizers' own bookkeeping symbols
# are not the code's and are passed over.
# Usage: tests/check_fixed_state.sh LIBRARY.a
set -eu
library=$1
found=$(nm -C --defined-only "$library" | grep -E ' [bBdDgGsS] ' | grep -vE '__(asan|ubsan|odr_asan|sancov)|\.L' || true)
if [ -n "$found" ]; then
    echo "writable data defined in $library:"
    echo "$found"
    exit 1
fi
echo "no writable data in $library"
