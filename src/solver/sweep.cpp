// The run's solver: FF.BIN read once into radiosity_matrix, mostly zero rows
// in the compact row format (compact_rows.h), and red, green and blue swept
// together taking only the non-zero terms wherever leaving out the zero ones
// changes no rounding, four independent rows side by side where it can.
//
// Reads FF.BIN (through the stream the caller passes) and the polygons'
// reflectance and emission; writes radiosity_matrix (the form factors F_rk,
// unscaled), patch_emission and patch_radiosity, which are defined here with
// channel_names.
//
// Invariant: every stored value and every stop decision is the reference's
// (reference.cpp), bit for bit.
//
// Which terms a sum may leave out (the "skip the zeros" rule of terms.h):
// - a channel whose reflectances and emissions are all >= 0 (-0 included)
//   and finite keeps every value >= 0 and no sum that does not start at -0
//   is ever -0; while every value of the channel is also finite, each zero
//   term adds +-0 to a sum that is not -0, which changes nothing;
// - a row whose emission is -0 in a channel, a channel that fails the test,
//   and a row holding a negative, -0 or non-finite form factor take every
//   term, as the reference does.
// The reader stores a row with few non-zero entries compactly at the front
// of its own block, so a sweep streams only those. The sweep takes four
// consecutive rows side by side when each is quiet (no non-zero form factor
// within three columns of its own: the patches of one polygon never see each
// other): none of the four then reads another's new value, and their four
// chains of each channel run in the lanes of SSE2 registers (lanes.h), which
// keeps the adders busy while each rounding waits on the one before. Every
// other row is summed alone. Channels that have stopped are not swept.
//
// Memory: the matrix (4 n^2 bytes, compact rows using the front of their
// blocks only) and the two 12 n byte vectors; the last row's block is the
// scratch row the others are read through.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/binfile.h"
#include "base/errors.h"
#include "solver/compact_rows.h"
#include "solver/lanes.h"
#include "solver/solver.h"
#include "solver/sweep_state.h"
#include "solver/terms.h"

float **radiosity_matrix = nullptr;
float *patch_emission = nullptr;
float *patch_radiosity = nullptr;
const char *const channel_names[3] = {"red", "green", "blue"};

