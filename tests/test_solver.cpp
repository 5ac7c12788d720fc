// The radiosity solution: Gauss-Seidel sweeps and their stop rule, the corner
// extrapolation, and a whole run checked against the equations solved
// independently.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "geometry/environment.h"
#include "solver/solver.h"
#include "solver/vertex.h"
#include "support/program.h"
#include "support/scenes.h"

namespace {

// --- sweeps ------------------------------------------------------------------

// A system held in-process: matrix rows, emission and radiosity, 3 channels.
struct System {
    size_t n;
    std::vector<std::vector<float>> rows;
    std::vector<float *> table;
    std::vector<float> emission, radiosity;

    explicit System(size_t size) : n(size), rows(size, std::vector<float>(size)), emission(3 * size), radiosity(3 * size) {
        for (auto &row : rows) table.push_back(row.data());
    }
    // Returns the sweeps made.
    int32_t solve(int channel, double precision) {
        return solve_radiosity_channel(table.data(), radiosity.data(), emission.data(), (int32_t)n, channel, precision);
    }
    float value(size_t patch, int channel) const { return radiosity[3 * patch + (size_t)channel]; }
};

System two_patches_facing(float reflectance) {
    System s(2);
    s.rows[0][1] = 0.5f * reflectance;
    s.rows[1][0] = 0.5f * reflectance;
    s.emission[0] = 1.0f; // red of patch 0
    return s;
}

TEST(SolveChannel, DarkChannelStopsAfterOneSweep) {
    System s = two_patches_facing(0.8f);
    EXPECT_EQ(s.solve(1, 1e-6), 1);
    EXPECT_EQ(s.value(0, 1), 0.0f);
    EXPECT_EQ(s.value(1, 1), 0.0f);
}

TEST(SolveChannel, ZeroReflectanceStopsAfterTwoSweepsWithEmission) {
    System s = two_patches_facing(0.0f);
    EXPECT_EQ(s.solve(0, 1.0), 2);
    EXPECT_EQ(s.value(0, 0), 1.0f);
    EXPECT_EQ(s.value(1, 0), 0.0f);
}

TEST(SolveChannel, PrecisionAboveOneStopsAfterTheFirstSweep) {
    System s = two_patches_facing(0.8f);
    EXPECT_EQ(s.solve(0, 1.5), 1);
    EXPECT_EQ(s.value(0, 0), 1.0f);
    EXPECT_EQ(s.value(1, 0), 0.4f) << "patch 1 already sees this sweep's value of patch 0";
}

TEST(SolveChannel, ConvergesToTheClosedForm) {
    // B0 = 1 + 0.4 B1, B1 = 0.4 B0  =>  B0 = 1 / 0.84, B1 = 0.4 / 0.84
    System s = two_patches_facing(0.8f);
    s.solve(0, 1e-7);
    EXPECT_NEAR(s.value(0, 0), 1 / 0.84, 1e-6);
    EXPECT_NEAR(s.value(1, 0), 0.4 / 0.84, 1e-6);
}

TEST(SolveChannel, ChannelsAreIndependent) {
    System together(3), alone(3);
    for (System *s : {&together, &alone}) {
        for (size_t r = 0; r < 3; r++)
            for (size_t k = 0; k < 3; k++) s->rows[r][k] = r == k ? 0.0f : 0.3f;
        for (size_t i = 0; i < 9; i++) s->emission[i] = (float)(i % 4) * 0.5f;
    }
    for (int c = 0; c < 3; c++) together.solve(c, 1e-6);
    alone.solve(2, 1e-6);
    for (size_t p = 0; p < 3; p++) EXPECT_EQ(together.value(p, 2), alone.value(p, 2));
    EXPECT_EQ(alone.value(0, 0), 0.0f) << "other columns untouched";
}

TEST(SolveChannel, DivergenceEndsTheRun) {
    System s = two_patches_facing(3.0f); // 1.5 each way: the iteration grows without bound
    EXPECT_EXIT(s.solve(0, 1e-6), ::testing::ExitedWithCode(18),
                "^\aERROR : Radiosity solution diverges in channel red\n$");
}

TEST(BuildMatrix, ScalesRowsByTheirPolygonsReflectance) {
    Polygon polys[2];
    memset(polys, 0, sizeof polys);
    polys[0].patches_u = 1;
    polys[0].patches_v = 2;
    polys[0].reflectance[1] = 0.5f;
    polys[0].emission[1] = 3.0f;
    polys[1].patches_u = polys[1].patches_v = 1;
    polys[1].reflectance[1] = 0.25f;
    FILE *ff = tmpfile();
    const float rows[9] = {0, 0, 0.6f, 0, 0, 0.4f, 0.2f, 0.8f, 0};
    fwrite(rows, sizeof(float), 9, ff);
    rewind(ff);
    System s(3);
    build_radiosity_matrix(s.table.data(), s.emission.data(), 3, 1, polys, 2, ff);
    EXPECT_EQ(s.rows[0][2], 0.3f);
    EXPECT_EQ(s.rows[1][2], 0.2f);
    EXPECT_EQ(s.rows[2][0], 0.05f);
    EXPECT_EQ(s.rows[2][1], 0.2f);
    EXPECT_EQ(s.emission[3 * 1 + 1], 3.0f);
    EXPECT_EQ(s.emission[3 * 2 + 1], 0.0f);
    EXPECT_EQ(s.emission[0], 0.0f) << "other channels untouched";
    fclose(ff);
}

TEST(BuildMatrix, ShortFileReusesTheLastRow) {
    Polygon poly;
    memset(&poly, 0, sizeof poly);
    poly.patches_u = 2;
    poly.patches_v = 1;
    poly.reflectance[0] = 1.0f;
    FILE *ff = tmpfile();
    const float first[2] = {0.25f, 0.75f};
    fwrite(first, sizeof(float), 2, ff);
    rewind(ff);
    System s(2);
    build_radiosity_matrix(s.table.data(), s.emission.data(), 2, 0, &poly, 1, ff);
    EXPECT_EQ(s.rows[1][0], 0.25f);
    EXPECT_EQ(s.rows[1][1], 0.75f);
    fclose(ff);
}

// --- corner radiosities ---------------------------------------------------------

std::vector<Polygon> grid_polygons(std::initializer_list<std::pair<int, int>> sizes) {
    std::vector<Polygon> polys;
    for (auto size : sizes) {
        Polygon p;
        memset(&p, 0, sizeof p);
        p.patches_u = size.first;
        p.patches_v = size.second;
        polys.push_back(p);
    }
    return polys;
}

TEST(VertexRadiosities, TwoByTwoExample) {
    std::vector<Polygon> polys = grid_polygons({{2, 2}});
    // patch (j, k) -> index 2j + k; red channel values 1, 2, 3, 4 by (0,0), (0,1), (1,0), (1,1)
    std::vector<float> rad = {1, 10, 0, 2, 20, 0, 3, 30, 0, 4, 40, 0};
    float *corners = compute_vertex_radiosities(rad.data(), 4, polys.data(), 1);
    const float expected[4][4] = {{-0.5f, 1.5f, 2.5f, 0.5f}, {0.5f, 2.5f, 3.5f, 1.5f},
                                  {1.5f, 3.5f, 4.5f, 2.5f}, {2.5f, 4.5f, 5.5f, 3.5f}};
    for (int p = 0; p < 4; p++)
        for (int q = 0; q < 4; q++) {
            EXPECT_EQ(corners[12 * p + 3 * q], expected[p][q]) << "patch " << p << " corner " << q;
            EXPECT_EQ(corners[12 * p + 3 * q + 1], expected[p][q] * 10) << "green";
            EXPECT_EQ(corners[12 * p + 3 * q + 2], 0.0f);
        }
    free(corners);
}

TEST(VertexRadiosities, SingleRowsAndColumnsStayFlat) {
    std::vector<Polygon> polys = grid_polygons({{1, 3}, {2, 1}, {1, 1}});
    std::vector<float> rad;
    for (int p = 0; p < 6; p++) rad.insert(rad.end(), {(float)p, (float)(p * 2), 0.5f});
    float *corners = compute_vertex_radiosities(rad.data(), 6, polys.data(), 3);
    for (int p = 0; p < 6; p++)
        for (int q = 0; q < 4; q++)
            for (int c = 0; c < 3; c++) EXPECT_EQ(corners[12 * p + 3 * q + c], rad[(size_t)(3 * p + c)]);
    free(corners);
}

TEST(VertexRadiosities, UniformPolygonAndIndependentNeighbours) {
    // A 3 x 4 polygon of one value next to a 2 x 2 polygon of another.
    std::vector<Polygon> polys = grid_polygons({{3, 4}, {2, 2}});
    std::vector<float> rad;
    for (int p = 0; p < 12; p++) rad.insert(rad.end(), {0.7f, 0.7f, 0.7f});
    for (int p = 0; p < 4; p++) rad.insert(rad.end(), {9.0f, 9.0f, 9.0f});
    float *corners = compute_vertex_radiosities(rad.data(), 16, polys.data(), 2);
    for (int p = 0; p < 16; p++)
        for (int i = 0; i < 12; i++) EXPECT_FLOAT_EQ(corners[12 * p + i], p < 12 ? 0.7f : 9.0f);
    free(corners);
}

TEST(VertexRadiosities, LinearRampIsReproducedExactly) {
    // B(j, k) = j + 2k on a 3 x 3 grid: every grid point (a, b) gets (a - 0.5) + 2 (b - 0.5).
    std::vector<Polygon> polys = grid_polygons({{3, 3}});
    std::vector<float> rad;
    for (int j = 0; j < 3; j++)
        for (int k = 0; k < 3; k++) rad.insert(rad.end(), {(float)(j + 2 * k), 0, 0});
    float *corners = compute_vertex_radiosities(rad.data(), 9, polys.data(), 1);
    const int offsets[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    for (int j = 0; j < 3; j++)
        for (int k = 0; k < 3; k++)
            for (int q = 0; q < 4; q++) {
                double a = j + offsets[q][0], b = k + offsets[q][1];
                EXPECT_EQ(corners[12 * (3 * j + k) + 3 * q], (float)((a - 0.5) + 2 * (b - 0.5)))
                    << j << "," << k << " corner " << q;
            }
    free(corners);
}

// --- a whole run against the equations solved another way ---------------------------

// Solves (I - rho F) B = E by Gaussian elimination with partial pivoting.
std::vector<double> solve_directly(const std::vector<float> &ff, const std::vector<double> &rho,
                                   const std::vector<double> &e) {
    size_t n = e.size();
    std::vector<std::vector<double>> a(n, std::vector<double>(n + 1));
    for (size_t r = 0; r < n; r++) {
        for (size_t k = 0; k < n; k++) a[r][k] = (r == k ? 1.0 : 0.0) - rho[r] * (double)ff[r * n + k];
        a[r][n] = e[r];
    }
    for (size_t col = 0; col < n; col++) {
        size_t pivot = col;
        for (size_t r = col + 1; r < n; r++)
            if (fabs(a[r][col]) > fabs(a[pivot][col])) pivot = r;
        std::swap(a[col], a[pivot]);
        for (size_t r = 0; r < n; r++) {
            if (r == col) continue;
            double factor = a[r][col] / a[col][col];
            for (size_t k = col; k <= n; k++) a[r][k] -= factor * a[col][k];
        }
    }
    std::vector<double> b(n);
    for (size_t r = 0; r < n; r++) b[r] = a[r][n] / a[r][r];
    return b;
}

TEST(SolutionRun, CubeRoomMatchesTheEquations) {
    ScratchDir scratch("solve");
    const std::string &dir = scratch.path;
    IniSettings settings;
    settings.precision = "1e-7";
    // a split floor and coloured reflectances so that channels and patches differ
    write_run_files(dir, cube_room({1.0f, 0.8f, 0.5f}, {0.7f, 0.5f, 0.3f}, 2, 3), settings);
    ProgramResult r = run_program(halvora_batch_exe(), dir);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    size_t n = 11;
    EXPECT_EQ(file_size(dir + "/PATCHRAD.BIN"), (long long)(12 * n));
    EXPECT_EQ(file_size(dir + "/VERTRAD.BIN"), (long long)(48 * n));
    EXPECT_EQ(file_size(dir + "/FF.BIN"), (long long)(4 * n * n));
    std::vector<float> ff = read_floats_file(dir + "/FF.BIN");
    std::vector<float> rad = read_floats_file(dir + "/PATCHRAD.BIN");
    const double light[3] = {1.0, 0.8, 0.5}, rho[3] = {0.7, 0.5, 0.3};
    for (int c = 0; c < 3; c++) {
        std::vector<double> e(n, 0.0), rh(n, (double)(float)rho[c]);
        e[6] = (double)(float)light[c]; // the ceiling follows the 6 floor patches
        std::vector<double> b = solve_directly(ff, rh, e);
        for (size_t p = 0; p < n; p++)
            EXPECT_NEAR((double)rad[3 * p + (size_t)c], b[p], 2e-6 * b[6]) << "patch " << p << " channel " << c;
    }
}

TEST(SolutionRun, DivergingRoomEndsWithCode18) {
    ScratchDir scratch("solve");
    const std::string &dir = scratch.path;
    write_run_files(dir, cube_room({1, 1, 1}, {0.5f, 1.5f, 0.5f}));
    ProgramResult r = run_program(halvora_batch_exe(), dir);
    EXPECT_EQ(r.exit_code, 18);
    EXPECT_EQ(r.err, "\aERROR : Radiosity solution diverges in channel green\n");
    EXPECT_FALSE(file_exists(dir + "/PATCHRAD.BIN"));
}

} // namespace
