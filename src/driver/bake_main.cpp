// halvora-bake: halvora's run without a window. The same batch stages with
// the same console output, messages, exit codes and binary files; then the
// picture, meshes and text exports asked for on the command line, written
// straight to files. Runs with no display at all.
//
// The binary files are erased at the end, as the viewer's exit handler does,
// unless --keep; a failure after the batch stages erases them too, a failure
// in a batch stage leaves them as halvora does.
#include <cstdio>
#include <cstdlib>

#include "bake/bake.h"
#include "base/binfile.h"
#include "base/errors.h"
#include "base/process.h"
#include "driver/config.h"
#include "driver/progress.h"
#include "driver/run.h"
#include "export/export.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "viewer/draw.h"

namespace {

bool keep_binary_files = false;

// Exit handler, registered once the batch stages are done: releases the
// arrays, erases the binary files unless --keep (reporting, not ending on, a
// file that stays) and prints the end message.
void end_of_bake() {
    release(vertex_array);
    release(color_array);
    if (!keep_binary_files) erase_binary_files();
    printf("End of 'Halvora'.\n");
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    prepare_process();                                       // standard streams attached, SIGXFSZ ignored
    BakeOptions options = parse_bake_options(argc, argv);    // --help and --version end here
    enter_scene_directory(options);                          // DIR is the working directory from here on
    keep_binary_files = options.keep;
    progress_enabled = true;                                 // the form-factor rows reported on stderr

    configuration_stage();                                   // config
    environment_stage();                                     // polygons, polygon_count
    preflight_check(count_patches(polygons, polygon_count)); // the matrix and FF.BIN fit, or code 60/61
    patch_stage();                                           // PATCH.BIN
    FILE *ff_file = form_factor_stage();                     // FF.BIN
    solution_stage(ff_file);                                 // patch radiosities; FF.BIN closed
    output_stage();                                          // PATCHRAD.BIN, VERTRAD.BIN
    atexit(end_of_bake);

    if (options.exports) {                                   // FF.TXT, PATCHES.TXT, SOLUTION.TXT
        export_form_factors_file();
        export_patch_vertices_file();
        export_solution_file();
        fflush(stdout);
    }
    if (!options.image.empty() || !options.meshes.empty()) {
        smooth_shading = !options.coarse;
        load_vertex_arrays();                                // vertex_array, color_array
    }
    if (!options.image.empty())                              // the PNG
        render_image(options.image, options.width ? options.width : config.window_width,
                     options.height ? options.height : config.window_height);
    for (const std::string &mesh : options.meshes) write_mesh(mesh); // .glb, .ply
    return EXIT_OK;                                          // end_of_bake erases the binary files
}
