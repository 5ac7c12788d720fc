// Building and solving the radiosity system: the reference channel by
// channel, and the run's three channels side by side.
//
// Reference: the matrix is rebuilt from FF.BIN for every channel: element
// (r, k) is F_rk * rho_r, rounded to single precision. Gauss-Seidel then updates each
// patch in place, in patch order, using this sweep's values for the patches
// before it and the previous sweep's after it; the running sum is rounded to
// single precision after every term, so the order of the terms is part of the
// result. A sweep's largest relative change starts at the smallest normal
// double, not 0, and a 0/0 change (a value that stays exactly 0) is NaN and
// never raises it.
//
// Stop rule: the largest relative change of a sweep below `precision`. A
// system that diverges (a reflectance above 1 in a closed room) runs its
// values to infinity, where the relative change turns NaN and would pass for
// convergence; a sweep that leaves a non-finite value is reported instead.
//
// Side by side: the matrix holds F_rk as read, and each term forms
// m = (float)(F_rk * rho_r) as the reference stored it, then adds m * B_k
// exactly as the reference does, so each channel's partial sums are the
// reference's, rounding for rounding. The three channels' sums are
// independent chains of dependent additions; interleaving them keeps the
// processor's adders busy where one channel alone waits on each rounding, and
// the matrix is streamed once per sweep instead of once per channel. Memory:
// the matrix (4 n^2 bytes) and the two 12 n byte vectors; no scratch row.
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/binfile.h"
#include "base/errors.h"
#include "solver/solver.h"

float **radiosity_matrix = nullptr;
float *patch_emission = nullptr;
float *patch_radiosity = nullptr;
int32_t solver_sweeps = 0;
int32_t solver_channel_sweeps[3] = {0, 0, 0};

namespace {
const char *const channel_names[3] = {"red", "green", "blue"};
}

void build_radiosity_matrix(float **matrix, float *emission_rhs, int32_t patches, int channel,
                            const Polygon *polys, int32_t count, FILE *ff_file) {
    size_t n = (size_t)patches;
    float *scratch = (float *)checked_calloc(n, sizeof(float), EXIT_SCRATCH_NO_MEMORY);
    size_t r = 0;
    for (int32_t i = 0; i < count; i++) {
        const Polygon *polygon = &polys[i];
        double reflectance = polygon->reflectance[channel];
        int32_t polygon_patches = polygon->patches_u * polygon->patches_v;
        for (int32_t p = 0; p < polygon_patches; p++, r++) {
            if (!read_floats(ff_file, scratch, n))
                fatal(EXIT_SOLVER_FF_READ, "Couldn't read form factor binary file : %s", FF_BIN);
            float *row = matrix[r];
            for (size_t k = 0; k < n; k++) row[k] = (float)((double)scratch[k] * reflectance);
            emission_rhs[3 * r + (size_t)channel] = polygon->emission[channel];
        }
    }
    free(scratch);
}

void solve_radiosity_channel(float **matrix, float *radiosity, const float *emission_rhs, int32_t patches,
                             int channel, double precision) {
    size_t n = (size_t)patches;
    size_t c = (size_t)channel;
    solver_sweeps = 0;
    for (;;) {
        solver_sweeps++;
        double largest_change = DBL_MIN;
        bool finite = true;
        for (size_t r = 0; r < n; r++) {
            float old_value = radiosity[3 * r + c];
            float value = emission_rhs[3 * r + c];
            radiosity[3 * r + c] = value;
            const float *row = matrix[r];
            for (size_t k = 0; k < n; k++) {
                // k == r reads the partial sum stored just above.
                value = (float)((double)value + (double)row[k] * (double)radiosity[3 * k + c]);
                radiosity[3 * r + c] = value;
            }
            double change = fabs((double)value - (double)old_value) / fabs((double)value);
            if (change > largest_change) largest_change = change;
            if (!std::isfinite(value)) finite = false;
        }
        if (!finite) fatal(EXIT_SOLVER_DIVERGES, "Radiosity solution diverges in channel %s", channel_names[channel]);
        if (largest_change < precision) return;
    }
}

void solve_channels_reference(float **matrix, float *radiosity, float *emission_rhs, int32_t patches,
                              const Polygon *polys, int32_t count, FILE *ff_file, double precision,
                              int32_t sweeps[3]) {
    for (int channel = 0; channel < 3; channel++) {
        rewind(ff_file);
        build_radiosity_matrix(matrix, emission_rhs, patches, channel, polys, count, ff_file);
        solve_radiosity_channel(matrix, radiosity, emission_rhs, patches, channel, precision);
        sweeps[channel] = solver_sweeps;
    }
}

void read_form_factor_matrix(float **form_factors, float *emission_rhs, int32_t patches, const Polygon *polys,
                             int32_t count, FILE *ff_file) {
    size_t n = (size_t)patches;
    size_t r = 0;
    for (int32_t i = 0; i < count; i++) {
        const Polygon *polygon = &polys[i];
        int32_t polygon_patches = polygon->patches_u * polygon->patches_v;
        for (int32_t p = 0; p < polygon_patches; p++, r++) {
            // The reference reads every row into one reused scratch row that
            // starts at zero: starting each row as a copy of the one before
            // (row 0 as zeros) keeps whatever a short read leaves.
            float *row = form_factors[r];
            if (r > 0) memcpy(row, form_factors[r - 1], n * sizeof(float));
            else memset(row, 0, n * sizeof(float));
            if (!read_floats(ff_file, row, n))
                fatal(EXIT_SOLVER_FF_READ, "Couldn't read form factor binary file : %s", FF_BIN);
            for (int c = 0; c < 3; c++) emission_rhs[3 * r + (size_t)c] = polygon->emission[c];
        }
    }
}

