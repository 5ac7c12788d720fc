// Vertex radiosities: a colour at each corner of each patch, averaged from the
// patches meeting at each interior grid point of a polygon and extrapolated to
// the polygon's edges and corners.
//
// Invariant: polygons never share corner values.
#pragma once

#include <cstdint>

#include "geometry/environment.h"

// Corner colours, 12 floats per patch: r g b of corners 0..3. Owned by the
// caller of compute_vertex_radiosities.
extern float *vertex_radiosity;

// Returns a new array of 12 * patches floats (code 20 when memory runs out).
float *compute_vertex_radiosities(const float *radiosity, int32_t patches, const Polygon *polys,
                                  int32_t count);
