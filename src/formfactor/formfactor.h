// Form-factor rows: for the patch the hemicube stands on, the sum of the delta
// form factors of the cells that resolve to each patch of the scene.
#pragma once

#include <cstdint>

#include "formfactor/raycast.h"
#include "geometry/environment.h"

// Number of the row being computed, counted from 1; a run never resets it.
extern int32_t form_factor_row_number;

// Starts the row count afresh, for a program (the tests, the benchmark) that
// computes the rows of more than one scene: the next row is row 1 again, so
// the tables made at row 1 are made anew for the new scene.
void form_factor_rows_restart();

// Hit table shared by all rows: created at row 1, released after the last.
extern PolygonHit *polygon_hits;

// Fills row[0 .. patches) for the current hemicube position, printing the
// seven-digit row counter and its backspaces. The caller has placed and moved
// the hemicube. Resolves the cells with the culled, nearest-first search of
// cellcast.h. Ends the process (code 10) if that search's tables cannot be
// created at the first row.
void form_factor_row(float *row, int32_t patches, const Polygon *polys, int32_t count);

// The same row by the straightforward loop: every cell's ray against every
// polygon (cast_cell_ray, nearest_polygon_hit, patch_at_hit). Gives the same
// bytes as form_factor_row; kept as the reference for the tests and the
// benchmark. Ends the process (code 10) if the hit table cannot be created.
void form_factor_row_reference(float *row, int32_t patches, const Polygon *polys, int32_t count);
