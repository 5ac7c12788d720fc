// The error helpers of errors.h: the only place that formats the "ERROR"
// prefix and the only place, besides the normal ends of a run, that exits.
// fatal_exit_hook is the fuzz targets' way back into their loop; nothing in
// the program sets it.
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstdlib>

#include "base/errors.h"

void (*fatal_exit_hook)(int code) = nullptr;

namespace {

[[noreturn]] void end_process(int code) {
    if (fatal_exit_hook != nullptr) fatal_exit_hook(code);
    exit(code);
}

void print_error(const char *prefix, const char *format, va_list args) {
    fputs(prefix, stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    fflush(stderr);
}

} // namespace

void fatal(int code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    print_error("\aERROR : ", format, args);
    va_end(args);
    end_process(code);
}

void fatal_unspaced(int code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    print_error("\aERROR: ", format, args);
    va_end(args);
    end_process(code);
}

void fatal_out_of_memory(int code) { fatal(code, "Out of memory!"); }

void report_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    print_error("\aERROR : ", format, args);
    va_end(args);
}

void *checked_calloc(size_t count, size_t size, int code) {
    // calloc(0, ...) may return NULL on some C libraries; an empty request is
    // never a failure here, so ask for one element instead.
    void *block = calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    if (block == nullptr) fatal_out_of_memory(code);
    return block;
}

void *checked_calloc_apart(size_t count, size_t size, int code) {
    if (count == 0) count = 1;
    if (size == 0) size = 1;
    if (count > (SIZE_MAX - 2 * APART_CALLOC_LINES) / size) fatal_out_of_memory(code);
    size_t bytes = (count * size + APART_CALLOC_LINES - 1) / APART_CALLOC_LINES * APART_CALLOC_LINES;
    return checked_calloc(bytes + APART_CALLOC_LINES, 1, code);
}
