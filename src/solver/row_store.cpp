// The row store: form-factor rows handed to the solver one by one, in row
// order, as they are made (halvora-bake), instead of read back from FF.BIN.
// Each row is stored in the compact row format (compact_rows.h) when it fits
// and densely otherwise, exactly as read_form_factor_matrix would store the
// same row read from the file, so the sweep sees the same floats.
//
// Writes radiosity_matrix (the row table, pointing into the store's chunks),
// patch_emission and patch_radiosity; reads the polygons' emission.
//
// Memory: one chunk after another of at least STORE_CHUNK_FLOATS floats, the
// rows packed from each chunk's start; a row never straddles two chunks. A
// row of t terms takes 2 t + 4 floats (t is at most the hemicube's cells),
// so the store grows with the non-zero terms, plus 8 bytes of row table and
// 24 bytes of emission and radiosity per patch. Nothing of n x n floats is
// ever obtained.
//
// Invariant: rows 0 .. row_store.rows - 1 are stored and each radiosity_matrix
// entry below that points at its row; the chunks are in row_store.chunks.
#include "solver/row_store.h"

#include <cstdlib>

#include "base/errors.h"
#include "solver/solver.h"
#include "solver/sweep_state.h"

RowStore row_store = {};

namespace {

// Floats of one chunk unless a row needs more, or all rows together take
// fewer: 64 MiB.
constexpr size_t STORE_CHUNK_FLOATS = (size_t)16 << 20;

// A new chunk of at least `floats` floats; false when there is no memory.
bool add_chunk(RowStore *store, size_t floats) {
    size_t size = floats > store->chunk_floats ? floats : store->chunk_floats;
    if (store->chunk_count == store->chunk_capacity) {
        size_t capacity = store->chunk_capacity ? 2 * store->chunk_capacity : 16;
        float **grown = (float **)realloc(store->chunks, capacity * sizeof(float *));
        if (grown == nullptr) return false;
        store->chunks = grown;
        store->chunk_capacity = capacity;
    }
    float *chunk = (float *)malloc(size * sizeof(float));
    if (chunk == nullptr) return false;
    store->chunks[store->chunk_count++] = chunk;
    store->next = chunk;
    store->left = size;
    store->bytes += size * sizeof(float);
    return true;
}

// Floats one row of n takes at most when it lists at most `most_terms`
// patches (a row lists at most one patch per cell, and never more than n):
// compactly when that fits, densely n floats otherwise.
uint64_t stored_row_bound(uint64_t n, uint64_t most_terms) {
    uint64_t terms = most_terms < n ? most_terms : n;
    return row_fits_compact(terms, n) ? compact_row_floats(terms) : n;
}

} // namespace

void row_store_begin(int32_t patches, uint64_t most_terms, const Polygon *polys, int32_t count) {
    row_store_free();
    size_t n = patches > 0 ? (size_t)patches : 0;
    row_store.begun = true;
    row_store.n = n;
    // All rows together take at most n rows of their largest size.
    uint64_t all = (uint64_t)n * stored_row_bound(n, most_terms);
    row_store.chunk_floats = all < STORE_CHUNK_FLOATS ? (size_t)all : STORE_CHUNK_FLOATS;
    radiosity_matrix = (float **)checked_calloc(n, sizeof(float *), EXIT_MATRIX_TABLE_NO_MEMORY);
    patch_emission = (float *)checked_calloc(3 * n, sizeof(float), EXIT_EMISSION_NO_MEMORY);
    patch_radiosity = (float *)checked_calloc(3 * n, sizeof(float), EXIT_RADIOSITY_NO_MEMORY);
    size_t r = 0;
    for (int32_t i = 0; i < count; i++)
        for (size_t p = 0; p < patches_of(&polys[i]) && r < n; p++, r++)
            for (int c = 0; c < 3; c++) patch_emission[3 * r + (size_t)c] = polys[i].emission[c];
}

bool row_store_add(const RowEntry *entries, size_t count) {
    RowStore *store = &row_store;
    size_t r = store->rows, n = store->n;
    if (r >= n) return false;
    size_t floats = stored_row_floats(entries, count, n);
    if (floats > store->left && !add_chunk(store, floats)) return false;
    radiosity_matrix[r] = store->next;
    size_t used = store_row_entries(store->next, entries, count, r, n);
    store->next += used;
    store->left -= used;
    store->rows++;
    return true;
}

void row_store_free() {
    for (size_t k = 0; k < row_store.chunk_count; k++) free(row_store.chunks[k]);
    free(row_store.chunks);
    if (row_store.begun) release(radiosity_matrix);
    row_store = RowStore{};
}

uint64_t row_store_bound(uint64_t patches, uint64_t cells) {
    // The rows, the chunk that is left part-filled at each row that does not
    // fit its chunk's end (at most one row's floats per chunk), the row table
    // and the emission and radiosity vectors.
    uint64_t row_floats = stored_row_bound(patches, cells);
    uint64_t rows = patches * row_floats * sizeof(float);
    uint64_t chunks = rows / (STORE_CHUNK_FLOATS * sizeof(float)) + 1;
    return rows + chunks * row_floats * sizeof(float) + patches * (sizeof(float *) + 24);
}
