// The order in which runs of cells reach the row: what a settled run does.
//
// Invariant: each patch receives its cells in cell order, one rounded
// addition per cell, as the reference's summing pass adds them. A run of
// SIDE_BY_SIDE cells or more waits for the end of its line (add_line_runs),
// and so does any later run of a patch that has one waiting; a shorter run
// is added at once. A waiting run that goes on where the last one of the same
// patch ended joins it, which adds the same cells in the same order. Lines
// come in cell order (scan_face), so runs of one patch never overtake each
// other across lines either.
//
// Where invariants are checked (HALVORA_CHECK_INVARIANTS), the first and last
// cell of one settled run in 31 are cast by the reference's arithmetic
// against every polygon and must agree.
#pragma once

#include <algorithm>

#include "formfactor/runcast_internal.h"

#ifdef HALVORA_CHECK_INVARIANTS
#include <cassert>
#endif

const int32_t SIDE_BY_SIDE = 4;

// A run of cells [first_cell, end_cell) seeing one patch (or nothing, patch -1).
inline void emit(const RunRow *r, int32_t patch, int32_t first_cell, int32_t end_cell) {
    RunScratch *s = r->s;
    s->counters.runs++;
#ifdef HALVORA_CHECK_INVARIANTS
    assert(first_cell < end_cell);
    if (s->counters.runs % 31 == 0) {
        assert(reference_cell(r, first_cell) == patch);
        assert(reference_cell(r, end_cell - 1) == patch);
    }
#endif
    if (patch < 0) return;
    int64_t line = s->lines_begun;
    if (end_cell - first_cell < SIDE_BY_SIDE && s->waiting_line[patch] != line) {
        add_cell_run(r->row, r->hemicube->hemicube_delta_form_factors, patch, first_cell, end_cell);
        return;
    }
    s->waiting_line[patch] = line;
    RunOut *runs = s->line_runs;
    int32_t n = s->line_run_count;
    if (n > 0 && runs[n - 1].patch == patch && runs[n - 1].end == first_cell) {
        runs[n - 1].end = end_cell;
        return;
    }
    runs[n] = {patch, first_cell, end_cell};
    s->line_run_count = n + 1;
}

// Adds a line's runs to the row in their order. Each run's sum is a chain of
// dependent single-precision additions; four runs of four different patches
// have four independent chains, and summing them side by side lets the
// processor overlap them. Runs of one patch stay in order (a group that
// repeats a patch is not taken together), so every entry receives the same
// additions in the same order as add_cell_run one run after another.
RUNCAST_INLINE void add_line_runs(const RunRow *r) {
    RunScratch *s = r->s;
    const RunOut *runs = s->line_runs;
    int32_t n = s->line_run_count, k = 0;
    FormFactorRow *out = r->row;
    float *row = out->values;
    const float *delta = r->hemicube->hemicube_delta_form_factors;
    while (k + 4 <= n) {
        const RunOut &a = runs[k], &b = runs[k + 1], &c = runs[k + 2], &d = runs[k + 3];
        if (a.patch == b.patch || a.patch == c.patch || a.patch == d.patch || b.patch == c.patch ||
            b.patch == d.patch || c.patch == d.patch) {
            add_cell_run(out, delta, a.patch, a.first, a.end);
            k++;
            continue;
        }
        row_touch(out, a.patch);
        row_touch(out, b.patch);
        row_touch(out, c.patch);
        row_touch(out, d.patch);
        int32_t common = std::min({a.end - a.first, b.end - b.first, c.end - c.first, d.end - d.first});
        float sa = row[a.patch], sb = row[b.patch], sc = row[c.patch], sd = row[d.patch];
        const float *da = delta + a.first, *db = delta + b.first, *dc = delta + c.first, *dd = delta + d.first;
        for (int32_t t = 0; t < common; t++) {
            sa += da[t];
            sb += db[t];
            sc += dc[t];
            sd += dd[t];
        }
        for (int32_t t = a.first + common; t < a.end; t++) sa += delta[t];
        for (int32_t t = b.first + common; t < b.end; t++) sb += delta[t];
        for (int32_t t = c.first + common; t < c.end; t++) sc += delta[t];
        for (int32_t t = d.first + common; t < d.end; t++) sd += delta[t];
        row[a.patch] = sa;
        row[b.patch] = sb;
        row[c.patch] = sc;
        row[d.patch] = sd;
        k += 4;
    }
    for (; k < n; k++) add_cell_run(out, delta, runs[k].patch, runs[k].first, runs[k].end);
    s->line_run_count = 0;
    s->lines_begun++;
}
