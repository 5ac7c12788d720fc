// convert_model, in three passes over the faces in the file's order:
//
// 1. Rectangles. A face with a refusal from the reading is left out with it.
//    Four corners: a rectangle as they stand (is_rectangle), or with a fit
//    the rectangle of fit_rectangle when every corner moves at most
//    fit x the face's longest side; otherwise it is left out, and the note
//    says how far off it lies and which --fit would take it. Three corners:
//    two triangles pair when they share an edge, run opposite ways along it
//    (the same front), have the same material and make a rectangle (exact,
//    or fitted as above) with that edge as diagonal; the rectangle keeps the
//    first triangle's winding and starts at its first corner, so a rectangle
//    split either way comes back as it was. A triangle pairs only with one
//    after it: the first of two decides, so a triangle left out is never
//    taken into a later one's rectangle (where two triangles' corners are
//    far from the origin, the rectangle can pass from one side and not from
//    the other). Each rectangle is turned (p1 and p3 swapped) when the
//    face's normals, summed, point against its winding.
// 2. The patch size: --patch-size, or the longest side p0p1 or p0p3 of any
//    rectangle divided by 10.
// 3. Lines. A rectangle with the same corners in the same turning (from any
//    first corner) as one already written repeats it and is left out; one
//    with the same corners turning the other way lies on it back to back,
//    which is noted and written. Each line is written with scene_line_text,
//    and kept only when it fits the reader's SCENE_LINE_LIMIT and
//    parse_polygon_line, given the patch total so far, reads it as valid and
//    as the very polygon meant, byte for byte.
//
// Colours: Kd is the reflectance, Ke the emission; a face without a material
// reflects 0.5 and emits nothing.
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>
#include <utility>

#include "import/convert.h"
#include "import/rectangle.h"
#include "import/sceneline.h"

