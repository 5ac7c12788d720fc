// Building and solving the radiosity system: the reference channel by
// channel, the dense three-channel sweep, and the run's sweep that takes only
// the non-zero form factors.
//
// Reads FF.BIN (through the stream the caller passes) and the polygons'
// reflectance and emission; writes radiosity_matrix, patch_emission and
// patch_radiosity.
//
// Reference: the matrix is rebuilt from FF.BIN for every channel: element
// (r, k) is F_rk * rho_r, rounded to single precision. Gauss-Seidel then
// updates each patch in place, in patch order, using this sweep's values for
// the patches before it and the previous sweep's after it; the running sum is
// rounded to single precision after every term, so the order of the terms is
// part of the result. A sweep's largest relative change starts at the
// smallest normal double, not 0, and a 0/0 change (a value that stays exactly
// 0) is NaN and never raises it.
//
// Stop rule: the largest relative change of a sweep below `precision`. A
// system that diverges (a reflectance above 1 in a closed room) runs its
// values to infinity, where the relative change turns NaN and would pass for
// convergence; a sweep that leaves a value that is not finite is reported
// instead.
//
// Every term of every path is formed by matrix_element and added by add_term
// below, or by their four-lane forms, which round at the same places.
//
// The dense three-channel sweep (kept for comparison): the matrix holds F_rk
// as read, each term forms m = (float)(F_rk * rho_r) on the fly, and the three
// channels' chains run side by side; each row's own-polygon block of zeros is
// skipped where that is exact.
//
// The run's sweep. Most form factors are zero (a row can hit no more patches
// than its hemicube has cells), and a zero term leaves a finite sum as it is,
// bit for bit, with one exception: a sum of -0 plus a +0 product becomes +0.
// The sweep leaves the zero terms out where that is exact:
// - a channel whose reflectances and emissions are all >= 0 (-0 included) and
//   finite keeps every value >= 0 (a product of such numbers is never below
//   0), and a sum that does not start at -0 is never -0 (+0 + -0 is +0);
//   while every value of the channel is also finite, each zero term adds
//   +-0 to a sum that is not -0, which changes nothing;
// - a row whose emission is -0 in a channel, a channel that fails the test,
//   and a row holding a negative, -0 or non-finite form factor take every
//   term, as the reference does.
// The reader stores a row with few non-zero entries compactly at the front
// of its own block (below), so a sweep streams only those. The sweep takes
// four consecutive rows side by side when each has no non-zero form factor
// within three columns of its own (the patches of one polygon never see each
// other): none of the four then reads another's new value, and their four
// chains of each channel run in the lanes of SSE2 registers, which keeps the
// adders busy while each rounding waits on the one before. Every other row
// is summed alone. Channels that have stopped are not swept.
// Memory: the matrix (4 n^2 bytes, compact rows using the front of their
// blocks only) and the two 12 n byte vectors; the last row's block is the
// scratch row the others are read through.
#include <emmintrin.h>

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

// The matrix element of the reference: the form factor times the
// reflectance, rounded to single precision. (Both are floats, so the double
// product is exact and this is the correctly rounded float product.)
inline float matrix_element(float form_factor, float reflectance) {
    return (float)((double)form_factor * (double)reflectance);
}

// One Gauss-Seidel term: the product is exact in double, the sum is rounded
// to double and then to single precision, where it is stored.
inline float add_term(float sum, float element, float radiosity) {
    return (float)((double)sum + (double)element * (double)radiosity);
}

} // namespace

// --- reference: one channel at a time ---------------------------------------

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
                value = add_term(value, row[k], radiosity[3 * k + c]);
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

