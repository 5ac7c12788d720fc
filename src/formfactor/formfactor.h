// Form-factor rows: for the patch a hemicube stands on, the sum of the delta
// form factors of the cells that resolve to each patch of the scene.
//
// Two records hold the stage's state:
// - FormFactorScene, what is fixed for the run: the polygons and their patch
//   grid, the hemicube's layout and delta form factors, the per-polygon cache
//   every cell cast reads (CastPolygon) and the runs-of-cells tables. Built
//   once (form_factor_scene_init) and read-only from then on, so any number
//   of workers may read it at once.
// - FormFactorWorker, what one worker changes: its hemicube (cells, recorded
//   moves, drift, item buffer), its row, the reference's hit table and the
//   scratch of the two fast paths. Only its own worker touches it.
// The row functions take both by pointer; nothing of the stage lives in a
// variable of its own.
#pragma once

#include <cstdint>

#include "base/errors.h"
#include "formfactor/bvh.h"
#include "formfactor/cellcast.h"
#include "formfactor/hemicube.h"
#include "formfactor/raycast.h"
#include "formfactor/row.h"
#include "formfactor/runcast.h"
#include "geometry/environment.h"
#include "geometry/patches.h"

struct FormFactorScene {
    const Polygon *polygons;
    int32_t polygon_count;
    int32_t patch_count;
    PatchUV *const *const *patch_grid; // per polygon, per row, the patches' (u, v) corners
    HemicubeLayout hemicube;           // resolution, cell count, delta form factors
    CastPolygon *cast;                 // per polygon
    PolygonBvh bvh;                    // the hierarchy of the polygons' widened boxes
    double scene_extent;               // largest absolute vertex coordinate
    RunTables runs;                    // the runs-of-cells tables
    double cells_per_candidate;        // the rule between the fast paths (RUNS_CELLS_PER_CANDIDATE)
};

// On cache lines of its own, as its arrays are (checked_calloc_apart): the
// records of several workers side by side never share a line.
struct alignas(APART_CALLOC_LINES) FormFactorWorker {
    Hemicube hemicube;
    FormFactorRow row;          // the row being filled, +0 where it sees nothing
    bool tables_made;           // the tables below exist (made at the worker's first row)
    PolygonHit *polygon_hits;   // the reference's hit table
    CullScratch cull;           // the culled search's
    RunScratch runs;            // runs of cells'
};

// What the fast paths of a worker did, for the benchmark.
struct FormFactorWork {
    CellcastCounters cull;
    RuncastCounters runs;
};

// Builds the run's fixed tables for `count` polygons and their patch grid:
// the hemicube's layout and delta form factors (codes 10, 11) and the
// per-polygon tables (code 10).
void form_factor_scene_init(FormFactorScene *scene, const Polygon *polys, int32_t count, PatchUV *const *const *grid,
                            float pixel_size);

// Releases the tables; does nothing when already released.
void form_factor_scene_free(FormFactorScene *scene);

// Obtains one worker's row (code 7) and hemicube (codes 10, 12). Its ray
// casting tables are made at its first row.
void form_factor_worker_init(FormFactorWorker *worker, const FormFactorScene *scene);

// Makes the worker's ray casting tables now, when not yet made (code 10):
// for a caller that obtains all memory before its workers start.
void form_factor_worker_tables(FormFactorWorker *worker, const FormFactorScene *scene);

// Releases everything of the worker; does nothing when already released.
void form_factor_worker_free(FormFactorWorker *worker);

// Fills the worker's row for its hemicube's current position: runs of cells
// or the culled, nearest-first search, by the scene's rule. The row holds +0
// in every entry on entry (row_clear after the last row). The caller has
// placed and moved the hemicube. Ends the process (code 10) if the worker's
// tables cannot be made at its first row.
void form_factor_row(FormFactorWorker *worker, const FormFactorScene *scene);

// The same row by the straightforward loop: every cell's ray against every
// polygon (cast_cell_ray, nearest_polygon_hit, patch_at_hit). Gives the same
// bytes as form_factor_row; kept as the reference for the tests and the
// benchmark.
void form_factor_row_reference(FormFactorWorker *worker, const FormFactorScene *scene);

// Where the rows of a run go, one after another in row order (the order of
// the polygons and, within one, of its patches).
struct FormFactorRowSink {
    // Row `row` (from 0) is next: about to be computed by one worker, or to
    // be taken from several.
    void (*begin)(int64_t row, void *context);
    // Takes the row's values; false ends the rows (the taker failed, and says
    // why itself). The row is cleared after the call.
    bool (*take)(const FormFactorRow *values, int64_t row, void *context);
    void *context;
};

// One worker over every row of the scene, in row order: its hemicube placed
// on each polygon and moved patch to patch, each row handed to the sink.
// `worker` is the caller's, obtained (form_factor_worker_init) and released
// by it. Returns false when the sink refused a row. Fills `work` (when given)
// with what the fast paths did. Ends the process as form_factor_row does.
bool form_factor_rows(const FormFactorScene *scene, FormFactorWorker *worker, const FormFactorRowSink *sink,
                      FormFactorWork *work);
