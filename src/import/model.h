// The model: an OBJ and its MTLs read into plain tables, every face with its
// corners checked or with the reason it cannot be used.
//
// Reads: the OBJ text (already read and checked, objtext.h) and, through the
// reader's material callback, each MTL named by an mtllib line, from the
// model's directory or from a table in memory. Writes: notes on standard
// error, each "halvora-import: FILE:LINE: text".
//
// Invariants of a loaded Model: a face without a refusal has every corner's
// vertex index inside `positions` and every normal index inside `normals` or
// -1, and all those points are finite; its material is -1 or inside
// `materials`, and that material's colours are finite. A face with a refusal
// has no corners in the tables (`corners` still counts them).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "geometry/vec3.h"

struct ModelFace {
    int number;          // from 1: every f line of the file, in order
    long line;           // its line in the OBJ
    size_t first;        // its first corner in corner_vertices and corner_normals
    size_t corners;      // how many corners the line has
    int material;        // into materials, -1 for none
    std::string refusal; // why the face cannot be used; empty when it can
};

struct ModelMaterial {
    std::string name;
    float diffuse[3];    // Kd
    float emission[3];   // Ke
    std::string refusal; // why its colours cannot be used; empty when they can
};

struct Model {
    std::string name;                  // the OBJ as named on the command line
    std::vector<Vec3> positions;       // v
    std::vector<Vec3> normals;         // vn
    std::vector<int> corner_vertices;  // per corner of the usable faces, 0-based into positions
    std::vector<int> corner_normals;   // per corner, 0-based into normals, -1 for none
    std::vector<ModelFace> faces;
    std::vector<ModelMaterial> materials;
    std::vector<std::string> libraries; // the MTL files read, as opened
};

// Reads `text` (the checked OBJ named `name`) with the OBJ reader. The MTLs
// come from `libraries` by the names the mtllib lines give when it is not
// null, else from the files beside the model. Ends the process with
// EXIT_IMPORT_READ or EXIT_IMPORT_NOT_TEXT on an MTL that cannot be read, and
// with EXIT_IMPORT_READ when the reader fails; a missing MTL is a note.
Model load_model(const std::string &name, std::string text, const std::map<std::string, std::string> *libraries);

// "halvora-import: FILE:LINE: text" on standard error (without ":LINE" for line 0).
void import_note(const std::string &file, long line, const char *format, ...) __attribute__((format(printf, 3, 4)));