namespace {

// Per-sweep bookkeeping of the three channels, shared by both three-channel
// sweeps.
struct SweepState {
    bool active[3];        // still sweeping
    double largest[3];     // largest relative change of this sweep
    bool finite[3];        // no value of this sweep is infinite or NaN
    bool all_finite[3];    // every value stored so far in the channel is finite
};

// Stores patch r's new value of channel c and books its change.
void record_value(SweepState *state, float *radiosity, size_t r, int c, float value) {
    float *slot = radiosity + 3 * r + (size_t)c;
    double change = fabs((double)value - (double)*slot) / fabs((double)value);
    *slot = value;
    if (change > state->largest[c]) state->largest[c] = change;
    if (!std::isfinite(value)) {
        state->finite[c] = false;
        state->all_finite[c] = false;
    }
}

// After a sweep: a channel that left a non-finite value diverges, one whose
// largest change is below the precision stops. The reference solves red,
// then green, then blue, each to its end, and stops at the first divergence:
// a channel found diverging is reported unless a channel before it diverges
// too, so the channels after it no longer matter.
void end_sweep(SweepState *state, double precision, int *diverged) {
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

void start_sweep(SweepState *state, int32_t sweeps[3]) {
    for (int c = 0; c < 3; c++) {
        state->largest[c] = DBL_MIN;
        state->finite[c] = true;
        if (state->active[c]) sweeps[c]++;
    }
}

void start_solution(SweepState *state, int32_t sweeps[3]) {
    for (int c = 0; c < 3; c++) {
        state->active[c] = true;
        state->all_finite[c] = true; // the values start at zero
        sweeps[c] = 0;
    }
}

size_t patches_of(const Polygon *polygon) {
    int32_t patches = polygon->patches_u * polygon->patches_v;
    return patches > 0 ? (size_t)patches : 0;
}

// The terms of a row's own polygon: F is 0 there (a polygon's own patches are
// never hit), so each term adds m * b with m = (float)(0 * rho) = +-0. For a
// finite b the product is +-0, and a finite sum plus +-0 is that sum again,
// bit for bit, unless the sum is -0 and the product +0 (the sum becomes +0).
// So the block can be skipped when its form factors are all zero, the
// reflectance and every radiosity value are finite, and no partial sum is
// -0 or non-finite on entering it; otherwise it is summed term by term.
bool can_skip_block(const float *f, size_t begin, size_t end, const float rho[3], const float v[3],
                    const SweepState *state) {
    for (int c = 0; c < 3; c++) {
        if (!state->all_finite[c] || !std::isfinite(rho[c]) || !std::isfinite(v[c])) return false;
        if (v[c] == 0.0f && std::signbit(v[c])) return false;
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

// --- the dense three-channel sweep ------------------------------------------------

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

// --- the run's sweep: the non-zero terms only --------------------------------------

namespace {

// A compact row, in the first floats of the row's own block:
//   [0]      COMPACT_MARK (a NaN bit pattern)
//   [1]      the number of terms t, with UNCLEAN_FLAG set when a term is
//            negative, -0 or not finite, and QUIET_FLAG set when the row
//            has no non-zero entry within QUIET_REACH columns of its own
//   [2 ..]   t terms (3 x column, form factor), columns increasing, every
//            entry of the row that is not +0 (-0 included); then one
//            sentinel term (column 0, +0), which adds nothing where a sum may
//            skip zeros.
// A row is stored this way when 2 t + 4 <= n; otherwise it stays as read,
// n floats. A row kept as read never starts with COMPACT_MARK: the reader
// writes the default NaN in its place (a NaN in a row makes every channel's
// first sweep diverge whatever its bits, so nothing the run keeps changes).
constexpr uint32_t COMPACT_MARK = 0xFFFFFFFFu;
constexpr uint32_t UNCLEAN_FLAG = 0x80000000u;
// Rows are swept four side by side, each with no non-zero entry within 3
// columns of its own, so that none touches another's new value.
constexpr size_t QUIET_REACH = 3;
constexpr uint32_t QUIET_FLAG = 0x40000000u;
constexpr uint32_t COUNT_BITS = 0x3FFFFFFFu;
constexpr uint32_t DEFAULT_NAN = 0x7FC00000u;
// Bit patterns below this are +0 and the positive finite floats: the entries
// a sum may skip or take term by term alike.
constexpr uint32_t FIRST_UNCLEAN_BITS = 0x7F800000u;

struct FormFactorTerm {
    uint32_t slot; // 3 x the column: where the patch's red value is in the interleaved r g b arrays
    float value;
};

inline uint32_t bits_of(float x) {
    uint32_t bits;
    memcpy(&bits, &x, sizeof bits);
    return bits;
}

inline float float_of(uint32_t bits) {
    float x;
    memcpy(&x, &bits, sizeof x);
    return x;
}

// Lanes of `x` whose bits are not 0 (that is, not +0), one bit per lane.
inline int nonzero_lanes(__m128i x) {
    return ~_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(x, _mm_setzero_si128()))) & 15;
}

// Lanes of `x` that are negative, -0, infinite or NaN.
inline __m128i unclean_lanes(__m128i x) {
    // As signed integers the clean patterns are exactly 0 .. FIRST_UNCLEAN_BITS - 1.
    return _mm_or_si128(_mm_cmplt_epi32(x, _mm_setzero_si128()),
                        _mm_cmpgt_epi32(x, _mm_set1_epi32((int)(FIRST_UNCLEAN_BITS - 1))));
}

// Whether every entry of `row` is +0 or positive and finite.
bool dense_row_is_clean(const float *row, size_t n) {
    size_t k = 0;
    __m128i unclean = _mm_setzero_si128();
    for (; k + 4 <= n; k += 4) unclean = _mm_or_si128(unclean, unclean_lanes(_mm_loadu_si128((const __m128i *)(row + k))));
    bool clean = _mm_movemask_epi8(unclean) == 0;
    for (; k < n; k++)
        if (bits_of(row[k]) >= FIRST_UNCLEAN_BITS) clean = false;
    return clean;
}

// Whether `row` (row r) has no entry other than +0 within `reach` columns of r.
bool quiet_near(const float *row, size_t r, size_t n, size_t reach) {
    size_t begin = r > reach ? r - reach : 0, end = r + reach + 1 < n ? r + reach + 1 : n;
    for (size_t k = begin; k < end; k++)
        if (bits_of(row[k]) != 0) return false;
    return true;
}

// Stores row r, read into `scratch`, at `row` (the same place when
// `in_place`), compactly when it fits: the terms are written as they are
// found, and a row that turns out to have too many is copied whole instead.
// Returns the floats used.
size_t store_row(float *row, const float *scratch, size_t r, size_t n, bool in_place) {
    if (!in_place && n >= 4) {
        // Terms that fit with the mark, the count and the sentinel.
        size_t most = (n - 4) / 2 < COUNT_BITS ? (n - 4) / 2 : COUNT_BITS;
        FormFactorTerm *terms = (FormFactorTerm *)(row + 2);
        size_t t = 0, k = 0;
        __m128i unclean = _mm_setzero_si128();
        bool fits = true;
        for (; k + 4 <= n && fits; k += 4) {
            __m128i x = _mm_loadu_si128((const __m128i *)(scratch + k));
            int lanes = nonzero_lanes(x);
            if (lanes == 0) continue;
            unclean = _mm_or_si128(unclean, unclean_lanes(x));
            if (t + 4 <= most) {
                // All four written, the count moved past the non-zero ones.
                for (size_t j = 0; j < 4; j++) {
                    terms[t] = {(uint32_t)(3 * (k + j)), scratch[k + j]};
                    t += (size_t)(lanes >> j & 1);
                }
            } else {
                for (size_t j = 0; j < 4 && fits; j++) {
                    if (!(lanes >> j & 1)) continue;
                    if (t == most) fits = false;
                    else terms[t++] = {(uint32_t)(3 * (k + j)), scratch[k + j]};
                }
            }
        }
        bool clean = _mm_movemask_epi8(unclean) == 0;
        for (; k < n && fits; k++) {
            uint32_t bits = bits_of(scratch[k]);
            if (bits == 0) continue;
            if (bits >= FIRST_UNCLEAN_BITS) clean = false;
            if (t == most) fits = false;
            else terms[t++] = {(uint32_t)(3 * k), scratch[k]};
        }
        if (fits) {
            uint32_t word = (uint32_t)t | (clean ? 0u : UNCLEAN_FLAG);
            if (quiet_near(scratch, r, n, QUIET_REACH)) word |= QUIET_FLAG;
            uint32_t header[2] = {COMPACT_MARK, word};
            memcpy(row, header, sizeof header);
            terms[t] = {0, 0.0f};
            return 2 + 2 * (t + 1);
        }
    }
    if (!in_place) memcpy(row, scratch, n * sizeof(float));
    if (n > 0 && bits_of(row[0]) == COMPACT_MARK) row[0] = float_of(DEFAULT_NAN);
    return n;
}

// What the sweep needs to know of one row.
struct RowView {
    const float *dense;           // the row as read, or null when compact
    const FormFactorTerm *terms;  // the compact terms, sentinel after them
    uint32_t count;               // number of compact terms
    bool compact;
    bool clean;                   // known: every entry +0 or positive and finite
    bool quiet;                   // no non-zero entry within QUIET_REACH of the diagonal
    float rho[3];
    float emission[3];
};

RowView view_row(const float *row, size_t r, size_t n, const Polygon *polygon, const float *emission) {
    RowView view;
    view.compact = n > 0 && bits_of(row[0]) == COMPACT_MARK;
    if (view.compact) {
        uint32_t word = bits_of(row[1]);
        view.dense = nullptr;
        view.terms = (const FormFactorTerm *)(row + 2);
        view.count = word & COUNT_BITS;
        view.clean = (word & UNCLEAN_FLAG) == 0;
        view.quiet = (word & QUIET_FLAG) != 0;
    } else {
        view.dense = row;
        view.terms = nullptr;
        view.count = 0;
        view.clean = false; // found out when it matters
        view.quiet = quiet_near(row, r, n, QUIET_REACH);
    }
    for (int c = 0; c < 3; c++) {
        view.rho[c] = polygon->reflectance[c];
        view.emission[c] = emission[c];
    }
    return view;
}

// Walks the polygons along the rows, in increasing row order.
struct PolygonCursor {
    const Polygon *polys;
    int32_t count;
    int32_t index;
    size_t end; // first row after polygon `index`
};

const Polygon *polygon_of_row(PolygonCursor *cursor, size_t r) {
    while (r >= cursor->end && cursor->index + 1 < cursor->count) {
        cursor->index++;
        cursor->end += patches_of(&cursor->polys[cursor->index]);
    }
    return &cursor->polys[cursor->index];
}

inline bool is_negative_zero(float x) { return bits_of(x) == 0x80000000u; }

inline bool non_negative_finite(float x) { return x >= 0.0f && x <= FLT_MAX; }

// Row r's sum in channel c by every term, as the reference adds them.
float exact_row_sum(const RowView &view, size_t r, size_t n, int c, const float *radiosity) {
    float v = view.emission[c];
    float rho = view.rho[c];
    const FormFactorTerm *next = view.terms;
    const FormFactorTerm *end = view.compact ? view.terms + view.count : nullptr;
    for (size_t k = 0; k < n; k++) {
        float f;
        if (view.compact) {
            // Entries not listed are +0.
            f = 0.0f;
            if (next < end && next->slot == 3 * k) f = (next++)->value;
        } else {
            f = view.dense[k];
        }
        float b = k == r ? v : radiosity[3 * k + (size_t)c];
        v = add_term(v, matrix_element(f, rho), b);
    }
    return v;
}

// Row r's sums in the three channels by the non-zero terms only; exact in
// every channel whose sum may skip zeros (see the top of the file).
void sparse_row_sums(const RowView &view, size_t r, size_t n, const float *radiosity, float v[3]) {
    float vr = view.emission[0], vg = view.emission[1], vb = view.emission[2];
    const float *rho = view.rho;
    if (view.compact) {
        for (uint32_t t = 0; t < view.count; t++) {
            size_t slot = view.terms[t].slot;
            float f = view.terms[t].value;
            const float *b = radiosity + slot;
            bool own = slot == 3 * r;
            vr = add_term(vr, matrix_element(f, rho[0]), own ? vr : b[0]);
            vg = add_term(vg, matrix_element(f, rho[1]), own ? vg : b[1]);
            vb = add_term(vb, matrix_element(f, rho[2]), own ? vb : b[2]);
        }
    } else {
        const float *row = view.dense;
        for (size_t k = 0; k < n; k++) {
            if (k + 4 <= n && (k & 3) == 0 && nonzero_lanes(_mm_loadu_si128((const __m128i *)(row + k))) == 0) {
                k += 3;
                continue;
            }
            if (bits_of(row[k]) == 0) continue;
            const float *b = radiosity + 3 * k;
            bool own = k == r;
            vr = add_term(vr, matrix_element(row[k], rho[0]), own ? vr : b[0]);
            vg = add_term(vg, matrix_element(row[k], rho[1]), own ? vg : b[1]);
            vb = add_term(vb, matrix_element(row[k], rho[2]), own ? vb : b[2]);
        }
    }
    v[0] = vr;
    v[1] = vg;
    v[2] = vb;
}

// Four rows' chains of one channel, one row per lane: the lanes' sums as
// doubles (each a float value), low two lanes and high two lanes.
struct LaneSums {
    __m128d low, high;
};

// Adds one term to each lane: element m = f * rho in single precision (the
// correctly rounded product, as matrix_element gives), then the exact double
// product m * b added in double and rounded to single precision, as add_term.
inline void add_lane_terms(LaneSums *s, __m128 f, __m128 rho, __m128d b_low, __m128d b_high) {
    __m128 m = _mm_mul_ps(f, rho);
    __m128d t_low = _mm_mul_pd(_mm_cvtps_pd(m), b_low);
    __m128d t_high = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(m, m)), b_high);
    s->low = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_add_pd(s->low, t_low)));
    s->high = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_add_pd(s->high, t_high)));
}

