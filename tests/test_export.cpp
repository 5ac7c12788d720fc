// The text exports' writers, run on binary files the tests write themselves:
// the exact text of PATCHES.TXT, FF.TXT and SOLUTION.TXT, the widths of wide
// values, and what a file that ends early leaves in the text. Expected texts
// are literals. (The writers' failure exits are in test_failures.cpp; the
// creation of the text files from the viewer's menu in tests/viewer/.)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "base/process.h"
#include "export/export.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "support/program.h"

namespace {

const std::string SEPARATOR_81 =
    "---------------------------------------------------------------------------------\n";
const std::string SEPARATOR_25 = "-------------------------\n";

// Each test runs in a fresh directory of its own: the writers open their
// binary files by name in the working directory.
class ExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        char *cwd = getcwd(nullptr, 0);
        ASSERT_NE(cwd, nullptr);
        previous_dir = cwd;
        free(cwd);
        dir = make_temp_dir("export");
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }
    void TearDown() override {
        if (chdir(previous_dir.c_str()) != 0) ADD_FAILURE() << "cannot return to " << previous_dir;
        remove_tree(dir);
    }

    std::string dir;
    std::string previous_dir;
};

// Runs `writer` on a stream in memory and returns what it wrote.
template <typename Writer> std::string text_of(Writer writer) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buffer, &size);
    if (out == nullptr) {
        ADD_FAILURE() << "open_memstream failed";
        return "";
    }
    writer(out);
    fclose(out);
    std::string text(buffer, size);
    free(buffer);
    return text;
}

Polygon polygon_with(int32_t patches_u, int32_t patches_v) {
    Polygon polygon = {};
    polygon.patches_u = patches_u;
    polygon.patches_v = patches_v;
    return polygon;
}

std::string patch_vertices_text(const std::vector<Polygon> &polys) {
    return text_of([&](FILE *out) { export_patch_vertices(polys.data(), (int32_t)polys.size(), out); });
}

// --- PATCHES.TXT ----------------------------------------------------------------

TEST_F(ExportTest, PatchVerticesOfOneTwoByTwoPolygonAreSixLines) {
    // The 0.5 x 1 rectangle cut 2 x 2, its patches in patch order.
    write_floats_file("PATCH.BIN", {0, 0, 0,    0.25f, 0, 0,    0.25f, 0.5f, 0,    0, 0.5f, 0,
                                    0, 0.5f, 0, 0.25f, 0.5f, 0, 0.25f, 1, 0,       0, 1, 0,
                                    0.25f, 0, 0, 0.5f, 0, 0,    0.5f, 0.5f, 0,     0.25f, 0.5f, 0,
                                    0.25f, 0.5f, 0, 0.5f, 0.5f, 0, 0.5f, 1, 0,     0.25f, 1, 0});
    EXPECT_EQ(patch_vertices_text({polygon_with(2, 2)}),
              "polygon 0 : 4 patches \n"
              "[( 0.00  0.00  0.00),( 0.25  0.00  0.00),( 0.25  0.50  0.00),( 0.00  0.50  0.00)]\n"
              "[( 0.00  0.50  0.00),( 0.25  0.50  0.00),( 0.25  1.00  0.00),( 0.00  1.00  0.00)]\n"
              "[( 0.25  0.00  0.00),( 0.50  0.00  0.00),( 0.50  0.50  0.00),( 0.25  0.50  0.00)]\n"
              "[( 0.25  0.50  0.00),( 0.50  0.50  0.00),( 0.50  1.00  0.00),( 0.25  1.00  0.00)]\n" +
                  SEPARATOR_81);
}

TEST_F(ExportTest, PatchVerticesOfHundredAndMinusTenWidenTheLine) {
    // Five characters hold -9.99 to 99.99; 99.996 rounds up to six.
    write_floats_file("PATCH.BIN", {100, -10, 99.99f, -9.99f, 123.456f, -12.5f, 99.996f, 0.004f, -0.004f,
                                    1000, -100, 5});
    EXPECT_EQ(patch_vertices_text({polygon_with(1, 1)}),
              "polygon 0 : 1 patches \n"
              "[(100.00 -10.00 99.99),(-9.99 123.46 -12.50),(100.00  0.00 -0.00),(1000.00 -100.00  5.00)]\n" +
                  SEPARATOR_81);
}

