// The form-factor stage three ways, side by side in one process, on the same
// polygons and patch grid: the reference loop (every cell's ray against every
// polygon), the culled nearest-first search of cellcast.cpp (the run's fast
// path before runs of cells), and the run's path (runs of cells, runcast.cpp,
// with the culled search for the rows its rule declines). Every row of every
// path is kept and compared byte for byte. Times are CPU seconds of the rows
// (placement, moves and rows, as the driver's stage loops them).
//
// The reference at 256 cells a side takes minutes, and on the cluttered hall
// about a minute (the main table compares the run's FF.BIN of the hall with
// the reference's); there the rows are compared with the culled search's,
// which the reference equals bit for bit wherever both are run (the other
// scenes here, the tests' random scenes), unless --fine-reference asks for
// the reference on every scene.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench_formfactor.h"
#include "formfactor/cellcast.h"
#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "formfactor/runcast.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "scenes.h"
#include "support/scene_builder.h"

namespace {

enum Path { REFERENCE, CULLED, RUNS };

struct Result {
    double seconds = -1;
    std::vector<float> rows;
    RuncastCounters counters = {0, 0, 0, 0, 0};
};

double cpu_seconds() {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

// Every row of the scene by one path, as the driver's stage loops them.
Result all_rows(Path path, float pixel_size) {
    Result r;
    size_t n = (size_t)patch_count;
    r.rows.resize(n * n);
    FormFactorScene scene;
    form_factor_scene_init(&scene, polygons, polygon_count, patch_grid, pixel_size);
    if (path == CULLED) scene.cells_per_candidate = HUGE_VAL; // every row declined: the culled search
    FormFactorWorker worker;
    form_factor_worker_init(&worker, &scene);
    double t0 = cpu_seconds();
    size_t at = 0;
    each_patch_hemicube(&worker.hemicube, polygons, polygon_count, [&]() {
        if (path == REFERENCE) form_factor_row_reference(&worker, &scene);
        else form_factor_row(&worker, &scene);
        memcpy(&r.rows[at], worker.row.values, n * sizeof(float));
        row_clear(&worker.row);
        at += n;
    });
    r.seconds = cpu_seconds() - t0;
    if (path == RUNS) r.counters = worker.runs.counters;
    form_factor_worker_free(&worker);
    form_factor_scene_free(&scene);
    return r;
}

bool same(const Result &a, const Result &b) {
    return a.rows.size() == b.rows.size() && memcmp(a.rows.data(), b.rows.data(), a.rows.size() * sizeof(float)) == 0;
}

struct BenchScene {
    std::string name;
    std::string text;
    float pixel_size;
    bool reference; // run the reference loop (unless --fine-reference asks for it anyway)
    int turns;      // times the culled search and runs of cells are each run, in turn
};

std::string seconds_text(double s) {
    if (s < 0) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.3f", s);
    return text;
}

} // namespace

void load_scene(const std::string &text) {
    FILE *source = tmpfile(), *binary = tmpfile();
    if (source == nullptr || binary == nullptr) {
        perror("bench: tmpfile");
        exit(1);
    }
    fwrite(text.data(), 1, text.size(), source);
    rewind(source);
    polygon_count = parse_environment_file(source, binary);
    rewind(binary);
    read_polygons(polygon_count, binary);
    fclose(source);
    fclose(binary);
    build_patch_grid(polygons, polygon_count);
    patch_count = count_patches(polygons, polygon_count);
}

void formfactor_bench(FILE *table, bool fine, bool fine_reference, int repeat) {
    std::vector<BenchScene> scenes = {
        {"furnished room", furnished_room(), 0.05f, true, 5},
        {"cluttered hall", cluttered_hall(7), 0.1f, false, 5},
        {"cube room 1500", cube_room_of(1500), 0.05f, true, 5},
    };
    if (fine) {
        scenes.push_back({"furnished room", furnished_room(), 0.0078125f, false, 2});
        scenes.push_back({"cube room 1500", cube_room_of(1500), 0.0078125f, false, 2});
    }
    fprintf(table, "\nForm factors (CPU s): reference loop, culled search (cellcast), runs of cells (runcast); culled "
                   "and runs the best of their turns\n\n");
    fprintf(table, "| scene | pixel size | patches | cells | turns | reference | culled | runs | runs vs culled | cells/s (runs) "
                   "| exact cells | rows by runs | identical |\n");
    fprintf(table, "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const BenchScene &scene : scenes) {
        load_scene(scene.text);
        HemicubeLayout layout;
        hemicube_layout_init(&layout, scene.pixel_size);
        int32_t cells = layout.hemicube_cell_count;
        hemicube_layout_free(&layout);
        bool with_reference = scene.reference || fine_reference;
        Result reference;
        if (with_reference) reference = all_rows(REFERENCE, scene.pixel_size);
        Result culled = all_rows(CULLED, scene.pixel_size);
        Result runs = all_rows(RUNS, scene.pixel_size);
        int turns = repeat > 0 ? repeat : scene.turns;
        // Later turns alternate which path goes first. A path that differs
        // from itself is reported as not identical.
        for (int turn = 1; turn < turns; turn++) {
            for (int k = 0; k < 2; k++) {
                bool culled_now = (turn % 2 == 0) == (k == 0);
                Result again = all_rows(culled_now ? CULLED : RUNS, scene.pixel_size);
                Result &kept = culled_now ? culled : runs;
                if (!same(again, kept)) kept.rows.clear();
                kept.seconds = std::min(kept.seconds, again.seconds);
            }
        }
        std::string identical;
        if (with_reference) identical = same(reference, culled) && same(reference, runs) ? "yes (reference)" : "NO";
        else identical = same(culled, runs) ? "yes (culled)" : "NO";
        double total_cells = (double)patch_count * (double)cells;
        const RuncastCounters &c = runs.counters;
        fprintf(table, "| %s | %g | %d | %d | %d | %s | %s | %s | %.1fx | %.2e | %.3f%% | %lld of %d | %s |\n",
                scene.name.c_str(), (double)scene.pixel_size, patch_count, cells, turns, seconds_text(reference.seconds).c_str(),
                seconds_text(culled.seconds).c_str(), seconds_text(runs.seconds).c_str(), culled.seconds / runs.seconds,
                total_cells / runs.seconds, c.cells > 0 ? 100.0 * (double)c.exact_cells / (double)c.cells : 0.0,
                (long long)c.rows, patch_count, identical.c_str());
        fflush(table);
        free_patch_grid(polygons, polygon_count);
        free(polygons);
        polygons = nullptr;
    }
    fprintf(table, "\n(cells: per hemicube; exact cells: share of the cells of rows by runs cast by the exact "
                   "arithmetic; identical: every byte of every row, against the reference where it ran, else against "
                   "the culled search)\n");
}
