// Form-factor rows by runs of cells: per hemicube face, line by line, the
// candidate polygons' hit ranges, their depth order and their patch
// boundaries are worked out for whole runs of cells at once, with error
// bounds that cover the reference's rounded arithmetic. A cell whose outcome
// the bounds cannot settle is cast by the exact arithmetic of raycast.h. The
// row gets the same bytes as the reference loop's.
//
// Two records: RunTables, the per-polygon constants and grid thresholds,
// built once with the run's fixed tables (FormFactorScene) and read-only from
// then on; RunScratch, one per worker, what a row changes (its candidates,
// per-line hits, spans, the cached grid forms and the runs waiting for their
// line's end), made at the worker's first row. The files runcast*.cpp keep
// one role each; runcast.cpp holds the argument they all rest on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "geometry/environment.h"

struct FormFactorScene;
struct FormFactorRow;
struct Hemicube;

// The rule between the two fast paths: a row with fewer cells than this many
// per candidate polygon (a polygon not in the plane through the hemicube's
// centre) is left to the culled search of cellcast.cpp. With many polygons
// and few cells, as in a cluttered hall at a coarse hemicube, sweeping every
// line of every face costs more than testing the few cells each polygon
// covers. Measured on the furnished room: at 0.1 (about 65 cells per
// candidate) runs take 1.4 times the culled search's time, at 0.07 (about
// 147) the two run as fast, at 0.05 (about 280) runs are 1.5 to 1.9 times
// faster; the cluttered hall at 0.1 (about 2) takes ten times as long by
// runs. Hence 160 (FormFactorScene's cells_per_candidate; the tests set 0 to
// run every row here).
const double RUNS_CELLS_PER_CANDIDATE = 160.0;

// Work done, for the benchmark and the tests.
struct RuncastCounters {
    int64_t rows;         // rows resolved by runs
    int64_t cells;        // cells of those rows
    int64_t exact_cells;  // cells of those rows cast by the exact arithmetic
    int64_t runs;         // runs of cells decided at once
    int64_t declined;     // rows left to the culled search (too few cells per candidate, drift too large)
};

struct RunPolygon;
struct RunCandidate;
struct RunLineHit;
struct RunSpan;
struct RunOut;
struct RunSlope;

// Fixed for the run.
struct RunTables {
    RunPolygon *polygons;     // per polygon
    double scene_extent;      // largest |X_c| a hit point that passes a box test can have
    double origin_bound;      // bound on |O_c| for the grid thresholds
    float *bounds;            // every gridded polygon's grid boundaries along u, then v
    double *thresholds;       // beside each boundary list: "surely above", then "surely below"
    size_t threshold_count;   // thresholds of all gridded polygons
    size_t span_capacity;     // spans of one axis: the most patches along an edge, plus 2
};

// One worker's, changed by every row.
struct RunScratch {
    RunCandidate *candidates; // the polygons the current patch can see, first `candidate_count`
    int32_t candidate_count;
    RunLineHit *line_hits;    // per candidate: its hit ranges on the current line
    int32_t *line_set;        // per candidate: the line's possible set at the current cell
    int32_t *by_first, *by_last, *active, *position; // per candidate: the face's candidates by first and
                                                     // by last line, those on the current line, and
                                                     // where each stands among those
    int32_t placement;        // hemicube_placements the per-placement data belongs to
    double face_min_depth[5]; // per face: smallest |nominal ray| (bound from the face's depth axis)
    double face_max_length[5];// per face: largest |nominal ray|
    RunSpan *spans;           // a run's row spans, then its column spans
    double *form_bounds;      // per threshold: its grid form's bound, filled per row as needed
    RunSlope *slopes;         // and its slopes per hemicube face
    int64_t *bounds_row;      // per polygon: the row (rows_begun) its form bounds belong to
    int64_t *slopes_row;      // per polygon and face: likewise for its slopes
    int64_t rows_begun;       // rows started since runcast_init
    RunOut *line_runs;        // the current line's runs of one patch each, added when the line ends
    int32_t line_run_count;
    int64_t *waiting_line;    // per patch: the line whose end it has a run waiting for
    int64_t lines_begun;      // lines since runcast_init, counted from 1
    RuncastCounters counters;
};

// Builds the run's tables for the scene's polygons and patch grid (the cast
// cache of the scene already built). Ends the process with code 10 when
// memory runs out.
void runcast_tables_init(RunTables *tables, const FormFactorScene *scene);
void runcast_tables_free(RunTables *tables);

// Creates one worker's scratch. Ends the process with code 10 when memory
// runs out.
void runcast_init(RunScratch *scratch, const FormFactorScene *scene);

// Releases the scratch; does nothing when already released.
void runcast_free(RunScratch *scratch);

// Adds every cell's delta form factor to the patch it sees, in cell order, as
// the reference does; the row holds zeros on entry. Returns false, leaving the
// row untouched, when this patch is better left to the culled search (fewer
// than the scene's cells_per_candidate per candidate polygon) or its rays
// have strayed too far for the bounds. The hemicube has been placed and moved
// to the patch; only its recorded moves are replayed, on the cells cast
// exactly.
bool runcast_row(RunScratch *scratch, const Hemicube *h, const FormFactorScene *scene, FormFactorRow *row);