inline LaneSums start_lanes(__m128 emission) {
    return {_mm_cvtps_pd(emission), _mm_cvtps_pd(_mm_movehl_ps(emission, emission))};
}

inline __m128 lane_values(const LaneSums &s) {
    return _mm_movelh_ps(_mm_cvtpd_ps(s.low), _mm_cvtpd_ps(s.high));
}

// Four rows swept side by side, one to a lane.
struct RowGroup {
    RowView rows[4];
    __m128 rho[3];      // per channel, the four rows' reflectances
    __m128 emission[3]; // per channel, the four rows' emissions
};

// Adds one term of each of four compact rows, lane j taking row j's term.
template <int CHANNELS>
inline void add_quad_terms(LaneSums s[3], const __m128 rho[3], const float *radiosity, const FormFactorTerm *e0,
                           const FormFactorTerm *e1, const FormFactorTerm *e2, const FormFactorTerm *e3) {
    __m128 f = _mm_setr_ps(e0->value, e1->value, e2->value, e3->value);
    const float *b0 = radiosity + e0->slot, *b1 = radiosity + e1->slot;
    const float *b2 = radiosity + e2->slot, *b3 = radiosity + e3->slot;
    for (int c = 0; c < 3; c++) {
        if (!(CHANNELS >> c & 1)) continue;
        __m128 b = _mm_setr_ps(b0[c], b1[c], b2[c], b3[c]);
        add_lane_terms(&s[c], f, rho[c], _mm_cvtps_pd(b), _mm_cvtps_pd(_mm_movehl_ps(b, b)));
    }
}

