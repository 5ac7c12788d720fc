// load_model: the OBJ reader (tinyobjloader) run on text the line check has
// passed, its results checked once more and copied into the Model's tables.
//
// The reader is handed the text through a stream over the string itself (no
// copy) and reads each MTL through LibraryReader, which checks and scans it
// like the OBJ. The reader's faces are the f lines the check let through, in
// the file's order (the check removed the g and o lines that would start new
// shapes, but every shape is walked all the same); their count, their corner
// counts and the v and vn counts are compared with the check's, and a
// disagreement ends the import rather than number faces out of step. The
// reader's own texts (a usemtl naming no known material, and whatever else
// it might say) are reworded as notes with the file and the line.
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <istream>
#include <set>
#include <streambuf>

#include <sys/stat.h>

#include <tiny_obj_loader.h>

#include "base/errors.h"
#include "import/model.h"
#include "import/objtext.h"

namespace {

// A read-only stream over a string that stays alive while it is read.
struct TextBuffer : std::streambuf {
    explicit TextBuffer(std::string *text) { setg(&(*text)[0], &(*text)[0], &(*text)[0] + text->size()); }
};

[[noreturn]] void reader_disagrees(const std::string &name, const char *what) {
    fatal(EXIT_IMPORT_READ, "Couldn't read model file : %s (%s)", name.c_str(), what);
}

struct LoadState {
    Model *model;
    const ObjScan *scan;
    std::string directory;                                // the model's, "" for the working directory
    const std::map<std::string, std::string> *libraries; // in memory, or null
    std::set<size_t> lines_done;                          // mtllib lines whose libraries were read
    std::set<std::string> names_done;                     // libraries read, by their mtllib name
};

// Reads one MTL into the reader's tables and the Model's; false when it is missing.
bool read_library(LoadState *state, const std::string &name, long line, std::vector<tinyobj::material_t> *materials,
                  std::map<std::string, int> *material_map) {
    if (!state->names_done.insert(name).second) return true;
    std::string path = name, text;
    if (state->libraries != nullptr) {
        auto found = state->libraries->find(name);
        if (found == state->libraries->end()) {
            import_note(state->model->name, line, "material library '%s' not found", name.c_str());
            return false;
        }
        text = found->second;
    } else {
        if (name[0] != '/' && !state->directory.empty()) path = state->directory + "/" + name;
        struct stat status;
        if (stat(path.c_str(), &status) != 0) {
            import_note(state->model->name, line, "material library '%s' not found (%s)", path.c_str(), strerror(errno));
            return false;
        }
        text = read_text_file(path, LIBRARY_TEXT);
    }
    check_text(path, &text, LIBRARY_TEXT);
    std::vector<MaterialLine> lines = scan_mtl(path, &text);
    // Without any newmtl the reader still keeps one material, unnamed.
    if (lines.empty()) lines.push_back({0, "", {0, 0, 0}, {0, 0, 0}, ""});

    TextBuffer buffer(&text);
    std::istream stream(&buffer);
    std::string warn, err;
    size_t before = materials->size();
    tinyobj::LoadMtl(material_map, materials, &stream, &warn, &err);
    if (materials->size() - before != lines.size())
        fatal(EXIT_IMPORT_READ, "Couldn't read material library : %s (%s)", path.c_str(),
              "its reader and the line check disagree on its materials");
    for (const std::string &said : {warn, err}) {
        size_t start = 0;
        for (size_t end; start < said.size(); start = end + 1) {
            end = said.find('\n', start);
            if (end == std::string::npos) end = said.size();
            if (end > start + 1) import_note(path, 0, "the MTL reader says: %s", said.substr(start, end - start).c_str());
        }
    }
    for (const MaterialLine &m : lines) {
        ModelMaterial material = {m.name, {}, {}, m.refusal};
        memcpy(material.diffuse, m.diffuse, sizeof material.diffuse);
        memcpy(material.emission, m.emission, sizeof material.emission);
        state->model->materials.push_back(material);
    }
    state->model->libraries.push_back(path);
    return true;
}

// The reader asks for one name of an mtllib line at a time and stops at the
// first it gets; every name of the line is read here on that first call.
struct LibraryReader : tinyobj::MaterialReader {
    LoadState *state;
    explicit LibraryReader(LoadState *s) : state(s) {}
    bool operator()(const std::string &name, std::vector<tinyobj::material_t> *materials,
                    std::map<std::string, int> *material_map, std::string *, std::string *) override {
        const std::vector<NamedLine> &lines = state->scan->mtllib;
        for (size_t i = 0; i < lines.size(); i++) {
            std::vector<std::string> names = library_names(lines[i].text);
            bool named = false;
            for (const std::string &n : names) named |= n == name;
            if (!named || state->lines_done.count(i)) continue;
            state->lines_done.insert(i);
            bool any = false;
            for (const std::string &n : names) any |= read_library(state, n, lines[i].line, materials, material_map);
            return any;
        }
        return false;
    }
};

// The reader's warnings, each reworded; a usemtl it could not resolve is
// matched to the next usemtl line of that name.
void reword_warnings(const std::string &warnings, const Model &model, const ObjScan &scan) {
    static const char USEMTL_HEAD[] = "material [ '", USEMTL_TAIL[] = "' ] not found in .mtl";
    size_t next_usemtl = 0, start = 0;
    for (size_t end; start < warnings.size(); start = end + 1) {
        end = warnings.find('\n', start);
        if (end == std::string::npos) end = warnings.size();
        std::string said = warnings.substr(start, end - start);
        if (said.size() <= 1 || said == "Failed to load material file(s). Use default material.") continue;
        size_t head = strlen(USEMTL_HEAD), tail = strlen(USEMTL_TAIL);
        if (said.size() >= head + tail && said.compare(0, head, USEMTL_HEAD) == 0 &&
            said.compare(said.size() - tail, tail, USEMTL_TAIL) == 0) {
            std::string material = said.substr(head, said.size() - head - tail);
            long line = 0;
            for (; next_usemtl < scan.usemtl.size(); next_usemtl++)
                if (scan.usemtl[next_usemtl].text == material) {
                    line = scan.usemtl[next_usemtl++].line;
                    break;
                }
            import_note(model.name, line,
                        "material '%s' is in no material library read; its faces reflect 0.5 and emit nothing",
                        material.c_str());
            continue;
        }
        import_note(model.name, 0, "the OBJ reader says: %s", said.c_str());
    }
}

bool finite_point(const Vec3 &p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

// Why corner `corner` (from 1) of a face cannot be used, or "".
std::string corner_refusal(const Model &model, const ObjScan &scan, size_t corner, int vertex, int normal) {
    char reason[256];
    if (vertex < 0 || (size_t)vertex >= model.positions.size()) {
        snprintf(reason, sizeof reason, "corner %zu names vertex %d of %zu", corner, vertex + 1, model.positions.size());
        return reason;
    }
    if (normal < -1 || (normal >= 0 && (size_t)normal >= model.normals.size())) {
        snprintf(reason, sizeof reason, "corner %zu names normal %d of %zu", corner, normal + 1, model.normals.size());
        return reason;
    }
    for (int kind = 0; kind < 2; kind++) {
        int index = kind == 0 ? vertex : normal;
        const std::map<int, BadValues> &bad = kind == 0 ? scan.bad_vertices : scan.bad_normals;
        auto found = bad.find(index);
        if (index >= 0 && found != bad.end()) {
            snprintf(reason, sizeof reason, "corner %zu: %s %d on line %ld has %s", corner,
                     kind == 0 ? "vertex" : "normal", index + 1, found->second.line, found->second.reason.c_str());
            return reason;
        }
    }
    if (!finite_point(model.positions[(size_t)vertex]) || (normal >= 0 && !finite_point(model.normals[(size_t)normal]))) {
        snprintf(reason, sizeof reason, "corner %zu is not a finite point", corner);
        return reason;
    }
    return "";
}

std::vector<Vec3> points_of(const std::vector<float> &values) {
    std::vector<Vec3> points(values.size() / 3);
    for (size_t i = 0; i < points.size(); i++) points[i] = {values[3 * i], values[3 * i + 1], values[3 * i + 2]};
    return points;
}

} // namespace

void import_note(const std::string &file, long line, const char *format, ...) {
    if (line > 0)
        fprintf(stderr, "halvora-import: %s:%ld: ", file.c_str(), line);
    else
        fprintf(stderr, "halvora-import: %s: ", file.c_str());
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
}

Model load_model(const std::string &name, std::string text, const std::map<std::string, std::string> *libraries) {
    Model model;
    model.name = name;
    ObjScan scan = scan_obj(&text);
    for (const ScanNote &note : scan.notes) import_note(name, note.line, "%s", note.text.c_str());

    size_t slash = name.rfind('/');
    LoadState state = {&model, &scan, slash == std::string::npos ? "" : name.substr(0, slash == 0 ? 1 : slash),
                       libraries, {}, {}};
    LibraryReader reader(&state);
    TextBuffer buffer(&text);
    std::istream stream(&buffer);
    tinyobj::attrib_t attrib;
    std::vector<tinyobj::shape_t> shapes;
    std::vector<tinyobj::material_t> materials;
    std::string warn, err;
    bool read = tinyobj::LoadObj(&attrib, &shapes, &materials, &warn, &err, &stream, &reader, false, false);
    if (!read || !err.empty())
        fatal(EXIT_IMPORT_READ, "Couldn't read model file : %s (%s)", name.c_str(),
              err.empty() ? "the OBJ reader failed" : err.substr(0, err.find('\n')).c_str());
    reword_warnings(warn, model, scan);

    model.positions = points_of(attrib.vertices);
    model.normals = points_of(attrib.normals);
    if ((long long)model.positions.size() != scan.vertex_count || (long long)model.normals.size() != scan.normal_count)
        reader_disagrees(name, "the OBJ reader and the line check disagree on its vertices");
    if (materials.size() != model.materials.size())
        reader_disagrees(name, "the OBJ reader and the line check disagree on its materials");

    // The reader's faces, in order, are the faces the check let through.
    size_t next = 0;
    auto next_usable = [&]() {
        while (next < scan.faces.size() && scan.faces[next].refusal >= 0) next++;
        return next;
    };
    model.faces.reserve(scan.faces.size());
    for (size_t f = 0; f < scan.faces.size(); f++)
        model.faces.push_back({(int)f + 1, scan.faces[f].line, 0, scan.faces[f].corners, -1,
                               scan.faces[f].refusal >= 0 ? scan.refusals[(size_t)scan.faces[f].refusal] : ""});
    for (const tinyobj::shape_t &shape : shapes) {
        const tinyobj::mesh_t &mesh = shape.mesh;
        size_t corner_at = 0;
        for (size_t f = 0; f < mesh.num_face_vertices.size(); f++, next++) {
            if (next_usable() >= scan.faces.size() || mesh.num_face_vertices[f] != scan.faces[next].corners ||
                corner_at + mesh.num_face_vertices[f] > mesh.indices.size())
                reader_disagrees(name, "the OBJ reader and the line check disagree on its faces");
            ModelFace &face = model.faces[next];
            face.first = model.corner_vertices.size();
            int material = f < mesh.material_ids.size() ? mesh.material_ids[f] : -1;
            if (material >= (int)model.materials.size() || material < -1) {
                face.refusal = "its material is not one of those read";
            } else if (material >= 0 && !model.materials[(size_t)material].refusal.empty()) {
                face.refusal = "its material '" + model.materials[(size_t)material].name +
                               "' cannot be used: " + model.materials[(size_t)material].refusal;
            }
            face.material = material < 0 || material >= (int)model.materials.size() ? -1 : material;
            for (size_t k = 0; k < face.corners && face.refusal.empty(); k++) {
                const tinyobj::index_t &index = mesh.indices[corner_at + k];
                face.refusal = corner_refusal(model, scan, k + 1, index.vertex_index, index.normal_index);
            }
            if (face.refusal.empty()) {
                for (size_t k = 0; k < face.corners; k++) {
                    model.corner_vertices.push_back(mesh.indices[corner_at + k].vertex_index);
                    model.corner_normals.push_back(mesh.indices[corner_at + k].normal_index);
                }
            }
            corner_at += mesh.num_face_vertices[f];
        }
        if (corner_at != mesh.indices.size()) reader_disagrees(name, "the OBJ reader and the line check disagree on its faces");
    }
    if (next_usable() != scan.faces.size()) reader_disagrees(name, "the OBJ reader and the line check disagree on its faces");
    return model;
}
