// How the form-factor rows of a run are split into blocks for several
// workers, in row order. No threads here: the split is a plain record and
// one rule, used by halvora-bake's workers and by the benchmark's model of
// them alike.
//
// A block is a run of consecutive patches of one polygon. Its worker places
// its hemicube on the polygon and moves it patch to patch, as one worker
// would. The cells depend on the whole path of moves since the placement
// (each move adds a rounded offset), so a block that starts inside a
// polygon takes the hemicube as the block before it leaves it: the worker of
// that block, before its own rows, replays its block's moves on a copy of
// its hemicube and hands the copy on (a relay). Replaying is a small part of
// a row (one single-precision addition per cell coordinate and move), so the
// blocks of a large polygon can run side by side while the relay runs ahead;
// where several workers enter a polygon at once, those waiting replay slices
// of the relay's cells with its maker (halvora-bake's workers).
//
// Block sizes follow the rows still to be split: a block takes
// 1 / (SPLIT_FACTOR x workers) of them, at least one, or its polygon's whole
// rest where that is at most twice as many (a relay saved for a slightly
// larger block). Early blocks are large (few relays), the last ones small
// (the workers end together, however unequal the rows' costs). With one
// worker a block is a whole polygon and nothing is relayed.
#pragma once

#include <cstdint>

#include "geometry/environment.h"

// Blocks carved per worker from the rows still to be split.
const int32_t SPLIT_FACTOR = 4;

struct RowBlock {
    int32_t polygon;      // the polygon whose patches it holds
    int32_t first, end;   // its patches [first, end), in the polygon's patch order
    int64_t first_row;    // the global row of patch `first`
    bool relayed_in;      // starts inside the polygon: its hemicube comes from the block before
    bool relays_out;      // ends inside the polygon: its worker hands the hemicube on to the next block
};

struct RowSplit {
    const Polygon *polygons;
    int32_t polygon_count;
    int32_t workers;
    int32_t polygon;      // where the next block starts: polygon, patch within it, global row
    int32_t patch;
    int64_t row;
    int64_t rows;         // rows of the whole run
};

// A split of the rows of `count` polygons between `workers` workers.
void row_split_start(RowSplit *split, const Polygon *polys, int32_t count, int32_t workers);

// Carves the next block, in row order; false when every row has been given out.
bool row_split_next(RowSplit *split, RowBlock *block);

// The most patches a block that relays out can hold (its relay's moves), for
// the replay records made before the workers start; 0 with one worker.
int64_t row_split_largest_relayed(const RowSplit *split);
