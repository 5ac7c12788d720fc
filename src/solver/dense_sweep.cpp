// The dense three-channel sweep, kept as the comparison the benchmark sets
// beside the run's sweep: FF.BIN read once into a matrix of F_rk as read, n
// floats a row, and red, green and blue swept side by side, every term of
// every row, each term's element m = (float)(F_rk * rho_r) formed on the fly.
//
// Reads FF.BIN (through the stream the caller passes) and the polygons;
// writes the matrix, the emission and the radiosity the caller passes.
//
// Invariant: each channel's chain of terms is the reference's, term for term
// (matrix_element, add_term), but for the one block it may skip: a row's own
// polygon, whose form factors are 0 (a polygon's own patches are never hit),
// where leaving those terms out changes no rounding (can_skip_block).
#include <cmath>
#include <cstring>

#include "base/binfile.h"
#include "base/errors.h"
#include "solver/solver.h"
#include "solver/sweep_state.h"
#include "solver/terms.h"

namespace {

// The terms of a row's own polygon: F is 0 there, so each term adds m * b
// with m = (float)(0 * rho) = +-0, which leaves a finite sum as it is unless
// the sum is -0 (terms.h). So the block can be skipped when its form factors
// are all zero, the reflectance and every radiosity value are finite, and no
// partial sum is -0 or non-finite on entering it; otherwise it is summed term
// by term.
bool can_skip_block(const float *f, size_t begin, size_t end, const float rho[3], const float v[3],
                    const SweepState *state) {
    for (int c = 0; c < 3; c++) {
        if (!state->all_finite[c] || !std::isfinite(rho[c]) || !std::isfinite(v[c])) return false;
        if (is_negative_zero(v[c])) return false;
    }
    for (size_t k = begin; k < end; k++)
        if (f[k] != 0.0f) return false;
    return true;
}

// Adds the terms k = begin .. end-1 of row f to the three partial sums.
inline void add_dense_terms(const float *f, const float *radiosity, size_t begin, size_t end, const float rho[3],
                            float v[3]) {
    float vr = v[0], vg = v[1], vb = v[2];
    for (size_t k = begin; k < end; k++) {
        const float *b = radiosity + 3 * k;
        vr = add_term(vr, matrix_element(f[k], rho[0]), b[0]);
        vg = add_term(vg, matrix_element(f[k], rho[1]), b[1]);
        vb = add_term(vb, matrix_element(f[k], rho[2]), b[2]);
    }
    v[0] = vr;
    v[1] = vg;
    v[2] = vb;
}

// One dense step for patch r in all three channels, in the reference's
// order, k == r reading the partial sum itself; only active channels are
// stored. [own_begin, own_end) are the patches of r's polygon.
void dense_sweep_row(const float *f, float *radiosity, const float *emission_rhs, size_t r, size_t n,
                     const float rho[3], size_t own_begin, size_t own_end, SweepState *state) {
    float v[3] = {emission_rhs[3 * r], emission_rhs[3 * r + 1], emission_rhs[3 * r + 2]};
    add_dense_terms(f, radiosity, 0, own_begin, rho, v);
    if (!can_skip_block(f, own_begin, own_end, rho, v, state)) {
        add_dense_terms(f, radiosity, own_begin, r, rho, v);
        for (int c = 0; c < 3; c++) v[c] = add_term(v[c], matrix_element(f[r], rho[c]), v[c]);
        add_dense_terms(f, radiosity, r + 1, own_end, rho, v);
    }
    add_dense_terms(f, radiosity, own_end, n, rho, v);
    for (int c = 0; c < 3; c++)
        if (state->active[c]) record_value(state, radiosity, r, c, v[c]);
}

} // namespace

void read_form_factor_matrix_dense(float **form_factors, float *emission_rhs, int32_t patches, const Polygon *polys,
                                   int32_t count, FILE *ff_file) {
    size_t n = (size_t)patches;
    size_t r = 0;
    for (int32_t i = 0; i < count; i++) {
        const Polygon *polygon = &polys[i];
        for (size_t p = 0; p < patches_of(polygon); p++, r++) {
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

int solve_radiosity_channels_dense(float **form_factors, float *radiosity, const float *emission_rhs, int32_t patches,
                                   const Polygon *polys, int32_t count, double precision, int32_t sweeps[3]) {
    size_t n = (size_t)patches;
    SweepState state;
    start_solution(&state, sweeps);
    int diverged = -1;
    while (state.active[0] || state.active[1] || state.active[2]) {
        start_sweep(&state, sweeps);
        size_t r = 0;
        for (int32_t i = 0; i < count; i++) {
            const Polygon *polygon = &polys[i];
            size_t own_begin = r, own_end = r + patches_of(polygon);
            for (; r < own_end; r++)
                dense_sweep_row(form_factors[r], radiosity, emission_rhs, r, n, polygon->reflectance, own_begin,
                                own_end, &state);
        }
        end_sweep(&state, precision, &diverged);
    }
    return diverged;
}
