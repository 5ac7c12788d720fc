// Storing and viewing rows in the compact row format (its table is at the
// top of compact_rows.h): from a dense row as read from FF.BIN (store_row),
// or from a row given as a list of entries (store_row_entries); both give
// the same floats for the same row.
//
// Reads and writes only the row buffers it is handed.
//
// Invariant: a row is stored compactly exactly when its entries other than
// +0 fit (row_fits_compact), and a dense row never starts with COMPACT_MARK.
#include "solver/compact_rows.h"

#include <cstring>

#include "solver/lanes.h"
#include "solver/terms.h"

namespace {

// Whether `row` (row r) has no entry other than +0 within `reach` columns of r.
bool quiet_near(const float *row, size_t r, size_t n, size_t reach) {
    size_t begin = r > reach ? r - reach : 0, end = r + reach + 1 < n ? r + reach + 1 : n;
    for (size_t k = begin; k < end; k++)
        if (bits_of(row[k]) != 0) return false;
    return true;
}

// The terms that fit in a block of n floats with the mark, the count and the
// sentinel.
size_t most_terms(size_t n) {
    if (n < 4) return 0;
    return (n - 4) / 2 < COUNT_BITS ? (n - 4) / 2 : COUNT_BITS;
}

void write_header(float *row, size_t terms, bool clean, bool quiet) {
    uint32_t word = (uint32_t)terms | (clean ? 0u : UNCLEAN_FLAG) | (quiet ? QUIET_FLAG : 0u);
    uint32_t header[2] = {COMPACT_MARK, word};
    memcpy(row, header, sizeof header);
}

// A dense row keeps its floats but for a first float with the mark's bits.
void unmark_dense_row(float *row, size_t n) {
    if (n > 0 && bits_of(row[0]) == COMPACT_MARK) row[0] = float_of(DEFAULT_NAN);
}

size_t nonzero_entries(const RowEntry *entries, size_t count) {
    size_t t = 0;
    for (size_t i = 0; i < count; i++) t += bits_of(entries[i].value) != 0;
    return t;
}

} // namespace

RowView view_row(const float *row, size_t r, size_t n) {
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
    return view;
}

// The terms are written as they are found, and a row that turns out to have
// too many is copied whole instead.
size_t store_row(float *row, const float *scratch, size_t r, size_t n, bool in_place) {
    if (!in_place && n >= 4) {
        size_t most = most_terms(n);
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
            write_header(row, t, clean, quiet_near(scratch, r, n, QUIET_REACH));
            terms[t] = {0, 0.0f};
            return compact_row_floats(t);
        }
    }
    if (!in_place && n > 0) memcpy(row, scratch, n * sizeof(float));
    unmark_dense_row(row, n);
    return n;
}

size_t stored_row_floats(const RowEntry *entries, size_t count, size_t n) {
    size_t t = nonzero_entries(entries, count);
    return row_fits_compact(t, n) ? compact_row_floats(t) : n;
}

size_t store_row_entries(float *out, const RowEntry *entries, size_t count, size_t r, size_t n) {
    size_t t = nonzero_entries(entries, count);
    if (!row_fits_compact(t, n)) {
        memset(out, 0, n * sizeof(float));
        for (size_t i = 0; i < count; i++) out[entries[i].column] = entries[i].value;
        unmark_dense_row(out, n);
        return n;
    }
    FormFactorTerm *terms = (FormFactorTerm *)(out + 2);
    bool clean = true, quiet = true;
    size_t written = 0;
    for (size_t i = 0; i < count; i++) {
        if (bits_of(entries[i].value) == 0) continue;
        size_t column = entries[i].column;
        if (!is_clean_entry(entries[i].value)) clean = false;
        if (column + QUIET_REACH >= r && column <= r + QUIET_REACH) quiet = false;
        terms[written++] = {(uint32_t)(3 * column), entries[i].value};
    }
    write_header(out, t, clean, quiet);
    terms[t] = {0, 0.0f};
    return compact_row_floats(t);
}

bool dense_row_is_clean(const float *row, size_t n) {
    size_t k = 0;
    __m128i unclean = _mm_setzero_si128();
    for (; k + 4 <= n; k += 4) unclean = _mm_or_si128(unclean, unclean_lanes(_mm_loadu_si128((const __m128i *)(row + k))));
    bool clean = _mm_movemask_epi8(unclean) == 0;
    for (; k < n; k++)
        if (!is_clean_entry(row[k])) clean = false;
    return clean;
}

const char *compact_row_fault(const RowView &view, size_t r, size_t n) {
    if (compact_row_floats(view.count) > n) return "compact row overflows its block";
    bool clean = true, quiet = true;
    for (uint32_t t = 0; t < view.count; t++) {
        uint32_t slot = view.terms[t].slot;
        if (slot >= 3 * n || slot % 3 != 0 || (t > 0 && slot <= view.terms[t - 1].slot))
            return "compact row columns out of order";
        uint32_t bits = bits_of(view.terms[t].value);
        if (bits == 0) return "compact row lists a +0";
        if (bits >= FIRST_UNCLEAN_BITS) clean = false;
        size_t column = slot / 3;
        if (column + QUIET_REACH >= r && column <= r + QUIET_REACH) quiet = false;
    }
    if (view.terms[view.count].slot != 0 || bits_of(view.terms[view.count].value) != 0) return "compact row sentinel";
    if (clean != view.clean) return "compact row unclean flag";
    if (quiet != view.quiet) return "compact row quiet flag";
    return nullptr;
}
