// Whole runs of the program in a scratch directory: the console output byte
// for byte, the files each stage leaves, and how each file failure ends.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/program.h"
#include "support/scenes.h"

namespace {

struct RunDir {
    ScratchDir scratch{"run"};
    const std::string &dir = scratch.path;
    ProgramResult result;
};

// Runs `exe` on `scene` after `prepare` has had its way with the directory.
template <typename Prepare>
void run_scene(RunDir &run, const std::string &scene, const std::string &exe, Prepare prepare) {
    write_run_files(run.dir, scene);
    prepare(run.dir);
    run.result = run_program(exe, run.dir, {}, {"DISPLAY="});
}
void run_scene(RunDir &run, const std::string &scene, const std::string &exe = halvora_batch_exe()) {
    run_scene(run, scene, exe, [](const std::string &) {});
}

const std::string HEAD = "Start of 'Halvora'.\nEnvironment definition file at : scene.txt\n";

std::string counter(int rows) {
    std::string text;
    for (int r = 1; r <= rows; r++) {
        char digits[16];
        snprintf(digits, sizeof digits, "%.7d", r);
        text += digits + std::string("\b\b\b\b\b\b\b");
    }
    return text;
}

TEST(WholeRun, ConsoleOutputOfACompleteBatch) {
    RunDir run;
    run_scene(run, cube_room({1, 1, 1}, {0.5f, 0.5f, 0.5f}, 2, 1));
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.result.out, HEAD + "Environment definition file parsed, 6 valid polygons read.\n"
                                     "Environment decomposed into 7 patches.\n"
                                     "Hemicube initialized, calculating form factors " +
                                  counter(7) + "done.  \n" +
                                  "Radiosity solution   red\b\b\b\b\bgreen\b\b\b\b\b blue\b\b\b\b\bdone.\n");
    EXPECT_FALSE(file_exists(run.dir + "/ENVRNMNT.BIN"));
    EXPECT_EQ(file_size(run.dir + "/PATCH.BIN"), 48 * 7);
    EXPECT_EQ(file_size(run.dir + "/FF.BIN"), 4 * 49);
    EXPECT_EQ(file_size(run.dir + "/PATCHRAD.BIN"), 12 * 7);
    EXPECT_EQ(file_size(run.dir + "/VERTRAD.BIN"), 48 * 7);
}

TEST(WholeRun, PatchFileHoldsEveryCornerInPatchOrder) {
    RunDir run;
    run_scene(run, "[(0 0 0),(2 0 0),(2 3 0),(0 3 0)],(0 0 0),(0 0 0),(2 3)\n"
                   "[(0 0 1),(0 1 1),(1 1 1),(1 0 1)],(1 1 1),(0 0 0),(1 1)\n");
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    std::vector<float> corners = read_floats_file(run.dir + "/PATCH.BIN");
    ASSERT_EQ(corners.size(), 7u * 12);
    // patch 4 is row 1, column 1 of the first polygon: u 1..2 along x, v 1..2 along y
    const float patch4[12] = {1, 1, 0, 2, 1, 0, 2, 2, 0, 1, 2, 0};
    for (int i = 0; i < 12; i++) EXPECT_EQ(corners[(size_t)(4 * 12 + i)], patch4[i]) << i;
    // the second polygon starts at byte 288 with its own p0, p1, p2, p3
    const float second[12] = {0, 0, 1, 0, 1, 1, 1, 1, 1, 1, 0, 1};
    for (int i = 0; i < 12; i++) EXPECT_EQ(corners[(size_t)(72 + i)], second[i]) << i;
    // colours line up with corners: corner 0 of patch 0 leads both files
    EXPECT_EQ(read_floats_file(run.dir + "/VERTRAD.BIN").size(), corners.size());
}

TEST(WholeRun, MissingSceneFile) {
    RunDir run;
    run_scene(run, "", halvora_exe(), [](const std::string &dir) { remove((dir + "/scene.txt").c_str()); });
    EXPECT_EQ(run.result.exit_code, 2);
    EXPECT_EQ(run.result.out, HEAD);
    EXPECT_EQ(run.result.err, "\aERROR : Couldn't open environment definition file\n");
}

TEST(WholeRun, SceneWithoutValidPolygonsEndsQuietlyWithCodeZero) {
    RunDir run;
    run_scene(run, "\n# nothing here\n[(0 0 0),(2 0 0),(1.5 1 0),(0.5 1 0)],(0 0 0),(0 0 0),(1 1)\n", halvora_exe());
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.out, HEAD + "No polygons found in environment definition file\n");
    EXPECT_EQ(run.result.err,
              "\aERROR : Corrupt polygon specification at line 2 of environment definition file\n"
              "\aERROR : Invalid polygon specification at line 3 of environment definition file\n");
    EXPECT_EQ(file_size(run.dir + "/ENVRNMNT.BIN"), 0) << "the empty binary file stays";
    EXPECT_FALSE(file_exists(run.dir + "/PATCH.BIN"));
}

