// All cells of the hemicube resolved at once: for the patch the hemicube
// stands on, the patch every cell sees, exactly as the per-cell reference
// (cast_cell_ray, nearest_polygon_hit, patch_at_hit) finds it, but without
// testing every polygon against every cell.
//
// Reads the worker's hemicube (cells, centre, current polygon, placement
// rays, drift) and the run's fixed tables (polygons, their cache, the patch
// grid); writes the hemicube's item buffer. Its scratch (per polygon, per
// cell) is the record below, one per worker, made at the worker's first row
// and released with the worker, like the reference's hit table.
#pragma once

#include <cstdint>

#include "geometry/environment.h"

struct FormFactorScene;
struct Hemicube;

// Work done, for the benchmark.
struct CellcastCounters {
    int64_t nodes;         // nodes of the polygons' hierarchy taken from the heap, summed over patches
    int64_t candidates;    // polygons left after the per-patch culls, summed over patches
    int64_t projections;   // polygon and hemicube-face pairs projected
    int64_t ray_tests;     // exact cell-ray tests made
};

// A polygon for the current patch, indexed by polygon.
struct CullCandidate {
    double lower_bound;  // no hit of this polygon has a rounded distance below it; DBL_MAX when culled
    double distance;     // distance from the centre to the widened box
    double numerator;    // N . p0 - N . O, the numerator of t
};

// A hemicube face as a grid: cell index = base + i * stride_i + j. Through a
// central projection onto the face's plane (depth axis D, in-face axes P and
// Q), cell (i, j) lies at (c0 + i s, c0 + j s) up to the measured deviation.
struct CullFace {
    int32_t base, cells_i, cells_j, stride_i;
    int32_t tiles_i, tiles_j, first_tile;
    double deviation0;   // largest |projected placement ray - nominal point|
    double min_depth0;   // smallest D . d0 of its placement rays
    double min_cosine0;  // smallest D . d0 / |d0| of its placement rays
};

// A node (index -1 - node) or a polygon (index >= 0) waiting for the search,
// with the lower bound of its hits' distances.
struct HeapItem {
    double bound;
    int32_t index;
};

// Heap order: the lower bound first, then nodes before polygons and lower
// indices first, so that the search runs the same way every time.
inline bool heap_before(double bound, int32_t index, const HeapItem &other) {
    return bound < other.bound || (bound == other.bound && index < other.index);
}

// One worker's scratch for the culled search.
struct CullScratch {
    CullCandidate *candidates;  // per polygon, filled when the polygon is reached
    HeapItem *heap;             // nodes and polygons waiting, nearest bound first
    int32_t heap_size;
    Vec3 *cell_rays;            // per cell: d = cell - centre for the current patch
    float *best_distance;       // per cell: rounded distance of the nearest hit so far
    int32_t *best_polygon;      // per cell: its polygon, or -1
    Vec3 *best_point;           // per cell: its hit point
    float *tile_farthest;       // per tile: largest best_distance of its cells
    int32_t tiles;
    CullFace faces[5];
    float face_farthest[5];
    double frame[3][3];         // u, v, n of the current polygon, unit length
    double lowest_height0;      // smallest n . d0 over all placement rays
    int32_t layout_placement;   // hemicube_placements the placement data belongs to
    CellcastCounters counters;
};

// Creates the scratch for the scene's polygons and the hemicube's cells.
// Ends the process with code 10 when memory runs out.
void cellcast_init(CullScratch *scratch, const FormFactorScene *scene);

// Releases the scratch; does nothing when already released.
void cellcast_free(CullScratch *scratch);

// Sets the hemicube's item buffer[k] for every cell k that sees a patch; the
// others keep the -1 that hemicube_move put there. The hemicube has been
// placed, moved to the patch and settled.
void resolve_hemicube_cells(CullScratch *scratch, Hemicube *h, const FormFactorScene *scene);
