// Vector operations over Vec3. They hold no state and allocate nothing.
#include <cmath>

#include "geometry/vec3.h"

void vec3_difference(const Vec3 *from, const Vec3 *to, Vec3 *out) {
    out->x = (float)((double)to->x - (double)from->x);
    out->y = (float)((double)to->y - (double)from->y);
    out->z = (float)((double)to->z - (double)from->z);
}

void vec3_sum(const Vec3 *a, const Vec3 *b, Vec3 *out) {
    out->x = (float)((double)a->x + (double)b->x);
    out->y = (float)((double)a->y + (double)b->y);
    out->z = (float)((double)a->z + (double)b->z);
}

void vec3_copy(Vec3 *dst, const Vec3 *src) { *dst = *src; }

double vec3_length(const Vec3 *v) {
    double x = v->x, y = v->y, z = v->z;
    return sqrt(x * x + y * y + z * z);
}

double vec3_dot(const Vec3 *a, const Vec3 *b) {
    return (double)a->x * (double)b->x + (double)a->y * (double)b->y + (double)a->z * (double)b->z;
}

double vec3_distance(const Vec3 *a, const Vec3 *b) {
    Vec3 d;
    vec3_difference(a, b, &d);
    return vec3_length(&d);
}

void vec3_normalize(Vec3 *v) {
    double length = vec3_length(v);
    v->x = (float)((double)v->x / length);
    v->y = (float)((double)v->y / length);
    v->z = (float)((double)v->z / length);
}

double vec3_cosine(const Vec3 *a, const Vec3 *b) {
    Vec3 na = *a, nb = *b;
    vec3_normalize(&na);
    vec3_normalize(&nb);
    return (double)na.z * (double)nb.z + (double)na.y * (double)nb.y + (double)na.x * (double)nb.x;
}

void vec3_unit_normal(const Vec3 *a, const Vec3 *b, Vec3 *out) {
    double ax = a->x, ay = a->y, az = a->z;
    double bx = b->x, by = b->y, bz = b->z;
    double x = ay * bz - az * by;
    double y = az * bx - ax * bz;
    double z = ax * by - ay * bx;
    out->x = fabs(x) < GEOMETRY_EPSILON ? 0.0f : (float)x;
    out->y = fabs(y) < GEOMETRY_EPSILON ? 0.0f : (float)y;
    out->z = fabs(z) < GEOMETRY_EPSILON ? 0.0f : (float)z;
    vec3_normalize(out);
}
