// Text exports, written on request from the viewer's export menu. Each writer
// reads its intermediate binary file anew from disk and formats it into the
// open text stream `out`, which the caller closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "geometry/environment.h"

// FF.BIN -> n lines of n fields "%7.4f " (codes 20, 21, 22).
void export_form_factors(int32_t n, FILE *out);

// One line of FF.TXT: the row's n fields "%7.4f " and the newline.
void export_form_factor_line(const float *row, size_t n, FILE *out);

// PATCH.BIN -> per polygon a header line, one line per patch with its four
// corners, and a separator (codes 40, 41, 42).
void export_patch_vertices(const Polygon *polys, int32_t count, FILE *out);

// PATCHRAD.BIN -> one "(r g b)" line per patch and one separator (codes 30, 31, 32).
void export_solution(int32_t n, FILE *out);

// The three exports by name, in the order of the viewer's menu.
enum TextExport { EXPORT_FORM_FACTORS, EXPORT_PATCH_VERTICES, EXPORT_SOLUTION };
constexpr int TEXT_EXPORT_COUNT = 3;

// The export's text file in the working directory: "FF.TXT", "PATCHES.TXT",
// "SOLUTION.TXT".
const char *export_file_name(TextExport which);

// Bytes at most of the export's text for `patches` patches of `polygons`
// (read, the patch grid not needed).
uint64_t export_file_bound(TextExport which, uint64_t patches);

// Fills `out`, opened for the export's file, by its writer above and flushes
// it; a text that did not all reach it (a full disk, a file-size limit) ends
// the process with the export's write code (40, 41, 42). `out` stays open.
void write_export(TextExport which, FILE *out);

// End the process with the export's message and code (40, 41, 42) for a file
// that cannot be created, or whose text did not all reach the disk.
[[noreturn]] void export_create_failed(TextExport which);
[[noreturn]] void export_write_failed(TextExport which);

// "Form factors exported to FF.TXT" and the like, on standard output.
void report_export(TextExport which);

// The viewer's menu entries: the text file created (truncated) in the working
// directory, filled by write_export, closed and reported. Every failure ends
// the process with its code: an export cut short is never reported as done.
void export_form_factors_file();
void export_patch_vertices_file();
void export_solution_file();