inline const FormFactorTerm *term_or_sentinel(const RowView &view, uint32_t i) {
    return view.terms + (i < view.count ? i : view.count);
}

// Four compact rows: lane j takes row j's terms in order. Side by side as
// long as every row has terms left, then with each used-up lane on its
// sentinel (slot 0, +0), which adds nothing.
template <int CHANNELS>
void sweep_compact_group(const RowGroup &g, const float *radiosity, __m128 out[3]) {
    LaneSums s[3];
    for (int c = 0; c < 3; c++)
        if (CHANNELS >> c & 1) s[c] = start_lanes(g.emission[c]);
    uint32_t shortest = g.rows[0].count, longest = g.rows[0].count;
    for (int j = 1; j < 4; j++) {
        if (g.rows[j].count < shortest) shortest = g.rows[j].count;
        if (g.rows[j].count > longest) longest = g.rows[j].count;
    }
    const FormFactorTerm *t0 = g.rows[0].terms, *t1 = g.rows[1].terms, *t2 = g.rows[2].terms, *t3 = g.rows[3].terms;
    uint32_t i = 0;
    for (; i < shortest; i++) add_quad_terms<CHANNELS>(s, g.rho, radiosity, t0 + i, t1 + i, t2 + i, t3 + i);
    for (; i < longest; i++)
        add_quad_terms<CHANNELS>(s, g.rho, radiosity, term_or_sentinel(g.rows[0], i), term_or_sentinel(g.rows[1], i),
                                 term_or_sentinel(g.rows[2], i), term_or_sentinel(g.rows[3], i));
    for (int c = 0; c < 3; c++)
        if (CHANNELS >> c & 1) out[c] = lane_values(s[c]);
}

