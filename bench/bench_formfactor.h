// The form-factor comparison of the benchmark (bench_formfactor.cpp).
#pragma once

#include <cstdio>

// Times the reference loop, the culled search and the runs of cells on the
// benchmark's form-factor scenes and prints their table to `table`; `fine`
// adds the scenes at 256 cells a side, `fine_reference` runs the reference
// loop on those too.
void formfactor_bench(FILE *table, bool fine, bool fine_reference);
