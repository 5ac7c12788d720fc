// A form-factor row as it is filled: one float per patch of the scene, and
// the list of patches a run of cells was added to, so that the row can be
// read out and cleared where it was touched instead of over all its patches.
//
// Invariant: every patch not in `touched` holds +0. A patch enters the list
// when a run is added to it while it holds +0, so a patch may be listed more
// than once (a run of +0 deltas leaves it at +0), and the list holds at most
// as many entries as the row has runs, which is at most the hemicube's cells.
#pragma once

#include <cstdint>
#include <cstring>

struct FormFactorRow {
    float *values;          // per patch, in patch order
    int32_t *touched;       // patches that held +0 when a run was added to them
    int32_t touched_count;
};

inline bool holds_positive_zero(float x) {
    uint32_t bits;
    memcpy(&bits, &x, sizeof bits);
    return bits == 0;
}

// Notes that a run is about to be added to `patch`.
inline void row_touch(FormFactorRow *row, int32_t patch) {
    if (holds_positive_zero(row->values[patch])) row->touched[row->touched_count++] = patch;
}

// Adds the delta form factors of cells [first, end) to the patch's entry, in
// cell order, each addition rounded to single precision. The single-precision
// sum a + b is the double sum rounded to single precision, (float)((double)a
// + (double)b): double carries more than 2 * 24 + 2 bits, so rounding twice
// never differs from rounding once. Summing in a register keeps the run's
// additions free of stores.
inline void add_cell_run(FormFactorRow *row, const float *delta, int32_t patch, int32_t first, int32_t end) {
    row_touch(row, patch);
    float sum = row->values[patch];
    for (int32_t k = first; k < end; k++) sum += delta[k];
    row->values[patch] = sum;
}

// Sets every touched entry back to +0 and empties the list.
inline void row_clear(FormFactorRow *row) {
    for (int32_t t = 0; t < row->touched_count; t++) row->values[row->touched[t]] = 0.0f;
    row->touched_count = 0;
}
