// The stages of a run and the order in which they run. Progress goes to
// standard output, errors to standard error (through errors.h). Files are
// created in the working directory; a run that ends before the viewer leaves
// what it has written so far on disk.
//
// The console counters overwrite themselves with backspaces; standard output
// is flushed after each update so that a terminal shows them counting.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/binfile.h"
#include "base/errors.h"
#include "driver/config.h"
#include "driver/progress.h"
#include "driver/run.h"
#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "solver/row_store.h"
#include "solver/solver.h"
#include "solver/vertex.h"

namespace {

const char *const CONFIG_FILE = "RADIOSTY.INI";

} // namespace

const BatchPlan HALVORA_PLAN = {nullptr, EXIT_OK, nullptr, false, true, false, nullptr};

void configuration_stage() {
    printf("Start of 'Halvora'.\n");
    FILE *file = fopen(CONFIG_FILE, "r");
    if (file == nullptr) fatal(EXIT_CONFIG_OPEN, "Couldn't open initialization file RADIOSITY.INI");
    read_config(file);
    fclose(file);
}

void environment_stage(const BatchPlan *plan) {
    printf("Environment definition file at : %s\n", config.filename);
    fflush(stdout);
    FILE *text = fopen(config.filename, "r");
    if (text == nullptr) fatal(EXIT_ENV_OPEN, "Couldn't open environment definition file");
    FILE *binary = fopen(ENVIRONMENT_BIN, "wb+");
    if (binary == nullptr)
        fatal(EXIT_ENV_BIN_CREATE, "Couldn't create environment definition binary file : %s", ENVIRONMENT_BIN);

    polygon_count = parse_environment_file(text, binary);
    // The records sit in the stream's buffer until here; a full disk shows
    // itself at this flush, not at the fwrite of a record.
    if (fflush(binary) != 0 || ferror(binary))
        fatal(EXIT_ENV_BIN_WRITE, "Couldn't write environment definition binary file : %s", ENVIRONMENT_BIN);
    if (polygon_count == 0) {
        printf("No polygons found in environment definition file\n");
        int code = plan->empty_scene_code;
        if (code != EXIT_OK)
            fatal(code, "Nothing to write : environment definition file %s holds no valid polygon", config.filename);
        exit(EXIT_OK);
    }
    fclose(text);
    printf("Environment definition file parsed, %ld valid polygons read.\n", (long)polygon_count);

    rewind(binary);
    read_polygons(polygon_count, binary);
    fclose(binary);
    if (remove(ENVIRONMENT_BIN) != 0)
        fatal(EXIT_ENV_BIN_ERASE, "Couldn't erase environment definition binary file : %s", ENVIRONMENT_BIN);
}

void patch_stage() {
    progress_stage("patches", "cutting %ld polygons into patches", (long)polygon_count);
    build_patch_grid(polygons, polygon_count);
    patch_count = count_patches(polygons, polygon_count);
    printf("Environment decomposed into %ld patches.\n", (long)patch_count);

    FILE *file = fopen(PATCH_BIN, "wb");
    if (file == nullptr) fatal(EXIT_PATCH_BIN_CREATE, "Couldn't create patch vertices binary file : %s", PATCH_BIN);
    write_patch_vertices(polygons, polygon_count, file);
    if (!close_written_file(file))
        fatal(EXIT_PATCH_BIN_WRITE, "Couldn't write patch vertices binary file %s", PATCH_BIN);
    progress_end_stage();
}

