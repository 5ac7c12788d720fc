// Where halvora-bake writes: the scene directory, locked for the whole run,
// and the outputs, created under temporary names before any work and put in
// place one by one as each is complete (base/output.h).
//
// Two bakes in one directory would write and read the same binary files:
// the second one to take DIR's lock ends at once, before it has read or
// written anything. The lock is flock(LOCK_EX) on a descriptor of DIR itself
// (Linux locks directories as it locks files), so it needs no lock file, and
// it lasts until the process ends, however it ends.
//
// Output names are relative to the directory the program was started in,
// which is held open (O_PATH) before the run enters DIR; the image and the
// meshes are created and renamed relative to that descriptor, the exports
// relative to DIR's.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "bake/bake.h"
#include "base/errors.h"
#include "base/output.h"
#include "solver/row_store.h"
#include "solver/solver.h"

int start_directory = -1;
int scene_directory = -1;
BakeOutputs bake_outputs = {{-1, -1, -1}, -1, {}};

void enter_scene_directory(const BakeOptions &options) {
    const char *dir = options.directory.c_str();
    if (!options.image.empty() || !options.meshes.empty()) {
        start_directory = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (start_directory < 0)
            fatal(EXIT_BAKE_DIRECTORY, "Couldn't open the current directory : %s", strerror(errno));
    }
    scene_directory = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (scene_directory < 0)
        fatal(EXIT_BAKE_DIRECTORY, "Couldn't enter scene directory : %s (%s)", dir, strerror(errno));
    if (flock(scene_directory, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            fatal(EXIT_BAKE_BUSY, "Couldn't lock scene directory : %s (another halvora-bake is running there)", dir);
        fatal(EXIT_BAKE_BUSY, "Couldn't lock scene directory : %s (%s)", dir, strerror(errno));
    }
    if (fchdir(scene_directory) != 0)
        fatal(EXIT_BAKE_DIRECTORY, "Couldn't enter scene directory : %s (%s)", dir, strerror(errno));
}

void create_bake_outputs(const BakeOptions &options) {
    reserve_output_files((options.exports ? TEXT_EXPORT_COUNT : 0) + (options.image.empty() ? 0 : 1) +
                         (int)options.meshes.size());
    if (options.exports)
        for (int k = 0; k < TEXT_EXPORT_COUNT; k++) {
            TextExport which = (TextExport)k;
            bake_outputs.exports[k] = create_output_file(scene_directory, export_file_name(which));
            if (bake_outputs.exports[k] < 0) export_create_failed(which);
        }
    if (!options.image.empty()) {
        bake_outputs.image = create_output_file(start_directory, options.image.c_str());
        if (bake_outputs.image < 0)
            fatal(EXIT_BAKE_IMAGE_WRITE, "Couldn't create image file : %s (%s)", options.image.c_str(),
                  strerror(errno));
    }
    for (const std::string &mesh : options.meshes) {
        int output = create_output_file(start_directory, mesh.c_str());
        if (output < 0)
            fatal(EXIT_BAKE_MESH_WRITE, "Couldn't create mesh file : %s (%s)", mesh.c_str(), strerror(errno));
        bake_outputs.meshes.push_back(output);
    }
}

void export_stored_form_factors(FILE *out) {
    size_t n = row_store.n;
    float *row = (float *)checked_calloc(n, sizeof(float), EXIT_EXPORT_FF_NO_MEMORY);
    for (size_t r = 0; r < row_store.rows; r++) {
        RowView view = view_row(radiosity_matrix[r], r, n);
        if (view.compact) {
            for (uint32_t t = 0; t < view.count; t++) row[view.terms[t].slot / 3] = view.terms[t].value;
            export_form_factor_line(row, n, out);
            for (uint32_t t = 0; t < view.count; t++) row[view.terms[t].slot / 3] = 0.0f;
        } else {
            export_form_factor_line(view.dense, n, out);
        }
    }
    free(row);
    if (fflush(out) != 0 || ferror(out)) export_write_failed(EXPORT_FORM_FACTORS);
}

void write_exports() {
    for (int k = 0; k < TEXT_EXPORT_COUNT; k++) {
        TextExport which = (TextExport)k;
        int output = bake_outputs.exports[k];
        if (output < 0) continue;
        if (which == EXPORT_FORM_FACTORS) export_stored_form_factors(output_files[output].stream);
        else write_export(which, output_files[output].stream);
        if (!finish_output_file(output)) export_write_failed(which);
        report_export(which);
    }
    fflush(stdout);
}
