// halvora-bake: the batch stages of halvora without a window, then a picture,
// lit meshes and the text exports written to files. Its own steps, each of
// which ends the process with its code on failure (errors.h, EXIT_BAKE_*).
//
// Every output is written under a temporary name beside its final one and
// renamed into place when complete (base/output.h): a failed or interrupted
// bake never leaves a partial output under its final name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "export/export.h"

struct BakeOptions {
    std::string directory = ".";      // where RADIOSTY.INI is; the run's working directory
    std::string image;                // --image FILE.png, empty for none
    std::vector<std::string> meshes;  // --mesh FILE.glb / FILE.ply, any number
    int width = 0, height = 0;        // --size WxH; 0: the INI's window size
    bool coarse = false;              // --coarse: one colour per patch
    bool exports = false;             // --exports: FF.TXT, PATCHES.TXT, SOLUTION.TXT
    bool keep = false;                // --keep: the binary files stay (FF.BIN written)
    bool ff_file = false;             // --ff-file: FF.BIN written and kept
    int32_t threads = 0;              // --threads N, -j N; 0: available_cpus()
};

// Reads the command line. --help and --version print and end with code 0; a
// bad option ends with EXIT_BAKE_USAGE and names the argument that is wrong.
// Output names are kept as given: relative to the directory the program was
// started in.
BakeOptions parse_bake_options(int argc, char **argv);

// true when `path` ends in `extension` (".png"), in any case.
bool has_extension(const std::string &path, const char *extension);

// The directory the program was started in (O_PATH; -1 until opened, and
// only opened when an image or a mesh is asked for) and the scene directory,
// both open for the whole run.
extern int start_directory;
extern int scene_directory;

// Opens the starting directory and DIR, takes an exclusive lock on DIR and
// enters it (EXIT_BAKE_DIRECTORY; EXIT_BAKE_BUSY while another bake holds
// the lock). The lock is an flock on DIR itself, held until the process ends
// and released by the system however it ends: no lock file is left behind.
void enter_scene_directory(const BakeOptions &options);

// The outputs' entries in output_files (base/output.h); -1 where not asked for.
struct BakeOutputs {
    int exports[TEXT_EXPORT_COUNT];
    int image;
    std::vector<int> meshes;
};
extern BakeOutputs bake_outputs;

// Creates every output asked for under its temporary name, before any work:
// the exports in DIR, the image and the meshes relative to the starting
// directory. One that cannot be created ends the process with its code
// (40, 41, 42 as the viewer's menu; EXIT_BAKE_IMAGE_WRITE, EXIT_BAKE_MESH_WRITE).
void create_bake_outputs(const BakeOptions &options);

// What the pre-flight needs to know of the run beside its patches.
struct PreflightRun {
    int image_width, image_height; // the picture's size, when one is asked for
    int64_t cells;                 // the hemicube's cells (hemicube_cells_for); -1: unknown
    int32_t threads;               // form-factor workers
    bool form_factor_file;         // FF.BIN is written
};

// Before any long work, with the scene read: the picture (when asked for)
// can be drawn off-screen (EXIT_BAKE_RENDER); the form-factor rows of
// `patches` patches and their workers fit the memory the process may still
// take (EXIT_BAKE_MEMORY); and every file the run will write, the binary
// files and the outputs, fits the file-size limit and, added up per file
// system, the free space (EXIT_BAKE_DISK).
void preflight_check(int64_t patches, const PreflightRun &run);

// Bytes at most of the solver's row store, the workers' rows and the rows
// held for their turn, for n patches, a hemicube of `cells` cells (-1:
// unknown, taken as n) and `threads` workers.
uint64_t rows_memory(uint64_t n, int64_t cells, int32_t threads);

// The off-screen drawing can be had and takes width x height pixels (62).
void check_image_size(int width, int height);

// Bytes at most of the PNG of width x height pixels.
uint64_t image_file_bound(int width, int height);

// Draws vertex_array and color_array (loaded) with the viewer's own GL state,
// camera and draw call into an off-screen buffer of width x height pixels,
// writes it to the image output as an 8-bit RGB PNG and puts it in place
// (EXIT_BAKE_RENDER, EXIT_BAKE_IMAGE_WRITE).
void render_image(int width, int height);

// Bytes the mesh file `name` (.glb or .ply) takes for `patches` patches, at most.
uint64_t mesh_file_bound(const std::string &name, uint64_t patches);

// Writes the patches as two triangles each, with the colours of color_array at
// their corners, to mesh output `output` (an index of output_files), as glTF
// 2.0 binary (.glb) or binary PLY (.ply) by the name's extension, and puts it
// in place (EXIT_BAKE_MESH_WRITE).
void write_mesh(int output);

// FF.TXT from the row store, PATCHES.TXT and SOLUTION.TXT from the binary
// files, as the viewer's menu writes them, each put in place and reported
// when complete (40, 41, 42).
void write_exports();

// FF.TXT's text from the row store (kept past the output stage), byte for
// byte what the export writes from FF.BIN: a row's unlisted entries are +0
// there too. Flushes `out`; a text that did not all reach it ends the
// process with code 42.
void export_stored_form_factors(FILE *out);
