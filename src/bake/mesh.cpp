// The lit patches as meshes other programs open: glTF 2.0 binary (.glb,
// written by tinygltf) and binary little-endian PLY. Both hold the patches of
// vertex_array with the colours of color_array (loaded by the viewer's
// loaders: VERTRAD.BIN's corner values, or PATCHRAD.BIN's patch value at all
// four corners with --coarse).
//
// Every patch keeps its own four vertices, in its corner order, so vertex
// 4p + q is corner q of patch p as in PATCH.BIN, and becomes the triangles
// (0, 1, 2) and (0, 2, 3): counter-clockwise seen from its front, the front
// face of glTF and of most PLY readers. Positions are the scene's own
// coordinates, z up. glTF is y up by convention: the mesh hangs under one
// root node whose rotation (-90 degrees about x) turns +z to +y, and
// asset.extras says so; PLY says so in a comment line.
//
// glTF colours (COLOR_0, VEC3 float) are the stored floats clamped to 0..1,
// which glTF requires of colours and which is what halvora's viewer shows
// (OpenGL clamps them); the radiosities themselves, unclamped, ride along in
// the application attribute _RADIOSITY. The material is unlit
// (KHR_materials_unlit), so that a viewer shows the colours as they are,
// as halvora's viewer does. PLY colours are bytes, clamped to 0..1 and
// rounded as OpenGL writes them to the screen.
//
// Each file goes into its output's temporary file (base/output.h) and is put
// in place when complete. The writers return their failure instead of ending
// the process, so that tinygltf's model and the laid-out bytes are gone before
// fatal() is called and no block is left behind.
#define TINYGLTF_IMPLEMENTATION
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#include <tiny_gltf.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "bake/bake.h"
#include "base/errors.h"
#include "base/output.h"
#include "geometry/patches.h"
#include "viewer/draw.h"

