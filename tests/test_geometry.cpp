// Scene geometry: vector operations, the scene line parser with its polygon
// checks, and patch subdivision.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "geometry/environment.h"
#include "geometry/patches.h"
#include "geometry/vec3.h"
#include "support/scenes.h"

namespace {

// --- vector operations ---------------------------------------------------

TEST(Vec3, EqualUsesAStrictTolerance) {
    Vec3 zero = {0, 0, 0}, close = {0, 0, 5e-10f}, far = {0, 0, 2e-9f};
    EXPECT_EQ(vec3_equal(&zero, &close), 1);
    EXPECT_EQ(vec3_equal(&zero, &far), 0);
    EXPECT_EQ(vec3_equal(&far, &far), 1);
}

TEST(Vec3, UnitNormalFollowsTheRightHandRule) {
    Vec3 x = {1, 0, 0}, y = {0, 1, 0}, n;
    vec3_unit_normal(&x, &y, &n);
    EXPECT_EQ(n.x, 0.0f);
    EXPECT_EQ(n.y, 0.0f);
    EXPECT_EQ(n.z, 1.0f);
    vec3_unit_normal(&y, &x, &n);
    EXPECT_EQ(n.z, -1.0f);
}

TEST(Vec3, UnitNormalZeroesComponentsBelowTolerance) {
    Vec3 x = {1, 0, 0}, y = {0, 1, 5e-10f}, n;
    vec3_unit_normal(&x, &y, &n);
    EXPECT_EQ(n.x, 0.0f);
    EXPECT_EQ(n.y, 0.0f); // -5e-10 would otherwise survive
    EXPECT_EQ(n.z, 1.0f);
}

TEST(Vec3, CosineOfPerpendicularAndParallelVectors) {
    Vec3 a = {3, 0, 0}, b = {0, 0, 0.25f}, c = {7, 0, 0};
    EXPECT_EQ(vec3_cosine(&a, &b), 0.0);
    EXPECT_NEAR(vec3_cosine(&a, &c), 1.0, 1e-12);
    EXPECT_EQ(a.x, 3.0f) << "arguments stay unchanged";
}

TEST(Vec3, DifferenceSubtractsTheFirstFromTheSecond) {
    Vec3 a = {1, 2, 3}, b = {4, 6, 8}, d;
    vec3_difference(&a, &b, &d);
    EXPECT_EQ(d.x, 3.0f);
    EXPECT_EQ(d.y, 4.0f);
    EXPECT_EQ(d.z, 5.0f);
    EXPECT_EQ(vec3_distance(&a, &b), sqrt(50.0));
}

// --- the scene parser ------------------------------------------------------

struct Parsed {
    std::vector<Polygon> records;
    std::string err;
    int32_t count;
};

Parsed parse(const std::string &text) {
    Parsed parsed;
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    FILE *out = tmpfile();
    testing::internal::CaptureStderr();
    parsed.count = parse_environment_file(in, out);
    parsed.err = testing::internal::GetCapturedStderr();
    rewind(out);
    Polygon p;
    while (fread(&p, sizeof p, 1, out) == 1) parsed.records.push_back(p);
    fclose(in);
    fclose(out);
    return parsed;
}

std::string invalid_at(long line) {
    return "\aERROR : Invalid polygon specification at line " + std::to_string(line) +
           " of environment definition file\n";
}
std::string corrupt_at(long line) {
    return "\aERROR : Corrupt polygon specification at line " + std::to_string(line) +
           " of environment definition file\n";
}

const std::string UNIT_SQUARE = "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0.5 0.5 0.5),(4 2)\n";

TEST(ParseEnvironment, DerivesNormalAndPatchSizes) {
    Parsed p = parse(UNIT_SQUARE);
    ASSERT_EQ(p.count, 1);
    ASSERT_EQ(p.records.size(), 1u);
    const Polygon &poly = p.records[0];
    EXPECT_EQ(poly.patches_u, 4);
    EXPECT_EQ(poly.patches_v, 2);
    EXPECT_EQ(poly.patch_size_u, 0.25f);
    EXPECT_EQ(poly.patch_size_v, 0.5f);
    EXPECT_EQ(poly.normal.z, 1.0f);
    EXPECT_EQ(poly.reflectance[1], 0.5f);
    EXPECT_EQ(poly.vertices[2].y, 1.0f);
    EXPECT_EQ(p.err, "");
}

TEST(ParseEnvironment, SwappedCornersTurnTheNormal) {
    Parsed p = parse("[(0 0 0),(0 1 0),(1 1 0),(1 0 0)],(0 0 0),(0.5 0.5 0.5),(4 2)\n");
    ASSERT_EQ(p.count, 1);
    EXPECT_EQ(p.records[0].normal.z, -1.0f);
}

TEST(ParseEnvironment, ZeroCountsBecomeOne) {
    Parsed p = parse("[(0 0 0),(3 0 0),(3 2 0),(0 2 0)],(0 0 0),(0 0 0),(0 0)\n");
    ASSERT_EQ(p.count, 1);
    EXPECT_EQ(p.records[0].patches_u, 1);
    EXPECT_EQ(p.records[0].patches_v, 1);
    EXPECT_EQ(p.records[0].patch_size_u, 3.0f);
    EXPECT_EQ(p.records[0].patch_size_v, 2.0f);
}

TEST(ParseEnvironment, RightAnglesAtP0AndP2AreEnough) {
    Parsed p = parse("[(0 0 0),(4 0 0),(1 3 0),(0 2 0)],(0 0 0),(0 0 0),(1 1)\n");
    EXPECT_EQ(p.count, 1);
    EXPECT_EQ(p.err, "");
}

TEST(ParseEnvironment, LineFormsAccepted) {
    std::string text =
        "   [ ( 0 0 0 ) , ( 1 0 0 ) , ( 1 1 0 ) , ( 0 1 0 ) ] , ( 1 1 1 ) , ( 0 0 0 ) , ( 1 1 )\n"
        "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(1 1) and some words\n"
        "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(1 1\n"
        "[(0\t0\t0),(1e0 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(1 1)\r\n"
        "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(1 1)"; // no final line feed
    Parsed p = parse(text);
    EXPECT_EQ(p.count, 5);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.records[0].emission[0], 1.0f);
}