namespace {

// The stage's sink: each row's number in seven digits on standard output,
// overwritten by the next; its values appended to FF.BIN and, as a list of
// its entries in column order, to the row store, as the plan has it.
struct FormFactorOut {
    FILE *file;              // FF.BIN, or null
    size_t patches;
    bool to_store;
    RowEntry *entries;       // scratch: the row's entries for the store
    bool out_of_memory;      // the store could not take a row
};

void row_number(int64_t row, void *) {
    printf("%.7ld", (long)(row + 1));
    fflush(stdout);
}

// The row's touched patches in increasing order, each once, with what it
// holds (+0 for a patch touched by runs that added nothing: the store leaves
// those out).
size_t row_entries(const FormFactorRow *row, RowEntry *entries) {
    size_t count = (size_t)row->touched_count;
    for (size_t t = 0; t < count; t++) entries[t] = {(uint32_t)row->touched[t], row->values[row->touched[t]]};
    auto by_column = [](const RowEntry &a, const RowEntry &b) { return a.column < b.column; };
    std::sort(entries, entries + count, by_column);
    auto same_column = [](const RowEntry &a, const RowEntry &b) { return a.column == b.column; };
    return (size_t)(std::unique(entries, entries + count, same_column) - entries);
}

bool take_row(const FormFactorRow *values, int64_t row, void *context) {
    FormFactorOut *out = (FormFactorOut *)context;
    if (out->file != nullptr && !write_floats(out->file, values->values, out->patches)) return false;
    if (out->to_store && !row_store_add(out->entries, row_entries(values, out->entries))) {
        out->out_of_memory = true;
        return false;
    }
    printf("\b\b\b\b\b\b\b");
    progress_row(row + 1);
    return true;
}

} // namespace

FILE *form_factor_stage(const BatchPlan *plan, FormFactorWork *work) {
    FILE *ff_file = nullptr;
    if (plan->form_factor_file || !plan->rows_in_store) {
        ff_file = fopen(FF_BIN, "wb+");
        if (ff_file == nullptr) fatal(EXIT_FF_BIN_CREATE, "Couldn't create form factor binary file : %s", FF_BIN);
    }
    // The run's fixed tables (the hemicube's delta form factors among them),
    // then the first worker's row and hemicube, and the store with the
    // scratch a row's entries are listed in.
    FormFactorScene scene;
    form_factor_scene_init(&scene, polygons, polygon_count, patch_grid, config.hemicube_pixel_size);
    FormFactorWorker worker;
    form_factor_worker_init(&worker, &scene);
    FormFactorOut out = {ff_file, (size_t)patch_count, plan->rows_in_store, nullptr, false};
    if (plan->rows_in_store) {
        // A row lists at most one patch per cell.
        size_t cells = (size_t)scene.hemicube.hemicube_cell_count;
        out.entries = (RowEntry *)checked_calloc(cells + 1, sizeof(RowEntry), EXIT_FF_ROW_NO_MEMORY);
        row_store_begin(patch_count, cells, polygons, polygon_count);
    }
    printf("Hemicube initialized, calculating form factors ");
    progress_start("form factors", patch_count);
    FormFactorRowSink sink = {row_number, take_row, &out};
    bool written = plan->form_factor_rows != nullptr ? plan->form_factor_rows(&scene, &worker, &sink, work)
                                                     : form_factor_rows(&scene, &worker, &sink, work);
    if (out.out_of_memory) fatal_out_of_memory(EXIT_MATRIX_ROW_NO_MEMORY);
    // The last rows may still be buffered: they must reach the disk before
    // the stage counts as done.
    if (!written || (ff_file != nullptr && (fflush(ff_file) != 0 || ferror(ff_file))))
        fatal(EXIT_FF_BIN_WRITE, "Couldn't write form factor binary file : %s", FF_BIN);
    progress_finish();
    printf("done.  \n");

    release(out.entries);
    form_factor_worker_free(&worker);
    form_factor_scene_free(&scene);
    free_patch_grid(polygons, polygon_count);
    return ff_file;
}

namespace {

// Each sweep of the solution on the progress line: per channel the largest
// relative change of the sweep against the precision to reach, or where it
// stopped.
void report_sweep(const SweepProgress *sweep) {
    char channels[3][48];
    for (int c = 0; c < 3; c++) {
        if (sweep->swept[c])
            snprintf(channels[c], sizeof channels[c], "%s %.2e", channel_names[c], sweep->largest[c]);
        else
            snprintf(channels[c], sizeof channels[c], "%s done after %d", channel_names[c], (int)sweep->sweeps[c]);
    }
    progress_stage("solution", "sweep %d, largest change %s, %s, %s (to reach %.2e)", (int)sweep->sweep,
                   channels[0], channels[1], channels[2], sweep->precision);
}

} // namespace