namespace {

// Per-sweep bookkeeping of the three channels.
struct SweepState {
    bool active[3];        // still sweeping
    double largest[3];     // largest relative change of this sweep
    bool finite[3];        // no value of this sweep is infinite or NaN
    bool all_finite;       // every value stored so far, in every channel, is finite
};

// The terms of a row's own polygon: F is 0 there (a polygon's own patches are
// never hit), so each term adds m * b with m = (float)(0 * rho) = +-0. For a
// finite b the product is +-0, and a finite sum plus +-0 is that sum again,
// bit for bit, unless the sum is -0 and the product +0 (the sum becomes +0).
// So the block can be skipped when its form factors are all zero, the
// reflectance and every radiosity value are finite, and no partial sum is
// -0 or non-finite on entering it; otherwise it is summed term by term.
bool can_skip_block(const float *f, size_t begin, size_t end, const double rho[3], const float v[3],
                    const SweepState *state) {
    if (!state->all_finite) return false;
    for (int c = 0; c < 3; c++) {
        if (!std::isfinite(rho[c]) || !std::isfinite(v[c])) return false;
        if (v[c] == 0.0f && std::signbit(v[c])) return false;
    }
    for (size_t k = begin; k < end; k++)
        if (f[k] != 0.0f) return false;
    return true;
}

// Adds the terms k = begin .. end-1 of row f to the three partial sums, each
// rounded to single precision as the reference stores it: the matrix element
// (float)(F * rho), then the sum after the term.
inline void add_terms(const float *f, const float *radiosity, size_t begin, size_t end, const double rho[3],
                      float v[3]) {
    float vr = v[0], vg = v[1], vb = v[2];
    for (size_t k = begin; k < end; k++) {
        const double fk = (double)f[k];
        const float mr = (float)(fk * rho[0]), mg = (float)(fk * rho[1]), mb = (float)(fk * rho[2]);
        const float *b = radiosity + 3 * k;
        vr = (float)((double)vr + (double)mr * (double)b[0]);
        vg = (float)((double)vg + (double)mg * (double)b[1]);
        vb = (float)((double)vb + (double)mb * (double)b[2]);
    }
    v[0] = vr;
    v[1] = vg;
    v[2] = vb;
}

// One Gauss-Seidel step for patch r in all three channels. The terms are
// added in the reference's order, k = 0 .. n-1, with k == r reading the
// partial sum itself; only active channels are stored. [own_begin, own_end)
// are the patches of r's polygon.
void sweep_row(const float *f, float *radiosity, const float *emission_rhs, size_t r, size_t n,
               const double rho[3], size_t own_begin, size_t own_end, SweepState *state) {
    float *own = radiosity + 3 * r;
    const float old_value[3] = {own[0], own[1], own[2]};
    float v[3] = {emission_rhs[3 * r], emission_rhs[3 * r + 1], emission_rhs[3 * r + 2]};

    add_terms(f, radiosity, 0, own_begin, rho, v);
    if (!can_skip_block(f, own_begin, own_end, rho, v, state)) {
        add_terms(f, radiosity, own_begin, r, rho, v);
        const double fr = (double)f[r];
        for (int c = 0; c < 3; c++) v[c] = (float)((double)v[c] + (double)(float)(fr * rho[c]) * (double)v[c]);
        add_terms(f, radiosity, r + 1, own_end, rho, v);
    }
    add_terms(f, radiosity, own_end, n, rho, v);

    for (int c = 0; c < 3; c++) {
        if (!state->active[c]) continue;
        own[c] = v[c];
        double change = fabs((double)v[c] - (double)old_value[c]) / fabs((double)v[c]);
        if (change > state->largest[c]) state->largest[c] = change;
        if (!std::isfinite(v[c])) {
            state->finite[c] = false;
            state->all_finite = false;
        }
    }
}

} // namespace

int solve_radiosity_channels(float **form_factors, float *radiosity, const float *emission_rhs, int32_t patches,
                             const Polygon *polys, int32_t count, double precision, int32_t sweeps[3]) {
    size_t n = (size_t)patches;
    SweepState state;
    for (int c = 0; c < 3; c++) {
        state.active[c] = true;
        sweeps[c] = 0;
    }
    // The reference solves red, then green, then blue, each to its end, and
    // stops at the first divergence: a channel found diverging is reported
    // unless a channel before it diverges too, so the channels after it no
    // longer matter.
    int diverged = -1;
    state.all_finite = true; // the values start at zero
    while (state.active[0] || state.active[1] || state.active[2]) {
        for (int c = 0; c < 3; c++) {
            state.largest[c] = DBL_MIN;
            state.finite[c] = true;
            if (state.active[c]) sweeps[c]++;
        }
        size_t r = 0;
        for (int32_t i = 0; i < count; i++) {
            const Polygon *polygon = &polys[i];
            const double rho[3] = {polygon->reflectance[0], polygon->reflectance[1], polygon->reflectance[2]};
            int32_t polygon_patches = polygon->patches_u * polygon->patches_v;
            size_t own_begin = r, own_end = r + (size_t)(polygon_patches > 0 ? polygon_patches : 0);
            for (int32_t p = 0; p < polygon_patches; p++, r++)
                sweep_row(form_factors[r], radiosity, emission_rhs, r, n, rho, own_begin, own_end, &state);
        }
        for (int c = 0; c < 3; c++) {
            if (!state.active[c]) continue;
            if (!state.finite[c]) {
                state.active[c] = false;
                if (diverged == -1 || c < diverged) diverged = c;
            } else if (state.largest[c] < precision) {
                state.active[c] = false;
            }
        }
        if (diverged != -1)
            for (int c = diverged + 1; c < 3; c++) state.active[c] = false;
    }
    return diverged;
}