// Four dense rows: every column where any of the four has a non-zero entry,
// the four terms at once (a zero among them adds nothing). Returns false,
// with nothing to keep, when a row turns out to hold a negative, -0 or
// non-finite entry. (The test is on the four entries' bits or-ed together,
// which can only add a false alarm, where two large exponents meet.)
template <int CHANNELS>
bool sweep_dense_group(const RowGroup &g, size_t n, const float *radiosity, __m128 out[3]) {
    LaneSums s[3];
    for (int c = 0; c < 3; c++)
        if (CHANNELS >> c & 1) s[c] = start_lanes(g.emission[c]);
    const float *r0 = g.rows[0].dense, *r1 = g.rows[1].dense, *r2 = g.rows[2].dense, *r3 = g.rows[3].dense;
    auto add_column = [&](__m128 f, size_t k) {
        const float *b = radiosity + 3 * k;
        for (int c = 0; c < 3; c++) {
            if (!(CHANNELS >> c & 1)) continue;
            __m128d bb = _mm_set1_pd((double)b[c]);
            add_lane_terms(&s[c], f, g.rho[c], bb, bb);
        }
    };
    size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        __m128 a0 = _mm_loadu_ps(r0 + k), a1 = _mm_loadu_ps(r1 + k), a2 = _mm_loadu_ps(r2 + k),
               a3 = _mm_loadu_ps(r3 + k);
        __m128i any = _mm_castps_si128(_mm_or_ps(_mm_or_ps(a0, a1), _mm_or_ps(a2, a3)));
        int columns = nonzero_lanes(any);
        if (columns == 0) continue;
        if (_mm_movemask_epi8(unclean_lanes(any)) != 0) return false;
        // Transposed: column j of the four rows in one register.
        __m128 lo01 = _mm_unpacklo_ps(a0, a1), lo23 = _mm_unpacklo_ps(a2, a3);
        __m128 hi01 = _mm_unpackhi_ps(a0, a1), hi23 = _mm_unpackhi_ps(a2, a3);
        if (columns & 1) add_column(_mm_movelh_ps(lo01, lo23), k);
        if (columns & 2) add_column(_mm_movehl_ps(lo23, lo01), k + 1);
        if (columns & 4) add_column(_mm_movelh_ps(hi01, hi23), k + 2);
        if (columns & 8) add_column(_mm_movehl_ps(hi23, hi01), k + 3);
    }
    for (; k < n; k++) {
        __m128 f = _mm_setr_ps(r0[k], r1[k], r2[k], r3[k]);
        if (nonzero_lanes(_mm_castps_si128(f)) == 0) continue;
        if (_mm_movemask_epi8(unclean_lanes(_mm_castps_si128(f))) != 0) return false;
        add_column(f, k);
    }
    for (int c = 0; c < 3; c++)
        if (CHANNELS >> c & 1) out[c] = lane_values(s[c]);
    return true;
}

