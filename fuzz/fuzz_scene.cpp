// Fuzz target: the environment definition parser and what it hands on. One
// input is the whole text of a scene file.
//
// Each input runs the environment stage as the driver does (parse into an
// in-memory ENVRNMNT.BIN, flush, read the records back into `polygons`) and,
// for scenes of at most MAX_GRID_PATCHES patches, the patch stage (the grid,
// the corners of PATCH.BIN and every patch centre), then releases it all.
//
// Expected outcomes: a normal return, or an exit with the parser's codes 10,
// 11 or 12. A finding is a crash, a sanitizer report, a hang, another code,
// or a polygon handed on that breaks what the later stages rely on: counts of
// at least 1 whose scene total fits in 32 bits, finite patch sizes above 0, a
// finite unit normal, and finite patch corners and centres.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_support.h"
#include "geometry/environment.h"
#include "geometry/patches.h"

namespace {

// The patch stage allocates 32 bytes a patch plus a block a row; larger
// scenes are parsed and checked but not cut into patches, so that one input
// stays within a few megabytes and milliseconds.
constexpr long long MAX_GRID_PATCHES = 4096;
// Longer inputs are skipped (scripts/fuzz.sh passes -max_len=4096).
constexpr size_t MAX_INPUT = 1 << 16;

struct SceneInput {
    const char *text;
    size_t size;
    std::vector<char> *binary_buffer; // the in-memory ENVRNMNT.BIN
    std::vector<float> *corner_buffer; // the in-memory PATCH.BIN
    FILE *text_file;
    FILE *binary_file;
    FILE *corner_file;
};

bool finite3(const Vec3 &v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

void check_polygons() {
    long long total = 0;
    for (int32_t i = 0; i < polygon_count; i++) {
        const Polygon &p = polygons[i];
        if (p.patches_u < 1 || p.patches_v < 1) fuzz_finding("polygon with a patch count below 1");
        total += (long long)p.patches_u * p.patches_v;
        if (total > INT32_MAX) fuzz_finding("scene patch count beyond 32 bits");
        if (!std::isfinite(p.patch_size_u) || !std::isfinite(p.patch_size_v) || !(p.patch_size_u > 0.0f) ||
            !(p.patch_size_v > 0.0f))
            fuzz_finding("patch size not finite and positive");
        if (!finite3(p.normal)) fuzz_finding("normal not finite");
        double x = (double)p.normal.x, y = (double)p.normal.y, z = (double)p.normal.z;
        double length = std::sqrt(x * x + y * y + z * z);
        if (std::fabs(length - 1.0) > 1e-5) fuzz_finding("normal not of unit length");
    }
}

void check_patches(const std::vector<float> &corners, size_t floats) {
    for (size_t i = 0; i < floats; i++)
        if (!std::isfinite(corners[i])) fuzz_finding("patch corner not finite");
    for (int32_t i = 0; i < polygon_count; i++)
        for (int32_t j = 0; j < polygons[i].patches_u; j++)
            for (int32_t k = 0; k < polygons[i].patches_v; k++) {
                Vec3 centre;
                patch_center(polygons, i, j, k, &centre);
                if (!finite3(centre)) fuzz_finding("patch centre not finite");
            }
}

void scene_body(void *context) {
    SceneInput *in = (SceneInput *)context;
    in->text_file = in->size == 0 ? fopen("/dev/null", "r") : fmemopen(const_cast<char *>(in->text), in->size, "r");
    in->binary_file = fmemopen(in->binary_buffer->data(), in->binary_buffer->size(), "w+");
    if (in->text_file == nullptr || in->binary_file == nullptr) fuzz_finding("fmemopen failed");

    polygon_count = parse_environment_file(in->text_file, in->binary_file);
    fclose(in->text_file);
    in->text_file = nullptr;
    if (fflush(in->binary_file) != 0 || ferror(in->binary_file)) fuzz_finding("in-memory ENVRNMNT.BIN too small");
    if (polygon_count < 0) fuzz_finding("negative polygon count");
    if (polygon_count > 0) {
        rewind(in->binary_file);
        read_polygons(polygon_count, in->binary_file);
        check_polygons();
        patch_count = count_patches(polygons, polygon_count);
        if (patch_count <= MAX_GRID_PATCHES) {
            build_patch_grid(polygons, polygon_count);
            size_t floats = 12 * (size_t)patch_count;
            in->corner_file = fmemopen(in->corner_buffer->data(), in->corner_buffer->size() * sizeof(float), "w+");
            if (in->corner_file == nullptr) fuzz_finding("fmemopen failed");
            write_patch_vertices(polygons, polygon_count, in->corner_file);
            if (fflush(in->corner_file) != 0 || ferror(in->corner_file)) fuzz_finding("in-memory PATCH.BIN too small");
            fclose(in->corner_file);
            in->corner_file = nullptr;
            check_patches(*in->corner_buffer, floats);
            free_patch_grid(polygons, polygon_count);
        }
        free(polygons);
    }
    polygons = nullptr;
    polygon_count = 0;
    fclose(in->binary_file);
    in->binary_file = nullptr;
}

void close_scene_streams(void *context) {
    SceneInput *in = (SceneInput *)context;
    for (FILE **file : {&in->text_file, &in->binary_file, &in->corner_file}) {
        if (*file != nullptr) fclose(*file);
        *file = nullptr;
    }
    // The rest of what the stages hold (polygons, the grid) is freed by
    // run_guarded; only the globals' pointers are reset here.
    polygons = nullptr;
    polygon_count = 0;
    patch_grid = nullptr;
}

} // namespace

// Allocated once: a record per 16 input bytes is more than a valid line
// ever makes (20 numbers and their punctuation), and the corners of
// MAX_GRID_PATCHES patches.
std::vector<char> *binary_buffer;
std::vector<float> *corner_buffer;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    guarded_runs_init();
    binary_buffer = new std::vector<char>(sizeof(Polygon) * (MAX_INPUT / 16 + 2));
    corner_buffer = new std::vector<float>(12 * (size_t)MAX_GRID_PATCHES);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > MAX_INPUT) return 0;
    SceneInput input = {(const char *)data, size, binary_buffer, corner_buffer, nullptr, nullptr, nullptr};
    int code = run_guarded({scene_body, close_scene_streams, &input});
    if (code != -1 && code != 10 && code != 11 && code != 12)
        fuzz_finding("the environment stage ended with a code not its own");
    return 0;
}
