// halvora-bake: halvora's run without a window. The same batch stages with
// the same console output, messages, exit codes and binary files; then the
// picture, meshes and text exports asked for on the command line, written
// to files. Runs with no display at all.
//
// The scene directory is locked for the whole run, and every output exists
// under a temporary name from the start, so that a bake that cannot lock
// its directory or create an output ends before any work. An output appears
// under its final name only when complete; one not yet complete is removed
// when the run fails or is ended by SIGINT, SIGTERM or SIGHUP.
//
// The form-factor rows go from the workers straight into the solver's row
// store; FF.BIN is written only with --keep or --ff-file. The binary files
// are erased at the end, as the viewer's exit handler does, unless --keep
// (--ff-file keeps FF.BIN alone); a failure after the batch stages erases
// them too, a failure in a batch stage or a signal leaves them as halvora
// does.
#include <cstdio>
#include <cstdlib>

#include "bake/bake.h"
#include "bake/workers.h"
#include "base/binfile.h"
#include "base/errors.h"
#include "base/process.h"
#include "driver/config.h"
#include "driver/progress.h"
#include "driver/run.h"
#include "formfactor/hemicube.h"
#include "geometry/patches.h"
#include "solver/row_store.h"
#include "viewer/draw.h"

namespace {

// The command line, for the whole process (the pre-flight reads it too).
BakeOptions options;
SweepHelper sweep_helper; // with several threads: the solver's second one

// The picture's size: --size, or the INI's window size.
int image_width() { return options.width ? options.width : config.window_width; }
int image_height() { return options.height ? options.height : config.window_height; }

// FF.BIN is written for --keep and --ff-file only.
bool writes_form_factor_file() { return options.keep || options.ff_file; }

void bake_preflight(int64_t patches) {
    preflight_check(patches, PreflightRun{image_width(), image_height(), hemicube_cells_for(config.hemicube_pixel_size),
                                          options.threads, writes_form_factor_file()});
}

// The form-factor rows on --threads workers.
bool bake_rows(const FormFactorScene *scene, FormFactorWorker *worker, const FormFactorRowSink *sink,
               FormFactorWork *work) {
    return form_factor_rows_threaded(scene, worker, options.threads, sink, work);
}

// halvora's stages with the pre-flight before the patches and the rows on
// several workers, handed straight to the solver's row store; FF.BIN only
// when it is to stay (--keep, --ff-file), and the store kept for FF.TXT. A
// scene without a valid polygon has nothing to write, and says so with a
// code of its own.
BatchPlan bake_plan() {
    return BatchPlan{bake_preflight, EXIT_BAKE_EMPTY_SCENE, bake_rows,      true,
                     writes_form_factor_file(), options.exports, options.threads > 1 ? &sweep_helper : nullptr};
}

// Exit handler, registered once the batch stages are done: releases the
// arrays, erases the binary files unless --keep (reporting, not ending on, a
// file that stays) and prints the end message.
void end_of_bake() {
    release(vertex_array);
    release(color_array);
    if (!options.keep) erase_binary_files(ALL_BUT_FORM_FACTORS); // FF.BIN: not written, or --ff-file keeps it
    printf("End of 'Halvora'.\n");
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    prepare_process();                                // standard streams attached, SIGXFSZ ignored
    options = parse_bake_options(argc, argv);         // --help and --version end here
    if (options.threads == 0) options.threads = available_cpus();
    enter_scene_directory(options);                   // DIR locked and the working directory, or code 65/67
    create_bake_outputs(options);                     // every output under its temporary name, or its code
    progress_enabled = true;                          // the form-factor rows reported on stderr
    if (options.threads > 1) sweep_helper_begin(&sweep_helper); // the solver's second thread
    BatchPlan plan = bake_plan();
    run_batch_stages(&plan);                          // halvora's stages, the pre-flight before the patches
    if (options.threads > 1) sweep_helper_end(&sweep_helper);
    atexit(end_of_bake);

    if (options.exports) write_exports();             // FF.TXT from the row store, PATCHES.TXT, SOLUTION.TXT
    row_store_free();
    if (!options.image.empty() || !options.meshes.empty()) {
        smooth_shading = !options.coarse;
        load_vertex_arrays();                         // vertex_array, color_array
    }
    if (!options.image.empty()) render_image(image_width(), image_height()); // the PNG
    for (int mesh : bake_outputs.meshes) write_mesh(mesh);                    // .glb, .ply
    return EXIT_OK;                                   // end_of_bake erases the binary files
}
