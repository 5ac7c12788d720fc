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

// The text files, created (truncated) in the working directory, filled by the
// writer above from the binary file, closed and reported on standard output
// ("Form factors exported to FF.TXT" and the like). A file that cannot be
// created ends the process with its code (40, 41, 42); so does one whose text
// did not all reach it (a full disk, a file-size limit), with the same code:
// an export cut short is never reported as done. The viewer's export menu and
// halvora-bake call these.
void export_form_factors_file();
void export_patch_vertices_file();
void export_solution_file();
