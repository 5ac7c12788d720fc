// Failure policy of the whole program: one message on standard error, then the
// process ends with a code that tells the failing stage. Nothing is retried and
// nothing is passed back to a caller.
//
// Every message starts with the bell character and "ERROR : " and ends with a
// newline; the helpers below add both, so call sites pass only the text in
// between. Codes repeat across stages; the stage and the message tell them apart.
#pragma once

#include <cstddef>
#include <cstdlib>

// Exit codes, in the order in which the stages run.
enum ExitCode {
    EXIT_OK = 0,

    // driver and configuration
    EXIT_CONFIG_OPEN = 1,
    EXIT_CONFIG_NO_MEMORY = 50,
    EXIT_CONFIG_READ = 51,
    EXIT_CONFIG_NO_SETTINGS = 52,
    EXIT_CONFIG_BAD_SETTINGS = 53,
    EXIT_CONFIG_NO_CAMERA = 54,
    EXIT_CONFIG_BAD_CAMERA = 55,
    EXIT_CONFIG_NO_ENVIRONMENT = 56,
    EXIT_CONFIG_BAD_ENVIRONMENT = 57,

    // environment stage
    EXIT_ENV_OPEN = 2,
    EXIT_ENV_BIN_CREATE = 3,
    EXIT_ENV_BIN_ERASE = 4,
    EXIT_ENV_NO_MEMORY = 10,      // line buffer, then the polygon array
    EXIT_ENV_BIN_WRITE = 11,      // a record written short
    EXIT_ENV_BIN_READ = 11,       // a record read back short, not at end of file
    EXIT_ENV_TEXT_READ = 12,

    // patch stage
    EXIT_PATCH_GRID_NO_MEMORY = 20,
    EXIT_PATCH_ROWS_NO_MEMORY = 21,
    EXIT_PATCH_ROW_NO_MEMORY = 22,
    EXIT_PATCH_BIN_CREATE = 5,
    EXIT_PATCH_BIN_WRITE = 30,

    // form-factor stage
    EXIT_FF_BIN_CREATE = 6,
    EXIT_FF_ROW_NO_MEMORY = 7,
    EXIT_FF_BIN_WRITE = 8,
    EXIT_HEMICUBE_ITEMS_NO_MEMORY = 10,
    EXIT_HEMICUBE_DELTAS_NO_MEMORY = 11,
    EXIT_HEMICUBE_CELLS_NO_MEMORY = 12,
    EXIT_FF_HITS_NO_MEMORY = 10,

    // solution stage
    EXIT_MATRIX_TABLE_NO_MEMORY = 9,
    EXIT_MATRIX_ROW_NO_MEMORY = 10,
    EXIT_EMISSION_NO_MEMORY = 11,
    EXIT_RADIOSITY_NO_MEMORY = 12,
    EXIT_SCRATCH_NO_MEMORY = 10,
    EXIT_SOLVER_FF_READ = 11,
    EXIT_SOLVER_DIVERGES = 18,

    // vertex radiosities and result files
    EXIT_VERTEX_NO_MEMORY = 20,
    EXIT_PATCHRAD_CREATE = 13,
    EXIT_PATCHRAD_WRITE = 14,
    EXIT_VERTRAD_CREATE = 15,
    EXIT_VERTRAD_WRITE = 16,

    // viewer
    EXIT_GAME_MODE = 17,
    EXIT_VIEW_PATCH_OPEN = 10,
    EXIT_VIEW_PATCH_NO_MEMORY = 11,
    EXIT_VIEW_PATCH_READ = 12,
    EXIT_VIEW_PATCHRAD_OPEN = 20,
    EXIT_VIEW_PATCHRAD_BUFFER_NO_MEMORY = 21,
    EXIT_VIEW_PATCHRAD_COLORS_NO_MEMORY = 22,
    EXIT_VIEW_PATCHRAD_READ = 23,
    EXIT_VIEW_VERTRAD_OPEN = 30,
    EXIT_VIEW_VERTRAD_NO_MEMORY = 31,
    EXIT_VIEW_VERTRAD_READ = 32,

