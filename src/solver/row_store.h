// The row store: halvora-bake's form-factor rows handed to the solver one by
// one, in row order, as they are made, so that no FF.BIN is read back and
// nothing of n x n floats is obtained. The rows it stores are the ones
// read_form_factor_matrix stores from FF.BIN, float for float, and the run's
// sweep (solve_radiosity_channels) takes them from radiosity_matrix as usual.
#pragma once

#include <cstddef>
#include <cstdint>

#include "geometry/environment.h"
#include "solver/compact_rows.h"

struct RowStore {
    bool begun;            // row_store_begin was called and radiosity_matrix is the store's row table
    size_t n;              // patches: rows to come, entries per row
    size_t rows;           // rows stored so far
    float **chunks;        // the blocks the rows are packed into, in row order
    size_t chunk_count, chunk_capacity;
    size_t chunk_floats;   // size of a new chunk unless a row needs more
    float *next;           // where the next row goes in the last chunk
    size_t left;           // floats left in the last chunk
    uint64_t bytes;        // of all chunks
};
extern RowStore row_store;

// Starts the store for `patches` rows of at most `most_terms` entries each
// (the hemicube's cells): radiosity_matrix becomes its row table (code 9),
// patch_emission the polygons' emission per patch (code 11) and
// patch_radiosity zeros (code 12). A store begun before is released first.
void row_store_begin(int32_t patches, uint64_t most_terms, const Polygon *polys, int32_t count);

// Stores the next row, given as its entries (columns increasing, below n;
// entries of +0 among them are left out). False when there is no memory for
// it, or every row is stored already.
bool row_store_add(const RowEntry *entries, size_t count);

// Releases the chunks and the row table; does nothing when not begun.
void row_store_free();

// Bytes at most that row_store_begin and n = `patches` rows of a hemicube of
// `cells` cells take (with `cells` as most_terms).
uint64_t row_store_bound(uint64_t patches, uint64_t cells);
