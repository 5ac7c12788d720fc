// What the two three-channel sweeps (the dense comparison, dense_sweep.cpp,
// and the run's, sweep.cpp) share: per channel, whether it still sweeps, the
// largest relative change of the sweep under way and whether its values are
// finite, and the bookkeeping of each stored value, of a sweep's start and
// end, and of the first channel to diverge.
//
// Invariant: the three channels stop exactly where the reference, solving
// red, then green, then blue, each to its end, would stop, and the one
// reported as diverging is the one the reference would name: the first in
// that order that diverges while every channel before it converges.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "geometry/environment.h"

// Per-sweep bookkeeping of the three channels.
struct SweepState {
    bool active[3];        // still sweeping
    double largest[3];     // largest relative change of this sweep
    bool finite[3];        // no value of this sweep is infinite or NaN
    bool all_finite[3];    // every value stored so far in the channel is finite
};

// Stores patch r's new value of channel c and books its change, as the
// reference does: a 0/0 change is NaN and raises nothing.
inline void record_value(SweepState *state, float *radiosity, size_t r, int c, float value) {
    float *slot = radiosity + 3 * r + (size_t)c;
    double change = fabs((double)value - (double)*slot) / fabs((double)value);
    *slot = value;
    if (change > state->largest[c]) state->largest[c] = change;
    if (!std::isfinite(value)) {
        state->finite[c] = false;
        state->all_finite[c] = false;
    }
}

// Every channel active, its values (all zero) finite, no sweep counted.
inline void start_solution(SweepState *state, int32_t sweeps[3]) {
    for (int c = 0; c < 3; c++) {
        state->active[c] = true;
        state->all_finite[c] = true;
        sweeps[c] = 0;
    }
}

// A sweep's largest change starts at the smallest normal double, not 0.
inline void start_sweep(SweepState *state, int32_t sweeps[3]) {
    for (int c = 0; c < 3; c++) {
        state->largest[c] = DBL_MIN;
        state->finite[c] = true;
        if (state->active[c]) sweeps[c]++;
    }
}

// After a sweep: a channel that left a non-finite value diverges, one whose
// largest change is below the precision stops. A channel found diverging is
// reported unless a channel before it diverges too, and the channels after
// it no longer matter (the reference would have stopped at it).
inline void end_sweep(SweepState *state, double precision, int *diverged) {
    for (int c = 0; c < 3; c++) {
        if (!state->active[c]) continue;
        if (!state->finite[c]) {
            state->active[c] = false;
            if (*diverged == -1 || c < *diverged) *diverged = c;
        } else if (state->largest[c] < precision) {
            state->active[c] = false;
        }
    }
    if (*diverged != -1)
        for (int c = *diverged + 1; c < 3; c++) state->active[c] = false;
}

// A polygon's patches (none when a count is not positive).
inline size_t patches_of(const Polygon *polygon) {
    int32_t patches = polygon->patches_u * polygon->patches_v;
    return patches > 0 ? (size_t)patches : 0;
}