namespace {

constexpr double DEFAULT_PATCHES_ALONG_LONGEST_SIDE = 10.0;
constexpr float DEFAULT_REFLECTANCE = 0.5f;
// A face further off a rectangle than this part of its longest side gets no
// --fit suggestion: that is no longer a measured rectangle.
constexpr double LARGEST_SUGGESTED_FIT = 0.1;

struct Rectangle {
    const ModelFace *face;  // the (first) face
    Vec3 source[4];         // the face's own corners, in the rectangle's order
    Vec3 corners[4];        // the rectangle to write
    int material;
    bool fitted;
    double shift;
    bool paired;            // made of two triangles
    bool turned;            // p1 and p3 swapped to face the normals
};

Vec3 corner(const Model &model, const ModelFace &face, size_t k) {
    return model.positions[(size_t)model.corner_vertices[face.first + k]];
}

// (p1 - p0) x (p3 - p0), in double.
void winding_normal(const Vec3 corners[4], double out[3]) {
    Vec3 e1, e3;
    vec3_difference(&corners[0], &corners[1], &e1);
    vec3_difference(&corners[0], &corners[3], &e3);
    out[0] = (double)e1.y * (double)e3.z - (double)e1.z * (double)e3.y;
    out[1] = (double)e1.z * (double)e3.x - (double)e1.x * (double)e3.z;
    out[2] = (double)e1.x * (double)e3.y - (double)e1.y * (double)e3.x;
}

// True when the face's normals (vn), summed, point against the rectangle's winding.
bool normals_disagree(const Model &model, const ModelFace &face, const Vec3 corners[4]) {
    double sum[3] = {0, 0, 0}, wind[3];
    bool any = false;
    for (size_t k = 0; k < face.corners; k++) {
        int n = model.corner_normals[face.first + k];
        if (n < 0) continue;
        any = true;
        const Vec3 &normal = model.normals[(size_t)n];
        sum[0] += (double)normal.x, sum[1] += (double)normal.y, sum[2] += (double)normal.z;
    }
    winding_normal(corners, wind);
    return any && sum[0] * wind[0] + sum[1] * wind[1] + sum[2] * wind[2] < 0.0;
}

// The fit that would take a face `shift` off a rectangle, rounded up to two digits.
double suggested_fit(double shift, double longest) {
    double needed = shift / longest;
    if (!(needed > 0.0)) return needed;
    double step = std::pow(10.0, std::floor(std::log10(needed)) - 1);
    return std::ceil(needed / step) * step;
}

// Whether four corners make a rectangle, and which; "" when they do, else why not.
std::string classify(const Vec3 source[4], const ConvertOptions &options, Rectangle *out) {
    memcpy(out->source, source, sizeof out->source);
    memcpy(out->corners, source, sizeof out->corners);
    out->fitted = false;
    out->shift = 0.0;
    if (is_rectangle(source)) return "";
    double longest = longest_side(source);
    RectangleFit fit = fit_rectangle(source, options.fit * longest);
    if (fit.within) {
        memcpy(out->corners, fit.corners, sizeof out->corners);
        out->fitted = true;
        out->shift = fit.shift;
        return "";
    }
    char reason[256];
    if (fit.unwritable) {
        snprintf(reason, sizeof reason, "near a rectangle, but no rectangle near it passes halvora's right-angle "
                                        "test in single precision (likeliest for a face small beside its distance "
                                        "from the origin)");
        return reason;
    }
    double needed = suggested_fit(fit.shift, longest);
    char within[48] = "";
    if (options.fit > 0.0) snprintf(within, sizeof within, " within --fit %g", options.fit);
    if (std::isfinite(needed) && needed <= LARGEST_SUGGESTED_FIT)
        snprintf(reason, sizeof reason,
                 "a quadrilateral that is not a rectangle%s (its corners lie up to %.2g %% of its longest side "
                 "off one; --fit %.2g takes it)",
                 within, 100.0 * fit.shift / longest, needed);
    else if (std::isfinite(needed))
        snprintf(reason, sizeof reason,
                 "a quadrilateral that is not a rectangle%s (its corners lie up to %.2g %% of its longest side "
                 "off one)",
                 within, 100.0 * fit.shift / longest);
    else
        snprintf(reason, sizeof reason, "a quadrilateral that is not a rectangle%s", within);
    return reason;
}

// The 4-cycle of triangles a and b when they share an edge, run opposite ways
// along it, and have the same material (see the file's head).
bool pair_cycle(const Model &model, const ModelFace &a, const ModelFace &b, Vec3 out[4]) {
    if (a.material != b.material) return false;
    auto vertex = [&](const ModelFace &f, int k) { return model.corner_vertices[f.first + (size_t)(k % 3)]; };
    for (int i = 0; i < 3; i++) {
        int v = vertex(a, i), w = vertex(a, i + 1), u = vertex(a, i + 2);
        for (int j = 0; j < 3; j++) {
            if (vertex(b, j) != w || vertex(b, j + 1) != v) continue;
            int x = vertex(b, j + 2);
            // The cycle u v x w, turned to start at a's first corner.
            int cycle[4] = {u, v, x, w};
            int start = (i + 2) % 3 == 0 ? 0 : (i == 0 ? 1 : 3);
            for (int k = 0; k < 4; k++) out[k] = model.positions[(size_t)cycle[(start + k) % 4]];
            return true;
        }
    }
    return false;
}

// A directed edge of a triangle, for finding its neighbour across it.
struct Edge {
    int from, to;
    size_t face;
    bool operator<(const Edge &o) const { return std::tie(from, to, face) < std::tie(o.from, o.to, o.face); }
};

using CornerKey = std::array<uint32_t, 12>;

// The corners' bits from the smallest corner on, in their turning (or the
// other way round), so that the same rectangle from any first corner has one key.
CornerKey corner_key(const Vec3 corners[4], bool reversed) {
    std::array<std::array<uint32_t, 3>, 4> bits;
    for (int k = 0; k < 4; k++) {
        const Vec3 &c = corners[reversed ? (4 - k) % 4 : k];
        const float xyz[3] = {c.x + 0.0f, c.y + 0.0f, c.z + 0.0f}; // -0 as 0
        memcpy(bits[(size_t)k].data(), xyz, sizeof xyz);
    }
    size_t first = (size_t)(std::min_element(bits.begin(), bits.end()) - bits.begin());
    CornerKey key;
    for (size_t k = 0; k < 4; k++)
        for (size_t c = 0; c < 3; c++) key[3 * k + c] = bits[(first + k) % 4][c];
    return key;
}

const char *verdict_reason(LineVerdict verdict) {
    switch (verdict) {
    case LINE_NOT_FINITE: return "a value is not a finite number in single precision";
    case LINE_BAD_COUNT: return "a patch count beyond 32 bits";
    case LINE_ZERO_EDGE: return "a side of length zero in single precision";
    case LINE_NO_NORMAL: return "its sides are too short to give it a normal";
    case LINE_NORMAL_OVERFLOW: return "its sides are too long for single precision (the normal overflows)";
    case LINE_BAD_PATCH_SIZE: return "its patches' size is beyond single precision or rounds to zero";
    case LINE_NOT_RIGHT_ANGLED: return "its angles are not right angles in single precision";
    default: return "the line does not read as a polygon";
    }
}

long long patches_along(const Vec3 *from, const Vec3 *to, double patch_size) {
    double count = std::round(vec3_distance(from, to) / patch_size);
    if (!(count <= (double)INT32_MAX)) return -1;
    return count < 1.0 ? 1 : (long long)count;
}

// The notes of one conversion, printed in the order of the faces at its end.
struct FaceNote {
    int number;
    long line;
    std::string text;
};

__attribute__((format(printf, 3, 4))) void note(std::vector<FaceNote> *notes, const ModelFace &face,
                                                const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    notes->push_back({face.number, face.line, text});
}

void leave_out(std::vector<FaceNote> *notes, const ModelFace &face, const std::string &reason, Conversion *result) {
    note(notes, face, "face %d left out: %s", face.number, reason.c_str());
    result->left_out++;
}

} // namespace

