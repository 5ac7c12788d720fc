// The benchmark: for each scene, the form-factor stage and the solver run
// twice in one process, by the reference loops and by the run's code, timed
// side by side; FF.BIN, PATCHRAD.BIN and VERTRAD.BIN are compared byte for
// byte; and a separate run of the whole batch (the run's code only) gives the
// peak memory. Prints one table on standard output. Times are CPU seconds.
//
// Each scene runs in a fresh directory under the temp dir (removed after),
// with the program's own stages for configuration, scene, patches and output,
// so the timed stages see exactly what a run sees. The stages' console output
// goes to /dev/null.
//
// Usage: halvora_bench [--skip-reference-at N] [--only NAME] [--solver] [--fine] [--fine-reference]
//                      [--formfactor-only] [--repeat TURNS]
//        (--solver: only the solver's comparison, bench_solver.cpp; --formfactor-only: only the
//        form factors' comparison, bench_formfactor.cpp)
//        halvora_bench --batch DIR   (internal: one batch run in DIR)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_formfactor.h"
#include "driver/config.h"
#include "driver/run.h"
#include "formfactor/cellcast.h"
#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "formfactor/runcast.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "bench_solver.h"
#include "scenes.h"
#include "support/scene_builder.h"
#include "solver/solver.h"
#include "solver/vertex.h"

