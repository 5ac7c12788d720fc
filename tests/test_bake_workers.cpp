// halvora-bake's form-factor workers against one worker's walk over the
// same scene: the same rows bit for bit, handed over in row order, for
// every number of workers; and the solver's sweep with the bake's helper
// thread against one thread. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "bake/workers.h"
#include "base/errors.h"
#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "solver/row_store.h"
#include "solver/solver.h"
#include "support/scene_builder.h"

namespace {

// Binary fractions and a decimal size single precision cannot hold.
const float PIXEL_SIZES[] = {0.5f, 0.375f, 0.25f, 0.2f};

// Every row of the scene by one worker walking the patches.
std::vector<float> walked_rows(std::vector<Polygon> &polys, float pixel_size) {
    int32_t count = (int32_t)polys.size();
    build_patch_grid(polys.data(), count);
    FormFactorScene scene;
    form_factor_scene_init(&scene, polys.data(), count, patch_grid, pixel_size);
    FormFactorWorker worker;
    form_factor_worker_init(&worker, &scene);
    std::vector<float> rows;
    each_patch_hemicube(&worker.hemicube, polys.data(), count, [&]() {
        form_factor_row(&worker, &scene);
        rows.insert(rows.end(), worker.row.values, worker.row.values + scene.patch_count);
        row_clear(&worker.row);
    });
    form_factor_worker_free(&worker);
    form_factor_scene_free(&scene);
    free_patch_grid(polys.data(), count);
    return rows;
}

// What a sink saw: the rows' bytes in the order taken, and whether every
// begin came just before the take of the same row, rows in order.
struct TakenRows {
    std::vector<float> values;
    int32_t patches = 0;
    int64_t begun = -1, taken = 0;
    bool in_order = true;
    int64_t refuse_at = -1; // refuses this row
};

void begin_row(int64_t row, void *context) {
    TakenRows *t = (TakenRows *)context;
    t->in_order = t->in_order && t->begun == t->taken - 1 && row == t->taken;
    t->begun = row;
}

bool take_row(const FormFactorRow *row, int64_t index, void *context) {
    TakenRows *t = (TakenRows *)context;
    t->in_order = t->in_order && t->begun == index && index == t->taken;
    if (index == t->refuse_at) return false;
    t->values.insert(t->values.end(), row->values, row->values + t->patches);
    t->taken++;
    return true;
}

TakenRows threaded_rows(std::vector<Polygon> &polys, float pixel_size, int32_t threads, int64_t refuse_at = -1) {
    int32_t count = (int32_t)polys.size();
    build_patch_grid(polys.data(), count);
    FormFactorScene scene;
    form_factor_scene_init(&scene, polys.data(), count, patch_grid, pixel_size);
    TakenRows taken;
    taken.patches = scene.patch_count;
    taken.refuse_at = refuse_at;
    FormFactorRowSink sink = {begin_row, take_row, &taken};
    FormFactorWork work;
    FormFactorWorker first;
    form_factor_worker_init(&first, &scene);
    bool whole = form_factor_rows_threaded(&scene, &first, threads, &sink, &work);
    form_factor_worker_free(&first);
    EXPECT_EQ(whole, refuse_at < 0);
    if (whole) EXPECT_EQ(work.runs.rows + work.runs.declined, scene.patch_count) << "counts summed over the workers";
    form_factor_scene_free(&scene);
    free_patch_grid(polys.data(), count);
    return taken;
}

} // namespace

