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
// leaves zeros. The writers leave `out` open; write_export, which the
// viewer's menu and halvora-bake share, finds a failed write when it flushes
// the stream, the *_file operations also when they close it.
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

void export_form_factor_line(const float *row, size_t n, FILE *out) {
    for (size_t c = 0; c < n; c++) fprintf(out, "%7.4f ", (double)row[c]);
    fputc('\n', out);
}

void export_form_factors(int32_t n, FILE *out) {
    FILE *file = fopen(FF_BIN, "rb");
    if (file == nullptr) fatal(EXIT_EXPORT_FF_OPEN, "Couldn't open form factor binary file : %s", FF_BIN);
    size_t count = as_size(n);
    float *row = (float *)checked_calloc(count, sizeof(float), EXIT_EXPORT_FF_NO_MEMORY);

    for (size_t r = 0; r < count; r++) {
        if (!read_floats(file, row, count))
            fatal(EXIT_EXPORT_FF_READ, "Couldn't read form factor binary file %s", FF_BIN);
        export_form_factor_line(row, count, out);
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

const char *export_file_name(TextExport which) {
    switch (which) {
    case EXPORT_FORM_FACTORS: return FF_TXT;
    case EXPORT_PATCH_VERTICES: return PATCHES_TXT;
    case EXPORT_SOLUTION: break;
    }
    return SOLUTION_TXT;
}

uint64_t export_file_bound(TextExport which, uint64_t n) {
    // The widest "%f" of a float: a sign and the 39 digits of FLT_MAX
    // (3.4e38) before the point; "nan" and "inf" are shorter.
    const uint64_t float_digits = 1 + 39;
    switch (which) {
    case EXPORT_FORM_FACTORS:
        // A form factor is a sum of some of the hemicube's deltas, which add
        // up to about 1: well inside -9.9999 .. 99.9999, where each "%7.4f "
        // field has 8 characters.
        return n * (8 * n + 1);
    case EXPORT_PATCH_VERTICES: {
        // A patch line: 12 fields "%5.2f" and 22 other characters; a
        // polygon: its header of 21 characters and two numbers of up to 20
        // digits, and the separator of 82.
        uint64_t polygon_lines = (uint64_t)(polygon_count > 0 ? polygon_count : 0) * (21 + 20 + 20 + 82);
        return n * (22 + 12 * (float_digits + 3)) + polygon_lines;
    }
    case EXPORT_SOLUTION: break;
    }
    // A patch line: 3 fields "%7.4f" and 5 other characters; the separator of 26.
    return n * (5 + 3 * (float_digits + 5)) + 26;
}

void write_export(TextExport which, FILE *out) {
    switch (which) {
    case EXPORT_FORM_FACTORS: export_form_factors(patch_count, out); break;
    case EXPORT_PATCH_VERTICES: export_patch_vertices(polygons, polygon_count, out); break;
    case EXPORT_SOLUTION: export_solution(patch_count, out); break;
    }
    if (fflush(out) != 0 || ferror(out)) export_write_failed(which);
}

void export_create_failed(TextExport which) {
    switch (which) {
    case EXPORT_FORM_FACTORS:
        fatal(EXIT_EXPORT_FF_CREATE, "Couldn't create form factor export file : %s", FF_TXT);
    case EXPORT_PATCH_VERTICES:
        fatal(EXIT_EXPORT_PATCHES_CREATE, "Couldn't create patch vertices export file : %s", PATCHES_TXT);
    case EXPORT_SOLUTION: break;
    }
    fatal(EXIT_EXPORT_SOLUTION_CREATE, "Couldn't create radiosity solution export file : %s", SOLUTION_TXT);
}

void export_write_failed(TextExport which) {
    switch (which) {
    case EXPORT_FORM_FACTORS:
        fatal(EXIT_EXPORT_FF_WRITE, "Couldn't write form factor export file : %s", FF_TXT);
    case EXPORT_PATCH_VERTICES:
        fatal(EXIT_EXPORT_PATCHES_WRITE, "Couldn't write patch vertices export file : %s", PATCHES_TXT);
    case EXPORT_SOLUTION: break;
    }
    fatal(EXIT_EXPORT_SOLUTION_WRITE, "Couldn't write radiosity solution export file : %s", SOLUTION_TXT);
}

void report_export(TextExport which) {
    switch (which) {
    case EXPORT_FORM_FACTORS: printf("Form factors exported to %s\n", FF_TXT); return;
    case EXPORT_PATCH_VERTICES: printf("Patch vertices exported to %s\n", PATCHES_TXT); return;
    case EXPORT_SOLUTION: break;
    }
    printf("Radiosity solution exported to %s\n", SOLUTION_TXT);
}

namespace {

void export_text_file(TextExport which) {
    FILE *out = fopen(export_file_name(which), "w");
    if (out == nullptr) export_create_failed(which);
    write_export(which, out);
    if (!close_written_file(out)) export_write_failed(which);
    report_export(which);
}

} // namespace

void export_form_factors_file() { export_text_file(EXPORT_FORM_FACTORS); }
void export_patch_vertices_file() { export_text_file(EXPORT_PATCH_VERTICES); }
void export_solution_file() { export_text_file(EXPORT_SOLUTION); }
