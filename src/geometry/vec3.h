// Vec3 and its operations: points and directions of the scene.
//
// Storage is single precision (the same 12-byte layout in every record and
// file); arithmetic inside each operation is double precision, and a result
// written into a Vec3 is rounded to single precision component by component.
// Scalar results are returned in double precision, unrounded.
#pragma once

#include <cmath>

// The one geometric tolerance of the program, compared as a double.
constexpr double GEOMETRY_EPSILON = 1e-9;

struct Vec3 {
    float x, y, z;
};
static_assert(sizeof(Vec3) == 12, "Vec3 is stored as three packed floats");

// out = to - from (the first argument is subtracted from the second).
void vec3_difference(const Vec3 *from, const Vec3 *to, Vec3 *out);
// out = a + b.
void vec3_sum(const Vec3 *a, const Vec3 *b, Vec3 *out);
void vec3_copy(Vec3 *dst, const Vec3 *src);
// sqrt(x*x + y*y + z*z), summed in that order.
double vec3_length(const Vec3 *v);
// a . b, summed x, y, z in double precision.
double vec3_dot(const Vec3 *a, const Vec3 *b);
// Length of b - a, the difference rounded to single precision first.
double vec3_distance(const Vec3 *a, const Vec3 *b);
// Divides each component by the length (computed once). A zero vector gives
// non-finite components; callers keep such vectors away.
void vec3_normalize(Vec3 *v);
// 1 when |a - b| is strictly below the tolerance in x, y and z; else 0.
// Defined here: the nearest-hit rule asks it for every cell's nearest hit.
inline int vec3_equal(const Vec3 *a, const Vec3 *b) {
    if (!(fabs((double)a->x - (double)b->x) < GEOMETRY_EPSILON)) return 0;
    if (!(fabs((double)a->y - (double)b->y) < GEOMETRY_EPSILON)) return 0;
    if (!(fabs((double)a->z - (double)b->z) < GEOMETRY_EPSILON)) return 0;
    return 1;
}
// Dot product of normalised copies of a and b, summed z, y, x.
double vec3_cosine(const Vec3 *a, const Vec3 *b);
// out = a x b with components below the tolerance (before rounding) set to
// exactly 0, then normalised.
void vec3_unit_normal(const Vec3 *a, const Vec3 *b, Vec3 *out);
