// Form factors: the hemicube's cells and delta form factors, its placement,
// the nearest-hit rules of the cell rays, and whole rows checked against the
// known values of a closed cube room.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "formfactor/raycast.h"
#include "formfactor/worksplit.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "support/program.h"
#include "support/scenes.h"

namespace {

// The one hemicube these tests place and move, and the layout it shares; the
// wrappers keep the tests in the terms of a single hemicube.
HemicubeLayout layout;
Hemicube hemicube;
void hemicube_init(float pixel_size) {
    hemicube_layout_init(&layout, pixel_size);
    ::hemicube_init(&hemicube, &layout);
}
void hemicube_free() {
    ::hemicube_free(&hemicube);
    hemicube_layout_free(&layout);
}
void hemicube_place(const Polygon *polys, int32_t i) { ::hemicube_place(&hemicube, polys, i); }
void hemicube_move(const Vec3 *centre) { ::hemicube_move(&hemicube, centre); }
void hemicube_settle() { ::hemicube_settle(&hemicube); }
Vec3 hemicube_cell(int32_t k) { return ::hemicube_cell(&hemicube, k); }

double delta_sum() {
    double sum = 0;
    for (int32_t k = 0; k < hemicube.hemicube_cell_count; k++) sum += (double)hemicube.hemicube_delta_form_factors[k];
    return sum;
}

struct HemicubeCase {
    float size;
    int32_t resolution, cells;
    double sum;
};

class HemicubeInit : public ::testing::TestWithParam<HemicubeCase> {
  protected:
    void TearDown() override { hemicube_free(); }
};

TEST_P(HemicubeInit, ResolutionCellsAndSum) {
    const HemicubeCase &c = GetParam();
    hemicube_init(c.size);
    EXPECT_EQ(hemicube.hemicube_resolution, c.resolution);
    EXPECT_EQ(hemicube.hemicube_cell_count, c.cells);
    if (c.sum >= 0) EXPECT_NEAR(delta_sum(), c.sum, 5e-7);
}

// A sum of -1 is not checked.
INSTANTIATE_TEST_SUITE_P(Sizes, HemicubeInit,
                         ::testing::Values(HemicubeCase{0.25f, 8, 192, 1.008569},
                                           HemicubeCase{0.1f, 19, 1045, 0.955484}, // 0.1f is just above 0.1
                                           HemicubeCase{0.2f, 9, 225, -1}, HemicubeCase{0.05f, 39, 4485, -1},
                                           HemicubeCase{0.5f, 4, 48, -1}, HemicubeCase{2.5f, 0, 0, 0.0}));

TEST(Hemicube, SingleCellForSizeTwo) {
    hemicube_init(2.0f);
    EXPECT_EQ(hemicube.hemicube_resolution, 1);
    EXPECT_EQ(hemicube.hemicube_cell_count, 1);
    EXPECT_NEAR(hemicube.hemicube_delta_form_factors[0], 4.0 / M_PI, 1e-6);
    hemicube_free();
}

TEST(Hemicube, SizeOneValues) {
    hemicube_init(1.0f);
    ASSERT_EQ(hemicube.hemicube_cell_count, 12);
    for (int k = 0; k < 4; k++) EXPECT_NEAR(hemicube.hemicube_delta_form_factors[k], 1 / (2.25 * M_PI), 1e-7);
    for (int k = 4; k < 12; k++) EXPECT_NEAR(hemicube.hemicube_delta_form_factors[k], 0.5 / (2.25 * M_PI), 1e-7);
    hemicube_free();
}

TEST(Hemicube, CornerCellAndEqualSideFaces) {
    hemicube_init(0.25f);
    EXPECT_NEAR(hemicube.hemicube_delta_form_factors[0], 0.0031050, 5e-8);
    const float *side = hemicube.hemicube_delta_form_factors + 64;
    for (int face = 1; face < 4; face++)
        EXPECT_EQ(memcmp(side, side + face * 32, 32 * sizeof(float)), 0) << "face " << face;
    hemicube_free();
}

TEST(Hemicube, FreeTwiceIsHarmless) {
    hemicube_init(0.5f);
    hemicube_free();
    hemicube_free();
    EXPECT_EQ(hemicube.hemicube_cells, nullptr);
}

// --- placement ----------------------------------------------------------------

void expect_point(const Vec3 &p, float x, float y, float z, const std::string &what) {
    EXPECT_EQ(p.x, x) << what;
    EXPECT_EQ(p.y, y) << what;
    EXPECT_EQ(p.z, z) << what;
}

TEST(HemicubePlacement, WorkedExample) {
    Polygon poly = make_polygon({0, 0, 0, 4, 0, 0, 4, 2, 0, 0, 2, 0}, 2, 1);
    hemicube_init(1.0f);
    hemicube_place(&poly, 0);
    expect_point(hemicube.hemicube_centre, 2, 1, 0, "centre");
    const float base[4][3] = {{1, 0, 0}, {3, 0, 0}, {3, 2, 0}, {1, 2, 0}};
    for (int k = 0; k < 4; k++) {
        expect_point(hemicube.hemicube_base_corners[k], base[k][0], base[k][1], base[k][2], "B" + std::to_string(k));
        expect_point(hemicube.hemicube_top_corners[k], base[k][0], base[k][1], 1, "T" + std::to_string(k));
    }
    const float cells[12][3] = {{1.5f, 0.5f, 1}, {2.5f, 0.5f, 1}, {1.5f, 1.5f, 1}, {2.5f, 1.5f, 1},
                                {3, 0.5f, 0.5f}, {3, 1.5f, 0.5f}, {1, 1.5f, 0.5f}, {1, 0.5f, 0.5f},
                                {1.5f, 0, 0.5f}, {2.5f, 0, 0.5f}, {2.5f, 2, 0.5f}, {1.5f, 2, 0.5f}};
    for (int k = 0; k < 12; k++)
        expect_point(hemicube.hemicube_cells[k], cells[k][0], cells[k][1], cells[k][2], "cell " + std::to_string(k));

    Vec3 first = {1, 1, 0};
    hemicube_move(&first);
    expect_point(hemicube_cell(0), 0.5f, 0.5f, 1, "moved cell 0");
    hemicube_settle();
    expect_point(hemicube.hemicube_cells[0], 0.5f, 0.5f, 1, "settled cell 0");
    expect_point(hemicube.hemicube_top_corners[2], 2, 2, 1, "moved T2");
    for (int k = 0; k < 12; k++) EXPECT_EQ(hemicube.hemicube_item_buffer[k], -1);
    hemicube_free();
}

// The moves of the fast paths' record: a replayed cell and a settled one get
// vec3_sum's bytes (settled four at a time in SSE and the last few one by
// one, at any count of pending moves), the item buffer is -1 after every
// move, and the drift (measured or carried forward) bounds how far every ray
// has strayed from its placement ray, while the layout deviation bounds the
// placement rays' distance from the faces' nominal map.
TEST(HemicubePlacement, MovesMatchVec3SumAndTheDriftBoundsEveryRay) {
    Polygon poly = make_polygon({0.1f, 0.3f, 0.7f, 6.1f, 0.3f, 0.7f, 6.1f, 5.3f, 0.7f, 0.1f, 5.3f, 0.7f}, 24, 20);
    build_patch_grid(&poly, 1);
    // 0.375: five cells a side, 65 in all, so settling ends with a cell outside the groups of four
    for (float pixel_size : {0.05f, 0.375f}) {
        hemicube_init(pixel_size);
        hemicube_place(&poly, 0);
        int32_t cells = hemicube.hemicube_cell_count;
        if (pixel_size == 0.375f) ASSERT_EQ(cells % 4, 1);
        std::vector<Vec3> expected(hemicube.hemicube_cells, hemicube.hemicube_cells + cells);
        for (int f = 0; f < 5; f++) {
            const HemicubeFace &face = hemicube.hemicube_faces[f];
            for (int32_t i = 0; i < face.lines; i++)
                for (int32_t j = 0; j < face.length; j++) {
                    const Vec3 &ray = hemicube.hemicube_placement_rays[face.first_cell + i * face.length + j];
                    const float *r = &ray.x;
                    for (int c = 0; c < 3; c++)
                        ASSERT_LE(fabs((double)r[c] - (face.origin[c] + i * face.step_i[c] + j * face.step_j[c])),
                                  hemicube.hemicube_layout_deviation);
                }
        }
        ASSERT_LT(hemicube.hemicube_layout_deviation, 1e-6);
        for (int32_t j = 0; j < 24; j++)
            for (int32_t k = 0; k < 20; k++) {
                hemicube.hemicube_item_buffer[(j * 7 + k) % cells] = 5; // as a row would leave it
                hemicube.hemicube_items_clear = false;
                Vec3 centre;
                patch_center(&poly, 0, j, k, &centre);
                Vec3 offset;
                vec3_difference(&hemicube.hemicube_centre, &centre, &offset);
                for (Vec3 &cell : expected) vec3_sum(&cell, &offset, &cell);
                hemicube_move(&centre);
                if ((j * 20 + k) % 7 == 3) {
                    hemicube_settle();
                    ASSERT_EQ(memcmp(expected.data(), hemicube.hemicube_cells, expected.size() * sizeof(Vec3)), 0) << j << "," << k;
                }
                double largest = 0;
                for (int32_t c = 0; c < cells; c++) {
                    ASSERT_EQ(hemicube.hemicube_item_buffer[c], -1);
                    Vec3 cell = hemicube_cell(c), ray;
                    ASSERT_EQ(memcmp(&expected[(size_t)c], &cell, sizeof cell), 0) << j << "," << k << " cell " << c;
                    vec3_difference(&hemicube.hemicube_centre, &cell, &ray);
                    const Vec3 &ray0 = hemicube.hemicube_placement_rays[c];
                    largest = std::max({largest, fabs((double)ray.x - ray0.x), fabs((double)ray.y - ray0.y),
                                        fabs((double)ray.z - ray0.z)});
                }
                ASSERT_LE(largest, (double)hemicube.hemicube_drift) << j << "," << k;
            }
        EXPECT_GT(hemicube.hemicube_drift, 0.0f) << "480 moves round somewhere";
        EXPECT_LT(hemicube.hemicube_drift, 1e-4f) << "and the bound stays useful";
        hemicube_free();
    }
    free_patch_grid(&poly, 1);
}

// The blocks of a split come in row order and cover every row once, never
// cross a polygon's end, relay no more moves than the replay records hold,
// and hand the hemicube on exactly where a polygon goes on. A worker that
// starts a block by taking the relay of the block before it then stands
// where one worker walking the whole polygon stands: its cells, centre and
// corners equal bit for bit, and the relay's drift still bounds its rays.
TEST(HemicubePlacement, RelayedBlocksOfASplitStandWhereOneWalkStands) {
    std::vector<Polygon> polys = {make_polygon({0, 0, 0, 3, 0, 0, 3, 2, 0, 0, 2, 0}, 1, 1),
                                  make_polygon({0.1f, 0.3f, 0.7f, 6.1f, 0.3f, 0.7f, 6.1f, 5.3f, 0.7f, 0.1f, 5.3f, 0.7f}, 17, 13),
                                  make_polygon({0, 0, 2, 0, 2, 2, 2, 2, 2, 2, 0, 2}, 3, 5)};
    int32_t count = (int32_t)polys.size();
    build_patch_grid(polys.data(), count);
    hemicube_init(0.375f);
    Hemicube walker = {}, relay = {};
    ::hemicube_init(&walker, &layout);
    relay.hemicube_cells = hemicube_relay_cells(&layout);
    for (int32_t workers : {1, 2, 3, 8}) {
        RowSplit split;
        row_split_start(&split, polys.data(), count, workers);
        RowBlock block;
        int64_t next_row = 0;
        int relays = 0;
        bool relay_waiting = false;
        while (row_split_next(&split, &block)) {
            ASSERT_EQ(block.first_row, next_row);
            ASSERT_LT(block.first, block.end);
            int32_t patches = polys[(size_t)block.polygon].patches_u * polys[(size_t)block.polygon].patches_v;
            ASSERT_LE(block.end, patches);
            ASSERT_EQ(block.relayed_in, block.first > 0);
            ASSERT_EQ(block.relays_out, block.end < patches);
            ASSERT_EQ(block.relayed_in, relay_waiting);
            // the replay records are sized for this before the workers start
            if (block.relays_out) ASSERT_LE(block.end - block.first, row_split_largest_relayed(&split));
            next_row += block.end - block.first;
            // This block's worker: a fresh placement, or the relay.
            ::hemicube_place(&hemicube, polys.data(), block.polygon);
            if (block.relayed_in) {
                hemicube_take_relay(&hemicube, &relay);
                relays++;
                // the walker stands (settled) where the relay was made for
                ASSERT_EQ(memcmp(&hemicube.hemicube_drift, &walker.hemicube_drift, sizeof(float)), 0);
                ASSERT_EQ(hemicube.hemicube_moves, walker.hemicube_moves);
            }
            const Polygon &p = polys[(size_t)block.polygon];
            auto centre_of = [&](int32_t patch) {
                Vec3 centre;
                patch_center(polys.data(), block.polygon, patch / p.patches_v, patch % p.patches_v, &centre);
                return centre;
            };
            if (block.relays_out) {
                // its cells replayed in slices of every size, the last one short, in any order
                hemicube_relay_from(&relay, &hemicube);
                std::vector<Vec3> centres, offsets((size_t)(block.end - block.first));
                for (int32_t patch = block.first; patch < block.end; patch++) centres.push_back(centre_of(patch));
                hemicube_relay_moves(&relay, centres.data(), (int32_t)centres.size(), offsets.data());
                int32_t cells = relay.hemicube_cell_count, slice = 1 + (relays * 7 + block.polygon) % 40;
                SettleScan scan = {0.0f, false};
                for (int32_t from = ((cells - 1) / slice) * slice; from >= 0; from -= slice) {
                    SettleScan part = {0.0f, false};
                    hemicube_relay_replay(&relay, offsets.data(), (int32_t)offsets.size(), from,
                                          std::min(cells, from + slice), &part);
                    settle_scan_join(&scan, part);
                }
                hemicube_relay_finish(&relay, &scan);
            }
            relay_waiting = block.relays_out;
            // The one walker over the same patches.
            if (block.first == 0) ::hemicube_place(&walker, polys.data(), block.polygon);
            for (int32_t patch = block.first; patch < block.end; patch++) {
                Vec3 centre = centre_of(patch);
                hemicube_move(&centre);
                ::hemicube_move(&walker, &centre);
                hemicube_settle();
                ::hemicube_settle(&walker);
                ASSERT_EQ(memcmp(hemicube.hemicube_cells, walker.hemicube_cells,
                                 (size_t)walker.hemicube_cell_count * sizeof(Vec3)), 0)
                    << workers << " workers, polygon " << block.polygon << " patch " << patch;
                ASSERT_EQ(memcmp(&hemicube.hemicube_centre, &walker.hemicube_centre, sizeof(Vec3)), 0);
                ASSERT_EQ(memcmp(hemicube.hemicube_top_corners, walker.hemicube_top_corners, sizeof walker.hemicube_top_corners), 0);
                for (int32_t c = 0; c < walker.hemicube_cell_count; c++) {
                    Vec3 ray;
                    vec3_difference(&hemicube.hemicube_centre, &hemicube.hemicube_cells[c], &ray);
                    const Vec3 &ray0 = hemicube.hemicube_placement_rays[c];
                    ASSERT_LE(std::max({fabs((double)ray.x - ray0.x), fabs((double)ray.y - ray0.y),
                                        fabs((double)ray.z - ray0.z)}),
                              (double)hemicube.hemicube_drift);
                }
            }
        }
        EXPECT_EQ(next_row, count_patches(polys.data(), count)) << workers;
        if (workers == 1) EXPECT_EQ(relays, 0);
        else EXPECT_GT(relays, workers) << "the large polygon is split";
    }
    ::hemicube_free(&walker);
    free(relay.hemicube_cells);
    hemicube_free();
    free_patch_grid(polys.data(), count);
}

// A run's sum in single precision is the per-cell double sum rounded at
// every addition.
TEST(FormFactorRows, RunSumsRoundAsDoubleSumsDo) {
    hemicube_init(0.0625f);
    uint32_t state = 12345;
    for (int32_t k = 0; k < hemicube.hemicube_cell_count; k++) {
        state = state * 1664525u + 1013904223u;
        layout.hemicube_delta_form_factors[k] = (float)((state >> 8) % 1000003) * 1e-9f * (float)(1 + k % 7);
    }
    float row[2] = {0.3f, 0.0f};
    int32_t touched[2] = {0, 0};
    FormFactorRow out = {row, touched, 0};
    float expected = row[0];
    for (int32_t k = 5; k < hemicube.hemicube_cell_count; k++)
        expected = (float)((double)expected + (double)hemicube.hemicube_delta_form_factors[k]);
    add_cell_run(&out, hemicube.hemicube_delta_form_factors, 0, 5, hemicube.hemicube_cell_count);
    EXPECT_EQ(memcmp(&row[0], &expected, sizeof(float)), 0);
    EXPECT_EQ(row[1], 0.0f);
    hemicube_free();
}

TEST(HemicubePlacement, BackFacingPolygonGetsItsHemicubeBelow) {
    Polygon poly = make_polygon({0, 0, 0, 0, 2, 0, 2, 2, 0, 2, 0, 0}, 1, 1);
    ASSERT_EQ(poly.normal.z, -1.0f);
    hemicube_init(1.0f);
    hemicube_place(&poly, 0);
    for (int k = 0; k < hemicube.hemicube_cell_count; k++) EXPECT_LT(hemicube.hemicube_cells[k].z, 0.0f);
    hemicube_free();
}

// --- ray casting ----------------------------------------------------------------

// A scene set up in-process: polygons, their patch grid, and the hemicube on
// one of them.
struct RayScene : ::testing::Test {
    std::vector<Polygon> polys;
    std::vector<PolygonHit> hits;
    FormFactorScene scene = {};