TEST_F(ExportTest, PatchVerticesGroupEachPolygonUnderItsNumberAndCount) {
    std::vector<float> floats;
    for (int p = 0; p < 7; p++)
        for (int f = 0; f < 12; f++) floats.push_back((float)p);
    write_floats_file("PATCH.BIN", floats);
    const std::string line[7] = {
        "[( 0.00  0.00  0.00),( 0.00  0.00  0.00),( 0.00  0.00  0.00),( 0.00  0.00  0.00)]\n",
        "[( 1.00  1.00  1.00),( 1.00  1.00  1.00),( 1.00  1.00  1.00),( 1.00  1.00  1.00)]\n",
        "[( 2.00  2.00  2.00),( 2.00  2.00  2.00),( 2.00  2.00  2.00),( 2.00  2.00  2.00)]\n",
        "[( 3.00  3.00  3.00),( 3.00  3.00  3.00),( 3.00  3.00  3.00),( 3.00  3.00  3.00)]\n",
        "[( 4.00  4.00  4.00),( 4.00  4.00  4.00),( 4.00  4.00  4.00),( 4.00  4.00  4.00)]\n",
        "[( 5.00  5.00  5.00),( 5.00  5.00  5.00),( 5.00  5.00  5.00),( 5.00  5.00  5.00)]\n",
        "[( 6.00  6.00  6.00),( 6.00  6.00  6.00),( 6.00  6.00  6.00),( 6.00  6.00  6.00)]\n",
    };
    // 2 rows of 3, then a single patch: patches 0-5, then 6.
    EXPECT_EQ(patch_vertices_text({polygon_with(2, 3), polygon_with(1, 1)}),
              "polygon 0 : 6 patches \n" + line[0] + line[1] + line[2] + line[3] + line[4] + line[5] + SEPARATOR_81 +
                  "polygon 1 : 1 patches \n" + line[6] + SEPARATOR_81);
}

TEST_F(ExportTest, PatchVerticesPastTheEndOfAShortFileRepeatWhatWasReadLast) {
    // One and a half patches for three: the second patch gets six new floats
    // over the first patch's last six, the third nothing new.
    std::vector<float> floats;
    for (int f = 0; f < 18; f++) floats.push_back((float)f);
    write_floats_file("PATCH.BIN", floats);
    const std::string second = "[(12.00 13.00 14.00),(15.00 16.00 17.00),( 6.00  7.00  8.00),( 9.00 10.00 11.00)]\n";
    EXPECT_EQ(patch_vertices_text({polygon_with(1, 3)}),
              "polygon 0 : 3 patches \n"
              "[( 0.00  1.00  2.00),( 3.00  4.00  5.00),( 6.00  7.00  8.00),( 9.00 10.00 11.00)]\n" +
                  second + second + SEPARATOR_81);
}

// --- FF.TXT --------------------------------------------------------------------

TEST_F(ExportTest, FormFactorsAreNLinesOfNFields) {
    write_floats_file("FF.BIN", {0, 0.5f, 0.12345f, 0.25f, 0, 0.0000499f, 1, 0.99999f, 0});
    EXPECT_EQ(text_of([](FILE *out) { export_form_factors(3, out); }),
              " 0.0000  0.5000  0.1235 \n"
              " 0.2500  0.0000  0.0000 \n"
              " 1.0000  1.0000  0.0000 \n");
}

TEST_F(ExportTest, FormFactorsOfHundredAndMinusTenTakeMoreThanSevenCharacters) {
    write_floats_file("FF.BIN", {100, -10, 99.99999f, -9.99999f});
    EXPECT_EQ(text_of([](FILE *out) { export_form_factors(2, out); }),
              "100.0000 -10.0000 \n"
              "100.0000 -10.0000 \n");
}

TEST_F(ExportTest, FormFactorRowsPastTheEndOfAShortFileRepeatWhatWasReadLast) {
    // One row for three: rows 2 and 3 repeat it. Three floats for two rows:
    // row 2 reads one float over row 1 and keeps row 1's second.
    write_floats_file("FF.BIN", {0.1f, 0.2f, 0.3f});
    EXPECT_EQ(text_of([](FILE *out) { export_form_factors(3, out); }),
              " 0.1000  0.2000  0.3000 \n"
              " 0.1000  0.2000  0.3000 \n"
              " 0.1000  0.2000  0.3000 \n");
    write_floats_file("FF.BIN", {0.1f, 0.2f, 0.3f});
    EXPECT_EQ(text_of([](FILE *out) { export_form_factors(2, out); }),
              " 0.1000  0.2000 \n"
              " 0.3000  0.2000 \n");
}