    // text exports
    EXIT_EXPORT_FF_CREATE = 40,
    EXIT_EXPORT_FF_WRITE = 40,        // FF.TXT cut short (full disk, file-size limit)
    EXIT_EXPORT_FF_OPEN = 20,
    EXIT_EXPORT_FF_NO_MEMORY = 21,
    EXIT_EXPORT_FF_READ = 22,
    EXIT_EXPORT_PATCHES_CREATE = 41,
    EXIT_EXPORT_PATCHES_WRITE = 41,
    EXIT_EXPORT_PATCH_OPEN = 40,
    EXIT_EXPORT_PATCH_NO_MEMORY = 41,
    EXIT_EXPORT_PATCH_READ = 42,
    EXIT_EXPORT_SOLUTION_CREATE = 42,
    EXIT_EXPORT_SOLUTION_WRITE = 42,
    EXIT_EXPORT_PATCHRAD_OPEN = 30,
    EXIT_EXPORT_PATCHRAD_NO_MEMORY = 31,
    EXIT_EXPORT_PATCHRAD_READ = 32,

    // halvora-bake's own, before the stages and after them
    EXIT_BAKE_USAGE = 64,           // an unknown option, a missing value, a bad --size or --mesh name
    EXIT_BAKE_DIRECTORY = 65,       // DIR (or the starting directory) cannot be opened and entered
    EXIT_BAKE_BUSY = 67,            // another bake holds DIR's lock, or DIR cannot be locked
    EXIT_BAKE_EMPTY_SCENE = 68,     // the scene has no valid polygon: nothing to draw or write
    EXIT_BAKE_MEMORY = 60,          // pre-flight: the form-factor matrix does not fit the memory
    EXIT_BAKE_DISK = 61,            // pre-flight: the run's files do not fit the disk or the file-size limit
    EXIT_BAKE_RENDER = 62,          // no picture size, no off-screen context, a size beyond it, no image buffer
    EXIT_BAKE_IMAGE_WRITE = 63,     // the PNG cannot be created or written
    EXIT_BAKE_MESH_WRITE = 66,      // the .glb or .ply cannot be created or written

    // halvora-import
    EXIT_IMPORT_USAGE = 64,
    EXIT_IMPORT_READ = 2,           // the OBJ (or its MTL) cannot be read
    EXIT_IMPORT_WRITE = 3,          // the scene file cannot be written
    EXIT_IMPORT_EMPTY = 4,          // no face of the OBJ is a rectangle
    EXIT_IMPORT_NOT_TEXT = 2,       // the OBJ or an MTL is not text the reader takes (UTF-16, binary, endless lines)
    EXIT_IMPORT_NO_MEMORY = 2,      // the model does not fit the memory while it is read
    EXIT_IMPORT_SAME_FILE = 3,      // the scene file would overwrite the model or one of its MTLs
};

// Prints "\aERROR : " + the formatted text + "\n" to standard error and ends
// the process with `code`.
[[noreturn]] void fatal(int code, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// The same for the one message of the program written without a blank before
// the colon ("\aERROR: ...").
[[noreturn]] void fatal_unspaced(int code, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// "\aERROR : Out of memory!\n", then exit(code).
[[noreturn]] void fatal_out_of_memory(int code);

// Prints an error line like fatal() but lets the run go on (dropped scene
// lines, files the exit handler cannot erase).
void report_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// calloc that ends the process with "Out of memory!" and `code` on failure.
// A request for zero elements succeeds and returns a valid (empty) block.
void *checked_calloc(size_t count, size_t size, int code);

// The same for an array that one worker writes while others run: the block
// is padded with a cache-line pair after its last whole pair, so whatever
// block the heap puts after it starts at least a pair past its last byte.
// Two such blocks never share a line (two workers' small, hot arrays side
// by side on the heap would pass the line back and forth at every write).
const size_t APART_CALLOC_LINES = 128;
void *checked_calloc_apart(size_t count, size_t size, int code);

// Frees a block and forgets it, so releasing twice does nothing.
template <typename T> void release(T *&block) {
    free(block);
    block = nullptr;
}

// For the fuzz targets only (fuzz/): when set, fatal(), fatal_unspaced() and
// fatal_out_of_memory() call it with the code after printing the message, in
// place of exit(). It must not return: the fuzz targets longjmp back to their
// input loop so that the next input can run in the same process (the
// importer's target throws instead, since the importer holds C++ containers
// whose destructors a longjmp would skip). Should it
// return, the process exits as usual. The program and its tests never set it,
// so for them every error still ends the process.
extern void (*fatal_exit_hook)(int code);