Conversion convert_model(const Model &model, const ConvertOptions &options) {
    Conversion result;
    result.faces = (int)model.faces.size();
    std::vector<FaceNote> notes;

    std::vector<Edge> edges;
    for (size_t f = 0; f < model.faces.size(); f++) {
        const ModelFace &face = model.faces[f];
        if (!face.refusal.empty() || face.corners != 3) continue;
        for (size_t k = 0; k < 3; k++)
            edges.push_back({model.corner_vertices[face.first + k], model.corner_vertices[face.first + (k + 1) % 3], f});
    }
    std::sort(edges.begin(), edges.end());

    std::vector<Rectangle> rectangles;
    std::vector<bool> used(model.faces.size(), false);
    for (size_t f = 0; f < model.faces.size(); f++) {
        if (used[f]) continue;
        const ModelFace &face = model.faces[f];
        Rectangle rectangle = {&face, {}, {}, face.material, false, 0.0, false, false};
        if (!face.refusal.empty()) {
            leave_out(&notes, face, face.refusal, &result);
            continue;
        }
        if (face.corners == 4) {
            Vec3 source[4];
            for (size_t k = 0; k < 4; k++) source[k] = corner(model, face, k);
            std::string reason = classify(source, options, &rectangle);
            if (!reason.empty()) {
                leave_out(&notes, face, reason, &result);
                continue;
            }
        } else if (face.corners == 3) {
            bool paired = false;
            for (size_t k = 0; k < 3 && !paired; k++) {
                int from = model.corner_vertices[face.first + (k + 1) % 3], to = model.corner_vertices[face.first + k];
                auto first = std::lower_bound(edges.begin(), edges.end(), Edge{from, to, 0});
                for (auto e = first; e != edges.end() && e->from == from && e->to == to && !paired; ++e) {
                    Vec3 cycle[4];
                    // An earlier triangle has had its turn: paired, or left out as pairing with none.
                    if (e->face <= f || used[e->face] || !pair_cycle(model, face, model.faces[e->face], cycle))
                        continue;
                    if (classify(cycle, options, &rectangle).empty()) {
                        used[e->face] = true;
                        paired = true;
                    }
                }
            }
            if (!paired) {
                leave_out(&notes, face, "a triangle that makes no rectangle with a neighbour", &result);
                continue;
            }
            rectangle.paired = true;
        } else {
            leave_out(&notes, face, "a polygon of " + std::to_string(face.corners) + " corners", &result);
            continue;
        }
        if (normals_disagree(model, face, rectangle.corners)) {
            std::swap(rectangle.corners[1], rectangle.corners[3]);
            std::swap(rectangle.source[1], rectangle.source[3]);
            rectangle.turned = true;
        }
        used[f] = true;
        rectangles.push_back(rectangle);
    }

    double patch_size = options.patch_size;
    if (patch_size <= 0.0) {
        for (const Rectangle &r : rectangles)
            patch_size = std::max(patch_size, std::max(vec3_distance(&r.corners[0], &r.corners[1]),
                                                       vec3_distance(&r.corners[0], &r.corners[3])));
        patch_size /= DEFAULT_PATCHES_ALONG_LONGEST_SIDE;
    }
    result.patch_size = patch_size;

    std::map<CornerKey, int> written;
    long long patch_total = 0;
    for (const Rectangle &r : rectangles) {
        const ModelFace &face = *r.face;
        // Both triangles of a pair go when its line does.
        result.left_out += r.paired;
        auto same = written.find(corner_key(r.source, false));
        if (same != written.end()) {
            note(&notes, face, "face %d repeats face %d, written once", face.number, same->second);
            result.repeated++;
            result.left_out++;
            continue;
        }
        auto back = written.find(corner_key(r.source, true));
        if (back != written.end())
            note(&notes, face, "face %d lies on face %d back to back, facing the other way", face.number,
                 back->second);

        Polygon meant = {};
        memcpy(meant.vertices, r.corners, sizeof meant.vertices);
        for (int c = 0; c < 3; c++) {
            const ModelMaterial *m = r.material >= 0 ? &model.materials[(size_t)r.material] : nullptr;
            meant.emission[c] = m ? m->emission[c] : 0.0f;
            meant.reflectance[c] = m ? m->diffuse[c] : DEFAULT_REFLECTANCE;
        }
        long long count_u = patches_along(&r.corners[0], &r.corners[1], patch_size);
        long long count_v = patches_along(&r.corners[0], &r.corners[3], patch_size);
        if (count_u < 0 || count_v < 0) {
            leave_out(&notes, face, "its sides would be cut into more than 2147483647 patches each", &result);
            continue;
        }
        meant.patches_u = (int32_t)count_u;
        meant.patches_v = (int32_t)count_v;
        SceneLine line = {face.number, scene_line_text(meant), {}};
        if (line.text.size() > SCENE_LINE_LIMIT) {
            char reason[128];
            snprintf(reason, sizeof reason, "its scene line would be %zu characters, more than the %zu the scene reader takes",
                     line.text.size(), SCENE_LINE_LIMIT);
            leave_out(&notes, face, reason, &result);
            continue;
        }
        long long patches = 0;
        LineVerdict verdict = parse_polygon_line(line.text.c_str(), patch_total, &line.polygon, &patches);
        if (verdict == LINE_TOO_MANY_PATCHES) {
            char reason[160];
            snprintf(reason, sizeof reason, "halvora would refuse its line: its %lld x %lld patches, or the scene's "
                     "%lld with them, pass 2^31 - 1", count_u, count_v, patch_total);
            leave_out(&notes, face, reason, &result);
            continue;
        }
        if (verdict != LINE_VALID) {
            leave_out(&notes, face, std::string("halvora would refuse its line: ") + verdict_reason(verdict), &result);
            continue;
        }
        complete_polygon(&meant);
        if (memcmp(&meant, &line.polygon, sizeof meant) != 0) {
            leave_out(&notes, face, "its line does not read back as the polygon written", &result);
            continue;
        }
        if (r.fitted) {
            double longest = longest_side(r.source);
            note(&notes, face, "face %d fitted to a rectangle: corners moved up to %.3g (%.2g %% of its longest side)",
                 face.number, r.shift, 100.0 * r.shift / longest);
            result.fitted++;
        }
        result.left_out -= r.paired;
        result.merged += r.paired;
        result.turned += r.turned;
        written[corner_key(r.source, false)] = face.number;
        patch_total += patches;
        result.lines.push_back(line);
    }
    std::stable_sort(notes.begin(), notes.end(), [](const FaceNote &a, const FaceNote &b) { return a.number < b.number; });
    for (const FaceNote &n : notes) import_note(model.name, n.line, "%s", n.text.c_str());
    return result;
}