// Sums of the group's rows in the channels given; false when dense rows
// turn out unclean.
template <int CHANNELS>
bool sweep_group(const RowGroup &g, size_t n, const float *radiosity, __m128 out[3]) {
    if (!g.rows[0].compact) return sweep_dense_group<CHANNELS>(g, n, radiosity, out);
    sweep_compact_group<CHANNELS>(g, radiosity, out);
    return true;
}

bool sweep_group_channels(int channels, const RowGroup &g, size_t n, const float *radiosity, __m128 out[3]) {
    switch (channels) {
    case 1: return sweep_group<1>(g, n, radiosity, out);
    case 2: return sweep_group<2>(g, n, radiosity, out);
    case 3: return sweep_group<3>(g, n, radiosity, out);
    case 4: return sweep_group<4>(g, n, radiosity, out);
    case 5: return sweep_group<5>(g, n, radiosity, out);
    case 6: return sweep_group<6>(g, n, radiosity, out);
    default: return sweep_group<7>(g, n, radiosity, out);
    }
}

#ifdef HALVORA_CHECK_INVARIANTS
[[noreturn]] void invariant_failed(const char *what) {
    fprintf(stderr, "solver invariant broken: %s\n", what);
    abort();
}

// A compact row: columns increasing and below n, every term not +0, the
// sentinel in place, the unclean flag right.
void check_compact_row(const RowView &view, size_t n) {
    bool clean = true;
    for (uint32_t t = 0; t < view.count; t++) {
        if (view.terms[t].slot >= 3 * n || view.terms[t].slot % 3 != 0 ||
            (t > 0 && view.terms[t].slot <= view.terms[t - 1].slot))
            invariant_failed("compact row columns out of order");
        uint32_t bits = bits_of(view.terms[t].value);
        if (bits == 0) invariant_failed("compact row lists a +0");
        if (bits >= FIRST_UNCLEAN_BITS) clean = false;
    }
    if (view.terms[view.count].slot != 0 || bits_of(view.terms[view.count].value) != 0)
        invariant_failed("compact row sentinel");
    if (clean != view.clean) invariant_failed("compact row unclean flag");
    if (2 * (size_t)view.count + 4 > n) invariant_failed("compact row overflows its block");
}

// Whether row `view` has a non-zero form factor to any of the patches
// [begin, end).
bool touches_rows(const RowView &view, size_t begin, size_t end) {
    if (view.compact) {
        // First term at or after `begin`, by bisection.
        uint32_t low = 0, high = view.count;
        while (low < high) {
            uint32_t mid = low + (high - low) / 2;
            if (view.terms[mid].slot < 3 * begin) low = mid + 1;
            else high = mid;
        }
        return low < view.count && view.terms[low].slot < 3 * end;
    }
    for (size_t k = begin; k < end; k++)
        if (bits_of(view.dense[k]) != 0) return true;
    return false;
}

// A sum that skipped zeros is >= 0 and not -0.
void check_skipping_sum(float v) {
    if (!(v >= 0.0f) || is_negative_zero(v)) invariant_failed("a sum that skips zeros is negative or -0");
}
#endif

