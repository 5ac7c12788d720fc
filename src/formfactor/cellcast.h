// All cells of the hemicube resolved at once: for the patch the hemicube
// stands on, the patch every cell sees, exactly as the per-cell reference
// (cast_cell_ray, nearest_polygon_hit, patch_at_hit) finds it, but without
// testing every polygon against every cell.
//
// Reads the hemicube state (cells, centre, current polygon), the polygons and
// patch_grid; writes hemicube_item_buffer. Its own tables (per polygon, per
// cell) live from cellcast_init to cellcast_free, like the hit table of the
// reference, and are released before the solver's matrix is obtained.
#pragma once

#include <cstdint>

#include "geometry/environment.h"

// Creates the tables for `count` polygons and the hemicube's cells and caches
// the per-polygon constants (plane offset, bounding box, plane mapping, first
// patch). Needs hemicube_init and patch_grid. Ends the process with code 10
// when memory runs out.
void cellcast_init(const Polygon *polys, int32_t count);

// Releases the tables; does nothing when already released.
void cellcast_free();

// Sets hemicube_item_buffer[k] for every cell k that sees a patch; the others
// keep the -1 that hemicube_move put there. The hemicube has been placed and
// moved to the patch.
void resolve_hemicube_cells(const Polygon *polys, int32_t count);

// Work done since cellcast_init, for the benchmark.
struct CellcastCounters {
    int64_t candidates;    // polygons left after the per-patch culls, summed over patches
    int64_t projections;   // polygon and hemicube-face pairs projected
    int64_t ray_tests;     // exact cell-ray tests made
};
extern CellcastCounters cellcast_counters;