    void build(float pixel_size, int32_t on_polygon) {
        build_patch_grid(polys.data(), (int32_t)polys.size());
        patch_count = count_patches(polys.data(), (int32_t)polys.size());
        hits.assign(polys.size(), PolygonHit{});
        form_factor_scene_init(&scene, polys.data(), (int32_t)polys.size(), patch_grid, pixel_size);
        hemicube_init(pixel_size);
        hemicube_place(polys.data(), on_polygon);
    }
    // The reference's three operations on this scene and its one hemicube.
    void cast_cell_ray(int32_t cell, PolygonHit *table, const Polygon *, int32_t) {
        ::cast_cell_ray(&hemicube, cell, table, &scene);
    }
    int32_t nearest_polygon_hit(const PolygonHit *table, const Polygon *, int32_t) {
        return ::nearest_polygon_hit(&hemicube, table, &scene);
    }
    int32_t patch_at_hit(int32_t q, const PolygonHit *table, const Polygon *) { return ::patch_at_hit(q, table, &scene); }
    int32_t resolve(int32_t cell) {
        cast_cell_ray(cell, hits.data(), polys.data(), (int32_t)polys.size());
        int32_t q = nearest_polygon_hit(hits.data(), polys.data(), (int32_t)polys.size());
        return q == -1 ? -2 : patch_at_hit(q, hits.data(), polys.data());
    }
    void TearDown() override {
        hemicube_free();
        form_factor_scene_free(&scene);
        free_patch_grid(polys.data(), (int32_t)polys.size());
    }
};

// Floor at z = 0 with its hemicube; s = 2 gives one cell straight up.
const std::initializer_list<float> FLOOR = {0, 0, 0, 2, 0, 0, 2, 2, 0, 0, 2, 0};

TEST_F(RayScene, EqualDistancesPickTheLowerIndex) {
    Polygon ceiling_a = make_polygon({0, 0, 2, 0, 2, 2, 2, 2, 2, 2, 0, 2}, 1, 1);
    polys = {make_polygon(FLOOR, 1, 1), ceiling_a, ceiling_a};
    build(2.0f, 0);
    EXPECT_EQ(resolve(0), 1);
    // and the same with the floor last
    TearDown();
    polys = {ceiling_a, ceiling_a, make_polygon(FLOOR, 1, 1)};
    build(2.0f, 2);
    EXPECT_EQ(resolve(0), 0);
}

TEST_F(RayScene, SameNormalAsTheOwnPolygonHidesEverything) {
    // A box top at z = 1 facing up, like the floor, above a ceiling facing down.
    polys = {make_polygon(FLOOR, 1, 1), make_polygon({0.5f, 0.5f, 1, 1.5f, 0.5f, 1, 1.5f, 1.5f, 1, 0.5f, 1.5f, 1}, 1, 1),
             make_polygon({0, 0, 2, 0, 2, 2, 2, 2, 2, 2, 0, 2}, 1, 1)};
    build(2.0f, 0);
    EXPECT_EQ(resolve(0), -2) << "the box top is nearest and faces like the floor";
}

TEST_F(RayScene, OppositeNormalIsHit) {
    polys = {make_polygon(FLOOR, 1, 1), make_polygon({0, 0, 2, 0, 2, 2, 2, 2, 2, 2, 0, 2}, 2, 2)};
    build(1.0f, 0);
    // top cell (1.5, 1.5, 1) from the centre (1, 1, 0) meets z = 2 at (2, 2): a corner
    EXPECT_EQ(resolve(3), -1);
    // cell 0 (0.5, 0.5, 1) meets z = 2 at (0, 0): the ceiling's p0 corner, on its edge
    EXPECT_EQ(resolve(0), -1);
}

TEST_F(RayScene, HitInsideAPatchFindsItsIndex) {
    // A ceiling over [-2, 4] x [-2, 4] facing down, u along y, v along x, 3 x 3 patches of 2.
    polys = {make_polygon(FLOOR, 1, 1), make_polygon({-2, -2, 4, -2, 4, 4, 4, 4, 4, 4, -2, 4}, 3, 3)};
    build(1.0f, 0);
    // From the centre (1, 1, 0): cell 0 (0.5, 0.5, 1) meets z = 4 at (-1, -1): u = 1, v = 1
    EXPECT_EQ(resolve(0), 1 + 0);
    // cell 1 (1.5, 0.5, 1) meets (3, -1): u = 1, v = 5: row 0, column 2
    EXPECT_EQ(resolve(1), 1 + 2);
    // cell 3 (1.5, 1.5, 1) meets (3, 3): row 2, column 2
    EXPECT_EQ(resolve(3), 1 + 2 * 3 + 2);
    // side cell 4 (2, 0.5, 0.5) runs along (1, -0.5, 0.5) and meets z = 4 at (9, -3): outside
    EXPECT_EQ(resolve(4), -2);
}

TEST_F(RayScene, HitOffCentreOfAPatch) {
    polys = {make_polygon(FLOOR, 1, 1), make_polygon({-1, -1, 2, -1, 3, 2, 3, 3, 2, 3, -1, 2}, 4, 4)};
    build(1.0f, 0);
    // the ceiling spans x, y in [-1, 3]; its normal (cross of (0,4,0) and (4,0,0)) points down.
    // cell 3 (1.5, 1.5, 1) hits z = 2 at (2, 2): u = 3 (y, towards p1), v = 3 (x): a grid point
    EXPECT_EQ(resolve(3), -1);
    // side cell 5 (3, 1.5, 0.5): direction (2, 0.5, 0.5), z = 2 at t = 4: (9, 3) outside
    EXPECT_EQ(resolve(5), -2);
    // cell 1 (1.5, 0.5, 1): direction (0.5, -0.5, 1), z = 2 at t = 2: (2, 0) -> u = 1 (row boundary)
    EXPECT_EQ(resolve(1), -1);
}

TEST_F(RayScene, CoplanarPolygonsNeverSeeEachOther) {
    // Two halves of one floor, and a wall on the far side of the second.
    polys = {make_polygon({0, 0, 0, 1, 0, 0, 1, 2, 0, 0, 2, 0}, 1, 1), make_polygon({1, 0, 0, 3, 0, 0, 3, 2, 0, 1, 2, 0}, 1, 1)};
    build(0.25f, 0);
    for (int32_t k = 0; k < hemicube.hemicube_cell_count; k++) {
        cast_cell_ray(k, hits.data(), polys.data(), 2);
        EXPECT_EQ(hits[1].hit, 0) << "cell " << k;
    }
}

TEST_F(RayScene, ParallelRaysMissAndBoundingBoxCornersHide) {
    // A diamond (a square turned 45 degrees about z) at z = 1.5 facing down, whose
    // bounding box covers [0, 2] x [0, 2], under a ceiling.
    polys = {make_polygon(FLOOR, 1, 1), make_polygon({1, 0, 1.5f, 0, 1, 1.5f, 1, 2, 1.5f, 2, 1, 1.5f}, 1, 1),
             make_polygon({0, 0, 2, 0, 2, 2, 2, 2, 2, 2, 0, 2}, 2, 2)};
    ASSERT_LT(polys[1].normal.z, 0.0f);
    build(0.5f, 0);
    // top cell 5 (0.75, 0.75, 1) meets z = 1.5 at (0.625, 0.625), inside the diamond
    cast_cell_ray(5, hits.data(), polys.data(), 3);
    EXPECT_EQ(hits[1].hit, 1);
    EXPECT_EQ(nearest_polygon_hit(hits.data(), polys.data(), 3), 1);
    // top cell 1 (0.75, 0.25, 1) meets z = 1.5 at (0.625, -0.125), outside the box
    cast_cell_ray(1, hits.data(), polys.data(), 3);
    EXPECT_EQ(hits[1].hit, 0);

    // A ray to (0.3, 0.3, 1.5): in the box, outside the diamond; it goes on to the ceiling.
    hemicube.hemicube_cells[0] = {0.65f, 0.65f, 0.75f};
    cast_cell_ray(0, hits.data(), polys.data(), 3);
    ASSERT_EQ(hits[1].hit, 1);
    ASSERT_EQ(hits[2].hit, 1);
    EXPECT_EQ(nearest_polygon_hit(hits.data(), polys.data(), 3), 1) << "the box corner hides the ceiling";
    EXPECT_EQ(patch_at_hit(1, hits.data(), polys.data()), -1) << "but lies on no patch";

    // A ray parallel to the diamond's plane misses it.
    hemicube.hemicube_cells[0] = {2, 1, 0};
    cast_cell_ray(0, hits.data(), polys.data(), 3);
    EXPECT_EQ(hits[1].hit, 0);
}

// Distances that differ in double precision but round to the same single
// precision value are equal: the lower index keeps the cell.
TEST_F(RayScene, EqualRoundedDistancesKeepTheLowerIndex) {
    polys = {make_polygon({0, 0, 2, 0, 2, 2, 2, 2, 2, 2, 0, 2}, 1, 1), make_polygon({0, 0, 3, 0, 2, 3, 2, 2, 3, 2, 0, 3}, 1, 1),
             make_polygon(FLOOR, 1, 1)};
    build(2.0f, 2);
    hemicube.hemicube_centre = {0, 0, 0};
    std::vector<PolygonHit> fake(3, PolygonHit{});
    fake[0] = {1, {1.0f, 0, 0}};             // distance exactly 1
    fake[1] = {1, {0.99999994f, 3e-4f, 0}};  // a little less than 1 in double
    double d1 = vec3_distance(&hemicube.hemicube_centre, &fake[1].point);
    ASSERT_LT(d1, 1.0);
    ASSERT_EQ((float)d1, 1.0f);
    EXPECT_EQ(nearest_polygon_hit(fake.data(), polys.data(), 3), 0);
}

// --- whole rows, end to end ---------------------------------------------------------

struct RoomRun {
    ProgramResult result;
    std::vector<float> ff;
};

RoomRun run_room(const std::string &pixel_size, int floor_u = 1, int floor_v = 1,
                 const std::string &scene_override = "") {
    ScratchDir scratch("ff");
    const std::string &dir = scratch.path;
    IniSettings settings;
    settings.pixel_size = pixel_size;
    write_run_files(dir, scene_override.empty() ? cube_room({1, 1, 1}, {0.5f, 0.5f, 0.5f}, floor_u, floor_v) : scene_override,
                    settings);
    RoomRun run;
    run.result = run_program(halvora_batch_exe(), dir);
    run.ff = read_floats_file(dir + "/FF.BIN");
    return run;
}

std::string six(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.6f", value);
    return text;
}

// Each row of the cube room: 0 for its own face, `opposite` for the facing
// one, `adjacent` for the other four.
void expect_cube_rows(const std::vector<float> &ff, const char *opposite, const char *adjacent, const char *sum) {
    ASSERT_EQ(ff.size(), 36u);
    const int facing[6] = {1, 0, 3, 2, 5, 4};
    for (int r = 0; r < 6; r++) {
        double row_sum = 0;
        for (int c = 0; c < 6; c++) {
            float f = ff[(size_t)(6 * r + c)];
            row_sum += (double)f;
            if (c == r) EXPECT_EQ(f, 0.0f);
            else if (c == facing[r]) EXPECT_EQ(six(f), opposite) << r << "," << c;
            else EXPECT_EQ(six(f), adjacent) << r << "," << c;
        }
        EXPECT_EQ(six(row_sum), sum) << "row " << r;
    }
}

TEST(FormFactorRows, CubeRoomQuarterCells) {
    RoomRun run = run_room("0.25");
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    expect_cube_rows(run.ff, "0.242350", "0.182180", "0.971068");
}

TEST(FormFactorRows, CubeRoomHalfCells) {
    RoomRun run = run_room("0.5");
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    expect_cube_rows(run.ff, "0.251504", "0.178415", "0.965166");
}

TEST(FormFactorRows, CubeRoomWithSplitFloor) {
    RoomRun run = run_room("0.25", 2, 2);
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    ASSERT_EQ(run.ff.size(), 81u);
    for (int r = 0; r < 4; r++) {
        const float *row = &run.ff[(size_t)(9 * r)];
        for (int c = 0; c < 4; c++) EXPECT_EQ(row[c], 0.0f);
        EXPECT_EQ(six(row[4]), "0.209950");
        int near = 0, far = 0;
        for (int c = 5; c < 9; c++) {
            if (six(row[c]) == "0.288502") near++;
            if (six(row[c]) == "0.098508") far++;
        }
        EXPECT_EQ(near, 2) << "row " << r;
        EXPECT_EQ(far, 2) << "row " << r;
    }
}

// The placement's edge vectors T1 - T0, T3 - T0, E - S and B - S were once
// rounded to single precision before the cells were laid out. That moved the
// middle column of cells of the light's hemicube (n = 5) by an ulp, so its
// rays, which run along the split of the opposite wall, were lost on the
// boundary. Laid out from the corners in double, they fall above it.
TEST(FormFactorRows, PlacementEdgesKeptInDoubleKeepBoundaryRays) {
    std::string scene = "[(0 0 0),(0 2.41 0),(0 2.41 2.18),(0 0 2.18)],(0 0 0),(0.5 0.5 0.5),(1 2)\n"
                        "[(2.61 0 0),(2.61 0 2.18),(2.61 2.41 2.18),(2.61 2.41 0)],(1 1 1),(0.5 0.5 0.5),(1 1)\n";
    RoomRun run = run_room("0.4", 1, 1, scene);
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    ASSERT_EQ(run.ff.size(), 9u);
    EXPECT_EQ(six(run.ff[7]), "0.222936");  // light -> upper half of the wall
    EXPECT_EQ(six(run.ff[2]), "0.222936");  // each half -> light, as before
    EXPECT_EQ(six(run.ff[5]), "0.222936");
    EXPECT_EQ(six(run.ff[6]), "0.096308");  // light -> lower half: the middle column is not its
}

TEST(FormFactorRows, SinglePolygonAndEmptyHemicubeGiveZeroRows) {
    RoomRun single = run_room("0.25", 1, 1, "[(0 0 0),(2 0 0),(2 2 0),(0 2 0)],(1 1 1),(0.5 0.5 0.5),(2 3)\n");
    ASSERT_EQ(single.result.exit_code, 0) << single.result.err;
    ASSERT_EQ(single.ff.size(), 36u);
    for (float f : single.ff) EXPECT_EQ(f, 0.0f);

    RoomRun empty = run_room("2.5");
    ASSERT_EQ(empty.result.exit_code, 0) << empty.result.err;
    ASSERT_EQ(empty.ff.size(), 36u);
    for (float f : empty.ff) EXPECT_EQ(f, 0.0f);
}

TEST(FormFactorRows, CounterCountsEveryRowInSevenDigits) {
    RoomRun run = run_room("0.5", 2, 2);
    std::string expected = "Hemicube initialized, calculating form factors ";
    for (int r = 1; r <= 9; r++) expected += "000000" + std::to_string(r) + "\b\b\b\b\b\b\b";
    expected += "done.  \n";
    EXPECT_NE(run.result.out.find(expected), std::string::npos) << run.result.out;
}

TEST(FormFactorRows, ImpossibleResolutionIsAnAllocationFailure) {
    ScratchDir scratch("ff");
    const std::string &dir = scratch.path;
    IniSettings settings;
    settings.pixel_size = "1e-30";
    write_run_files(dir, cube_room(), settings);
    ProgramResult r = run_program(halvora_batch_exe(), dir);
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_EQ(r.err, "\aERROR : Out of memory!\n");
}

} // namespace