TEST(ParseEnvironment, MessagesCarryLineNumbers) {
    std::string text = "\n"                                                           // 1: empty, silent
                       "[(0 0 0),(2 0 0),(1.5 1 0),(0.5 1 0)],(0 0 0),(0 0 0),(1 1)\n" // 2: trapezoid
                       "   \n"                                                         // 3: blanks only
                       "# a comment\n"                                                 // 4
                       "\r\n"                                                          // 5: empty (CRLF)
                       + UNIT_SQUARE;                                                  // 6: valid
    Parsed p = parse(text);
    EXPECT_EQ(p.count, 1);
    EXPECT_EQ(p.err, invalid_at(2) + corrupt_at(3) + corrupt_at(4));
}

TEST(ParseEnvironment, LongLinesArriveInPieces) {
    // 250 characters: the first 200 are one line, the rest another.
    std::string text = UNIT_SQUARE.substr(0, UNIT_SQUARE.size() - 1) + std::string(250 - UNIT_SQUARE.size() + 1, ' ') +
                       "x\n" + "bad\n";
    Parsed p = parse(text);
    EXPECT_EQ(p.count, 1);
    EXPECT_EQ(p.err, corrupt_at(2) + corrupt_at(3));
}

// Lines with all 20 values that later stages could not use: each is reported
// as invalid and dropped, and the valid lines around them still count.
TEST(ParseEnvironment, UnusablePolygonsAreInvalid) {
    const char *bad[] = {
        "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(-1 2)\n",           // negative count
        "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(2 -3)\n",           // negative count
        "[(0 0 0),(0 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(1 1)\n",            // p1 == p0
        "[(0 0 0),(1 0 0),(1 1 0),(0 0 0)],(0 0 0),(0 0 0),(1 1)\n",            // p3 == p0
        "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(nan 0 0),(0 0 0),(1 1)\n",          // NaN emission
        "[(0 0 0),(inf 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(1 1)\n",          // infinite corner
        "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 1e39),(1 1)\n",         // overflows a float
        "[(0 0 0),(1e-5 0 0),(1e-5 1e-5 0),(0 1e-5 0)],(0 0 0),(0 0 0),(1 1)\n", // normal below tolerance
        "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(65536 65536)\n",    // 2^32 patches
        "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(4294967297 1)\n",   // count beyond 32 bits
    };
    std::string text, expected;
    long line = 0;
    for (const char *b : bad) {
        text += UNIT_SQUARE + b;
        line += 2;
        expected += invalid_at(line);
    }
    Parsed p = parse(text);
    EXPECT_EQ(p.count, 10);
    EXPECT_EQ(p.err, expected);
}

TEST(ParseEnvironment, RunningPatchTotalStaysWithin32Bits) {
    std::string half = "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(46341 23170)\n"; // 1,073,720,970
    Parsed p = parse(half + half + half);
    EXPECT_EQ(p.count, 2);
    EXPECT_EQ(p.err, invalid_at(3));
}

// --- patch subdivision -------------------------------------------------------

