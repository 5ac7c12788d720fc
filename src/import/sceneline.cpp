// scene_line_text: std::to_chars without a format gives the shortest
// representation that reads back as the same float (fixed or scientific,
// whichever is shorter), and the reader's %f (strtof) reads it back exactly.
#include <charconv>

#include "import/sceneline.h"

namespace {

void append_number(std::string *line, float value) {
    char text[32];
    std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    line->append(text, end.ptr);
}

void append_triple(std::string *line, const float *values) {
    line->push_back('(');
    for (int c = 0; c < 3; c++) {
        if (c) line->push_back(' ');
        append_number(line, values[c]);
    }
    line->push_back(')');
}

} // namespace

std::string scene_line_text(const Polygon &polygon) {
    std::string line = "[";
    for (int k = 0; k < 4; k++) {
        if (k) line.push_back(',');
        append_triple(&line, &polygon.vertices[k].x);
    }
    line += "],";
    append_triple(&line, polygon.emission);
    line.push_back(',');
    append_triple(&line, polygon.reflectance);
    line += ",(" + std::to_string(polygon.patches_u) + " " + std::to_string(polygon.patches_v) + ")\n";
    return line;
}
