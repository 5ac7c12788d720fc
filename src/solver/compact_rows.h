// The compact row format: how the run's solver stores one row of form
// factors F_r0 .. F_r(n-1) when most of it is zero, in the first floats of
// the row's own block of n floats.
//
//   float   holds
//   [0]     COMPACT_MARK, the bit pattern 0xFFFFFFFF (a NaN)
//   [1]     a 32-bit word: the number of terms t (COUNT_BITS), UNCLEAN_FLAG
//           when a term is negative, -0, infinite or NaN, QUIET_FLAG when
//           no term lies within QUIET_REACH columns of the row's own
//   [2 + 2i]      term i's slot: 3 x its column (where the patch's red value
//                 lies in the interleaved r g b arrays), a 32-bit integer
//   [3 + 2i]      term i's form factor, as read
//   [2 + 2t]      the sentinel's slot, 0
//   [3 + 2t]      the sentinel's form factor, +0
//
// The terms are every entry of the row that is not +0 (-0 included), in
// increasing column order; an entry not listed is +0. The sentinel adds
// nothing to a sum that may skip zeros (terms.h), so four rows of different
// lengths can be summed side by side with the used-up lanes on it.
//
// A row takes 2 t + 4 floats this way; it is stored so when that is at most
// n (and t fits in COUNT_BITS), otherwise it stays dense: the n floats as
// read. A dense row never starts with COMPACT_MARK: that pattern is replaced
// by the default NaN 0x7FC00000 (a NaN in a row makes every channel's first
// sweep diverge whatever its bits, so no value the run keeps changes). So
// the first float tells the two forms apart.
//
// Invariant: viewing a stored row (view_row) gives back every entry that is
// not +0, with its bits, in column order, and flags that are true of them.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t COMPACT_MARK = 0xFFFFFFFFu;
constexpr uint32_t UNCLEAN_FLAG = 0x80000000u;
constexpr uint32_t QUIET_FLAG = 0x40000000u;
constexpr uint32_t COUNT_BITS = 0x3FFFFFFFu;
constexpr uint32_t DEFAULT_NAN = 0x7FC00000u;
// Rows are swept four side by side when each has no entry other than +0
// within 3 columns of its own, so that none of four consecutive rows reads
// another's new value.
constexpr size_t QUIET_REACH = 3;

// One term of a compact row.
struct FormFactorTerm {
    uint32_t slot; // 3 x the column: where the patch's red value is in the interleaved r g b arrays
    float value;
};

// One entry of a row given as a list (for store_row_entries).
struct RowEntry {
    uint32_t column;
    float value;
};

// What a sweep needs to know of one stored row.
struct RowView {
    const float *dense;           // the row as read, or null when compact
    const FormFactorTerm *terms;  // the compact terms, sentinel after them
    uint32_t count;               // number of compact terms
    bool compact;
    bool clean;                   // known: every entry +0 or positive and finite (dense rows: not yet known)
    bool quiet;                   // no entry other than +0 within QUIET_REACH columns of the row's own
};

// Row r of n, stored at `row` by store_row or store_row_entries.
RowView view_row(const float *row, size_t r, size_t n);

// Floats a compact row of `terms` terms takes: mark, count, terms, sentinel.
inline size_t compact_row_floats(size_t terms) { return 2 * terms + 4; }

// Whether a row of n entries of which `terms` are not +0 is stored compactly.
inline bool row_fits_compact(size_t terms, size_t n) { return terms <= COUNT_BITS && compact_row_floats(terms) <= n; }

// Stores row r of n, read into `scratch`, at `row` (the same place when
// `in_place`, where it stays dense), compactly when it fits. `row` and
// `scratch` do not overlap unless they are one. Returns the floats used.
size_t store_row(float *row, const float *scratch, size_t r, size_t n, bool in_place);

// Row r of n given as its entries, columns increasing and below n (entries
// of +0 may be among them and are left out): the floats store_row_entries
// takes for it, compactly or dense.
size_t stored_row_floats(const RowEntry *entries, size_t count, size_t n);

// Writes that row at `out` (stored_row_floats floats), as store_row writes
// the same row read densely. Returns the floats written.
size_t store_row_entries(float *out, const RowEntry *entries, size_t count, size_t r, size_t n);

// Whether every entry of a dense row is +0 or positive and finite.
bool dense_row_is_clean(const float *row, size_t n);

// What is wrong with compact row r of n, as viewed (columns out of order or
// out of range, a +0 listed, the sentinel missing, a flag that is not true,
// more floats than the block holds), or null when nothing is.
const char *compact_row_fault(const RowView &view, size_t r, size_t n);
