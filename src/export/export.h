// Text exports, written on request from the viewer's export menu. Each writer
// reads its intermediate binary file anew from disk and formats it into the
// open text stream `out`, which the caller closes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "geometry/environment.h"

// FF.BIN -> n lines of n fields "%7.4f " (codes 20, 21, 22).
void export_form_factors(int32_t n, FILE *out);

// PATCH.BIN -> per polygon a header line, one line per patch with its four
// corners, and a separator (codes 40, 41, 42).
void export_patch_vertices(const Polygon *polys, int32_t count, FILE *out);

// PATCHRAD.BIN -> one "(r g b)" line per patch and one separator (codes 30, 31, 32).
void export_solution(int32_t n, FILE *out);
