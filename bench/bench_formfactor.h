// The form-factor comparison of the benchmark (bench_formfactor.cpp).
#pragma once

#include <cstdio>

// Times the reference loop, the culled search and the runs of cells on the
// benchmark's form-factor scenes and prints their table to `table`; `fine`
// adds the scenes at 256 cells a side, `fine_reference` runs the reference
// loop on those too. The culled search and runs of cells take `repeat`
// turns each, in alternation (0: five on the coarse scenes, two on the fine
// ones), and the best time of each is reported.
void formfactor_bench(FILE *table, bool fine, bool fine_reference, int repeat);
