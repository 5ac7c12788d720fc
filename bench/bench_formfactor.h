// The form-factor comparison of the benchmark (bench_formfactor.cpp).
#pragma once

#include <cstdio>
#include <string>

// Times the reference loop, the culled search and the runs of cells on the
// benchmark's form-factor scenes and prints their table to `table`; `fine`
// adds the scenes at 256 cells a side, `fine_reference` runs the reference
// loop on those too. The culled search and runs of cells take `repeat`
// turns each, in alternation (0: five on the coarse scenes, two on the fine
// ones), and the best time of each is reported.
void formfactor_bench(FILE *table, bool fine, bool fine_reference, int repeat);

// Parses the scene text into `polygons` and builds the patch grid.
void load_scene(const std::string &text);

// halvora-bake's form-factor workers at 1 and 2 threads on the benchmark's
// scenes, `turns` turns each in alternation, and the split modelled at 4 to
// 64 workers from the rows' measured costs (bench_threads.cpp).
void threads_bench(FILE *table, int turns);