namespace {

struct Scene {
    std::string name;
    std::string text;
    const char *pixel_size;
    const char *precision;
    int32_t size;  // patches, about
    bool peak;     // measure the peak memory of a whole run
};

struct Measure {
    int32_t polygons = 0, patches = 0, cells = 0;
    double ff_reference = -1, ff_fast = 0;
    double solve_reference = -1, solve_fast = 0;
    int32_t sweeps[3] = {0, 0, 0};
    bool ff_same = false, patchrad_same = true, vertrad_same = false;
    long peak_kb = -1;
    CellcastCounters counters = {0, 0, 0, 0};
    RuncastCounters runs = {0, 0, 0, 0, 0};
};

FILE *table = nullptr;

// CPU time of this process: the machine is shared, and a single-threaded
// stage's CPU time does not count the time other processes hold the core.
double now() {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

std::string make_scene_dir(const Scene &scene) {
    return ::make_scene_dir("bench", scene.pixel_size, scene.precision, scene.text);
}

bool same_files(const char *a, const char *b) {
    FILE *fa = fopen(a, "rb"), *fb = fopen(b, "rb");
    bool same = fa != nullptr && fb != nullptr;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (same) {
        size_t na = fread(ba.data(), 1, ba.size(), fa), nb = fread(bb.data(), 1, bb.size(), fb);
        if (na != nb || memcmp(ba.data(), bb.data(), na) != 0) same = false;
        if (na == 0) break;
    }
    if (fa != nullptr) fclose(fa);
    if (fb != nullptr) fclose(fb);
    return same;
}

bool same_as_file(const char *path, const float *values, size_t count) {
    std::vector<float> read(count + 1);
    FILE *file = fopen(path, "rb");
    if (file == nullptr) return false;
    size_t got = fread(read.data(), sizeof(float), count + 1, file);
    fclose(file);
    return got == count && memcmp(read.data(), values, count * sizeof(float)) == 0;
}

// The form-factor stage by the reference loop, into FF_REF.BIN; leaves the
// patch grid in place for the run's stage.
void reference_form_factors() {
    FILE *file = fopen("FF_REF.BIN", "wb");
    FormFactorScene scene;
    form_factor_scene_init(&scene, polygons, polygon_count, patch_grid, config.hemicube_pixel_size);
    FormFactorWorker worker;
    form_factor_worker_init(&worker, &scene);
    each_patch_hemicube(&worker.hemicube, polygons, polygon_count, [&]() {
        form_factor_row_reference(&worker, &scene);
        fwrite(worker.row.values, sizeof(float), (size_t)patch_count, file);
        row_clear(&worker.row);
    });
    form_factor_worker_free(&worker);
    form_factor_scene_free(&scene);
    fclose(file);
}

// Solves FF_REF.BIN by the reference loops; returns the radiosities.
std::vector<float> reference_solution(int32_t sweeps[3]) {
    size_t n = (size_t)patch_count;
    std::vector<float *> matrix(n);
    for (size_t r = 0; r < n; r++) matrix[r] = (float *)calloc(n, sizeof(float));
    std::vector<float> emission(3 * n), radiosity(3 * n);
    FILE *file = fopen("FF_REF.BIN", "rb");
    solve_channels_reference(matrix.data(), radiosity.data(), emission.data(), patch_count, polygons, polygon_count,
                             file, config.solution_precision, sweeps);
    fclose(file);
    for (size_t r = 0; r < n; r++) free(matrix[r]);
    return radiosity;
}

// Peak resident memory of a whole batch run in `dir`, in KiB.
long batch_peak_kb(const std::string &dir) {
    pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", "halvora_bench", "--batch", dir.c_str(), (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

Measure run_scene(const Scene &scene, bool with_reference) {
    Measure m;
    std::string dir = make_scene_dir(scene);
    if (scene.peak) m.peak_kb = batch_peak_kb(dir);

    std::string home;
    enter_scene_dir(dir, &home);
    m.polygons = polygon_count;
    m.patches = patch_count;

    double t0 = now();
    if (with_reference) {
        reference_form_factors();
        m.ff_reference = now() - t0;
    }
    HemicubeLayout layout;
    hemicube_layout_init(&layout, config.hemicube_pixel_size);
    m.cells = layout.hemicube_cell_count;
    hemicube_layout_free(&layout);

    FormFactorWork work;
    t0 = now();
    FILE *ff = form_factor_stage(&HALVORA_PLAN, &work);
    m.ff_fast = now() - t0;
    m.counters = work.cull;
    m.runs = work.runs;
    fflush(ff);
    m.ff_same = !with_reference || same_files("FF.BIN", "FF_REF.BIN");

    std::vector<float> radiosity;
    if (with_reference) {
        t0 = now();
        radiosity = reference_solution(m.sweeps);
        m.solve_reference = now() - t0;
    }

    t0 = now();
    SolutionResult solved = solution_stage(ff);
    m.solve_fast = now() - t0;
    for (int c = 0; c < 3; c++) {
        if (with_reference && m.sweeps[c] != solved.sweeps[c]) m.patchrad_same = false;
        m.sweeps[c] = solved.sweeps[c];
    }
    size_t n = (size_t)patch_count;
    std::vector<float> vertices;
    if (with_reference) {
        float *corners = compute_vertex_radiosities(radiosity.data(), patch_count, polygons, polygon_count);
        vertices.assign(corners, corners + 12 * n);
        free(corners);
    }
    output_stage();
    if (with_reference) {
        m.patchrad_same = m.patchrad_same && same_as_file("PATCHRAD.BIN", radiosity.data(), 3 * n);
        m.vertrad_same = same_as_file("VERTRAD.BIN", vertices.data(), 12 * n);
    } else {
        m.patchrad_same = m.vertrad_same = true;
    }
    free(polygons);
    polygons = nullptr;

    if (chdir(home.c_str()) != 0) perror("bench: chdir back");
    remove_scene_dir(dir);
    return m;
}

std::string ratio(double reference, double fast) {
    if (reference < 0) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.1fx", reference / fast);
    return text;
}

std::string seconds(double value) {
    if (value < 0) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.3f", value);
    return text;
}

void print_row(const Scene &scene, const Measure &m, long baseline_kb) {
    double rays = (double)m.patches * (double)m.cells;
    std::string peak = "-";
    if (m.peak_kb >= 0) {
        double matrix_mb = 4.0 * m.patches * (double)m.patches / 1048576.0;
        double extra = ((double)(m.peak_kb - baseline_kb) * 1024.0 - 4.0 * m.patches * (double)m.patches) / m.patches;
        char text[96];
        // The solver stores mostly-zero rows compactly, so the peak can lie
        // below the dense matrix's 4 N^2 bytes.
        if (extra >= 0)
            snprintf(text, sizeof text, "%.1f MiB (4N^2 %.1f MiB, +%.0f B/patch)", (double)m.peak_kb / 1024.0,
                     matrix_mb, extra);
        else
            snprintf(text, sizeof text, "%.1f MiB (4N^2 %.1f MiB, below it)", (double)m.peak_kb / 1024.0, matrix_mb);
        peak = text;
    }
    char sweeps[32];
    snprintf(sweeps, sizeof sweeps, "%d/%d/%d", m.sweeps[0], m.sweeps[1], m.sweeps[2]);
    std::string same = m.ff_same && m.patchrad_same && m.vertrad_same ? "yes" : "NO:";
    if (!m.ff_same) same += " FF";
    if (!m.patchrad_same) same += " PATCHRAD";
    if (!m.vertrad_same) same += " VERTRAD";
    fprintf(table, "| %-16s | %5d | %5d | %5d | %8s | %7s | %6s | %9.2e | %8s | %7s | %6s | %-8s | %-9s | %s |\n",
            scene.name.c_str(), m.polygons, m.patches, m.cells, seconds(m.ff_reference).c_str(),
            seconds(m.ff_fast).c_str(), ratio(m.ff_reference, m.ff_fast).c_str(), rays / m.ff_fast,
            seconds(m.solve_reference).c_str(), seconds(m.solve_fast).c_str(),
            ratio(m.solve_reference, m.solve_fast).c_str(), sweeps, same.c_str(), peak.c_str());
    // The culled search's work is per row it did; the rest went by runs of
    // cells.
    int64_t culled_rows = m.patches - m.runs.rows;
    double culled_rays = (double)culled_rows * m.cells;
    fprintf(table, "|   (run's form factors: %lld of %d rows by runs of cells, %.2f %% of their cells cast exactly; "
                   "the culled search's rows: %.1f polygons left per patch, %.1f face projections per patch, %.2f exact "
                   "ray tests per cell ray) |\n",
            (long long)m.runs.rows, m.patches, m.runs.cells > 0 ? 100.0 * (double)m.runs.exact_cells / (double)m.runs.cells : 0.0,
            culled_rows > 0 ? (double)m.counters.candidates / (double)culled_rows : 0.0,
            culled_rows > 0 ? (double)m.counters.projections / (double)culled_rows : 0.0,
            culled_rays > 0 ? (double)m.counters.ray_tests / culled_rays : 0.0);
    fflush(table);
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 5 && strcmp(argv[1], "--write-scene") == 0) {
        // --write-scene cube|hall SIZE PIXEL_SIZE: a scene directory for the
        // scale table (bench/scale.sh), its path on standard output.
        std::string kind = argv[2];
        int32_t size = atoi(argv[3]);
        std::string text = kind == "hall" ? hall_of_boxes(size, 7) : cube_room_of(size);
        printf("%s\n", ::make_scene_dir(kind + std::to_string(size), argv[4], "0.0001", text).c_str());
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "--batch") == 0) {
        if (chdir(argv[2]) != 0) return 1;
        if (freopen("/dev/null", "w", stdout) == nullptr) return 1;
        run_batch_stages(&HALVORA_PLAN);
        return 0;
    }
    int32_t skip_reference_at = 1 << 30;
    const char *only = nullptr;
    bool solver_only = false;
    bool fine = false, fine_reference = false, formfactor_only = false, threads_only = false; // the form-factor table's options
    int repeat = 0;                                                      // its turns per path (0: the scene's own)
    for (int a = 1; a < argc; a++) {
        if (strcmp(argv[a], "--skip-reference-at") == 0 && a + 1 < argc) skip_reference_at = atoi(argv[++a]);
        else if (strcmp(argv[a], "--only") == 0 && a + 1 < argc) only = argv[++a];
        else if (strcmp(argv[a], "--solver") == 0) solver_only = true;
        else if (strcmp(argv[a], "--fine") == 0) fine = true;
        else if (strcmp(argv[a], "--fine-reference") == 0) fine = fine_reference = true;
        else if (strcmp(argv[a], "--formfactor-only") == 0) formfactor_only = true;
        else if (strcmp(argv[a], "--threads") == 0) threads_only = true;
        else if (strcmp(argv[a], "--repeat") == 0 && a + 1 < argc && atoi(argv[a + 1]) > 0) repeat = atoi(argv[++a]);
        else {
            fprintf(stderr, "usage: %s [--skip-reference-at PATCHES] [--only NAME] [--solver] [--fine] "
                            "[--fine-reference] [--formfactor-only] [--threads] [--repeat TURNS]\n", argv[0]);
            return 2;
        }
    }

    // The table goes to the original standard output; the stages' counters
    // and messages to /dev/null.
    table = fdopen(dup(1), "w");
    if (table == nullptr || freopen("/dev/null", "w", stdout) == nullptr) return 1;
    if (solver_only) {
        run_solver_bench(table, only);
        return 0;
    }
    if (formfactor_only) {
        formfactor_bench(table, fine, fine_reference, repeat);
        return 0;
    }
    if (threads_only) {
        threads_bench(table, repeat > 0 ? repeat : 3);
        return 0;
    }

    std::vector<Scene> scenes = {
        {"furnished room", furnished_room(), "0.05", "0.0001", 2200, false},
        {"cluttered hall", cluttered_hall(7), "0.1", "0.0001", 4000, false},
    };
    for (int32_t n : {500, 1000, 2000, 4000, 8000})
        scenes.push_back({"cube room " + std::to_string(n), cube_room_of(n), "0.25", "0.0001", n, n == 8000});

    // Resident memory of a run of a tiny scene: the program itself.
    Scene tiny = {"tiny", cube_room_of(6), "0.5", "0.0001", 6, true};
    std::string tiny_dir = make_scene_dir(tiny);
    long baseline_kb = batch_peak_kb(tiny_dir);
    remove_scene_dir(tiny_dir);

    fprintf(table, "| scene            | polys | patch | cells | FF ref s | FF fast | FF x   | rays/s    | "
                   "solve ref | fast    | x      | sweeps   | identical | peak memory |\n");
    fprintf(table, "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Scene &scene : scenes) {
        if (only != nullptr && scene.name.find(only) == std::string::npos) continue;
        Measure m = run_scene(scene, scene.size < skip_reference_at);
        print_row(scene, m, baseline_kb);
    }
    fprintf(table, "(baseline: a run of a 6-patch room peaks at %.1f MiB; B/patch is the peak above it and "
                   "above 4N^2, per patch)\n",
            (double)baseline_kb / 1024.0);
    formfactor_bench(table, fine, fine_reference, repeat);
    run_solver_bench(table, only);
    return 0;
}
