// The run's fast paths against the reference loops, bit for bit: form-factor
// rows of seeded random scenes (rooms, boxes, tilted and duplicated polygons,
// coarse and fine hemicubes), the three-channel solver on random systems
// (zeros, negative zeros, short files, divergence), and the console bytes of
// a run whose solution diverges.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/errors.h"
#include "formfactor/cellcast.h"
#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "formfactor/runcast.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "solver/row_store.h"
#include "solver/solver.h"
#include "support/program.h"
#include "support/scene_builder.h"
#include "support/scenes.h"

namespace {

// The shared seeded generator: the same scenes everywhere.
using Random = SceneRandom;

Polygon rectangle(const float p0[3], const float e1[3], const float e3[3], int32_t nu, int32_t nv) {
    return rectangle_polygon(p0, e1, e3, nu, nv);
}


// Binary fractions (cells whose rays meet patch boundaries exactly) and two
// decimal sizes that single precision cannot hold.
const float PIXEL_SIZES[] = {1.0f, 0.5f, 0.375f, 0.25f, 0.2f, 0.125f, 0.1f, 0.0625f}; // 0.375: an odd count of cells a side

// Which fast path form_factor_row takes: every row by runs of cells, every
// row by the culled search, or the run's rule between them.
enum FastPath { RUNS, CULLED, RULE };

// What the fast paths counted: the culled search's work summed over every
// scene_rows call, the runs' over the last one.
CellcastCounters cull_counters = {0, 0, 0};
RuncastCounters runs_counters = {0, 0, 0, 0, 0};

// Every row of the scene, in patch order, by the run's rows or the reference's.
std::vector<float> scene_rows(std::vector<Polygon> &polys, float pixel_size, bool reference, FastPath path = RULE) {
    int32_t count = (int32_t)polys.size();
    build_patch_grid(polys.data(), count);
    int32_t patches = count_patches(polys.data(), count);
    FormFactorScene scene;
    form_factor_scene_init(&scene, polys.data(), count, patch_grid, pixel_size);
    if (path == RUNS) scene.cells_per_candidate = 0;
    if (path == CULLED) scene.cells_per_candidate = HUGE_VAL;
    FormFactorWorker worker;
    form_factor_worker_init(&worker, &scene);
    std::vector<float> rows;
    each_patch_hemicube(&worker.hemicube, polys.data(), count, [&]() {
        if (reference) form_factor_row_reference(&worker, &scene);
        else form_factor_row(&worker, &scene);
        rows.insert(rows.end(), worker.row.values, worker.row.values + patches);
        row_clear(&worker.row);
    });
    cull_counters.candidates += worker.cull.counters.candidates;
    cull_counters.projections += worker.cull.counters.projections;
    cull_counters.ray_tests += worker.cull.counters.ray_tests;
    runs_counters = worker.runs.counters;
    form_factor_worker_free(&worker);
    form_factor_scene_free(&scene);
    free_patch_grid(polys.data(), count);
    return rows;
}

// The counter and backspaces of the rows go to standard output; keep them
// out of the test log.
struct QuietStdout {
    int saved;
    QuietStdout() {
        fflush(stdout);
        saved = dup(1);
        FILE *null = fopen("/dev/null", "w");
        dup2(fileno(null), 1);
        fclose(null);
    }
    ~QuietStdout() {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

// --- form-factor rows -------------------------------------------------------------

// Every scene by the reference loop and by runs of cells; every third also
// by the culled search. Runs of cells must have settled most cells without
// the exact arithmetic, and cast some exactly (rays on boundaries). Every
// hundredth scene is also cast at 64 cells a side, where lines hold many runs
// (long and short ones, added side by side or at once) and runs cross many
// rows.
TEST(FastFormFactors, RandomScenesGiveTheReferenceRowsBitForBit) {
    QuietStdout quiet;
    int scenes = 0, nonzero = 0, rows_checked = 0;
    int64_t cells = 0, exact = 0;
    for (uint32_t pass = 1; pass <= 303; pass++) {
        uint32_t seed = pass <= 300 ? pass : (pass - 300) * 100;
        std::vector<Polygon> polys = random_scene(seed);
        float pixel_size = pass <= 300 ? PIXEL_SIZES[seed % 8] : 0.03125f;
        std::vector<float> reference = scene_rows(polys, pixel_size, true);
        for (FastPath path : {RUNS, CULLED}) {
            if (path == CULLED && seed % 3 != 0) continue;
            std::vector<float> fast = scene_rows(polys, pixel_size, false, path);
            if (path == RUNS) {
                cells += runs_counters.cells;
                exact += runs_counters.exact_cells;
            }
            ASSERT_EQ(reference.size(), fast.size());
            size_t first_difference = reference.size();
            for (size_t k = 0; k < reference.size() && first_difference == reference.size(); k++)
                if (memcmp(&reference[k], &fast[k], sizeof(float)) != 0) first_difference = k;
            ASSERT_EQ(first_difference, reference.size())
                << "seed " << seed << ", pixel size " << pixel_size << (path == RUNS ? ", runs" : ", culled") << ": entry "
                << first_difference << " is " << fast[first_difference] << " instead of " << reference[first_difference];
        }
        for (float f : reference) nonzero += f != 0.0f;
        rows_checked += (int)sqrt((double)reference.size());
        scenes++;
    }
    EXPECT_EQ(scenes, 303);
    EXPECT_GT(nonzero, 100000) << "the scenes are not empty";
    EXPECT_GT(rows_checked, 20000);
    EXPECT_GT(exact, 0) << "some rays meet boundaries within the bounds";
    EXPECT_LT(exact * 10, cells) << "runs settle most cells";
}

// Scenes that press on the bounds of runs of cells: rays that run along patch
// boundaries and room edges (a cube room split evenly, binary pixel sizes up
// to 64 cells a side), the same far from the origin (coarser rounding), a
// floor of 900 patches (the rays drift over many moves), a polygon whose
// plane passes a hair from the patch centres (t tiny, never settled by the
// bounds), and a tilted room. Each by runs of cells against the reference.
TEST(FastFormFactors, BoundaryRaysFarScenesAndLongDriftMatchTheReference) {
    QuietStdout quiet;
    struct Case {
        const char *name;
        float shift, pixel_size;
        int32_t floor_patches;
        bool hair, tilted;
        bool expect_exact;
    };
    const Case cases[] = {
        {"split cube room, 1/8", 0, 0.125f, 4, false, false, true},
        {"split cube room, 1/32", 0, 0.03125f, 4, false, false, true},
        {"far from the origin", 1000, 0.0625f, 4, false, false, true},
        {"900 floor patches", 0, 0.125f, 30, false, false, false},
        {"plane a hair from the centres", 0, 0.125f, 2, true, false, true},
        {"tilted room", 0, 0.0625f, 3, false, true, false},
    };
    for (const Case &c : cases) {
        const float o[3] = {c.shift, c.shift, c.shift};
        float two = 2;
        const float ex[3] = {two, 0, 0}, ey[3] = {0, two, 0}, ez[3] = {0, 0, two};
        const float top[3] = {o[0], o[1], o[2] + two}, far_x[3] = {o[0] + two, o[1], o[2]}, far_y[3] = {o[0], o[1] + two, o[2]};
        int32_t n = c.floor_patches;
        std::vector<Polygon> polys = {rectangle(o, ex, ey, n, n),        rectangle(top, ey, ex, 4, 4),
                                      rectangle(o, ey, ez, 4, 4),        rectangle(far_x, ez, ey, 4, 4),
                                      rectangle(o, ez, ex, 4, 4),        rectangle(far_y, ex, ez, 4, 4)};
        if (c.hair) {
            // a panel 2^-20 above the floor's patch centres, facing down
            const float lid[3] = {0.5f, 0.5f, 0x1p-20f}, bx[3] = {1, 0, 0}, by[3] = {0, 1, 0};
            polys.push_back(rectangle(lid, by, bx, 2, 2));
        }
        if (c.tilted) {
            const float turn[3][3] = {{1, 2, 2}, {2, 1, -2}, {2, -2, 1}};
            for (Polygon &p : polys) {
                for (Vec3 &v : p.vertices) {
                    const float x[3] = {v.x, v.y, v.z};
                    for (int r = 0; r < 3; r++) (&v.x)[r] = turn[r][0] * x[0] + turn[r][1] * x[1] + turn[r][2] * x[2];
                }
                complete_polygon(&p);
            }
        }
        std::vector<float> reference = scene_rows(polys, c.pixel_size, true);
        std::vector<float> runs = scene_rows(polys, c.pixel_size, false, RUNS);
        ASSERT_EQ(reference.size(), runs.size()) << c.name;
        EXPECT_EQ(memcmp(reference.data(), runs.data(), reference.size() * sizeof(float)), 0) << c.name;
        EXPECT_EQ(runs_counters.rows + runs_counters.declined, count_patches(polys.data(), (int32_t)polys.size()))
            << c.name;
        EXPECT_GT(runs_counters.rows, 0) << c.name;
        if (c.expect_exact) EXPECT_GT(runs_counters.exact_cells, 0) << c.name << ": rays on boundaries";
        // (a plane through the centres is never settled: its cells are all cast)
        if (!c.hair) EXPECT_LT(runs_counters.exact_cells * 5, runs_counters.cells) << c.name;
    }
}

// Polygons that tie for the nearest hit: a ceiling given twice and a
// same-normal box top: the tie keeps the lower index and the box top hides
// what is above it, from every cell.
TEST(FastFormFactors, TiesAndSameNormalCasesMatchTheReference) {
    QuietStdout quiet;
    const float zero[3] = {0, 0, 0}, ex[3] = {2, 0, 0}, ey[3] = {0, 2, 0}, top[3] = {0, 0, 2};
    const float lid[3] = {0.5f, 0.5f, 1}, bx[3] = {1, 0, 0}, by[3] = {0, 1, 0};
    std::vector<Polygon> polys = {rectangle(zero, ex, ey, 4, 4), rectangle(top, ey, ex, 2, 2),
                                  rectangle(top, ey, ex, 3, 3), rectangle(lid, bx, by, 1, 1)};
    for (float pixel_size : PIXEL_SIZES) {
        std::vector<float> reference = scene_rows(polys, pixel_size, true);
        std::vector<float> fast = scene_rows(polys, pixel_size, false);
        ASSERT_EQ(memcmp(reference.data(), fast.data(), reference.size() * sizeof(float)), 0) << pixel_size;
        // the floor's rows see the first ceiling, never the duplicate behind it
        int32_t patches = 16 + 4 + 9 + 1;
        for (int r = 0; r < 16; r++) {
            for (int k = 20; k < 29; k++) EXPECT_EQ(fast[(size_t)(r * patches + k)], 0.0f) << r << "," << k;
        }
    }
}

// A thin bar under a one-patch ceiling cuts every line of the floor's top
// face into a long run of the ceiling, the bar and a short run of the
// ceiling again. The long run waits for the line's end, so the short one
// must wait behind it: added at once, the ceiling's sum would take the cells
// out of order and round differently.
TEST(FastFormFactors, ShortRunBehindAWaitingRunOfItsPatchKeepsCellOrder) {
    QuietStdout quiet;
    const float zero[3] = {0, 0, 0}, ex[3] = {2, 0, 0}, ey[3] = {0, 2, 0}, top[3] = {0, 0, 2};
    const float bar[3] = {1.6f, -1, 1.5f}, bx[3] = {0.1f, 0, 0}, by[3] = {0, 4, 0};
    std::vector<Polygon> polys = {rectangle(zero, ex, ey, 1, 1), rectangle(top, ey, ex, 1, 1), rectangle(bar, by, bx, 1, 1)};
    for (float pixel_size : {0.03125f, 0.015625f}) {
        std::vector<float> reference = scene_rows(polys, pixel_size, true);
        std::vector<float> runs = scene_rows(polys, pixel_size, false, RUNS);
        EXPECT_GT(reference[1], 0.0f) << "the floor sees the ceiling";
        EXPECT_GT(reference[2], 0.0f) << "and the bar";
        EXPECT_EQ(memcmp(reference.data(), runs.data(), reference.size() * sizeof(float)), 0) << pixel_size;
    }
}

TEST(FastFormFactors, TablesAreMadeAtAWorkersFirstRowAndReleasedWithIt) {
    QuietStdout quiet;
    std::vector<Polygon> polys = random_scene(7);
    cull_counters = {0, 0, 0};
    EXPECT_EQ(scene_rows(polys, 0.25f, false, CULLED), scene_rows(polys, 0.25f, true));
    EXPECT_GT(cull_counters.ray_tests, 0);
    int64_t tests = cull_counters.ray_tests;
    EXPECT_EQ(scene_rows(polys, 0.25f, false, RUNS), scene_rows(polys, 0.25f, true));
    int64_t rows = runs_counters.rows;
    EXPECT_GT(rows, 0);
    // A second scene after the first: the tables were released and are made
    // again for the new scene (a stale table would give wrong rows).
    std::vector<Polygon> other = random_scene(8);
    EXPECT_EQ(scene_rows(other, 0.25f, false, CULLED), scene_rows(other, 0.25f, true));
    EXPECT_GT(cull_counters.ray_tests, tests);
    EXPECT_EQ(scene_rows(other, 0.25f, false, RUNS), scene_rows(other, 0.25f, true));
    EXPECT_EQ(runs_counters.rows, count_patches(other.data(), (int32_t)other.size())) << "counted afresh";
}

// --- the three-channel solver ----------------------------------------------------------

struct RandomSystem {
    std::vector<Polygon> polys;
    int32_t n = 0;
    std::vector<float> ff; // n rows of n
};

// Patches spread over a few polygons, rows from full to empty, with zero
// blocks on each row's own polygon (sometimes not), zeros of both signs, now
// and then small negative form factors, reflectances and emissions that
// include 0, -0 and negative values, and polygons that emit without
// reflecting.
RandomSystem random_system(uint32_t seed, double largest_reflectance, bool large_first = false) {
    Random random = {seed};
    RandomSystem s;
    int count = 1 + random.below(6);
    for (int i = 0; i < count; i++) {
        Polygon p;
        memset(&p, 0, sizeof p);
        p.patches_u = 1 + random.below(4);
        p.patches_v = 1 + random.below(8);
        if (large_first && i == 0) p.patches_u *= 64; // 64 to 2,048 rows: often large enough to split
        bool dark = random.below(8) == 0; // emits, reflects nothing
        for (int c = 0; c < 3; c++) {
            p.reflectance[c] = dark ? 0.0f : (float)(largest_reflectance * random.below(101) / 100.0);
            int e = random.below(dark ? 1 : 6);
            p.emission[c] = dark ? 1.0f + (float)c : e == 0 ? -0.0f : e == 1 ? -(float)random.below(5)
                                                                             : (float)random.below(1000) / 100.0f;
        }
        s.polys.push_back(p);
        s.n += p.patches_u * p.patches_v;
    }
    const int one_in[4] = {1, 3, 12, 1000}; // chance of a non-zero entry: 3/4 .. about none
    int sparseness = one_in[random.below(4)];
    bool own_blocks_zero = random.below(4) != 0;
    bool negatives = random.below(6) == 0;
    s.ff.assign((size_t)s.n * (size_t)s.n, 0.0f);
    int32_t r = 0;
    for (const Polygon &p : s.polys) {
        int32_t own = p.patches_u * p.patches_v;
        for (int32_t q = 0; q < own; q++, r++) {
            float budget = 0.9f; // of the absolute row sum: every system converges
            for (int32_t k = 0; k < s.n; k++) {
                float &entry = s.ff[(size_t)r * (size_t)s.n + (size_t)k];
                bool in_own = k >= r - q && k < r - q + own;
                if ((in_own && own_blocks_zero) || random.below(4 * sparseness) >= 3) {
                    // (a large polygon's own block holds no -0: +0 where it may be split, else terms)
                    if (random.below(16) == 0 && !(large_first && in_own)) entry = -0.0f;
                    continue;
                }
                float f = budget * (float)random.below(100) / 400.0f;
                budget -= f;
                entry = negatives && random.below(8) == 0 ? -f : f;
            }
        }
    }
    return s;
}

// FF.BIN holding the first `bytes` bytes of the rows.
FILE *ff_file(const RandomSystem &s, size_t bytes) {
    FILE *file = tmpfile();
    fwrite(s.ff.data(), 1, bytes, file);
    rewind(file);
    return file;
}

struct Solution {
    std::vector<float> radiosity;
    int32_t sweeps[3];
    int diverged = -1;
};

Solution solve_reference(const RandomSystem &s, double precision, size_t bytes) {
    size_t n = (size_t)s.n;
    std::vector<std::vector<float>> rows(n, std::vector<float>(n));
    std::vector<float *> matrix;
    for (auto &row : rows) matrix.push_back(row.data());
    std::vector<float> emission(3 * n);
    Solution out;
    out.radiosity.assign(3 * n, 0.0f);
    FILE *file = ff_file(s, bytes);
    solve_channels_reference(matrix.data(), out.radiosity.data(), emission.data(), s.n, s.polys.data(),
                             (int32_t)s.polys.size(), file, precision, out.sweeps);
    fclose(file);
    return out;
}

enum Matrix { ROWS_APART, ONE_BLOCK, DENSE };

// The run's solver on the rows handed to the row store one by one as lists
// of their entries other than +0, as halvora-bake's rows arrive. The store
// stays within its bound for the longest row's terms.
Solution solve_stored(const RandomSystem &s, double precision) {
    size_t n = (size_t)s.n;
    int32_t count = (int32_t)s.polys.size();
    std::vector<std::vector<RowEntry>> rows(n);
    size_t longest = 0;
    for (size_t r = 0; r < n; r++) {
        for (size_t k = 0; k < n; k++) {
            float f = s.ff[r * n + k];
            uint32_t bits;
            memcpy(&bits, &f, sizeof bits);
            if (bits != 0) rows[r].push_back({(uint32_t)k, f});
        }
        longest = std::max(longest, rows[r].size());
    }
    row_store_begin(s.n, longest, s.polys.data(), count);
    std::vector<RowEntry> entries;
    for (size_t r = 0; r < n; r++) EXPECT_TRUE(row_store_add(rows[r].data(), rows[r].size()));
    EXPECT_FALSE(row_store_add(entries.data(), 0)) << "a row beyond the last";
    EXPECT_LE(row_store.bytes + n * 32, row_store_bound(n, longest));
    Solution out;
    out.diverged = solve_radiosity_channels(radiosity_matrix, patch_radiosity, patch_emission, s.n, s.polys.data(),
                                            count, precision, out.sweeps);
    out.radiosity.assign(patch_radiosity, patch_radiosity + 3 * n);
    row_store_free();
    release(patch_emission);
    release(patch_radiosity);
    return out;
}

// The run's solver on rows apart or in one block (as the driver obtains
// them), or the dense three-channel sweep, on matrix rows that do not start
// out zero: the reader must clear what it needs.
Solution solve_fast(const RandomSystem &s, double precision, size_t bytes, Matrix kind = ROWS_APART,
                    const SweepHelper *helper = nullptr) {
    size_t n = (size_t)s.n;
    bool dense = kind == DENSE;
    std::vector<std::vector<float>> rows(n, std::vector<float>(n, 7.0f));
    std::vector<float> block(n * n, 7.0f);
    std::vector<float *> matrix;
    for (size_t r = 0; r < n; r++) matrix.push_back(kind == ONE_BLOCK ? &block[r * n] : rows[r].data());
    std::vector<float> emission(3 * n);
    Solution out;
    out.radiosity.assign(3 * n, 0.0f);
    FILE *file = ff_file(s, bytes);
    int32_t count = (int32_t)s.polys.size();
    if (dense) {
        read_form_factor_matrix_dense(matrix.data(), emission.data(), s.n, s.polys.data(), count, file);
        out.diverged = solve_radiosity_channels_dense(matrix.data(), out.radiosity.data(), emission.data(), s.n,
                                                      s.polys.data(), count, precision, out.sweeps);
    } else {
        read_form_factor_matrix(matrix.data(), emission.data(), s.n, s.polys.data(), count, file);
        out.diverged = solve_radiosity_channels(matrix.data(), out.radiosity.data(), emission.data(), s.n,
                                                s.polys.data(), count, precision, out.sweeps, nullptr, helper);
    }
    fclose(file);
    return out;
}

void expect_same(const Solution &reference, const Solution &fast, const std::string &what) {
    ASSERT_EQ(fast.diverged, -1) << what;
    ASSERT_EQ(memcmp(reference.radiosity.data(), fast.radiosity.data(), reference.radiosity.size() * sizeof(float)), 0)
        << what;
    for (int c = 0; c < 3; c++) EXPECT_EQ(reference.sweeps[c], fast.sweeps[c]) << what << " channel " << c;
}

TEST(FastSolver, RandomSystemsGiveTheReferenceValuesAndSweeps) {
    const double precisions[] = {1e-2, 1e-4, 1e-6, 1.5};
    int solved = 0;
    for (uint32_t seed = 1; seed <= 400; seed++) {
        RandomSystem s = random_system(seed, 0.95);
        double precision = precisions[seed % 4];
        size_t bytes = s.ff.size() * sizeof(float);
        Solution reference = solve_reference(s, precision, bytes);
        expect_same(reference, solve_fast(s, precision, bytes, seed % 2 ? ROWS_APART : ONE_BLOCK),
                    "seed " + std::to_string(seed));
        expect_same(reference, solve_fast(s, precision, bytes, DENSE), "dense, seed " + std::to_string(seed));
        expect_same(reference, solve_stored(s, precision), "row store, seed " + std::to_string(seed));
        solved++;
    }
    EXPECT_EQ(solved, 400);
}

// A helper that runs its task at once (before the sweep's first half) or
// only when waited for (after it): either way the sweep must keep one
// thread's values, sweeps and divergence, so the sums ahead read nothing
// the first half changes and are kept only where they are exact.
struct InlineHelper {
    bool late;
    void (*task)(void *);
    void *arg;
    int tasks;
};

void inline_start(void (*task)(void *), void *arg, void *context) {
    InlineHelper *h = (InlineHelper *)context;
    h->tasks++;
    if (h->late) {
        h->task = task;
        h->arg = arg;
    } else {
        task(arg);
    }
}

void inline_finish(void *context) {
    InlineHelper *h = (InlineHelper *)context;
    if (h->late) h->task(h->arg);
}

TEST(FastSolver, LargePolygonsSplitWithAHelperKeepOneThreadsValues) {
    int split = 0, diverged = 0;
    for (uint32_t seed = 1; seed <= 60; seed++) {
        RandomSystem s = random_system(seed, seed % 5 == 0 ? 3.0 : 0.95, true);
        size_t bytes = s.ff.size() * sizeof(float);
        Solution alone = solve_fast(s, 1e-5, bytes, ROWS_APART);
        diverged += alone.diverged >= 0;
        for (bool late : {false, true}) {
            InlineHelper inline_helper = {late, nullptr, nullptr, 0};
            SweepHelper helper = {inline_start, inline_finish, &inline_helper};
            Solution helped = solve_fast(s, 1e-5, bytes, ROWS_APART, &helper);
            std::string what = "seed " + std::to_string(seed) + (late ? ", late" : ", early");
            EXPECT_EQ(helped.diverged, alone.diverged) << what;
            for (int c = 0; c < 3; c++) EXPECT_EQ(helped.sweeps[c], alone.sweeps[c]) << what << " channel " << c;
            EXPECT_EQ(memcmp(helped.radiosity.data(), alone.radiosity.data(), alone.radiosity.size() * sizeof(float)), 0)
                << what;
            split += inline_helper.tasks > 0;
        }
        if (seed % 10 == 0 && alone.diverged < 0)
            expect_same(solve_reference(s, 1e-5, bytes), alone, "against the reference, seed " + std::to_string(seed));
    }
    EXPECT_GT(split, 30) << "polygons were split";
    EXPECT_GT(diverged, 0) << "diverging systems were met";
}

// FF.BIN cut short, mid-row and mid-float: the rows past the end keep the
// last row read, as the reference's scratch row does.
TEST(FastSolver, ShortFormFactorFileMatchesTheReference) {
    for (uint32_t seed = 1; seed <= 40; seed++) {
        RandomSystem s = random_system(seed, 0.9);
        size_t full = s.ff.size() * sizeof(float);
        size_t bytes = (size_t)(seed * 7919u) % full; // mostly mid-row, often mid-float
        Solution reference = solve_reference(s, 1e-5, bytes);
        std::string what = "seed " + std::to_string(seed) + ", " + std::to_string(bytes) + " of " + std::to_string(full);
        expect_same(reference, solve_fast(s, 1e-5, bytes, seed % 2 ? ROWS_APART : ONE_BLOCK), what);
        expect_same(reference, solve_fast(s, 1e-5, bytes, DENSE), "dense, " + what);
    }
}

// Reflectances up to 3: channels diverge; the reference ends with code 18
// naming the first channel that diverges after the ones before it
// converged, and the dense sweep leaves the same values, bit for bit. Every
// fourth system also holds a full first row with a not-a-number first entry,
// with the bits the run's reader uses to mark a compact row: every channel
// diverges in its first sweep, so red is named.
TEST(FastSolver, FirstDivergingChannelIsTheOneTheReferenceReports) {
    const char *names[3] = {"red", "green", "blue"};
    int checked = 0, not_a_number = 0;
    for (uint32_t seed = 1; seed <= 400 && checked < 24; seed++) {
        RandomSystem s = random_system(seed, 3.0);
        bool marked = seed % 4 == 0;
        if (marked) {
            for (int32_t k = 0; k < s.n; k++) s.ff[(size_t)k] = 0.001f;
            const uint32_t mark = 0xFFFFFFFFu;
            memcpy(&s.ff[0], &mark, sizeof mark);
        }
        size_t bytes = s.ff.size() * sizeof(float);
        Solution fast = solve_fast(s, 1e-5, bytes, seed % 3 ? ROWS_APART : ONE_BLOCK);
        if (marked) {
            EXPECT_EQ(fast.diverged, 0) << "seed " << seed;
            EXPECT_EQ(fast.sweeps[0], 1) << "seed " << seed;
            not_a_number++;
        }
        if (fast.diverged == -1) continue;
        Solution dense = solve_fast(s, 1e-5, bytes, DENSE);
        EXPECT_EQ(dense.diverged, fast.diverged) << "seed " << seed;
        for (int c = 0; c < 3; c++) EXPECT_EQ(dense.sweeps[c], fast.sweeps[c]) << "seed " << seed;
        if (!marked) // the mark's NaN is stored as another NaN
            EXPECT_EQ(memcmp(dense.radiosity.data(), fast.radiosity.data(), dense.radiosity.size() * sizeof(float)), 0)
                << "seed " << seed;
        std::string message = std::string("^\aERROR : Radiosity solution diverges in channel ") + names[fast.diverged] + "\n$";
        EXPECT_EXIT(solve_reference(s, 1e-5, bytes), ::testing::ExitedWithCode(18), message) << "seed " << seed;
        checked++;
    }
    EXPECT_EQ(checked, 24);
    EXPECT_GE(not_a_number, 4);
}

// A negative form factor whose term rounds to -0 (-1e-30 times patch 22's
// 1e-30), then only zero entries: the reference's next +0 term turns the sum
// into +0, so a row holding a negative entry must be summed term by term.
// Rows 0-3 are quiet near their own columns (side by side if taken for
// clean), stored compactly at 64 patches and as read at 32.
TEST(FastSolver, NegativeEntryThatRoundsToMinusZeroIsSummedTermByTerm) {
    for (int32_t n : {32, 64}) {
        RandomSystem s;
        for (int32_t patches : {22, 1, n - 23}) {
            Polygon p;
            memset(&p, 0, sizeof p);
            p.patches_u = 1;
            p.patches_v = patches;
            for (int c = 0; c < 3; c++) {
                p.reflectance[c] = 1.0f;
                p.emission[c] = patches == 1 ? 1e-30f : 0.0f;
            }
            s.polys.push_back(p);
        }
        s.n = n;
        s.ff.assign((size_t)n * (size_t)n, 0.0f);
        for (size_t j = 0; j < 4; j++) {
            for (size_t k = j + 4; k < 22; k++) s.ff[j * (size_t)n + k] = 0.05f;
            s.ff[j * (size_t)n + 22] = -1e-30f;
        }
        Solution reference = solve_reference(s, 0.5, s.ff.size() * sizeof(float));
        ASSERT_EQ(reference.sweeps[0], 2);
        ASSERT_EQ(reference.radiosity[0], 0.0f);
        ASSERT_FALSE(std::signbit(reference.radiosity[0]));
        for (Matrix kind : {ROWS_APART, ONE_BLOCK})
            expect_same(reference, solve_fast(s, 0.5, s.ff.size() * sizeof(float), kind), "n " + std::to_string(n));
    }
}

TEST(FastSolver, ReadErrorEndsWithCode11) {
    RandomSystem s = random_system(3, 0.5);
    size_t n = (size_t)s.n;
    std::vector<float> row(n * n);
    std::vector<float *> matrix;
    for (size_t r = 0; r < n; r++) matrix.push_back(&row[r * n]);
    std::vector<float> emission(3 * n);
    FILE *directory = fopen("/", "rb"); // reads fail without reaching an end
    ASSERT_NE(directory, nullptr);
    EXPECT_EXIT(read_form_factor_matrix(matrix.data(), emission.data(), s.n, s.polys.data(), (int32_t)s.polys.size(),
                                        directory),
                ::testing::ExitedWithCode(11), "^\aERROR : Couldn't read form factor binary file : FF.BIN\n$");
    fclose(directory);
}

// --- a whole run ---------------------------------------------------------------------------

// The names go out as a channel-by-channel solution prints them, up to the
// one that diverges.
TEST(FastSolutionRun, DivergenceInBlueShowsAllThreeNames) {
    std::string dir = make_temp_dir("fast");
    write_run_files(dir, cube_room({1, 1, 1}, {0.5f, 0.5f, 1.5f}));
    ProgramResult r = run_program(halvora_batch_exe(), dir);
    EXPECT_EQ(r.exit_code, 18);
    EXPECT_EQ(r.err, "\aERROR : Radiosity solution diverges in channel blue\n");
    const std::string tail = "Radiosity solution   red\b\b\b\b\bgreen\b\b\b\b\b blue";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    remove_tree(dir);
}

} // namespace
