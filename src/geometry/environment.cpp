// The environment definition file and ENVRNMNT.BIN.
//
// Reads: the environment definition text file, a line at a time (at most 200
// characters a line; a longer physical line arrives, and is counted, in
// pieces). Writes: each valid polygon as a 100-byte record to ENVRNMNT.BIN.
// Loads: the records back into `polygons`.
//
// A line is matched against
//   [ (x y z) , (x y z) , (x y z) , (x y z) ] , (r g b) , (r g b) , (pu pv)
// with formatted-input rules: blanks are optional and may be repeated, the
// 18 numbers are single-precision floats in any notation the C library reads,
// the two counts are decimal integers. Whatever follows the 20th value is
// ignored. A carriage return just before the line feed is not part of the line.
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/binfile.h"
#include "base/errors.h"
#include "geometry/environment.h"

Polygon *polygons = nullptr;
int32_t polygon_count = 0;

namespace {

const char *const POLYGON_FORMAT =
    " [ ( %f %f %f ) , ( %f %f %f ) , ( %f %f %f ) , ( %f %f %f ) ] ,"
    " ( %f %f %f ) , ( %f %f %f ) , ( %lld %lld )";

// Turns a CRLF line end into LF.
void drop_carriage_return(char *line) {
    size_t length = strlen(line);
    if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') {
        line[length - 2] = '\n';
        line[length - 1] = '\0';
    }
}

bool all_finite(const Polygon *p) {
    for (const Vec3 &v : p->vertices)
        if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) return false;
    for (int c = 0; c < 3; c++)
        if (!std::isfinite(p->emission[c]) || !std::isfinite(p->reflectance[c])) return false;
    return true;
}

// The checks that keep later stages away from division by zero, NaN normals
// and patch counts beyond 32 bits, in this order. `running_total` is the
// patch count of the valid polygons so far; `patches` receives this
// polygon's patch count.
LineVerdict polygon_usability(const Polygon *p, long long count_u, long long count_v,
                              long long running_total, long long *patches) {
    if (!all_finite(p)) return LINE_NOT_FINITE;
    if (count_u < 0 || count_v < 0) return LINE_BAD_COUNT;
    if (count_u > INT32_MAX || count_v > INT32_MAX) return LINE_BAD_COUNT;

    Vec3 e1, e3;
    vec3_difference(&p->vertices[0], &p->vertices[1], &e1);
    vec3_difference(&p->vertices[0], &p->vertices[3], &e3);
    if (vec3_length(&e1) == 0.0 || vec3_length(&e3) == 0.0) return LINE_ZERO_EDGE;

    // The normal is (e1 x e3) with components below the tolerance zeroed; if
    // all three vanish it would normalise to NaN.
    double nx = (double)e1.y * (double)e3.z - (double)e1.z * (double)e3.y;
    double ny = (double)e1.z * (double)e3.x - (double)e1.x * (double)e3.z;
    double nz = (double)e1.x * (double)e3.y - (double)e1.y * (double)e3.x;
    if (fabs(nx) < GEOMETRY_EPSILON && fabs(ny) < GEOMETRY_EPSILON && fabs(nz) < GEOMETRY_EPSILON)
        return LINE_NO_NORMAL;
    // The normal is normalised from the cross product rounded to single
    // precision, and the patch sizes are stored in single precision: corners
    // far apart (1e30) overflow the one to infinity and the normal to NaN,
    // an edge of a few denormals cut into many patches rounds a size to 0.
    const double largest = FLT_MAX;
    if (!(fabs(nx) <= largest && fabs(ny) <= largest && fabs(nz) <= largest)) return LINE_NORMAL_OVERFLOW;
    double size_u = vec3_length(&e1) / (double)(count_u == 0 ? 1 : count_u);
    double size_v = vec3_length(&e3) / (double)(count_v == 0 ? 1 : count_v);
    if (!(size_u <= largest && size_v <= largest)) return LINE_BAD_PATCH_SIZE;
    if ((float)size_u == 0.0f || (float)size_v == 0.0f) return LINE_BAD_PATCH_SIZE;

    *patches = (count_u == 0 ? 1 : count_u) * (count_v == 0 ? 1 : count_v);
    if (*patches <= INT32_MAX && running_total + *patches <= INT32_MAX) return LINE_VALID;
    return LINE_TOO_MANY_PATCHES;
}

} // namespace

