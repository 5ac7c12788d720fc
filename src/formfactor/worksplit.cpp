// The split of the form-factor rows into blocks (see worksplit.h).
//
// Invariant: blocks come in row order and cover every row once; a block
// never crosses a polygon's end, and relays_out of a block is relayed_in of
// the next.
#include "formfactor/worksplit.h"

#include <algorithm>

namespace {

int64_t patches_of(const Polygon *polygon) {
    int64_t n = (int64_t)polygon->patches_u * (int64_t)polygon->patches_v;
    return polygon->patches_u > 0 && polygon->patches_v > 0 ? n : 0;
}

// Moves the split past polygons with no patch left.
void skip_done(RowSplit *split) {
    while (split->polygon < split->polygon_count && split->patch >= patches_of(&split->polygons[split->polygon])) {
        split->polygon++;
        split->patch = 0;
    }
}

// 1 / (SPLIT_FACTOR x workers) of `rows`, rounded up, at least one.
int64_t share_of(const RowSplit *split, int64_t rows) {
    int64_t share = (int64_t)SPLIT_FACTOR * split->workers;
    return std::max<int64_t>(1, (rows + share - 1) / share);
}

} // namespace

void row_split_start(RowSplit *split, const Polygon *polys, int32_t count, int32_t workers) {
    *split = RowSplit{polys, count, workers < 1 ? 1 : workers, 0, 0, 0, 0};
    for (int32_t i = 0; i < count; i++) split->rows += patches_of(&polys[i]);
    skip_done(split);
}

bool row_split_next(RowSplit *split, RowBlock *block) {
    skip_done(split);
    if (split->polygon >= split->polygon_count) return false;
    int64_t rest = patches_of(&split->polygons[split->polygon]) - split->patch;
    int64_t size = rest;
    if (split->workers > 1) {
        int64_t wanted = share_of(split, split->rows - split->row);
        // A rest of up to twice the share is taken whole: no relay to make
        // and no second placement, and the blocks after it still shrink.
        if (2 * wanted < size) size = wanted;
    }
    block->polygon = split->polygon;
    block->first = split->patch;
    block->end = (int32_t)(split->patch + size);
    block->first_row = split->row;
    block->relayed_in = split->patch > 0;
    block->relays_out = size < rest;
    split->patch = block->end;
    split->row += size;
    return true;
}

int64_t row_split_largest_relayed(const RowSplit *split) {
    return split->workers > 1 ? share_of(split, split->rows) : 0;
}
