// The solver's comparison in the benchmark (bench_solver.cpp).
#pragma once

#include <cstdio>

// Runs the solver scenes (those whose name contains `only`, when given) and
// prints their lines to `table`.
void run_solver_bench(FILE *table, const char *only);