// Everything the run's sweep keeps between rows.
struct SparseSweep {
    float *const *rows;
    float *radiosity;
    const float *emission_rhs;
    size_t n;
    PolygonCursor cursor;
    bool skip_ok[3]; // reflectances and emissions of the channel all >= 0 and finite
    SweepState state;
};

RowView row_view(SparseSweep *sweep, size_t r) {
    const Polygon *polygon = polygon_of_row(&sweep->cursor, r);
    RowView view = view_row(sweep->rows[r], r, sweep->n, polygon, sweep->emission_rhs + 3 * r);
#ifdef HALVORA_CHECK_INVARIANTS
    if (view.compact) check_compact_row(view, sweep->n);
#endif
    return view;
}

// Channels (bit c for channel c) in which row `view` may skip zeros now.
int skipping_channels(const SparseSweep *sweep, const RowView &view) {
    int channels = 0;
    for (int c = 0; c < 3; c++)
        if (sweep->state.active[c] && sweep->skip_ok[c] && sweep->state.all_finite[c] &&
            !is_negative_zero(view.emission[c]))
            channels |= 1 << c;
    return channels;
}

bool row_is_clean(RowView *view, size_t n) {
    if (!view->compact && !view->clean) view->clean = dense_row_is_clean(view->dense, n);
    return view->clean;
}

// Row r alone, every active channel.
void sweep_single_row(SparseSweep *sweep, RowView *view, size_t r) {
    SweepState *state = &sweep->state;
    int skipping = row_is_clean(view, sweep->n) ? skipping_channels(sweep, *view) : 0;
    float v[3];
    if (skipping != 0) sparse_row_sums(*view, r, sweep->n, sweep->radiosity, v);
    for (int c = 0; c < 3; c++) {
        if (!state->active[c]) continue;
        if (!(skipping >> c & 1)) v[c] = exact_row_sum(*view, r, sweep->n, c, sweep->radiosity);
#ifdef HALVORA_CHECK_INVARIANTS
        else check_skipping_sum(v[c]);
#endif
        record_value(state, sweep->radiosity, r, c, v[c]);
    }
}

// Rows r .. r+3 side by side, when they are of one kind, clean, and each is
// quiet near its own column; returns false (nothing done) otherwise.
bool sweep_row_group(SparseSweep *sweep, size_t r) {
    size_t n = sweep->n;
    if (r + 4 > n) return false;
    RowGroup g;
    PolygonCursor saved = sweep->cursor;
    int channels = 7;
    bool groupable = true;
    for (int j = 0; j < 4 && groupable; j++) {
        g.rows[j] = row_view(sweep, r + (size_t)j);
        channels &= skipping_channels(sweep, g.rows[j]);
        groupable = channels != 0 && g.rows[j].compact == g.rows[0].compact && g.rows[j].quiet &&
                    (g.rows[j].clean || !g.rows[j].compact);
    }
    if (!groupable) {
        sweep->cursor = saved;
        return false;
    }
#ifdef HALVORA_CHECK_INVARIANTS
    for (int j = 0; j < 4; j++)
        if (touches_rows(g.rows[j], r, r + 4)) invariant_failed("rows side by side touch each other");
#endif
    for (int c = 0; c < 3; c++) {
        g.rho[c] = _mm_setr_ps(g.rows[0].rho[c], g.rows[1].rho[c], g.rows[2].rho[c], g.rows[3].rho[c]);
        g.emission[c] =
            _mm_setr_ps(g.rows[0].emission[c], g.rows[1].emission[c], g.rows[2].emission[c], g.rows[3].emission[c]);
    }
    __m128 out[3];
    if (!sweep_group_channels(channels, g, n, sweep->radiosity, out)) {
        sweep->cursor = saved;
        return false;
    }
    float lanes[3][4];
    for (int c = 0; c < 3; c++)
        if (channels >> c & 1) _mm_storeu_ps(lanes[c], out[c]);

    // Stored in row order. A lane's sum skipped the zero terms of the rows
    // before it in the group, which is exact only while their new values are
    // finite: after a non-finite one the channel's rows are summed again by
    // every term.
    SweepState *state = &sweep->state;
    for (int j = 0; j < 4; j++) {
        size_t row = r + (size_t)j;
        for (int c = 0; c < 3; c++) {
            if (!state->active[c] || !(channels >> c & 1)) continue;
            float v;
            if (state->all_finite[c]) {
                v = lanes[c][j];
#ifdef HALVORA_CHECK_INVARIANTS
                check_skipping_sum(v);
#endif
            } else {
                v = exact_row_sum(g.rows[j], row, n, c, sweep->radiosity);
            }
            record_value(state, sweep->radiosity, row, c, v);
        }
        // Active channels the group did not take: this row alone.
        int rest = 0;
        for (int c = 0; c < 3; c++)
            if (state->active[c] && !(channels >> c & 1)) rest |= 1 << c;
        if (rest == 0) continue;
        int skipping = skipping_channels(sweep, g.rows[j]) & rest;
        float v[3];
        if (skipping != 0) sparse_row_sums(g.rows[j], row, n, sweep->radiosity, v);
        for (int c = 0; c < 3; c++) {
            if (!(rest >> c & 1)) continue;
            if (!(skipping >> c & 1)) v[c] = exact_row_sum(g.rows[j], row, n, c, sweep->radiosity);
            record_value(state, sweep->radiosity, row, c, v[c]);
        }
    }
    return true;
}

} // namespace

