// The solver's own comparison: for each scene the run's form factors are
// computed once into FF.BIN, then solved three ways in one process, each
// timed: the reference (per channel, matrix rebuilt and swept), the dense
// three-channel sweep (every term, rows allocated one by one as before), and
// the run's sweep (non-zero terms only). PATCHRAD.BIN and VERTRAD.BIN of the
// run's sweep are compared byte for byte with the reference's values, and
// the sweep counts of every channel with the reference's. Then whole batch
// runs, in forked children, with the dense sweep and with the run's, give the
// whole-process times and the run's peak memory.
//
// Also measured: the single-thread read bandwidth of this machine (an SSE2
// scan of a block far larger than the caches), to set beside the bytes of
// the matrix each sweep streams. Times are CPU seconds of the process.
#include <emmintrin.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench_solver.h"
#include "driver/config.h"
#include "driver/run.h"
#include "formfactor/formfactor.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "scenes.h"
#include "solver/solver.h"
#include "solver/vertex.h"

namespace {

struct SolverScene {
    std::string name;
    std::string text;
    const char *pixel_size;
    bool whole_batch; // also time whole batch runs and the peak memory
};

double cpu_seconds() {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

double wall_seconds() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

std::string make_dir(const SolverScene &scene) {
    return make_scene_dir("solver", scene.pixel_size, "0.0001", scene.text);
}

bool same_as_file(const char *path, const float *values, size_t count) {
    std::vector<float> read(count + 1);
    FILE *file = fopen(path, "rb");
    if (file == nullptr) return false;
    size_t got = fread(read.data(), sizeof(float), count + 1, file);
    fclose(file);
    return got == count && memcmp(read.data(), values, count * sizeof(float)) == 0;
}

// Form factors in FF.BIN that are not zero.
size_t nonzero_form_factors(FILE *ff) {
    size_t count = 0, got;
    std::vector<float> buffer((size_t)1 << 16);
    rewind(ff);
    while ((got = fread(buffer.data(), sizeof(float), buffer.size(), ff)) > 0)
        for (size_t i = 0; i < got; i++) count += buffer[i] != 0.0f;
    return count;
}

// Single-thread read bandwidth, bytes per second: the best of five SSE2
// scans of 512 MiB (every page touched first).
double read_bandwidth() {
    const size_t floats = (size_t)128 << 20;
    float *block = (float *)malloc(floats * sizeof(float));
    if (block == nullptr) return 0;
    for (size_t i = 0; i < floats; i++) block[i] = (float)(i & 7);
    double best = 1e30;
    __m128 sink = _mm_setzero_ps();
    for (int pass = 0; pass < 5; pass++) {
        double t0 = cpu_seconds();
        __m128 a = _mm_setzero_ps(), b = a, c = a, d = a;
        for (size_t i = 0; i < floats; i += 16) {
            a = _mm_or_ps(a, _mm_load_ps(block + i));
            b = _mm_or_ps(b, _mm_load_ps(block + i + 4));
            c = _mm_or_ps(c, _mm_load_ps(block + i + 8));
            d = _mm_or_ps(d, _mm_load_ps(block + i + 12));
        }
        sink = _mm_or_ps(sink, _mm_or_ps(_mm_or_ps(a, b), _mm_or_ps(c, d)));
        best = std::min(best, cpu_seconds() - t0);
    }
    float kept[4];
    _mm_storeu_ps(kept, sink);
    free(block);
    if (kept[0] < 0) fprintf(stderr, "bench: impossible sum\n");
    return (double)(floats * sizeof(float)) / best;
}

// The solution stage as the program had it before the run's sweep: every
// row its own zero-filled block, FF.BIN read into the rows, every term
// swept. Leaves the rows in radiosity_matrix; returns the sweep's seconds.
double dense_solution(FILE *ff, double *read_seconds, int32_t sweeps[3]) {
    size_t n = (size_t)patch_count;
    double t0 = cpu_seconds();
    radiosity_matrix = (float **)calloc(n, sizeof(float *));
    for (size_t r = 0; r < n; r++) radiosity_matrix[r] = (float *)calloc(n, sizeof(float));
    patch_emission = (float *)calloc(3 * n, sizeof(float));
    patch_radiosity = (float *)calloc(3 * n, sizeof(float));
    rewind(ff);
    read_form_factor_matrix_dense(radiosity_matrix, patch_emission, patch_count, polygons, polygon_count, ff);
    double t1 = cpu_seconds();
    solve_radiosity_channels_dense(radiosity_matrix, patch_radiosity, patch_emission, patch_count, polygons,
                                   polygon_count, config.solution_precision, sweeps);
    *read_seconds = t1 - t0;
    return cpu_seconds() - t1;
}

void free_dense_solution() {
    for (int32_t r = 0; r < patch_count; r++) free(radiosity_matrix[r]);
    free(radiosity_matrix);
    free(patch_emission);
    free(patch_radiosity);
    radiosity_matrix = nullptr;
    patch_emission = patch_radiosity = nullptr;
}

// A whole batch run in a forked child: with the run's stages, or with the
// dense solution in place of the run's. CPU and wall seconds, peak KiB.
struct BatchRun {
    double cpu, wall;
    long peak_kb;
};

BatchRun whole_batch(const std::string &dir, bool dense) {
    double t0 = wall_seconds();
    pid_t child = fork();
    if (child == 0) {
        if (chdir(dir.c_str()) != 0) _exit(1);
        if (!dense) {
            run_batch_stages(&HALVORA_PLAN);
            _exit(0);
        }
        configuration_stage();
        environment_stage(&HALVORA_PLAN);
        patch_stage();
        FILE *ff = form_factor_stage(&HALVORA_PLAN);
        double read_seconds;
        int32_t sweeps[3];
        dense_solution(ff, &read_seconds, sweeps);
        fclose(ff);
        for (int32_t r = 1; r < patch_count; r++) free(radiosity_matrix[r]); // output_stage frees row 0
        output_stage();
        _exit(0);
    }
    int status = 0;
    struct rusage usage;
    BatchRun run = {-1, -1, -1};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
    run.wall = wall_seconds() - t0;
    run.cpu = (double)usage.ru_utime.tv_sec + 1e-6 * (double)usage.ru_utime.tv_usec +
              (double)usage.ru_stime.tv_sec + 1e-6 * (double)usage.ru_stime.tv_usec;
    run.peak_kb = usage.ru_maxrss;
    return run;
}

// What one scene measured.
struct SolverMeasure {
    size_t patches = 0, nonzero = 0, stored = 0;
    double reference = 0, dense_read = 0, dense_sweep = 0, read = 0, sweep = 0;
    int32_t sweeps[3] = {0, 0, 0};
    bool same = false;
    bool batch = false;
    double batch_cpu[2] = {0, 0}, batch_wall[2] = {0, 0}; // dense, run's
    long peak_kb = -1;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

SolverMeasure solver_scene(const SolverScene &scene) {
    SolverMeasure m;
    std::string dir = make_dir(scene);
    std::string home;
    enter_scene_dir(dir, &home);
    FILE *ff = form_factor_stage(&HALVORA_PLAN);
    fflush(ff);
    size_t n = (size_t)patch_count;

    // The reference, channel by channel.
    int32_t reference_sweeps[3];
    std::vector<float> reference(3 * n, 0.0f), reference_corners;
    {
        std::vector<float *> rows(n);
        for (size_t r = 0; r < n; r++) rows[r] = (float *)calloc(n, sizeof(float));
        std::vector<float> emission(3 * n);
        double t0 = cpu_seconds();
        solve_channels_reference(rows.data(), reference.data(), emission.data(), patch_count, polygons,
                                 polygon_count, ff, config.solution_precision, reference_sweeps);
        m.reference = cpu_seconds() - t0;
        for (size_t r = 0; r < n; r++) free(rows[r]);
        float *corners = compute_vertex_radiosities(reference.data(), patch_count, polygons, polygon_count);
        reference_corners.assign(corners, corners + 12 * n);
        free(corners);
    }

    // Today's dense sweep.
    int32_t dense_sweeps[3];
    double dense_read = 0;
    double dense_sweep = dense_solution(ff, &dense_read, dense_sweeps);
    bool same = memcmp(patch_radiosity, reference.data(), 3 * n * sizeof(float)) == 0;
    free_dense_solution();

    // The run's: the driver's allocation, reader and sweep, then its output.
    int32_t sweeps[3];
    double t0 = cpu_seconds();
    radiosity_matrix = (float **)calloc(n, sizeof(float *));
    float *rows = (float *)calloc(n * n, sizeof(float));
    for (size_t r = 0; r < n; r++) radiosity_matrix[r] = rows + r * n;
    patch_emission = (float *)calloc(3 * n, sizeof(float));
    patch_radiosity = (float *)calloc(3 * n, sizeof(float));
    rewind(ff);
    read_form_factor_matrix(radiosity_matrix, patch_emission, patch_count, polygons, polygon_count, ff);
    double t1 = cpu_seconds();
    solve_radiosity_channels(radiosity_matrix, patch_radiosity, patch_emission, patch_count, polygons,
                             polygon_count, config.solution_precision, sweeps);
    double t2 = cpu_seconds();
    size_t stored = stored_form_factor_bytes(radiosity_matrix, patch_count);
    m.nonzero = nonzero_form_factors(ff);
    fclose(ff);
    output_stage();
    same = same && same_as_file("PATCHRAD.BIN", reference.data(), 3 * n) &&
           same_as_file("VERTRAD.BIN", reference_corners.data(), 12 * n);
    for (int c = 0; c < 3; c++) same = same && sweeps[c] == reference_sweeps[c] && dense_sweeps[c] == sweeps[c];
    free(polygons);
    polygons = nullptr;
    if (chdir(home.c_str()) != 0) perror("bench: chdir back");

    m.patches = n;
    m.read = t1 - t0;
    m.sweep = t2 - t1;
    m.dense_read = dense_read;
    m.dense_sweep = dense_sweep;
    m.stored = stored;
    m.same = same;
    for (int c = 0; c < 3; c++) m.sweeps[c] = sweeps[c];

    if (scene.whole_batch) {
        std::vector<double> cpu[2], wall[2];
        for (int run = 0; run < 3; run++)
            for (int dense = 1; dense >= 0; dense--) {
                BatchRun b = whole_batch(dir, dense == 1);
                cpu[dense].push_back(b.cpu);
                wall[dense].push_back(b.wall);
                if (!dense) m.peak_kb = std::max(m.peak_kb, b.peak_kb);
            }
        m.batch = true;
        for (int dense = 0; dense < 2; dense++) {
            m.batch_cpu[dense == 0 ? 1 : 0] = median(cpu[dense]);
            m.batch_wall[dense == 0 ? 1 : 0] = median(wall[dense]);
        }
    }
    remove_scene_dir(dir);
    return m;
}

} // namespace

void run_solver_bench(FILE *table, const char *only) {
    double bandwidth = read_bandwidth();
    std::vector<SolverScene> scenes = {
        {"furnished room", furnished_room(), "0.05", false},
        {"cluttered hall", cluttered_hall(7), "0.1", false},
        {"cube room 8000", cube_room_of(8000), "0.1", true},
        {"cube room 16000", cube_room_of(16000), "0.1", false},
    };
    std::vector<SolverScene> run;
    std::vector<SolverMeasure> measures;
    for (const SolverScene &scene : scenes) {
        if (only != nullptr && scene.name.find(only) == std::string::npos) continue;
        run.push_back(scene);
        measures.push_back(solver_scene(scene));
    }

    fprintf(table, "\nSolver: the reference, the dense three-channel sweep and the run's sweep on one FF.BIN "
                   "(CPU seconds)\n\n");
    fprintf(table, "| scene | patch | non-zero | reference | dense read | dense sweep | run's read | run's sweep | "
                   "sweep x | sweeps | identical |\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (size_t i = 0; i < run.size(); i++) {
        const SolverMeasure &m = measures[i];
        double all = (double)m.patches * (double)m.patches;
        fprintf(table, "| %s | %zu | %.1f %% | %.3f | %.3f | %.3f | %.3f | %.3f | %.1fx | %d/%d/%d | %s |\n",
                run[i].name.c_str(), m.patches, 100.0 * (double)m.nonzero / all, m.reference, m.dense_read,
                m.dense_sweep, m.read, m.sweep, m.dense_sweep / m.sweep, m.sweeps[0], m.sweeps[1], m.sweeps[2],
                m.same ? "yes" : "NO");
    }
    fprintf(table, "\nMatrix bytes streamed per second of sweep (the matrix is streamed once a sweep while any "
                   "channel goes on); single-thread read bandwidth of this machine: %.2f GB/s\n\n",
            bandwidth / 1e9);
    fprintf(table, "| scene | dense matrix | dense sweep streams | run's stored | share | run's sweep streams | "
                   "dense matrix per second of run's sweep |\n|---|---|---|---|---|---|---|\n");
    for (size_t i = 0; i < run.size(); i++) {
        const SolverMeasure &m = measures[i];
        double dense = 4.0 * (double)m.patches * (double)m.patches;
        int32_t streamed = std::max(m.sweeps[0], std::max(m.sweeps[1], m.sweeps[2]));
        fprintf(table, "| %s | %.1f MiB | %.2f GB/s | %.1f MiB | %.1f %% | %.2f GB/s | %.2f GB/s |\n",
                run[i].name.c_str(), dense / 1048576.0, dense * streamed / m.dense_sweep / 1e9,
                (double)m.stored / 1048576.0, 100.0 * (double)m.stored / dense,
                (double)m.stored * streamed / m.sweep / 1e9, dense * streamed / m.sweep / 1e9);
    }
    for (size_t i = 0; i < run.size(); i++) {
        const SolverMeasure &m = measures[i];
        if (!m.batch) continue;
        double dense = 4.0 * (double)m.patches * (double)m.patches;
        fprintf(table,
                "\nWhole batch runs of the %s, median of 3: with the dense sweep %.3f s CPU (%.3f s wall), with the "
                "run's %.3f s CPU (%.3f s wall): %.2fx CPU, %.2fx wall. Peak memory of the run's: %.1f MiB "
                "(4 N^2 is %.1f MiB).\n",
                run[i].name.c_str(), m.batch_cpu[0], m.batch_wall[0], m.batch_cpu[1], m.batch_wall[1],
                m.batch_cpu[0] / m.batch_cpu[1], m.batch_wall[0] / m.batch_wall[1], (double)m.peak_kb / 1024.0,
                dense / 1048576.0);
    }
    fflush(table);
}
