// Scene lines as halvora's reader takes them.
//
// Reads and writes nothing but its arguments.
#pragma once

#include <string>

#include "geometry/environment.h"

// The line of a polygon's 20 values, "[(x y z),(x y z),(x y z),(x y z)],
// (r g b),(r g b),(nu nv)" and a line feed, without blanks but those between
// numbers. Each number is the shortest text that reads back as the same
// single-precision value ("0.78", not "0.779999971"), so the reader gets the
// polygon back bit for bit; whether the line fits the reader's
// SCENE_LINE_LIMIT is the caller's to check.
std::string scene_line_text(const Polygon &polygon);
