// The three text exports: FF.BIN, PATCH.BIN and PATCHRAD.BIN read back from
// the working directory and written as text into a stream the caller opened
// (FF.TXT, PATCHES.TXT, SOLUTION.TXT). Nothing is taken from the viewer's
// arrays: each writer opens its binary file by name, reads it and closes it.
//
// Numbers are the stored single-precision floats widened to double for
// printf. Field widths are minimums: "%7.4f" fills seven characters for
// values from -9.9999 to 99.9999 and grows beyond them, so a line of FF.TXT
// is 8 n characters plus the newline only while every value stays in range.
//
// A short read at the end of a file is accepted (read_floats): a writer that
// reuses one buffer then repeats what the buffer held, the solution export
// leaves zeros. The writers leave `out` open; the *_file operations, which
// create the text files, find a failed write when they flush and close them.
#include <cstdio>
#include <cstdlib>

#include "base/binfile.h"
#include "base/errors.h"
#include "export/export.h"
#include "geometry/patches.h"

namespace {

const char *const FF_TXT = "FF.TXT";
const char *const PATCHES_TXT = "PATCHES.TXT";
const char *const SOLUTION_TXT = "SOLUTION.TXT";

// Floats per patch in PATCH.BIN: x y z of four corners.
constexpr size_t PATCH_FLOATS = 12;

// Negative counts never come from a run; they export nothing.
size_t as_size(int32_t n) { return n > 0 ? (size_t)n : 0; }

} // namespace

void export_form_factors(int32_t n, FILE *out) {
    FILE *file = fopen(FF_BIN, "rb");
    if (file == nullptr) fatal(EXIT_EXPORT_FF_OPEN, "Couldn't open form factor binary file : %s", FF_BIN);
    size_t count = as_size(n);
    float *row = (float *)checked_calloc(count, sizeof(float), EXIT_EXPORT_FF_NO_MEMORY);

    for (size_t r = 0; r < count; r++) {
        if (!read_floats(file, row, count))
            fatal(EXIT_EXPORT_FF_READ, "Couldn't read form factor binary file %s", FF_BIN);
        for (size_t c = 0; c < count; c++) fprintf(out, "%7.4f ", (double)row[c]);
        fputc('\n', out);
    }

    free(row);
    fclose(file);
}

void export_patch_vertices(const Polygon *polys, int32_t count, FILE *out) {
    FILE *file = fopen(PATCH_BIN, "rb");
    if (file == nullptr) fatal(EXIT_EXPORT_PATCH_OPEN, "Couldn't open patch vertices binary file : %s", PATCH_BIN);
    float *corners = (float *)checked_calloc(PATCH_FLOATS, sizeof(float), EXIT_EXPORT_PATCH_NO_MEMORY);

    for (int32_t i = 0; i < count; i++) {
        const Polygon *polygon = &polys[i];
        fprintf(out, "polygon %ld : %ld patches \n", (long)i, (long)polygon->patches_u * (long)polygon->patches_v);
        for (int32_t j = 0; j < polygon->patches_u; j++) {
            for (int32_t k = 0; k < polygon->patches_v; k++) {
                if (!read_floats(file, corners, PATCH_FLOATS))
                    fatal(EXIT_EXPORT_PATCH_READ, "Couldn't read patch vertices binary file %s", PATCH_BIN);
                const float *v = corners;
                fprintf(out,
                        "[(%5.2f %5.2f %5.2f),(%5.2f %5.2f %5.2f),(%5.2f %5.2f %5.2f),(%5.2f %5.2f %5.2f)]\n",
                        (double)v[0], (double)v[1], (double)v[2], (double)v[3], (double)v[4], (double)v[5],
                        (double)v[6], (double)v[7], (double)v[8], (double)v[9], (double)v[10], (double)v[11]);
            }
        }
        fputs("---------------------------------------------------------------------------------\n", out);
    }

    free(corners);
    fclose(file);
}

void export_solution(int32_t n, FILE *out) {
    FILE *file = fopen(PATCHRAD_BIN, "rb");
    if (file == nullptr)
        fatal(EXIT_EXPORT_PATCHRAD_OPEN, "Couldn't open patch radiosity binary file : %s", PATCHRAD_BIN);
    size_t count = as_size(n);
    float *radiosity = (float *)checked_calloc(3 * count, sizeof(float), EXIT_EXPORT_PATCHRAD_NO_MEMORY);

    if (!read_floats(file, radiosity, 3 * count))
        fatal(EXIT_EXPORT_PATCHRAD_READ, "Couldn't read patch radiosity binary file %s", PATCHRAD_BIN);
    for (size_t p = 0; p < count; p++) {
        const float *rgb = &radiosity[3 * p];
        fprintf(out, "(%7.4f %7.4f %7.4f)\n", (double)rgb[0], (double)rgb[1], (double)rgb[2]);
    }
    fputs("-------------------------\n", out);

    free(radiosity);
    fclose(file);
}

void export_form_factors_file() {
    FILE *out = fopen(FF_TXT, "w");
    if (out == nullptr) fatal(EXIT_EXPORT_FF_CREATE, "Couldn't create form factor export file : %s", FF_TXT);
    export_form_factors(patch_count, out);
    if (!close_written_file(out))
        fatal(EXIT_EXPORT_FF_WRITE, "Couldn't write form factor export file : %s", FF_TXT);
    printf("Form factors exported to %s\n", FF_TXT);
}

void export_patch_vertices_file() {
    FILE *out = fopen(PATCHES_TXT, "w");
    if (out == nullptr)
        fatal(EXIT_EXPORT_PATCHES_CREATE, "Couldn't create patch vertices export file : %s", PATCHES_TXT);
    export_patch_vertices(polygons, polygon_count, out);
    if (!close_written_file(out))
        fatal(EXIT_EXPORT_PATCHES_WRITE, "Couldn't write patch vertices export file : %s", PATCHES_TXT);
    printf("Patch vertices exported to %s\n", PATCHES_TXT);
}

void export_solution_file() {
    FILE *out = fopen(SOLUTION_TXT, "w");
    if (out == nullptr)
        fatal(EXIT_EXPORT_SOLUTION_CREATE, "Couldn't create radiosity solution export file : %s", SOLUTION_TXT);
    export_solution(patch_count, out);
    if (!close_written_file(out))
        fatal(EXIT_EXPORT_SOLUTION_WRITE, "Couldn't write radiosity solution export file : %s", SOLUTION_TXT);
    printf("Radiosity solution exported to %s\n", SOLUTION_TXT);
}