struct GridFixture : ::testing::Test {
    std::vector<Polygon> polys;
    void build() {
        build_patch_grid(polys.data(), (int32_t)polys.size());
        patch_count = count_patches(polys.data(), (int32_t)polys.size());
    }
    std::vector<float> corners() {
        FILE *file = tmpfile();
        write_patch_vertices(polys.data(), (int32_t)polys.size(), file);
        std::vector<float> values((size_t)ftell(file) / sizeof(float));
        rewind(file);
        EXPECT_EQ(fread(values.data(), sizeof(float), values.size(), file), values.size());
        fclose(file);
        return values;
    }
    void TearDown() override { free_patch_grid(polys.data(), (int32_t)polys.size()); }
};

TEST_F(GridFixture, UnitSquareFourByTwo) {
    polys = {make_polygon({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}, 4, 2)};
    build();
    EXPECT_EQ(patch_count, 8);
    const float *uv = patch_grid[0][0][0].uv;
    const float expected_uv[8] = {0, 0, 0.25f, 0, 0.25f, 0.5f, 0, 0.5f};
    for (int i = 0; i < 8; i++) EXPECT_EQ(uv[i], expected_uv[i]) << i;
    EXPECT_EQ(patch_grid[0][0][1].uv[1], 0.5f);
    EXPECT_EQ(patch_grid[0][0][1].uv[5], 1.0f);

    std::vector<float> c = corners();
    ASSERT_EQ(c.size(), 8u * 12);
    const float expected_xyz[12] = {0, 0, 0, 0.25f, 0, 0, 0.25f, 0.5f, 0, 0, 0.5f, 0};
    for (int i = 0; i < 12; i++) EXPECT_EQ(c[(size_t)i], expected_xyz[i]) << i;
    // patch (0, 1, 0) is index 2: its corner 0 sits at u = 0.25, v = 0
    EXPECT_EQ(c[2 * 12 + 0], 0.25f);
    EXPECT_EQ(c[2 * 12 + 1], 0.0f);

    Vec3 centre;
    patch_center(polys.data(), 0, 0, 0, &centre);
    EXPECT_EQ(centre.x, 0.125f);
    EXPECT_EQ(centre.y, 0.25f);
    EXPECT_EQ(centre.z, 0.0f);
}

TEST_F(GridFixture, PatchOrderAcrossPolygons) {
    polys = {make_polygon({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}, 2, 3),
             make_polygon({0, 0, 1, 0, 1, 1, 1, 1, 1, 1, 0, 1}, 4, 1)};
    build();
    EXPECT_EQ(patch_count, 10);
    EXPECT_EQ(count_patches(polys.data(), 1), 6);
    std::vector<float> c = corners();
    EXPECT_EQ(c.size(), 10u * 12);
    EXPECT_EQ(c[6 * 12 + 2], 1.0f) << "the second polygon's corners start at byte 288";
}

TEST_F(GridFixture, RunningSumsOvershootTheEdge) {
    polys = {make_polygon({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}, 10, 1)};
    build();
    EXPECT_EQ(polys[0].patch_size_u, 0.1f);
    EXPECT_EQ(patch_grid[0][9][0].uv[0], 0.9000001f);
    EXPECT_EQ(patch_grid[0][9][0].uv[2], 1.0000001f);
    std::vector<float> c = corners();
    EXPECT_EQ(c[9 * 12 + 3], 1.0000001f) << "corner 1 of the last row lies just beyond p1";
    EXPECT_EQ(c[9 * 12 + 6], 1.0000001f);
}

TEST_F(GridFixture, NonRectangleIsCoveredOnTheSpannedRectangle) {
    polys = {make_polygon({0, 0, 0, 4, 0, 0, 1, 3, 0, 0, 2, 0}, 1, 1)};
    build();
    std::vector<float> c = corners();
    const float expected[12] = {0, 0, 0, 4, 0, 0, 4, 2, 0, 0, 2, 0};
    for (int i = 0; i < 12; i++) EXPECT_EQ(c[(size_t)i], expected[i]) << i;
}

TEST_F(GridFixture, TiltedPolygonCornersFollowItsEdges) {
    // A square tilted about the x axis: u along x, v up the slope.
    polys = {make_polygon({1, 0, 0, 3, 0, 0, 3, 1, 1, 1, 1, 1}, 2, 2)};
    build();
    std::vector<float> c = corners();
    // patch (1, 1): corner 2 is p2
    EXPECT_FLOAT_EQ(c[3 * 12 + 6], 3.0f);
    EXPECT_FLOAT_EQ(c[3 * 12 + 7], 1.0f);
    EXPECT_FLOAT_EQ(c[3 * 12 + 8], 1.0f);
    Vec3 centre;
    patch_center(polys.data(), 0, 0, 1, &centre);
    EXPECT_FLOAT_EQ(centre.x, 1.5f);
    EXPECT_FLOAT_EQ(centre.y, 0.75f);
    EXPECT_FLOAT_EQ(centre.z, 0.75f);
}

} // namespace