void read_form_factor_matrix(float **form_factors, float *emission_rhs, int32_t patches, const Polygon *polys,
                             int32_t count, FILE *ff_file) {
    size_t n = (size_t)patches;
    if (n == 0) return;
    // The last row's block serves as the scratch row of the reference: it
    // starts at zero and keeps, beyond a short read at the end of the file,
    // the row before. Each row is read into it and stored from there; the
    // last row is read in place.
    float *scratch = form_factors[n - 1];
    memset(scratch, 0, n * sizeof(float));
    // Rows that lie one after another in one block (as the driver obtains
    // them) are stored one after another from the block's start, each where
    // the one before ends, and the row table is pointed at them: a sweep then
    // streams one run of memory, and fewer pages are touched. Row r starts at
    // most r rows into the block, so it never reaches the scratch row.
    bool one_block = true;
    for (size_t r = 1; r < n && one_block; r++) one_block = form_factors[r] == form_factors[r - 1] + n;
    float *next = form_factors[0];
    size_t r = 0;
    for (int32_t i = 0; i < count; i++) {
        const Polygon *polygon = &polys[i];
        for (size_t p = 0; p < patches_of(polygon); p++, r++) {
            if (!read_floats(ff_file, scratch, n))
                fatal(EXIT_SOLVER_FF_READ, "Couldn't read form factor binary file : %s", FF_BIN);
            if (one_block && r < n - 1) form_factors[r] = next;
            next = form_factors[r] + store_row(form_factors[r], scratch, r, n, r == n - 1);
            for (int c = 0; c < 3; c++) emission_rhs[3 * r + (size_t)c] = polygon->emission[c];
        }
    }
}

size_t stored_form_factor_bytes(float *const *form_factors, int32_t patches) {
    size_t n = (size_t)patches, bytes = 0;
    for (size_t r = 0; r < n; r++) {
        const float *row = form_factors[r];
        if (n > 0 && bits_of(row[0]) == COMPACT_MARK)
            bytes += 2 * sizeof(float) + ((bits_of(row[1]) & COUNT_BITS) + 1) * sizeof(FormFactorTerm);
        else
            bytes += n * sizeof(float);
    }
    return bytes;
}

int solve_radiosity_channels(float **form_factors, float *radiosity, const float *emission_rhs, int32_t patches,
                             const Polygon *polys, int32_t count, double precision, int32_t sweeps[3]) {
    SparseSweep sweep;
    sweep.rows = form_factors;
    sweep.radiosity = radiosity;
    sweep.emission_rhs = emission_rhs;
    sweep.n = (size_t)patches;
    for (int c = 0; c < 3; c++) {
        bool ok = true;
        for (int32_t i = 0; i < count; i++)
            if (patches_of(&polys[i]) > 0 && !non_negative_finite(polys[i].reflectance[c])) ok = false;
        for (size_t r = 0; r < sweep.n; r++)
            if (!non_negative_finite(emission_rhs[3 * r + (size_t)c])) ok = false;
        sweep.skip_ok[c] = ok;
    }
    start_solution(&sweep.state, sweeps);
    int diverged = -1;
    while (sweep.state.active[0] || sweep.state.active[1] || sweep.state.active[2]) {
        start_sweep(&sweep.state, sweeps);
        sweep.cursor = {polys, count, -1, 0};
        size_t r = 0;
        while (r < sweep.n) {
            if (sweep_row_group(&sweep, r)) {
                r += 4;
                continue;
            }
            RowView view = row_view(&sweep, r);
            sweep_single_row(&sweep, &view, r);
            r++;
        }
        end_sweep(&sweep.state, precision, &diverged);
    }
    return diverged;
}