SolutionResult solution_stage(FILE *ff_file, const BatchPlan *plan) {
    size_t n = (size_t)patch_count;
    if (!plan->rows_in_store) {
        radiosity_matrix = (float **)checked_calloc(n, sizeof(float *), EXIT_MATRIX_TABLE_NO_MEMORY);
        // The rows lie one after another in one zero-filled block, which the
        // system hands out as pages not yet touched: a page is faulted in only
        // where the reader stores something, and the reader packs the rows,
        // mostly zero ones compactly, from the block's start.
        float *rows = (float *)checked_calloc(n * n, sizeof(float), EXIT_MATRIX_ROW_NO_MEMORY);
        for (size_t r = 0; r < n; r++) radiosity_matrix[r] = rows + r * n;
        patch_emission = (float *)checked_calloc(3 * n, sizeof(float), EXIT_EMISSION_NO_MEMORY);
        patch_radiosity = (float *)checked_calloc(3 * n, sizeof(float), EXIT_RADIOSITY_NO_MEMORY);
    }

    // The matrix holds the form factors once (a mostly zero row compactly)
    // and the three channels are swept side by side; the console shows the
    // channel names as a solution channel by channel does, and a divergence
    // names the channel it would.
    printf("Radiosity solution ");
    printf("%5s", channel_names[0]);
    fflush(stdout);
    if (!plan->rows_in_store) {
        progress_stage("solution", "reading %ld rows from %s", (long)patch_count, FF_BIN);
        rewind(ff_file);
        read_form_factor_matrix(radiosity_matrix, patch_emission, patch_count, polygons, polygon_count, ff_file);
    }
    SolutionResult result;
    int diverged = solve_radiosity_channels(radiosity_matrix, patch_radiosity, patch_emission, patch_count, polygons,
                                            polygon_count, config.solution_precision, result.sweeps,
                                            progress_enabled ? report_sweep : nullptr, plan->sweep_helper);
    progress_end_stage();
    for (int channel = 0; channel < 3; channel++) {
        if (channel > 0) {
            printf("%5s", channel_names[channel]);
            fflush(stdout);
        }
        if (channel == diverged)
            fatal(EXIT_SOLVER_DIVERGES, "Radiosity solution diverges in channel %s", channel_names[channel]);
        printf("\b\b\b\b\b");
    }
    printf("done.\n");
    if (ff_file != nullptr) fclose(ff_file);
    return result;
}

void output_stage(const BatchPlan *plan) {
    progress_stage("outputs", "vertex radiosities, %s and %s", PATCHRAD_BIN, VERTRAD_BIN);
    vertex_radiosity = compute_vertex_radiosities(patch_radiosity, patch_count, polygons, polygon_count);

    if (plan->rows_in_store) {
        if (!plan->keep_row_store) row_store_free();
    } else {
        if (patch_count > 0) free(radiosity_matrix[0]); // the block of all rows
        release(radiosity_matrix);
    }
    release(patch_emission);

    size_t n = (size_t)patch_count;
    FILE *file = fopen(PATCHRAD_BIN, "wb");
    if (file == nullptr) fatal(EXIT_PATCHRAD_CREATE, "Couldn't create patch radiosity binary file %s", PATCHRAD_BIN);
    if (!write_floats(file, patch_radiosity, 3 * n) || !close_written_file(file))
        fatal(EXIT_PATCHRAD_WRITE, "Couldn't write patch radiosity binary file %s", PATCHRAD_BIN);
    release(patch_radiosity);

    file = fopen(VERTRAD_BIN, "wb");
    if (file == nullptr) fatal(EXIT_VERTRAD_CREATE, "Couldn't create vertex radiosity binary file %s", VERTRAD_BIN);
    if (!write_floats(file, vertex_radiosity, 12 * n) || !close_written_file(file))
        fatal(EXIT_VERTRAD_WRITE, "Couldn't write vertex radiosity binary file %s", VERTRAD_BIN);
    release(vertex_radiosity);
    progress_end_stage();
}

void run_batch_stages(const BatchPlan *plan) {
    configuration_stage();                 // config
    environment_stage(plan);               // polygons, polygon_count; a scene without any ends here
    if (plan->before_patches != nullptr)   // the companion's pre-flight: the run fits, or it ends here
        plan->before_patches(count_patches(polygons, polygon_count));
    patch_stage();                         // patch_grid, patch_count, PATCH.BIN
    FILE *ff_file = form_factor_stage(plan); // FF.BIN left open, or the row store, or both; patch_grid released
    solution_stage(ff_file, plan);         // patch_radiosity; FF.BIN closed
    output_stage(plan);                    // PATCHRAD.BIN, VERTRAD.BIN
}