int polygon_is_valid(const Polygon *polygon) {
    const Vec3 *p = polygon->vertices;
    Vec3 a, b;
    vec3_difference(&p[0], &p[1], &a);
    vec3_difference(&p[0], &p[3], &b);
    double c0 = vec3_cosine(&a, &b);
    vec3_difference(&p[2], &p[3], &a);
    vec3_difference(&p[2], &p[1], &b);
    double c2 = vec3_cosine(&a, &b);
    return fabs(c0) < GEOMETRY_EPSILON && fabs(c2) < GEOMETRY_EPSILON;
}

void complete_polygon(Polygon *polygon) {
    Vec3 e1, e3;
    vec3_difference(&polygon->vertices[0], &polygon->vertices[1], &e1);
    vec3_difference(&polygon->vertices[0], &polygon->vertices[3], &e3);
    vec3_unit_normal(&e1, &e3, &polygon->normal);
    if (polygon->patches_u == 0) polygon->patches_u = 1;
    if (polygon->patches_v == 0) polygon->patches_v = 1;
    polygon->patch_size_u = (float)(vec3_length(&e1) / polygon->patches_u);
    polygon->patch_size_v = (float)(vec3_length(&e3) / polygon->patches_v);
}

LineVerdict parse_polygon_line(const char *line, long long patch_total, Polygon *polygon, long long *patches) {
    memset(polygon, 0, sizeof *polygon);
    *patches = 0;
    Vec3 *p = polygon->vertices;
    long long count_u = 0, count_v = 0;
    int values = sscanf(line, POLYGON_FORMAT,
                        &p[0].x, &p[0].y, &p[0].z, &p[1].x, &p[1].y, &p[1].z,
                        &p[2].x, &p[2].y, &p[2].z, &p[3].x, &p[3].y, &p[3].z,
                        &polygon->emission[0], &polygon->emission[1], &polygon->emission[2],
                        &polygon->reflectance[0], &polygon->reflectance[1],
                        &polygon->reflectance[2], &count_u, &count_v);
    if (values != 20) return line[0] == '\n' ? LINE_EMPTY : LINE_CORRUPT;
    if (count_u >= INT32_MIN && count_u <= INT32_MAX && count_v >= INT32_MIN && count_v <= INT32_MAX) {
        polygon->patches_u = (int32_t)count_u;
        polygon->patches_v = (int32_t)count_v;
    }
    LineVerdict verdict = polygon_usability(polygon, count_u, count_v, patch_total, patches);
    if (verdict != LINE_VALID) return verdict;
    if (!polygon_is_valid(polygon)) return LINE_NOT_RIGHT_ANGLED;
    complete_polygon(polygon);
    return LINE_VALID;
}

int32_t parse_environment_file(FILE *text, FILE *binary) {
    char *line = (char *)checked_calloc(SCENE_LINE_LIMIT + 1, 1, EXIT_ENV_NO_MEMORY);
    long line_number = 0;
    int32_t record_count = 0;
    long long patch_total = 0;

    while (fgets(line, (int)(SCENE_LINE_LIMIT + 1), text) != nullptr) {
        drop_carriage_return(line);
        Polygon polygon;
        long long patches = 0;
        LineVerdict verdict = parse_polygon_line(line, patch_total, &polygon, &patches);
        line_number++;

        if (verdict == LINE_VALID) {
            if (fwrite(&polygon, sizeof polygon, 1, binary) != 1)
                fatal(EXIT_ENV_BIN_WRITE, "Couldn't write environment definition binary file : %s",
                      ENVIRONMENT_BIN);
            record_count++;
            patch_total += patches;
        } else if (verdict == LINE_CORRUPT) {
            report_error("Corrupt polygon specification at line %ld of environment definition file",
                         line_number);
        } else if (verdict != LINE_EMPTY) {
            report_error("Invalid polygon specification at line %ld of environment definition file",
                         line_number);
        }
    }
    if (!feof(text)) fatal_unspaced(EXIT_ENV_TEXT_READ, "Couldn't read environment definition text file");
    free(line);
    return record_count;
}

void read_polygons(int32_t count, FILE *binary) {
    polygons = (Polygon *)checked_calloc((size_t)count, sizeof(Polygon), EXIT_ENV_NO_MEMORY);
    for (int32_t i = 0; i < count; i++) {
        if (fread(&polygons[i], sizeof(Polygon), 1, binary) == 1) continue;
        if (!feof(binary))
            fatal(EXIT_ENV_BIN_READ, "Couldn't read environment definition binary file : %s",
                  ENVIRONMENT_BIN);
        memset(&polygons[i], 0, sizeof(Polygon)); // a record cut short stays empty
    }
}
