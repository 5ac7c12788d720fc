// The reference solver, channel by channel: the truth the dense comparison
// and the run's sweep are held to, bit for bit.
//
// Reads FF.BIN (through the stream the caller passes) and the polygons'
// reflectance and emission; writes the matrix, the emission and the
// radiosity the caller passes.
//
// The matrix is rebuilt from FF.BIN for every channel: element (r, k) is
// F_rk * rho_r, rounded to single precision (matrix_element). Gauss-Seidel
// then updates each patch in place, in patch order, using this sweep's
// values for the patches before it and the previous sweep's after it; the
// running sum is rounded to single precision after every term (add_term), so
// the order of the terms is part of the result.
//
// Invariant (the stop rule): a channel stops after the first sweep whose
// largest relative change is below `precision`. That largest change starts
// at the smallest normal double, not 0, and a 0/0 change (a value that stays
// exactly 0) is NaN and never raises it. A system that diverges (a
// reflectance above 1 in a closed room) runs its values to infinity, where
// the relative change turns NaN and would pass for convergence; a sweep that
// leaves a value that is not finite is reported instead.
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "base/binfile.h"
#include "base/errors.h"
#include "solver/solver.h"
#include "solver/terms.h"

void build_radiosity_matrix(float **matrix, float *emission_rhs, int32_t patches, int channel,
                            const Polygon *polys, int32_t count, FILE *ff_file) {
    size_t n = (size_t)patches;
    float *scratch = (float *)checked_calloc(n, sizeof(float), EXIT_SCRATCH_NO_MEMORY);
    size_t r = 0;
    for (int32_t i = 0; i < count; i++) {
        const Polygon *polygon = &polys[i];
        float reflectance = polygon->reflectance[channel];
        int32_t polygon_patches = polygon->patches_u * polygon->patches_v;
        for (int32_t p = 0; p < polygon_patches; p++, r++) {
            if (!read_floats(ff_file, scratch, n))
                fatal(EXIT_SOLVER_FF_READ, "Couldn't read form factor binary file : %s", FF_BIN);
            float *row = matrix[r];
            for (size_t k = 0; k < n; k++) row[k] = matrix_element(scratch[k], reflectance);
            emission_rhs[3 * r + (size_t)channel] = polygon->emission[channel];
        }
    }
    free(scratch);
}

int32_t solve_radiosity_channel(float **matrix, float *radiosity, const float *emission_rhs, int32_t patches,
                                int channel, double precision) {
    size_t n = (size_t)patches;
    size_t c = (size_t)channel;
    int32_t sweeps = 0;
    for (;;) {
        sweeps++;
        double largest_change = DBL_MIN;
        bool finite = true;
        for (size_t r = 0; r < n; r++) {
            float old_value = radiosity[3 * r + c];
            float value = emission_rhs[3 * r + c];
            radiosity[3 * r + c] = value;
            const float *row = matrix[r];
            for (size_t k = 0; k < n; k++) {
                // k == r reads the partial sum stored just above.
                value = add_term(value, row[k], radiosity[3 * k + c]);
                radiosity[3 * r + c] = value;
            }
            double change = fabs((double)value - (double)old_value) / fabs((double)value);
            if (change > largest_change) largest_change = change;
            if (!std::isfinite(value)) finite = false;
        }
        if (!finite) fatal(EXIT_SOLVER_DIVERGES, "Radiosity solution diverges in channel %s", channel_names[channel]);
        if (largest_change < precision) return sweeps;
    }
}

void solve_channels_reference(float **matrix, float *radiosity, float *emission_rhs, int32_t patches,
                              const Polygon *polys, int32_t count, FILE *ff_file, double precision,
                              int32_t sweeps[3]) {
    for (int channel = 0; channel < 3; channel++) {
        rewind(ff_file);
        build_radiosity_matrix(matrix, emission_rhs, patches, channel, polys, count, ff_file);
        sweeps[channel] = solve_radiosity_channel(matrix, radiosity, emission_rhs, patches, channel, precision);
    }
}