namespace {

// Floats per patch in vertex_array and color_array.
constexpr size_t PATCH_FLOATS = 12;
// The two triangles of a patch, as corner numbers.
constexpr uint32_t TRIANGLE_CORNERS[6] = {0, 1, 2, 0, 2, 3};
// Quaternion (x, y, z, w) of -90 degrees about x: scene +z becomes glTF +y.
const double Z_UP_TO_Y_UP[4] = {-0.70710678118654752, 0.0, 0.0, 0.70710678118654752};

size_t patches() { return patch_count > 0 ? (size_t)patch_count : 0; }

void append_bytes(std::vector<unsigned char> *data, const void *bytes, size_t size) {
    const unsigned char *p = (const unsigned char *)bytes;
    data->insert(data->end(), p, p + size);
}

int add_view(tinygltf::Model *model, size_t offset, size_t length, int target) {
    tinygltf::BufferView view;
    view.buffer = 0;
    view.byteOffset = offset;
    view.byteLength = length;
    view.target = target;
    model->bufferViews.push_back(view);
    return (int)model->bufferViews.size() - 1;
}

int add_accessor(tinygltf::Model *model, int view, int component, size_t count, int type) {
    tinygltf::Accessor accessor;
    accessor.bufferView = view;
    accessor.byteOffset = 0;
    accessor.componentType = component;
    accessor.count = count;
    accessor.type = type;
    model->accessors.push_back(accessor);
    return (int)model->accessors.size() - 1;
}

// Bytes of the glb's JSON chunk at most: the fixed text, about 1.4 KB,
// with its counts and offsets of up to 20 digits and six doubles of
// POSITION's bounds; 16 KiB leave ample room.
constexpr uint64_t GLB_JSON_BOUND = 16384;
// The glb's header (12 bytes), two chunk headers (8 each) and the padding of
// each chunk to 4 bytes (3 each).
constexpr uint64_t GLB_FRAME_BYTES = 12 + 8 + 8 + 3 + 3;

// Writes the glb into `file`; false with *error the errno of a failed write
// (0 when tinygltf could not lay it out).
bool write_glb(FILE *file, int *error) {
    size_t n = patches(), vertices = 4 * n;
    tinygltf::Model model;
    model.asset.generator = "halvora-bake";
    tinygltf::Value::Object extras;
    extras["up_axis"] = tinygltf::Value(std::string("+z"));
    extras["note"] = tinygltf::Value(std::string(
        "Positions are the scene's own coordinates, z up; the root node turns them to glTF's y up. "
        "COLOR_0 holds the radiosities clamped to 0..1 as displayed, _RADIOSITY the radiosities as computed "
        "(red, green, blue)."));
    model.asset.extras = tinygltf::Value(extras);

    // One buffer: positions, radiosities, colours, then the triangle indices.
    tinygltf::Buffer buffer;
    size_t float_bytes = vertices * 3 * sizeof(float);
    append_bytes(&buffer.data, vertex_array, float_bytes);
    append_bytes(&buffer.data, color_array, float_bytes);
    for (size_t k = 0; k < 3 * vertices; k++) {
        float clamped = std::min(1.0f, std::max(0.0f, color_array[k]));
        append_bytes(&buffer.data, &clamped, sizeof clamped);
    }
    for (size_t p = 0; p < n; p++)
        for (uint32_t corner : TRIANGLE_CORNERS) {
            uint32_t index = (uint32_t)(4 * p) + corner;
            append_bytes(&buffer.data, &index, sizeof index);
        }
    model.buffers.push_back(buffer);

    int positions = add_accessor(&model, add_view(&model, 0, float_bytes, TINYGLTF_TARGET_ARRAY_BUFFER),
                                 TINYGLTF_COMPONENT_TYPE_FLOAT, vertices, TINYGLTF_TYPE_VEC3);
    int radiosities = add_accessor(&model, add_view(&model, float_bytes, float_bytes, TINYGLTF_TARGET_ARRAY_BUFFER),
                                   TINYGLTF_COMPONENT_TYPE_FLOAT, vertices, TINYGLTF_TYPE_VEC3);
    int colours = add_accessor(&model, add_view(&model, 2 * float_bytes, float_bytes, TINYGLTF_TARGET_ARRAY_BUFFER),
                               TINYGLTF_COMPONENT_TYPE_FLOAT, vertices, TINYGLTF_TYPE_VEC3);
    int indices = add_accessor(
        &model, add_view(&model, 3 * float_bytes, 6 * n * sizeof(uint32_t), TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER),
        TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT, 6 * n, TINYGLTF_TYPE_SCALAR);

    // POSITION must carry its bounds.
    std::vector<double> low(3, HUGE_VAL), high(3, -HUGE_VAL);
    for (size_t v = 0; v < vertices; v++)
        for (size_t c = 0; c < 3; c++) {
            double x = (double)vertex_array[3 * v + c];
            low[c] = std::min(low[c], x);
            high[c] = std::max(high[c], x);
        }
    model.accessors[(size_t)positions].minValues = low;
    model.accessors[(size_t)positions].maxValues = high;

    tinygltf::Material material;
    material.name = "radiosity";
    material.pbrMetallicRoughness.baseColorFactor = {1.0, 1.0, 1.0, 1.0};
    material.pbrMetallicRoughness.metallicFactor = 0.0;
    material.pbrMetallicRoughness.roughnessFactor = 1.0;
    material.extensions["KHR_materials_unlit"] = tinygltf::Value(tinygltf::Value::Object());
    model.materials.push_back(material);
    model.extensionsUsed.push_back("KHR_materials_unlit");

    tinygltf::Primitive primitive;
    primitive.attributes["POSITION"] = positions;
    primitive.attributes["COLOR_0"] = colours;
    primitive.attributes["_RADIOSITY"] = radiosities;
    primitive.indices = indices;
    primitive.material = 0;
    primitive.mode = TINYGLTF_MODE_TRIANGLES;
    tinygltf::Mesh mesh;
    mesh.name = "patches";
    mesh.primitives.push_back(primitive);
    model.meshes.push_back(mesh);

    tinygltf::Node node;
    node.name = "scene (z up)";
    node.mesh = 0;
    node.rotation.assign(Z_UP_TO_Y_UP, Z_UP_TO_Y_UP + 4);
    model.nodes.push_back(node);
    tinygltf::Scene scene;
    scene.nodes.push_back(0);
    model.scenes.push_back(scene);
    model.defaultScene = 0;

    // tinygltf lays out the GLB in memory; the file is written here, where
    // a failed write is seen (its own file writer does not report one).
    std::ostringstream glb;
    tinygltf::TinyGLTF writer;
    *error = 0;
    if (!writer.WriteGltfSceneToStream(&model, glb, false, true)) return false;
    const std::string bytes = glb.str();
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (!written) *error = errno;
    return written;
}

unsigned char colour_byte(float value) {
    double clamped = std::min(1.0, std::max(0.0, (double)value));
    return (unsigned char)std::floor(clamped * 255.0 + 0.5);
}

// The PLY header for `n` patches; with a null `file`, only its length.
const char *const PLY_HEADER = "ply\nformat binary_little_endian 1.0\n"
                               "comment halvora-bake: radiosity solution, the scene's own coordinates, z up\n"
                               "element vertex %llu\nproperty float x\nproperty float y\nproperty float z\n"
                               "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                               "element face %llu\nproperty list uchar uint vertex_indices\nend_header\n";
// Bytes of a vertex record (3 floats, 3 colour bytes) and of a face record
// (a count byte, 3 indices).
constexpr uint64_t PLY_VERTEX_BYTES = 15, PLY_FACE_BYTES = 13;

uint64_t ply_header_bytes(uint64_t n) {
    return (uint64_t)snprintf(nullptr, 0, PLY_HEADER, (unsigned long long)(4 * n), (unsigned long long)(2 * n));
}

// Writes the PLY into `file`; false with *error the errno of a failed write.
bool write_ply(FILE *file, int *error) {
    size_t n = patches(), vertices = 4 * n;
    fprintf(file, PLY_HEADER, (unsigned long long)vertices, (unsigned long long)(2 * n));

    // Vertices of 3 floats and 3 bytes, faces of a count and 3 indices;
    // little endian, as this program's floats are everywhere.
    unsigned char record[15];
    for (size_t v = 0; v < vertices; v++) {
        memcpy(record, &vertex_array[3 * v], 3 * sizeof(float));
        for (size_t c = 0; c < 3; c++) record[12 + c] = colour_byte(color_array[3 * v + c]);
        fwrite(record, 1, PLY_VERTEX_BYTES, file);
    }
    for (size_t p = 0; p < n; p++)
        for (size_t t = 0; t < 2; t++) {
            record[0] = 3;
            for (size_t k = 0; k < 3; k++) {
                uint32_t index = (uint32_t)(4 * p) + TRIANGLE_CORNERS[3 * t + k];
                memcpy(record + 1 + 4 * k, &index, sizeof index);
            }
            fwrite(record, 1, PLY_FACE_BYTES, file);
        }
    *error = errno;
    return ferror(file) == 0;
}

} // namespace

uint64_t mesh_file_bound(const std::string &name, uint64_t n) {
    // glb: per patch its 4 corners' positions, radiosities and colours (3 x 48
    // bytes) and 6 indices of 4 bytes.
    if (has_extension(name, ".glb")) return 168 * n + GLB_JSON_BOUND + GLB_FRAME_BYTES;
    return ply_header_bytes(n) + 4 * n * PLY_VERTEX_BYTES + 2 * n * PLY_FACE_BYTES;
}

void write_mesh(int output) {
    const OutputFile *mesh = &output_files[output];
    int error = 0;
    bool written = has_extension(mesh->name, ".glb") ? write_glb(mesh->stream, &error) : write_ply(mesh->stream, &error);
    if (!written)
        fatal(EXIT_BAKE_MESH_WRITE, "Couldn't write mesh file : %s (%s)", mesh->name,
              error != 0 ? strerror(error) : "the glTF writer failed");
    if (!finish_output_file(output))
        fatal(EXIT_BAKE_MESH_WRITE, "Couldn't write mesh file : %s (%s)", mesh->name, strerror(errno));
    printf("Mesh written to %s\n", mesh->name);
}