// Seeded scenes, some with a floor of many patches whose blocks are relayed
// from worker to worker, at 1, 2, 3 and 8 workers: the rows of one worker,
// bit for bit, taken in row order. A sink that refuses a row stops them all
// there, whatever the rows still in flight (the sanitizers check they are
// released).
TEST(ThreadedFormFactors, EveryThreadCountGivesOneWorkersRowsInRowOrder) {
    for (uint32_t seed = 1; seed <= 24; seed++) {
        std::vector<Polygon> polys = random_scene(seed);
        if (seed % 3 == 0) {
            const float p0[3] = {0.25f, 0.25f, 0.125f}, e1[3] = {1.5f, 0, 0}, e3[3] = {0, 1.25f, 0};
            polys.push_back(rectangle_polygon(p0, e1, e3, 23, 19));
        }
        float pixel_size = PIXEL_SIZES[seed % 4];
        std::vector<float> one = walked_rows(polys, pixel_size);
        for (int32_t threads : {1, 2, 3, 8}) {
            TakenRows taken = threaded_rows(polys, pixel_size, threads);
            EXPECT_TRUE(taken.in_order) << "seed " << seed << ", " << threads << " threads";
            ASSERT_EQ(taken.values.size(), one.size()) << "seed " << seed << ", " << threads << " threads";
            EXPECT_EQ(memcmp(taken.values.data(), one.data(), one.size() * sizeof(float)), 0)
                << "seed " << seed << ", " << threads << " threads";
        }
    }
    // A hemicube of 30,000 cells: each relay replayed in several slices, by
    // its maker and by the workers waiting for it.
    std::vector<Polygon> floor = random_scene(3);
    const float p0[3] = {0.25f, 0.25f, 0.125f}, e1[3] = {1.5f, 0, 0}, e3[3] = {0, 1.25f, 0};
    floor.push_back(rectangle_polygon(p0, e1, e3, 12, 10));
    std::vector<float> one = walked_rows(floor, 0.02f);
    for (int32_t threads : {2, 3, 8}) {
        TakenRows taken = threaded_rows(floor, 0.02f, threads);
        EXPECT_TRUE(taken.in_order) << threads << " threads, fine hemicube";
        ASSERT_EQ(taken.values.size(), one.size());
        EXPECT_EQ(memcmp(taken.values.data(), one.data(), one.size() * sizeof(float)), 0)
            << threads << " threads, fine hemicube";
    }
    std::vector<Polygon> polys = random_scene(5);
    for (int32_t threads : {2, 8}) {
        TakenRows taken = threaded_rows(polys, 0.25f, threads, 7);
        EXPECT_EQ(taken.taken, 7) << "no row after the refused one";
        EXPECT_TRUE(taken.in_order);
    }
}


// The solver's second thread: a system whose two large polygons see each
// other (and one small one), solved through the row store on one thread and
// with halvora-bake's helper thread, gives the same values and sweeps.
TEST(ThreadedSweep, HelperThreadKeepsOneThreadsSolution) {
    std::vector<Polygon> polys(3);
    const int32_t sizes[3][2] = {{20, 16}, {4, 2}, {18, 20}};
    int32_t n = 0;
    for (int i = 0; i < 3; i++) {
        memset(&polys[(size_t)i], 0, sizeof(Polygon));
        polys[(size_t)i].patches_u = sizes[i][0];
        polys[(size_t)i].patches_v = sizes[i][1];
        for (int c = 0; c < 3; c++) {
            polys[(size_t)i].reflectance[c] = 0.3f + 0.2f * (float)c;
            polys[(size_t)i].emission[c] = i == 1 ? 5.0f + (float)c : 0.0f;
        }
        n += sizes[i][0] * sizes[i][1];
    }
    // Row r sees every seventh patch of the other polygons, a little each.
    std::vector<std::vector<RowEntry>> rows((size_t)n);
    uint32_t state = 12345;
    for (int32_t r = 0; r < n; r++) {
        int32_t own = r < 320 ? 0 : r < 328 ? 1 : 2, first = own == 0 ? 0 : own == 1 ? 320 : 328;
        int32_t end = first + sizes[own][0] * sizes[own][1];
        for (int32_t k = (r % 7); k < n; k += 7) {
            if (k >= first && k < end) continue;
            state = state * 1664525u + 1013904223u;
            rows[(size_t)r].push_back({(uint32_t)k, (float)(state >> 8) * 0x1p-24f * 0.01f});
        }
    }
    std::vector<float> values[2];
    int32_t sweeps[2][3];
    for (int threaded = 0; threaded < 2; threaded++) {
        row_store_begin(n, rows[0].size() + 1, polys.data(), 3);
        for (const auto &row : rows) ASSERT_TRUE(row_store_add(row.data(), row.size()));
        SweepHelper helper = {};
        if (threaded) sweep_helper_begin(&helper);
        int diverged = solve_radiosity_channels(radiosity_matrix, patch_radiosity, patch_emission, n, polys.data(), 3,
                                                1e-6, sweeps[threaded], nullptr, threaded ? &helper : nullptr);
        if (threaded) sweep_helper_end(&helper);
        EXPECT_EQ(diverged, -1);
        values[threaded].assign(patch_radiosity, patch_radiosity + 3 * (size_t)n);
        row_store_free();
        release(patch_emission);
        release(patch_radiosity);
    }
    for (int c = 0; c < 3; c++) EXPECT_EQ(sweeps[0][c], sweeps[1][c]);
    EXPECT_GT(sweeps[0][0], 2);
    EXPECT_EQ(memcmp(values[0].data(), values[1].data(), values[0].size() * sizeof(float)), 0);
}
