// The OBJ to scene conversion. tinyobjloader reads the OBJ and its MTL (faces
// kept as written, not triangulated); this file picks the rectangles, pairs
// triangles into rectangles and writes the scene lines.
//
// A face is a rectangle for the scene when halvora's own test accepts its
// corners (right angles at p0 and p2, polygon_is_valid) and its opposite sides
// are parallel and equal (p0 + p2 = p1 + p3 up to a millionth of its size),
// so every line written is read back as the same rectangle. Two triangles
// pair when they share an edge, run opposite ways along it (the same front),
// have the same material and make a rectangle with that edge as diagonal;
// the rectangle keeps the first triangle's winding and starts at its first
// corner, so a rectangle split either way comes back as it was.
//
// Colours: Kd is the reflectance, Ke the emission; a face without a material
// reflects 0.5 and emits nothing. Numbers are written with nine significant
// digits, which give back the same single-precision values when the scene
// is read.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include <tiny_obj_loader.h>

#include "base/binfile.h"
#include "base/errors.h"
#include "geometry/environment.h"
#include "import/import.h"

namespace {

// Patches along the longest side of any rectangle when no --patch-size is given.
constexpr double DEFAULT_PATCHES_ALONG_LONGEST_SIDE = 10.0;
// Reflectance of a face without a material.
constexpr float DEFAULT_REFLECTANCE = 0.5f;

struct Face {
    int number;                // 1-based, in the file's order
    std::vector<int> vertices; // indices into the OBJ's positions, in the face's winding
    std::vector<int> normals;  // indices into the OBJ's normals, -1 where none
    int material;              // -1: none
};

struct Rectangle {
    int number;      // number of the (first) face
    Vec3 corners[4]; // p0..p3 in the scene's winding
    int material;
};

Vec3 position(const tinyobj::attrib_t &attrib, int vertex) {
    size_t i = 3 * (size_t)vertex;
    return Vec3{attrib.vertices[i], attrib.vertices[i + 1], attrib.vertices[i + 2]};
}

bool is_rectangle(const Vec3 corners[4]) {
    Polygon polygon = {};
    for (int k = 0; k < 4; k++) polygon.vertices[k] = corners[k];
    if (!polygon_is_valid(&polygon)) return false;
    double gap = 0.0, size = vec3_distance(&corners[0], &corners[1]) + vec3_distance(&corners[0], &corners[3]);
    const float *p[4] = {&corners[0].x, &corners[1].x, &corners[2].x, &corners[3].x};
    for (int c = 0; c < 3; c++)
        gap += fabs((double)p[0][c] + (double)p[2][c] - (double)p[1][c] - (double)p[3][c]);
    return size > 0.0 && gap <= 1e-6 * size;
}

// (b - a) x (d - a), in double.
void winding_normal(const Vec3 corners[4], double out[3]) {
    Vec3 e1, e3;
    vec3_difference(&corners[0], &corners[1], &e1);
    vec3_difference(&corners[0], &corners[3], &e3);
    out[0] = (double)e1.y * (double)e3.z - (double)e1.z * (double)e3.y;
    out[1] = (double)e1.z * (double)e3.x - (double)e1.x * (double)e3.z;
    out[2] = (double)e1.x * (double)e3.y - (double)e1.y * (double)e3.x;
}

// true when the face's normals (vn), summed, point against its winding's.
bool normals_disagree(const tinyobj::attrib_t &attrib, const std::vector<int> &normals, const Vec3 corners[4]) {
    double sum[3] = {0, 0, 0}, wind[3];
    bool any = false;
    for (int n : normals) {
        if (n < 0) continue;
        any = true;
        for (size_t c = 0; c < 3; c++) sum[c] += (double)attrib.normals[3 * (size_t)n + c];
    }
    winding_normal(corners, wind);
    return any && sum[0] * wind[0] + sum[1] * wind[1] + sum[2] * wind[2] < 0.0;
}

std::vector<Face> read_faces(const tinyobj::ObjReader &reader) {
    std::vector<Face> faces;
    int number = 0;
    for (const tinyobj::shape_t &shape : reader.GetShapes()) {
        size_t first = 0;
        for (size_t f = 0; f < shape.mesh.num_face_vertices.size(); f++) {
            Face face;
            face.number = ++number;
            face.material = f < shape.mesh.material_ids.size() ? shape.mesh.material_ids[f] : -1;
            for (size_t k = 0; k < shape.mesh.num_face_vertices[f]; k++) {
                face.vertices.push_back(shape.mesh.indices[first + k].vertex_index);
                face.normals.push_back(shape.mesh.indices[first + k].normal_index);
            }
            first += shape.mesh.num_face_vertices[f];
            faces.push_back(face);
        }
    }
    return faces;
}

// The rectangle of triangles a and b when they pair (see the file's head).
bool pair_triangles(const tinyobj::attrib_t &attrib, const Face &a, const Face &b, Vec3 out[4]) {
    if (a.material != b.material) return false;
    for (int i = 0; i < 3; i++) {
        int v = a.vertices[(size_t)i], w = a.vertices[(size_t)(i + 1) % 3], u = a.vertices[(size_t)(i + 2) % 3];
        for (int j = 0; j < 3; j++) {
            if (b.vertices[(size_t)j] != w || b.vertices[(size_t)(j + 1) % 3] != v) continue;
            int x = b.vertices[(size_t)(j + 2) % 3];
            // The cycle u v x w, turned to start at a's first corner.
            int cycle[4] = {u, v, x, w};
            int start = (i + 2) % 3 == 0 ? 0 : (i == 0 ? 1 : 3);
            for (int k = 0; k < 4; k++) out[k] = position(attrib, cycle[(start + k) % 4]);
            return is_rectangle(out);
        }
    }
    return false;
}

void report(const Face &face, const char *reason) {
    fprintf(stderr, "halvora-import: face %d left out: %s\n", face.number, reason);
}

int patches_along(const Vec3 *from, const Vec3 *to, double patch_size) {
    double length = vec3_distance(from, to), count = std::round(length / patch_size);
    if (count > INT32_MAX)
        fatal(EXIT_IMPORT_USAGE, "Patch size too small : a side of length %f would get more than 2^31 patches", length);
    return count < 1.0 ? 1 : (int)count;
}

} // namespace

