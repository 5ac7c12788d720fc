// Faces to scene lines: the rectangles of a loaded model, fitted, paired,
// turned and written once each, every line checked by halvora's own reader.
//
// Reads: a Model (model.h). Writes: notes on standard error, one per face
// left out, fitted or repeated ("halvora-import: FILE:LINE: face N ...").
#pragma once

#include <string>
#include <vector>

#include "geometry/environment.h"
#include "import/model.h"

struct ConvertOptions {
    double patch_size = 0.0; // target patch edge; 0: the longest side of any rectangle / 10
    double fit = 0.0;        // largest corner shift of a fitted face, in parts of its longest side; 0: no fit
};

struct SceneLine {
    int number;       // the face's number (of the first triangle of a pair)
    std::string text; // the line, line feed included, at most SCENE_LINE_LIMIT characters
    Polygon polygon;  // the reader's record of it, completed
};

struct Conversion {
    std::vector<SceneLine> lines; // in the order of the faces
    int faces = 0;                // faces read
    int merged = 0;               // lines made of two triangles
    int turned = 0;               // lines turned to face their normals
    int fitted = 0;               // lines of fitted faces
    int repeated = 0;             // faces left out as repeats of one written
    int left_out = 0;             // every face not written, repeats included
    double patch_size = 0.0;      // the patch edge used
};

// Each face that is a rectangle (or, with a fit, near one), or two triangles
// that make one, becomes a line in its own winding, turned where its normals
// say its front is the other side. A line is kept only when it fits the
// reader's line and reads back as the same polygon, valid, with the scene's
// patch total still within 32 bits. Every other face is left out with a note.
Conversion convert_model(const Model &model, const ConvertOptions &options);
