// The environment: the scene's polygons, parsed from the environment
// definition text file (one quadrilateral per line), passed through
// ENVRNMNT.BIN and loaded into the global polygon array, which lives until the
// process ends and is only read after loading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "geometry/vec3.h"

// One quadrilateral, 100 bytes, the same bytes in memory and in ENVRNMNT.BIN.
// u runs from p0 towards p1, v from p0 towards p3; the normal points to the
// front, the side from which p0..p3 turn counter-clockwise.
struct Polygon {
    int32_t patches_u;       // patch rows along p0->p1 (at least 1 once completed)
    int32_t patches_v;       // patches per row along p0->p3 (at least 1 once completed)
    Vec3 vertices[4];        // p0, p1, p2, p3 as given
    float emission[3];       // emitted radiosity, r g b
    float reflectance[3];    // reflectance, r g b
    float patch_size_u;      // |p1 - p0| / patches_u
    float patch_size_v;      // |p3 - p0| / patches_v
    Vec3 normal;             // unit normal of (p1 - p0) x (p3 - p0)
};
static_assert(sizeof(Polygon) == 100, "Polygon records are 100 packed bytes");

// Global polygon array: the valid polygons in the order of the file.
extern Polygon *polygons;
extern int32_t polygon_count;

// The longest line the reader takes whole, its line feed included; a longer
// physical line is read, and counted, in pieces of this length.
constexpr size_t SCENE_LINE_LIMIT = 200;

// What the reader makes of one line. A line of 20 values that is not valid
// is dropped as an invalid polygon; the verdict tells which check refused it.
enum LineVerdict {
    LINE_VALID,
    LINE_EMPTY,            // a line feed alone: dropped without a message
    LINE_CORRUPT,          // fewer than 20 values in the line format
    LINE_NOT_FINITE,       // a corner or colour value is not a finite number
    LINE_BAD_COUNT,        // a patch count is negative or beyond 32 bits
    LINE_ZERO_EDGE,        // p1 - p0 or p3 - p0 has length zero
    LINE_NO_NORMAL,        // the edges are too short to form a normal
    LINE_NORMAL_OVERFLOW,  // the edges' cross product overflows single precision
    LINE_BAD_PATCH_SIZE,   // a patch size is beyond single precision or rounds to 0
    LINE_TOO_MANY_PATCHES, // its patches, or the scene's with them, pass 2^31 - 1
    LINE_NOT_RIGHT_ANGLED, // the angle at p0 or at p2 is not a right angle
};

// Matches one line (its carriage return already dropped) as the reader
// does. `patch_total` is the patch count of the valid lines before it. Enters:
// the line. Leaves: the 20 values in `polygon` (the counts only when they fit
// 32 bits), completed (complete_polygon) when the verdict is LINE_VALID, and
// its patch count in `patches` when it is valid.
LineVerdict parse_polygon_line(const char *line, long long patch_total, Polygon *polygon, long long *patches);

// Reads `text` to its end and writes one record to `binary` per valid line;
// returns the number written. Prints the per-line messages for invalid and
// corrupt lines. Ends the process on codes 10, 11 (write) and 12 (read error).
//
// A line with all 20 values is invalid, besides failing the right-angle test,
// when a value is not finite, a count is negative, p1 - p0 or p3 - p0 has zero
// length, the normal cannot be formed, a patch size is not a finite single-
// precision number above 0, or its patch count (or the scene's running total)
// leaves the signed 32-bit range.
int32_t parse_environment_file(FILE *text, FILE *binary);

// 1 when the angles at p0 and at p2 are right angles (|cosine| < 1e-9).
int polygon_is_valid(const Polygon *polygon);

// Derives the normal, turns zero counts into 1 and fills the patch sizes.
void complete_polygon(Polygon *polygon);

// Allocates `polygons` for `count` records and reads them from `binary`
// (rewound). Ends the process on codes 10 and 11.
void read_polygons(int32_t count, FILE *binary);