void import_model(const ImportOptions &options) {
    tinyobj::ObjReaderConfig config;
    config.triangulate = false;
    config.vertex_color = false;
    tinyobj::ObjReader reader;
    if (!reader.ParseFromFile(options.model, config))
        fatal(EXIT_IMPORT_READ, "Couldn't read model file : %s (%s)", options.model.c_str(), reader.Error().c_str());
    if (!reader.Warning().empty()) fprintf(stderr, "halvora-import: %s", reader.Warning().c_str());
    const tinyobj::attrib_t &attrib = reader.GetAttrib();
    const std::vector<tinyobj::material_t> &materials = reader.GetMaterials();

    std::vector<Face> faces = read_faces(reader);
    // Triangles by their edges, each edge as it runs in its triangle.
    std::map<std::pair<int, int>, std::vector<size_t>> edges;
    for (size_t f = 0; f < faces.size(); f++)
        if (faces[f].vertices.size() == 3)
            for (size_t k = 0; k < 3; k++) edges[{faces[f].vertices[k], faces[f].vertices[(k + 1) % 3]}].push_back(f);

    std::vector<Rectangle> rectangles;
    std::vector<bool> used(faces.size(), false);
    int merged = 0, turned = 0, left_out = 0;
    for (size_t f = 0; f < faces.size(); f++) {
        if (used[f]) continue;
        const Face &face = faces[f];
        Rectangle rectangle = {face.number, {}, face.material};
        if (face.vertices.size() == 4) {
            for (size_t k = 0; k < 4; k++) rectangle.corners[k] = position(attrib, face.vertices[k]);
            if (!is_rectangle(rectangle.corners)) {
                report(face, "a quadrilateral that is not a rectangle");
                left_out++;
                continue;
            }
        } else if (face.vertices.size() == 3) {
            bool paired = false;
            for (size_t k = 0; k < 3 && !paired; k++) {
                auto found = edges.find({face.vertices[(k + 1) % 3], face.vertices[k]});
                if (found == edges.end()) continue;
                for (size_t other : found->second) {
                    if (other == f || used[other]) continue;
                    if (pair_triangles(attrib, face, faces[other], rectangle.corners)) {
                        used[other] = true;
                        paired = true;
                        break;
                    }
                }
            }
            if (!paired) {
                report(face, "a triangle that makes no rectangle with a neighbour");
                left_out++;
                continue;
            }
            merged++;
        } else {
            char reason[64];
            snprintf(reason, sizeof reason, "a polygon of %zu corners", face.vertices.size());
            report(face, reason);
            left_out++;
            continue;
        }
        if (normals_disagree(attrib, face.normals, rectangle.corners)) {
            std::swap(rectangle.corners[1], rectangle.corners[3]);
            turned++;
        }
        used[f] = true;
        rectangles.push_back(rectangle);
    }
    if (rectangles.empty()) fatal(EXIT_IMPORT_EMPTY, "No rectangle found in model file : %s", options.model.c_str());

    double patch_size = options.patch_size;
    if (patch_size <= 0.0) {
        for (const Rectangle &r : rectangles)
            patch_size = std::max(patch_size, std::max(vec3_distance(&r.corners[0], &r.corners[1]),
                                                       vec3_distance(&r.corners[0], &r.corners[3])));
        patch_size /= DEFAULT_PATCHES_ALONG_LONGEST_SIDE;
    }

    FILE *out = fopen(options.scene.c_str(), "w");
    if (out == nullptr) fatal(EXIT_IMPORT_WRITE, "Couldn't create scene file : %s", options.scene.c_str());
    for (const Rectangle &r : rectangles) {
        float emission[3] = {0, 0, 0};
        float reflectance[3] = {DEFAULT_REFLECTANCE, DEFAULT_REFLECTANCE, DEFAULT_REFLECTANCE};
        if (r.material >= 0 && (size_t)r.material < materials.size())
            for (size_t c = 0; c < 3; c++) {
                emission[c] = materials[(size_t)r.material].emission[c];
                reflectance[c] = materials[(size_t)r.material].diffuse[c];
            }
        fputc('[', out);
        for (int k = 0; k < 4; k++)
            fprintf(out, "%s(%.9g %.9g %.9g)", k ? "," : "", (double)r.corners[k].x, (double)r.corners[k].y,
                    (double)r.corners[k].z);
        fprintf(out, "],(%.9g %.9g %.9g),(%.9g %.9g %.9g),(%d %d)\n", (double)emission[0], (double)emission[1],
                (double)emission[2], (double)reflectance[0], (double)reflectance[1], (double)reflectance[2],
                patches_along(&r.corners[0], &r.corners[1], patch_size),
                patches_along(&r.corners[0], &r.corners[3], patch_size));
    }
    if (!close_written_file(out)) fatal(EXIT_IMPORT_WRITE, "Couldn't write scene file : %s", options.scene.c_str());

    printf("%zu faces read, %zu rectangles written to %s (%d from triangle pairs, %d turned to face their "
           "normals), %d faces left out; patch size %g\n",
           faces.size(), rectangles.size(), options.scene.c_str(), merged, turned, left_out, patch_size);
}