TEST(WholeRun, EmptySceneFile) {
    RunDir run;
    run_scene(run, "", halvora_exe());
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.out, HEAD + "No polygons found in environment definition file\n");
    EXPECT_EQ(run.result.err, "");
}

TEST(WholeRun, DroppedLinesAreReportedBeforeTheCount) {
    RunDir run;
    run_scene(run, cube_room() + "rubbish\n[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0 0 0),(-2 1)\n");
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.err,
              "\aERROR : Corrupt polygon specification at line 7 of environment definition file\n"
              "\aERROR : Invalid polygon specification at line 8 of environment definition file\n");
    EXPECT_EQ(run.result.out.substr(0, HEAD.size() + 59),
              (HEAD + "Environment definition file parsed, 6 valid polygons read.\n").substr(0, HEAD.size() + 59));
}

TEST(WholeRun, CrlfSceneReadsLikeLf) {
    RunDir lf, crlf;
    std::string scene = cube_room({1, 1, 1}, {0.5f, 0.5f, 0.5f}), dos;
    for (char ch : scene) dos += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    run_scene(lf, scene);
    run_scene(crlf, "\r\n" + dos);
    EXPECT_EQ(crlf.result.exit_code, 0);
    EXPECT_EQ(crlf.result.err, "");
    EXPECT_EQ(read_file(crlf.dir + "/PATCHRAD.BIN"), read_file(lf.dir + "/PATCHRAD.BIN"));
}

// --- files that cannot be created or written --------------------------------------

// A directory in the way of a file makes its creation fail.
struct CreateCase {
    const char *file;
    int code;
    const char *message;
};

class CreateFailure : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateFailure, EndsWithItsCode) {
    const CreateCase &c = GetParam();
    RunDir run;
    run_scene(run, cube_room({1, 1, 1}, {0.5f, 0.5f, 0.5f}), halvora_batch_exe(),
              [&](const std::string &dir) { mkdir((dir + "/" + c.file).c_str(), 0755); });
    EXPECT_EQ(run.result.exit_code, c.code);
    EXPECT_EQ(run.result.err, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CreateFailure,
    ::testing::Values(
        CreateCase{"ENVRNMNT.BIN", 3, "\aERROR : Couldn't create environment definition binary file : ENVRNMNT.BIN\n"},
        CreateCase{"PATCH.BIN", 5, "\aERROR : Couldn't create patch vertices binary file : PATCH.BIN\n"},
        CreateCase{"FF.BIN", 6, "\aERROR : Couldn't create form factor binary file : FF.BIN\n"},
        CreateCase{"PATCHRAD.BIN", 13, "\aERROR : Couldn't create patch radiosity binary file PATCHRAD.BIN\n"},
        CreateCase{"VERTRAD.BIN", 15, "\aERROR : Couldn't create vertex radiosity binary file VERTRAD.BIN\n"}),
    [](const ::testing::TestParamInfo<CreateCase> &info) {
        std::string name = info.param.file;
        return name.substr(0, name.find('.'));
    });

// A file that is a link to /dev/full accepts the stream's writes and fails
// when they reach the device, as on a full disk: the buffered data is lost at
// the flush or the close, never passed on as written.
class FullDisk : public ::testing::TestWithParam<CreateCase> {};

TEST_P(FullDisk, IsAFailedWrite) {
    const CreateCase &c = GetParam();
    RunDir run;
    run_scene(run, cube_room({1, 1, 1}, {0.5f, 0.5f, 0.5f}), halvora_batch_exe(),
              [&](const std::string &dir) { ASSERT_EQ(symlink("/dev/full", (dir + "/" + c.file).c_str()), 0); });
    EXPECT_EQ(run.result.exit_code, c.code);
    EXPECT_EQ(run.result.err, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FullDisk,
    ::testing::Values(
        CreateCase{"ENVRNMNT.BIN", 11, "\aERROR : Couldn't write environment definition binary file : ENVRNMNT.BIN\n"},
        CreateCase{"PATCH.BIN", 30, "\aERROR : Couldn't write patch vertices binary file PATCH.BIN\n"},
        CreateCase{"FF.BIN", 8, "\aERROR : Couldn't write form factor binary file : FF.BIN\n"},
        CreateCase{"PATCHRAD.BIN", 14, "\aERROR : Couldn't write patch radiosity binary file PATCHRAD.BIN\n"},
        CreateCase{"VERTRAD.BIN", 16, "\aERROR : Couldn't write vertex radiosity binary file VERTRAD.BIN\n"}),
    [](const ::testing::TestParamInfo<CreateCase> &info) {
        std::string name = info.param.file;
        return name.substr(0, name.find('.'));
    });

} // namespace