namespace {

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

// One row as the sweep takes it: as stored, with its polygon's reflectances
// and its emissions.
struct SweepRow {
    RowView stored;
    float rho[3];
    float emission[3];
};

// Row r's sum in channel c by every term, as the reference adds them.
float exact_row_sum(const SweepRow &row, size_t r, size_t n, int c, const float *radiosity) {
    const RowView &view = row.stored;
    float v = row.emission[c];
    float rho = row.rho[c];
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
void sparse_row_sums(const SweepRow &row, size_t r, size_t n, const float *radiosity, float v[3]) {
    const RowView &view = row.stored;
    float vr = row.emission[0], vg = row.emission[1], vb = row.emission[2];
    const float *rho = row.rho;
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
        const float *dense = view.dense;
        for (size_t k = 0; k < n; k++) {
            if (k + 4 <= n && (k & 3) == 0 && nonzero_lanes(_mm_loadu_si128((const __m128i *)(dense + k))) == 0) {
                k += 3;
                continue;
            }
            if (bits_of(dense[k]) == 0) continue;
            const float *b = radiosity + 3 * k;
            bool own = k == r;
            vr = add_term(vr, matrix_element(dense[k], rho[0]), own ? vr : b[0]);
            vg = add_term(vg, matrix_element(dense[k], rho[1]), own ? vg : b[1]);
            vb = add_term(vb, matrix_element(dense[k], rho[2]), own ? vb : b[2]);
        }
    }
    v[0] = vr;
    v[1] = vg;
    v[2] = vb;
}

// Four rows swept side by side, one to a lane.
struct RowGroup {
    SweepRow rows[4];
    __m128 rho[3];      // per channel, the four rows' reflectances
    __m128 emission[3]; // per channel, the four rows' emissions
};

// The four rows' reflectances and emissions into the group's lanes.
void pack_lanes(RowGroup *g) {
    for (int c = 0; c < 3; c++) {
        g->rho[c] = _mm_setr_ps(g->rows[0].rho[c], g->rows[1].rho[c], g->rows[2].rho[c], g->rows[3].rho[c]);
        g->emission[c] = _mm_setr_ps(g->rows[0].emission[c], g->rows[1].emission[c], g->rows[2].emission[c],
                                     g->rows[3].emission[c]);
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
    const RowView &v0 = g.rows[0].stored, &v1 = g.rows[1].stored, &v2 = g.rows[2].stored, &v3 = g.rows[3].stored;
    uint32_t shortest = v0.count, longest = v0.count;
    for (int j = 1; j < 4; j++) {
        uint32_t count = g.rows[j].stored.count;
        if (count < shortest) shortest = count;
        if (count > longest) longest = count;
    }
    const FormFactorTerm *t0 = v0.terms, *t1 = v1.terms, *t2 = v2.terms, *t3 = v3.terms;
    uint32_t i = 0;
    for (; i < shortest; i++) add_quad_terms<CHANNELS>(s, g.rho, radiosity, t0 + i, t1 + i, t2 + i, t3 + i);
    for (; i < longest; i++)
        add_quad_terms<CHANNELS>(s, g.rho, radiosity, term_or_sentinel(v0, i), term_or_sentinel(v1, i),
                                 term_or_sentinel(v2, i), term_or_sentinel(v3, i));
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
    const float *r0 = g.rows[0].stored.dense, *r1 = g.rows[1].stored.dense, *r2 = g.rows[2].stored.dense,
                *r3 = g.rows[3].stored.dense;
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
    if (!g.rows[0].stored.compact) return sweep_dense_group<CHANNELS>(g, n, radiosity, out);
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

#ifdef HALVORA_CHECK_INVARIANTS
[[noreturn]] void invariant_failed(const char *what) {
    fprintf(stderr, "solver invariant broken: %s\n", what);
    abort();
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

SweepRow sweep_row(SparseSweep *sweep, size_t r) {
    const Polygon *polygon = polygon_of_row(&sweep->cursor, r);
    SweepRow row;
    row.stored = view_row(sweep->rows[r], r, sweep->n);
#ifdef HALVORA_CHECK_INVARIANTS
    if (row.stored.compact) {
        const char *fault = compact_row_fault(row.stored, r, sweep->n);
        if (fault != nullptr) invariant_failed(fault);
    }
#endif
    const float *emission = sweep->emission_rhs + 3 * r;
    for (int c = 0; c < 3; c++) {
        row.rho[c] = polygon->reflectance[c];
        row.emission[c] = emission[c];
    }
    return row;
}

// Channels (bit c for channel c) in which `row` may skip zeros now.
int skipping_channels(const SparseSweep *sweep, const SweepRow &row) {
    int channels = 0;
    for (int c = 0; c < 3; c++)
        if (sweep->state.active[c] && sweep->skip_ok[c] && sweep->state.all_finite[c] &&
            !is_negative_zero(row.emission[c]))
            channels |= 1 << c;
    return channels;
}

bool row_is_clean(RowView *view, size_t n) {
    if (!view->compact && !view->clean) view->clean = dense_row_is_clean(view->dense, n);
    return view->clean;
}

// Row r alone, every active channel.
void sweep_single_row(SparseSweep *sweep, SweepRow *row, size_t r) {
    SweepState *state = &sweep->state;
    int skipping = row_is_clean(&row->stored, sweep->n) ? skipping_channels(sweep, *row) : 0;
    float v[3];
    if (skipping != 0) sparse_row_sums(*row, r, sweep->n, sweep->radiosity, v);
    for (int c = 0; c < 3; c++) {
        if (!state->active[c]) continue;
        if (!(skipping >> c & 1)) v[c] = exact_row_sum(*row, r, sweep->n, c, sweep->radiosity);
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
        g.rows[j] = sweep_row(sweep, r + (size_t)j);
        const RowView &view = g.rows[j].stored;
        channels &= skipping_channels(sweep, g.rows[j]);
        groupable = channels != 0 && view.compact == g.rows[0].stored.compact && view.quiet &&
                    (view.clean || !view.compact);
    }
    if (!groupable) {
        sweep->cursor = saved;
        return false;
    }
#ifdef HALVORA_CHECK_INVARIANTS
    for (int j = 0; j < 4; j++)
        if (touches_rows(g.rows[j].stored, r, r + 4)) invariant_failed("rows side by side touch each other");
#endif
    pack_lanes(&g);
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

// --- a polygon's later rows summed on the helper's thread -------------------

// Rows [begin, end) of one polygon, summed ahead by their non-zero terms in
// the channels that may skip zeros as the polygon starts (`channels`), four
// side by side where they are of one kind, clean and quiet, as the sweep
// sums them. Reads the rows and the radiosities of other polygons only.
struct AheadSums {
    const SparseSweep *sweep;
    const Polygon *polygon;
    size_t begin, end;
    int channels;
    bool compact_groups; // false when the polygon holds patch 0, which a used-up lane's sentinel reads
    float *sums;         // 3 per row
    bool *summed;        // the row was clean: its sums are there
};

SweepRow ahead_row(const AheadSums *a, size_t r) {
    SweepRow row;
    row.stored = view_row(a->sweep->rows[r], r, a->sweep->n);
    for (int c = 0; c < 3; c++) {
        row.rho[c] = a->polygon->reflectance[c];
        row.emission[c] = a->sweep->emission_rhs[3 * r + (size_t)c];
    }
    return row;
}

// Rows r .. r+3 side by side into the sums; false (nothing done) when they cannot be.
bool sum_ahead_group(AheadSums *a, size_t r) {
    RowGroup g;
    for (int j = 0; j < 4; j++) {
        g.rows[j] = ahead_row(a, r + (size_t)j);
        const RowView &view = g.rows[j].stored;
        if (view.compact != g.rows[0].stored.compact || !view.quiet || (!view.clean && view.compact)) return false;
    }
    if (g.rows[0].stored.compact && !a->compact_groups) return false;
    pack_lanes(&g);
    __m128 out[3];
    if (!sweep_group_channels(a->channels, g, a->sweep->n, a->sweep->radiosity, out)) return false;
    float lanes[3][4];
    for (int c = 0; c < 3; c++) _mm_storeu_ps(lanes[c], out[c]);
    for (int j = 0; j < 4; j++) {
        size_t k = r + (size_t)j - a->begin;
        a->summed[k] = true;
        for (int c = 0; c < 3; c++) a->sums[3 * k + (size_t)c] = lanes[c][j];
    }
    return true;
}

void sum_ahead(void *arg) {
    AheadSums *a = (AheadSums *)arg;
    size_t r = a->begin;
    while (r < a->end) {
        if (r + 4 <= a->end && sum_ahead_group(a, r)) {
            r += 4;
            continue;
        }
        SweepRow row = ahead_row(a, r);
        size_t k = r - a->begin;
        a->summed[k] = row_is_clean(&row.stored, a->sweep->n);
        if (a->summed[k]) sparse_row_sums(row, r, a->sweep->n, a->sweep->radiosity, a->sums + 3 * k);
        r++;
    }
}

// Whether no row of rows [begin, end) has a term in those columns.
bool reads_no_own_column(const SparseSweep *sweep, size_t begin, size_t end) {
    for (size_t r = begin; r < end; r++)
        if (touches_rows(view_row(sweep->rows[r], r, sweep->n), begin, end)) return false;
    return true;
}

// Records row r from its sums ahead when the sweep would now take just the
// non-zero terms in every active channel; else sums it as the sweep does.
void record_ahead(SparseSweep *sweep, const AheadSums &a, size_t r) {
    SweepRow row = sweep_row(sweep, r);
    size_t k = r - a.begin;
    int active = 0;
    for (int c = 0; c < 3; c++)
        if (sweep->state.active[c]) active |= 1 << c;
    if (!a.summed[k] || (skipping_channels(sweep, row) & a.channels) != active) {
        sweep_single_row(sweep, &row, r);
        return;
    }
    for (int c = 0; c < 3; c++) {
        if (!sweep->state.active[c]) continue;
#ifdef HALVORA_CHECK_INVARIANTS
        check_skipping_sum(a.sums[3 * k + (size_t)c]);
#endif
        record_value(&sweep->state, sweep->radiosity, r, c, a.sums[3 * k + (size_t)c]);
    }
}

// Rows [r, end) as the sweep takes them, four side by side where it can; returns end.
size_t sweep_rows(SparseSweep *sweep, size_t r, size_t end) {
    while (r < end) {
        if (r + 4 <= end && sweep_row_group(sweep, r)) {
            r += 4;
            continue;
        }
        SweepRow row = sweep_row(sweep, r);
        sweep_single_row(sweep, &row, r);
        r++;
    }
    return r;
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
        RowView view = view_row(form_factors[r], r, n);
        bytes += (view.compact ? compact_row_floats(view.count) : n) * sizeof(float);
    }
    return bytes;
}

int solve_radiosity_channels(float **form_factors, float *radiosity, const float *emission_rhs, int32_t patches,
                             const Polygon *polys, int32_t count, double precision, int32_t sweeps[3],
                             void (*report)(const SweepProgress *), const SweepHelper *helper) {
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
    // With a helper: which large polygons' rows read none of their own
    // columns, and room for the sums of half the largest (without the room,
    // one thread).
    struct {
        bool ok = false;
        std::vector<char> own_free;
        float *sums = nullptr;
        bool *summed = nullptr;
    } split;
    if (helper != nullptr) {
        size_t largest = 0, first = 0;
        split.own_free.assign((size_t)count, 0);
        for (int32_t i = 0; i < count; i++) {
            size_t rows = (size_t)patches_of(&polys[i]);
            if (rows >= (size_t)SWEEP_SPLIT_ROWS && reads_no_own_column(&sweep, first, first + rows)) {
                split.own_free[(size_t)i] = 1;
                largest = std::max(largest, rows);
            }
            first += rows;
        }
        split.sums = (float *)malloc((largest / 2 + 4) * 3 * sizeof(float));
        split.summed = (bool *)malloc((largest / 2 + 4) * sizeof(bool));
        split.ok = largest > 0 && split.sums != nullptr && split.summed != nullptr;
    }
    start_solution(&sweep.state, sweeps);
    int diverged = -1;
    while (sweep.state.active[0] || sweep.state.active[1] || sweep.state.active[2]) {
        SweepProgress done = {};
        for (int c = 0; c < 3; c++) done.swept[c] = sweep.state.active[c];
        start_sweep(&sweep.state, sweeps);
        sweep.cursor = {polys, count, -1, 0};
        if (!split.ok) {
            sweep_rows(&sweep, 0, sweep.n);
        } else {
            // Polygon by polygon; a large one that reads none of its own
            // columns has its second half summed ahead on the helper's thread.
            size_t first = 0;
            for (int32_t i = 0; i < count; i++) {
                size_t rows = (size_t)patches_of(&polys[i]), end = first + rows;
                if (!split.own_free[(size_t)i]) {
                    sweep_rows(&sweep, first, end);
                    first = end;
                    continue;
                }
                size_t middle = first + (rows / 2 & ~(size_t)3);
                int channels = 0;
                for (int c = 0; c < 3; c++)
                    if (sweep.state.active[c] && sweep.skip_ok[c] && sweep.state.all_finite[c]) channels |= 1 << c;
                AheadSums ahead = {&sweep, &polys[i], middle, end, channels, first > 0, split.sums, split.summed};
                helper->start(sum_ahead, &ahead, helper->context);
                sweep_rows(&sweep, first, middle);
                helper->finish(helper->context);
                for (size_t r = middle; r < end; r++) record_ahead(&sweep, ahead, r);
                first = end;
            }
        }
        if (report != nullptr) {
            for (int c = 0; c < 3; c++) {
                done.sweeps[c] = sweeps[c];
                done.largest[c] = sweep.state.largest[c];
                if (sweeps[c] > done.sweep) done.sweep = sweeps[c];
            }
            done.precision = precision;
            report(&done);
        }
        end_sweep(&sweep.state, precision, &diverged);
    }
    free(split.sums);
    free(split.summed);
    return diverged;
}