TEST_F(ExportTest, FormFactorsExportedTwiceReadTheFileFromItsStartEachTime) {
    write_floats_file("FF.BIN", {0, 0.75f, 0.5f, 0});
    const std::string expected = " 0.0000  0.7500 \n 0.5000  0.0000 \n";
    EXPECT_EQ(text_of([](FILE *out) { export_form_factors(2, out); }), expected);
    EXPECT_EQ(text_of([](FILE *out) { export_form_factors(2, out); }), expected);
}

// --- SOLUTION.TXT --------------------------------------------------------------

TEST_F(ExportTest, SolutionIsOneLinePerPatchAndOneSeparator) {
    write_floats_file("PATCHRAD.BIN", {0.5f, 0, 1, 10, 12.34567f, 99.99994f, 0.00004f, -0.5f, 3});
    EXPECT_EQ(text_of([](FILE *out) { export_solution(3, out); }),
              "( 0.5000  0.0000  1.0000)\n"
              "(10.0000 12.3457 99.9999)\n"
              "( 0.0000 -0.5000  3.0000)\n" +
                  SEPARATOR_25);
}

TEST_F(ExportTest, SolutionOfHundredAndMinusTenWidensTheLine) {
    write_floats_file("PATCHRAD.BIN", {100, -10, 1234.5f});
    EXPECT_EQ(text_of([](FILE *out) { export_solution(1, out); }), "(100.0000 -10.0000 1234.5000)\n" + SEPARATOR_25);
}

TEST_F(ExportTest, SolutionPastTheEndOfAShortFileIsZero) {
    write_floats_file("PATCHRAD.BIN", {0.25f, 0.5f, 0.75f, 2});
    EXPECT_EQ(text_of([](FILE *out) { export_solution(3, out); }),
              "( 0.2500  0.5000  0.7500)\n"
              "( 2.0000  0.0000  0.0000)\n"
              "( 0.0000  0.0000  0.0000)\n" +
                  SEPARATOR_25);
}

TEST_F(ExportTest, SolutionExportedTwiceIsTheSameSolution) {
    // Each export opens PATCHRAD.BIN anew: a second one is not a file read
    // from where the first left off.
    write_floats_file("PATCHRAD.BIN", {0.125f, 0.25f, 0.375f});
    const std::string expected = "( 0.1250  0.2500  0.3750)\n" + SEPARATOR_25;
    EXPECT_EQ(text_of([](FILE *out) { export_solution(1, out); }), expected);
    EXPECT_EQ(text_of([](FILE *out) { export_solution(1, out); }), expected);
}

TEST_F(ExportTest, EmptySceneExportsOnlyTheSeparator) {
    write_floats_file("PATCHRAD.BIN", {});
    write_floats_file("FF.BIN", {});
    EXPECT_EQ(text_of([](FILE *out) { export_solution(0, out); }), SEPARATOR_25);
    EXPECT_EQ(text_of([](FILE *out) { export_form_factors(0, out); }), "");
}

// --- the text files ---------------------------------------------------------------

// An export whose text did not all reach its file (here a file-size limit of
// 1,000 bytes) was once reported as done: now each ends with its file's code.
TEST_F(ExportTest, ExportCutShortEndsWithItsCodeNotAsDone) {
    std::vector<float> values(40 * 40 * 12, 0.5f);
    write_floats_file("FF.BIN", values);
    write_floats_file("PATCH.BIN", values);
    write_floats_file("PATCHRAD.BIN", values);
    static Polygon polygon = polygon_with(40, 40);
    polygons = &polygon;
    polygon_count = 1;
    patch_count = 1600;
    auto cut_to_1000_bytes = [] {
        prepare_process();
        struct rlimit limit = {1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    EXPECT_EXIT((cut_to_1000_bytes(), export_form_factors_file()), ::testing::ExitedWithCode(40),
                "^\aERROR : Couldn't write form factor export file : FF.TXT\n$");
    EXPECT_EXIT((cut_to_1000_bytes(), export_patch_vertices_file()), ::testing::ExitedWithCode(41),
                "^\aERROR : Couldn't write patch vertices export file : PATCHES.TXT\n$");
    EXPECT_EXIT((cut_to_1000_bytes(), export_solution_file()), ::testing::ExitedWithCode(42),
                "^\aERROR : Couldn't write radiosity solution export file : SOLUTION.TXT\n$");
    export_solution_file();  // without the limit: written and reported
    EXPECT_EQ(file_size(dir + "/SOLUTION.TXT"), 1600 * 26 + 26);
    polygons = nullptr;
    polygon_count = 0;
    patch_count = 0;
}

} // namespace
