// Form-factor rows by runs of cells: per hemicube face, line by line, the
// candidate polygons' hit ranges, their depth order and their patch
// boundaries are worked out for whole runs of cells at once, with error
// bounds that cover the reference's rounded arithmetic. A cell whose outcome
// the bounds cannot settle is cast by the exact arithmetic of raycast.h. The
// row gets the same bytes as the reference loop's.
//
// Reads the hemicube state (face layout, cells, drift, centre, current
// polygon), the polygons and patch_grid; adds to the row. Its state is the one
// record `runcast`, whose tables live from runcast_init to runcast_free, like
// the reference's hit table.
#pragma once

#include <cstdint>

#include "geometry/environment.h"

// Work done since runcast_init, for the benchmark and the tests.
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

struct Runcast {
    RunPolygon *polygons;     // per polygon, fixed for the run
    int32_t polygon_count;
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
    double scene_extent;      // largest absolute vertex coordinate
    double origin_bound;      // bound on |O_c| for the grid thresholds
    float *bounds;            // every chained polygon's grid boundaries along u, then v
    double *thresholds;       // beside each boundary list: "surely above", then "surely below"
    RunSpan *spans;           // scratch: a run's row spans, then its column spans
    size_t span_capacity;     // spans of one axis: the most patches along an edge, plus 2
    double *form_bounds;      // every chained polygon's grid form bounds, filled per row as needed
    RunSlope *slopes;         // and their slopes per hemicube face
    int64_t rows_begun;       // rows started since runcast_init: tells what the two hold
    float *row;               // the row being filled
    RunOut *line_runs;        // the current line's runs of one patch each, added when the line ends
    int32_t line_run_count;
    int64_t *waiting_line;    // per patch: the line whose end it has a run waiting for
    int64_t lines_begun;      // lines since runcast_init, counted from 1
    RuncastCounters counters;
    // The rule between the two fast paths: a row with fewer cells than this
    // many per candidate polygon (a polygon not in the plane through the
    // hemicube's centre) is left to the culled search of cellcast.cpp. With
    // many polygons and few cells, as in a cluttered hall at a coarse
    // hemicube, sweeping every line of every face costs more than testing
    // the few cells each polygon covers. Measured on the furnished room:
    // at 0.1 (about 65 cells per candidate) runs take 1.4 times the culled
    // search's time, at 0.07 (about 147) the two run as fast, at 0.05
    // (about 280) runs are 1.5 to 1.9 times faster; the cluttered hall at
    // 0.1 (about 2) takes ten times as long by runs. Hence 160. The tests
    // set 0 to run every row here.
    double cells_per_candidate;
};

extern Runcast runcast;

// Creates the tables for `count` polygons. Needs hemicube_init and
// patch_grid. Ends the process with code 10 when memory runs out.
void runcast_init(const Polygon *polys, int32_t count);

// Releases the tables; does nothing when already released.
void runcast_free();

// Adds every cell's delta form factor to the patch it sees, in cell order, as
// the reference does; the row holds zeros on entry. Returns false, leaving the
// row untouched, when this patch is better left to the culled search (fewer
// than a set number of cells per candidate polygon) or its rays have strayed
// too far for the bounds.
bool runcast_row(float *row, const Polygon *polys, int32_t count);
