// Rectangles of faces: whether four corners already are one the scene can
// hold, and the rectangle nearest to four corners that nearly are (--fit).
//
// Reads and writes nothing but its arguments.
#pragma once

#include "geometry/vec3.h"

// True when halvora's test accepts the corners as they stand (right angles
// at p0 and p2, polygon_is_valid) and opposite sides are parallel and equal
// (p0 + p2 = p1 + p3 up to a millionth of its size), so that the line written
// from them is read back as the same rectangle.
bool is_rectangle(const Vec3 corners[4]);

// The longest of the four sides p0p1, p1p2, p2p3, p3p0.
double longest_side(const Vec3 corners[4]);

struct RectangleFit {
    bool within;        // a rectangle was found within the tolerance
    bool unwritable;    // the least-squares rectangle was within it, but none near it passes
                        // halvora's test in single precision
    Vec3 corners[4];    // when within: the rectangle, corner k in place of corner k
    double shift;       // the largest distance from a corner to its place in the rectangle found; when
                        // not within, the least of the rectangles considered (the least-squares one
                        // before single precision, when even it lies beyond), so that a tolerance a
                        // little above it takes the face
};

// The rectangle for four corners that are near one (see rectangle.cpp for the
// choice): corner k of the result stands in for corner k, so the winding and
// the centre stay. `tolerance` is the largest corner shift allowed, a
// distance in the model's units.
RectangleFit fit_rectangle(const Vec3 corners[4], double tolerance);
