// Failure paths of the batch stages that the stage tests leave out: writes cut
// short at every binary file, memory that runs out at every allocation, files
// that cannot be read back or erased, and the scenes the fuzz targets found.
//
// How each failure is brought about:
//   - whole runs of the program (child processes) under a file size limit
//     (RLIMIT_FSIZE), an address-space limit (RLIMIT_AS), or a seccomp filter
//     that makes every unlink fail as on a file the user may not erase (the
//     options of run_program, tests/support/program.h);
//   - in-process runs of the batch stages in a forked child whose calloc
//     fails at its k-th call (calloc is replaced in this test program only;
//     every buffer of the program comes from calloc through checked_calloc);
//   - streams whose reads fail as on a device error (fopencookie).
//
// Under AddressSanitizer an address-space limit cannot be used (the sanitizer
// reserves terabytes of shadow memory at start); there a single oversized
// allocation is made to fail with the sanitizer's own cap instead
// (max_allocation_size_mb with allocator_may_return_null), and the one test
// that needs a limit on the total is skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "base/errors.h"
#include "driver/run.h"
#include "export/export.h"
#include "geometry/environment.h"
#include "solver/solver.h"
#include "support/program.h"
#include "support/scenes.h"

#if defined(__SANITIZE_ADDRESS__)
#define HALVORA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HALVORA_TEST_ASAN 1
#endif
#endif
#ifndef HALVORA_TEST_ASAN
#define HALVORA_TEST_ASAN 0
#endif

// --- calloc that fails on request ------------------------------------------------

// The k-th calloc call from the moment calloc_fail_at is set fails; 0 leaves
// calloc alone. Only forked children set it.
static long calloc_fail_at = 0;

extern "C" void *__libc_calloc(size_t count, size_t size);
// AddressSanitizer's calloc, present only in a sanitizer build: memory must
// come from the sanitizer's allocator there, since its free() will get it.
extern "C" void *__interceptor_calloc(size_t count, size_t size) __attribute__((weak));

extern "C" void *calloc(size_t count, size_t size) {
    if (calloc_fail_at > 0 && --calloc_fail_at == 0) return nullptr;
    return __interceptor_calloc != nullptr ? __interceptor_calloc(count, size) : __libc_calloc(count, size);
}

namespace {

const std::string OUT_OF_MEMORY = "\aERROR : Out of memory!\n";

// --- whole runs with limits ---------------------------------------------------------

// Runs `exe` in `dir` as run_program does, without a display: a run that
// reaches the viewer stops at glutInit.
ProgramResult run_in(const std::string &exe, const std::string &dir, ProgramOptions options = {}) {
    options.env.push_back("DISPLAY=");
    return run_program(exe, dir, options);
}

const float FLOOR_CORNERS[4][3] = {{0, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0}};
const float CEILING_CORNERS[4][3] = {{0, 0, 2}, {0, 2, 2}, {2, 2, 2}, {2, 0, 2}};
const float LAMP_CORNERS[4][3] = {{0.5f, 0.5f, 1.5f}, {0.5f, 1.5f, 1.5f}, {1.5f, 1.5f, 1.5f}, {1.5f, 0.5f, 1.5f}};

std::string floor_line(int patches_u, int patches_v) {
    return polygon_line(FLOOR_CORNERS, {0, 0, 0}, {0.5f, 0.5f, 0.5f}, patches_u, patches_v);
}

// --- writes cut short ---------------------------------------------------------------

// The scene of the short-write sweep: a floor of 10 x 10 patches under a lamp
// and a ceiling, 3 polygons and 102 patches, so the files are
// ENVRNMNT.BIN 300, PATCH.BIN 4896, FF.BIN 41616, PATCHRAD.BIN 1224 and
// VERTRAD.BIN 4896 bytes long.
std::string sweep_scene() {
    return floor_line(10, 10) + polygon_line(LAMP_CORNERS, {5, 5, 5}, {0, 0, 0}, 1, 1) +
           polygon_line(CEILING_CORNERS, {0, 0, 0}, {0.5f, 0.5f, 0.5f}, 1, 1);
}

struct ShortWrite {
    const char *file;
    long long size;                    // its full length for sweep_scene
    std::vector<long long> limits;     // file size limits that cut it
    std::vector<const char *> to_null; // larger files written earlier, sent to /dev/null
    int code;
    const char *message;
    std::vector<const char *> not_created; // files of the later stages
};

class ShortWriteSweep : public ::testing::TestWithParam<ShortWrite> {};

// Whatever the point at which a file is cut, the run ends with that file's
// write error: it never exits 0, never writes a later file, never reaches the
// viewer (the full program is run; "Randering..\n" would show it).
TEST_P(ShortWriteSweep, NoRunGoesOnAfterAShortFile) {
    const ShortWrite &c = GetParam();
    for (long long limit : c.limits) {
        ASSERT_LT(limit, c.size);
        ScratchDir dir;
        write_run_files(dir.path, sweep_scene());
        for (const char *name : c.to_null) {
            ASSERT_EQ(symlink("/dev/null", (dir / name).c_str()), 0);
        }
        ProgramOptions options;
        options.limits.file_size = (unsigned long long)limit;
        ProgramResult r = run_in(halvora_exe(), dir.path, options);
        SCOPED_TRACE(std::string(c.file) + " cut at " + std::to_string(limit) + " bytes");
        EXPECT_EQ(r.exit_code, c.code);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out.find("Randering"), std::string::npos);
        EXPECT_LE(file_size(dir / c.file), limit);
        for (const char *later : c.not_created) {
            EXPECT_FALSE(file_exists(dir / later)) << later;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ShortWriteSweep,
    ::testing::Values(
        ShortWrite{"ENVRNMNT.BIN", 300, {1, 99, 100, 250, 299}, {}, 11,
                   "\aERROR : Couldn't write environment definition binary file : ENVRNMNT.BIN\n",
                   {"PATCH.BIN", "FF.BIN"}},
        ShortWrite{"PATCH.BIN", 4896, {300, 301, 2448, 4892, 4895}, {}, 30,
                   "\aERROR : Couldn't write patch vertices binary file PATCH.BIN\n", {"FF.BIN", "PATCHRAD.BIN"}},
        ShortWrite{"FF.BIN", 41616, {4896, 4897, 20808, 41612, 41615}, {}, 8,
                   "\aERROR : Couldn't write form factor binary file : FF.BIN\n", {"PATCHRAD.BIN", "VERTRAD.BIN"}},
        ShortWrite{"PATCHRAD.BIN", 1224, {300, 612, 1220, 1223}, {"PATCH.BIN", "FF.BIN"}, 14,
                   "\aERROR : Couldn't write patch radiosity binary file PATCHRAD.BIN\n", {"VERTRAD.BIN"}},
        ShortWrite{"VERTRAD.BIN", 4896, {1224, 2448, 4892, 4895}, {"PATCH.BIN", "FF.BIN"}, 16,
                   "\aERROR : Couldn't write vertex radiosity binary file VERTRAD.BIN\n", {}}),
    [](const ::testing::TestParamInfo<ShortWrite> &param) {
        std::string name = param.param.file;
        return name.substr(0, name.find('.'));
    });

TEST(ShortWriteSweep, TheSweepSceneWritesTheSizesItIsCutAt) {
    ScratchDir dir;
    write_run_files(dir.path, sweep_scene());
    ProgramResult r = run_in(halvora_batch_exe(), dir.path);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(file_size(dir / "PATCH.BIN"), 4896);
    EXPECT_EQ(file_size(dir / "FF.BIN"), 41616);
    EXPECT_EQ(file_size(dir / "PATCHRAD.BIN"), 1224);
    EXPECT_EQ(file_size(dir / "VERTRAD.BIN"), 4896);
}

// A user's shell limit, as `ulimit -f 100` sets it (100 blocks of 1024 bytes),
// on a scene of 300 patches: FF.BIN (360,000 bytes) crosses it, and the run
// ends with that file's write error instead of being killed by SIGXFSZ.
TEST(ShortWrite, ShellFileSizeLimitEndsWithTheFileWriteError) {
    ScratchDir dir;
    write_run_files(dir.path, floor_line(15, 20) + polygon_line(LAMP_CORNERS, {5, 5, 5}, {0, 0, 0}, 1, 1) +
                                  polygon_line(CEILING_CORNERS, {0, 0, 0}, {0.5f, 0.5f, 0.5f}, 1, 1));
    ProgramResult r = run_program("/bin/sh", dir.path, {"-c", "ulimit -f 100; exec \"$0\"", halvora_batch_exe()});
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_EQ(r.err, "\aERROR : Couldn't write form factor binary file : FF.BIN\n");
    EXPECT_LE(file_size(dir / "FF.BIN"), 102400);
}

// --- standard streams closed at start ------------------------------------------------

// A descriptor 0, 1 or 2 closed at start was once handed to the first data
// file opened: with standard output closed the progress text went into
// FF.BIN. Each run with one of them closed leaves the files of a normal run.
TEST(ClosedStandardStream, RunWritesTheSameFilesAsANormalRun) {
    const char *files[4] = {"PATCH.BIN", "FF.BIN", "PATCHRAD.BIN", "VERTRAD.BIN"};
    std::string scene = sweep_scene();
    ScratchDir normal;
    write_run_files(normal.path, scene);
    ASSERT_EQ(run_program(halvora_batch_exe(), normal.path).exit_code, 0);
    for (const char *redirection : {">&-", "2>&-", "<&-"}) {
        SCOPED_TRACE(redirection);
        ScratchDir dir;
        write_run_files(dir.path, scene);
        ProgramResult r =
            run_program("/bin/sh", dir.path, {"-c", std::string("exec \"$0\" ") + redirection, halvora_batch_exe()});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        for (const char *file : files) EXPECT_TRUE(read_file(dir / file) == read_file(normal / file)) << file;
    }
}

// --- files that cannot be read or erased ---------------------------------------------

TEST(ReadFailure, SceneFileThatCannotBeReadEndsWithCode12) {
    // A directory opens for reading, and every read of it fails.
    ScratchDir dir;
    write_run_files(dir.path, "");
    ASSERT_EQ(remove((dir / "scene.txt").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "scene.txt").c_str(), 0755), 0);
    ProgramResult r = run_in(halvora_exe(), dir.path);
    EXPECT_EQ(r.exit_code, 12);
    EXPECT_EQ(r.err, "\aERROR: Couldn't read environment definition text file\n");
    EXPECT_EQ(r.out, "Start of 'Halvora'.\nEnvironment definition file at : scene.txt\n");
    EXPECT_EQ(file_size(dir / "ENVRNMNT.BIN"), 0) << "the parser's binary file stays";
}

// A stream whose every read fails, as on a device error.
FILE *failing_stream() {
    cookie_io_functions_t io = {};
    io.read = [](void *, char *, size_t) -> ssize_t {
        errno = EIO;
        return -1;
    };
    return fopencookie(nullptr, "r", io);
}

TEST(ReadFailure, PolygonRecordsThatCannotBeReadBack) {
    EXPECT_EXIT(read_polygons(2, failing_stream()), ::testing::ExitedWithCode(11),
                ::testing::Matcher<const std::string &>(
                    std::string("\aERROR : Couldn't read environment definition binary file : ENVRNMNT.BIN\n")));
}

Polygon one_patch_polygon() {
    Polygon polygon;
    memset(&polygon, 0, sizeof polygon);
    polygon.patches_u = 1;
    polygon.patches_v = 1;
    return polygon;
}

TEST(ReadFailure, FormFactorRowsThatCannotBeReadBack) {
    const std::string message = "\aERROR : Couldn't read form factor binary file : FF.BIN\n";
    Polygon polygon = one_patch_polygon();
    float row[1] = {0};
    float *matrix[1] = {row};
    float emission[3] = {0, 0, 0};
    // the run's solver, which reads the rows once for all three channels
    EXPECT_EXIT(read_form_factor_matrix(matrix, emission, 1, &polygon, 1, failing_stream()),
                ::testing::ExitedWithCode(11), ::testing::Matcher<const std::string &>(message));
    // the reference, channel by channel through a scratch row
    EXPECT_EXIT(build_radiosity_matrix(matrix, emission, 1, 0, &polygon, 1, failing_stream()),
                ::testing::ExitedWithCode(11), ::testing::Matcher<const std::string &>(message));
}

TEST(EraseFailure, EnvironmentBinaryFileThatCannotBeErased) {
#if !defined(__x86_64__)
    GTEST_SKIP() << "the seccomp filter is written for x86-64";
#endif
    ScratchDir dir;
    write_run_files(dir.path, cube_room());
    ProgramOptions options;
    options.deny_unlink = true;
    ProgramResult r = run_in(halvora_exe(), dir.path, options);
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(r.err, "\aERROR : Couldn't erase environment definition binary file : ENVRNMNT.BIN\n");
    EXPECT_EQ(r.out, "Start of 'Halvora'.\nEnvironment definition file at : scene.txt\n"
                     "Environment definition file parsed, 6 valid polygons read.\n");
    EXPECT_EQ(file_size(dir / "ENVRNMNT.BIN"), 600);
    EXPECT_FALSE(file_exists(dir / "PATCH.BIN"));
}

// --- memory that runs out: large buffers in whole runs -------------------------------

// The address space a run of halvora_batch may use: it runs the small scenes
// of these tests within 4 MB, and each buffer that must fail asks for more
// than this. Under AddressSanitizer the same bound is the largest single
// allocation instead.
constexpr unsigned long long MEMORY_LIMIT_MB = 16;

// The sanitizer announces each allocation it refuses on standard error; its
// messages go to `log_dir`/asan.log.* instead, so that standard error holds
// the program's own message alone (a sanitizer error would still show in the
// exit code).
ProgramOptions memory_limit(const std::string &log_dir) {
    ProgramOptions options;
    if (HALVORA_TEST_ASAN)
        options.asan_options = "allocator_may_return_null=1:max_allocation_size_mb=" +
                               std::to_string(MEMORY_LIMIT_MB) + ":log_path=" + log_dir + "/asan.log";
    else
        options.limits.address_space = MEMORY_LIMIT_MB << 20;
    return options;
}

struct LargeBuffer {
    const char *name;
    std::string scene;
    std::vector<const char *> to_null; // files sent to /dev/null to spare the disk
    int code;
    const char *last_output; // what standard output ends with at the failure
};

class LargeBufferOutOfMemory : public ::testing::TestWithParam<LargeBuffer> {};

TEST_P(LargeBufferOutOfMemory, EndsWithItsCode) {
    const LargeBuffer &c = GetParam();
    ScratchDir dir;
    write_run_files(dir.path, c.scene);
    for (const char *name : c.to_null) {
        ASSERT_EQ(symlink("/dev/null", (dir / name).c_str()), 0);
    }
    ProgramResult r = run_in(halvora_batch_exe(), dir.path, memory_limit(dir.path));
    EXPECT_EQ(r.exit_code, c.code);
    EXPECT_EQ(r.err, OUT_OF_MEMORY);
    ASSERT_GE(r.out.size(), strlen(c.last_output)) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - strlen(c.last_output)), c.last_output);
}

std::string many_polygons(int count) {
    std::string line = floor_line(1, 1), scene;
    scene.reserve(line.size() * (size_t)count);
    for (int i = 0; i < count; i++) scene += line;
    return scene;
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, LargeBufferOutOfMemory,
    ::testing::Values(
        // 200 000 polygons: parsed within the limit (the parser holds one
        // line), but their 20 MB array cannot be had. ENVRNMNT.BIN goes to
        // /dev/null: the array is obtained before the first record is read.
        LargeBuffer{"polygon_array", many_polygons(200000), {"ENVRNMNT.BIN"}, 10, "200000 valid polygons read.\n"},
        // a row table of 8 bytes per row: 400 million rows, 3.2 GB
        LargeBuffer{"patch_row_table", floor_line(400000000, 1), {}, 21, "1 valid polygons read.\n"},
        // a row of 32 bytes per patch: 100 million patches, 3.2 GB
        LargeBuffer{"patch_row", floor_line(1, 100000000), {}, 22, "1 valid polygons read.\n"}),
    [](const ::testing::TestParamInfo<LargeBuffer> &param) { return std::string(param.param.name); });

// 4096 patches need a 64 MB matrix, obtained as one zero-filled block of all
// its rows, which the limit does not leave room for. One hemicube cell a
// patch (pixel size 2) keeps the form factors quick; FF.BIN goes to /dev/null.
TEST(MatrixOutOfMemory, RowsOfTheMatrixRunOut) {
    if (HALVORA_TEST_ASAN)
        GTEST_SKIP() << "the test limits the whole address space, and AddressSanitizer cannot run under such a "
                        "limit";
    ScratchDir dir;
    IniSettings settings;
    settings.pixel_size = "2";
    write_run_files(dir.path, floor_line(64, 64), settings);
    ASSERT_EQ(symlink("/dev/null", (dir / "FF.BIN").c_str()), 0);
    ProgramResult r = run_in(halvora_batch_exe(), dir.path, memory_limit(dir.path));
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_EQ(r.err, OUT_OF_MEMORY);
    const std::string tail = "done.  \n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << "ends after the form factors, before the solution";
}

// --- memory that runs out: every allocation of the batch ----------------------------

// Where a run stopped, told by the progress it printed.
enum Stage { CONFIGURATION, PARSING, LOADING_AND_GRID, FORM_FACTOR_SETUP, FORM_FACTORS, SOLUTION_SETUP, OUTPUT };

Stage stage_reached(const std::string &out) {
    auto has = [&](const char *text) { return out.find(text) != std::string::npos; };
    if (has("Radiosity solution ")) return OUTPUT; // the run's solver allocates nothing once it prints
    if (has("done.  \n")) return SOLUTION_SETUP;
    if (has("Hemicube initialized")) return FORM_FACTORS;
    if (has("decomposed into")) return FORM_FACTOR_SETUP;
    if (has("valid polygons read")) return LOADING_AND_GRID;
    if (has("Environment definition file at")) return PARSING;
    return CONFIGURATION;
}

struct InjectedRun {
    int exit_code;
    std::string out, err;
};

// Runs the batch stages in a forked child, in `dir`, with the k-th calloc
// failing (k = 0: none).
InjectedRun run_batch_failing_calloc(const std::string &dir, long k) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        if (!freopen("stdout.txt", "w", stdout) || !freopen("stderr.txt", "w", stderr)) _exit(126);
        calloc_fail_at = k;
        run_batch_stages();
        exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    InjectedRun run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = read_file(dir + "/stdout.txt");
    run.err = read_file(dir + "/stderr.txt");
    return run;
}

// The out-of-memory codes of the batch, by the stage in which they are met.
const std::map<Stage, std::set<int>> CODES_BY_STAGE = {
    {CONFIGURATION, {50}},          // the reader's line buffer
    {PARSING, {10}},                // the parser's line buffer
    {LOADING_AND_GRID, {10, 20, 21, 22}}, // polygons; grid, row tables, rows
    {FORM_FACTOR_SETUP, {7, 10, 11, 12}}, // form-factor row; the hemicube's three buffers
    {FORM_FACTORS, {10}},           // the ray casting's tables
    {SOLUTION_SETUP, {9, 10, 11, 12}},    // matrix row table, matrix rows, emission, radiosity
    {OUTPUT, {20}},                 // vertex radiosities
};

// Fails each calloc of a whole batch run in turn, the first, the second, and
// so on until a run gets through: every one must end with "Out of memory!"
// and a code of the stage it failed in, and together they must meet every
// out-of-memory code of the batch.
TEST(AllocationFailureSweep, EveryAllocationOfTheBatchEndsWithItsCode) {
    ScratchDir dir;
    IniSettings settings;
    settings.pixel_size = "0.5";
    write_run_files(dir.path, cube_room({1, 1, 1}, {0.5f, 0.5f, 0.5f}, 2, 3), settings);
    std::set<std::pair<Stage, int>> met;
    long k = 1;
    for (;; k++) {
        ASSERT_LT(k, 10000) << "no run got through";
        InjectedRun run = run_batch_failing_calloc(dir.path, k);
        if (run.exit_code == 0 && run.err.empty()) break;
        Stage stage = stage_reached(run.out);
        SCOPED_TRACE("calloc " + std::to_string(k) + " failing, stage " + std::to_string(stage) + ", output:\n" +
                     run.out);
        EXPECT_EQ(run.err, OUT_OF_MEMORY);
        EXPECT_EQ(CODES_BY_STAGE.at(stage).count(run.exit_code), 1u) << "code " << run.exit_code;
        met.insert({stage, run.exit_code});
    }
    for (const auto &entry : CODES_BY_STAGE) {
        for (int code : entry.second) {
            EXPECT_EQ(met.count({entry.first, code}), 1u) << "stage " << entry.first << " code " << code << " never met";
        }
    }
    // the run that got through wrote what a run without failures writes
    InjectedRun clean = run_batch_failing_calloc(dir.path, 0);
    EXPECT_EQ(clean.exit_code, 0);
    EXPECT_EQ(file_size(dir / "VERTRAD.BIN"), 48 * 11);
    RecordProperty("allocations", std::to_string(k - 1));
}

// The reference solver's scratch row: the run's solver reads the rows straight
// into the matrix and has none, so it is failed here directly.
TEST(AllocationFailure, ScratchRowOfTheReferenceSolver) {
    Polygon polygon = one_patch_polygon();
    float row[1] = {0};
    float *matrix[1] = {row};
    float emission[3] = {0, 0, 0};
    FILE *ff_file = tmpfile();
    ASSERT_NE(ff_file, nullptr);
    EXPECT_EXIT(
        {
            calloc_fail_at = 1;
            build_radiosity_matrix(matrix, emission, 1, 0, &polygon, 1, ff_file);
        },
        ::testing::ExitedWithCode(10), ::testing::Matcher<const std::string &>(OUT_OF_MEMORY));
    fclose(ff_file);
}

// A worker's arrays: zeroed, and no two of them with a byte in the same
// cache-line pair, whatever their sizes and however the heap orders them
// (freed blocks in between, so later ones land in the gaps). A request whose
// size does not fit ends with the code given.
TEST(AllocationFailure, WorkerArraysNeverShareALineAndOversizedOnesEndWithTheirCode) {
    std::vector<std::pair<uintptr_t, size_t>> blocks;
    std::vector<void *> kept;
    for (size_t k = 0; k < 600; k++) {
        size_t count = 1 + (k * 37) % 300, size = 1 + k % 12;
        void *block = checked_calloc_apart(count, size, 10);
        const unsigned char *bytes = (const unsigned char *)block;
        for (size_t b = 0; b < count * size; b++) ASSERT_EQ(bytes[b], 0) << k;
        memset(block, 0xa5, count * size);
        if (k % 3 == 1) {
            free(block);
        } else {
            kept.push_back(block);
            blocks.push_back({(uintptr_t)block, count * size});
        }
    }
    std::sort(blocks.begin(), blocks.end());
    for (size_t k = 1; k < blocks.size(); k++) {
        uintptr_t last = blocks[k - 1].first + blocks[k - 1].second - 1;
        EXPECT_LT(last / APART_CALLOC_LINES, blocks[k].first / APART_CALLOC_LINES) << k;
    }
    for (void *block : kept) free(block);
    EXPECT_EXIT(checked_calloc_apart(SIZE_MAX / 4, 8, 12), ::testing::ExitedWithCode(12),
                ::testing::Matcher<const std::string &>(OUT_OF_MEMORY));
}

// --- the text exports' reads ------------------------------------------------------

// What stands in the export's source file's place before it runs.
enum ExportSource { NO_FILE, A_DIRECTORY, A_GOOD_FILE };

struct ExportCase {
    const char *name;
    const char *source;    // FF.BIN, PATCH.BIN or PATCHRAD.BIN
    ExportSource prepared;
    bool fail_allocation;  // its buffer's calloc fails
    int code;
    const char *message;
};

class ExportFailure : public ::testing::TestWithParam<ExportCase> {};

// Each export run in-process on a one-patch scene, in a forked child whose
// working directory holds the prepared source file; the output goes nowhere.
TEST_P(ExportFailure, EndsWithItsCode) {
    const ExportCase &c = GetParam();
    ScratchDir dir;
    if (c.prepared == A_DIRECTORY) {
        ASSERT_EQ(mkdir((dir / c.source).c_str(), 0755), 0);
    }
    if (c.prepared == A_GOOD_FILE) write_floats_file(dir / c.source, std::vector<float>(12, 0.5f));
    static Polygon polygon = one_patch_polygon();
    std::string source = c.source;
    EXPECT_EXIT(
        {
            if (chdir(dir.path.c_str()) != 0) abort();
            FILE *out = fopen("/dev/null", "w");
            if (c.fail_allocation) calloc_fail_at = 1; // the first calloc is the export's buffer
            if (source == "FF.BIN") export_form_factors(1, out);
            if (source == "PATCH.BIN") export_patch_vertices(&polygon, 1, out);
            if (source == "PATCHRAD.BIN") export_solution(1, out);
            exit(0);
        },
        ::testing::ExitedWithCode(c.code), ::testing::Matcher<const std::string &>(std::string(c.message)));
}

INSTANTIATE_TEST_SUITE_P(
    Exports, ExportFailure,
    ::testing::Values(
        ExportCase{"form_factors_no_file", "FF.BIN", NO_FILE, false, 20,
                   "\aERROR : Couldn't open form factor binary file : FF.BIN\n"},
        ExportCase{"form_factors_no_memory", "FF.BIN", A_GOOD_FILE, true, 21, "\aERROR : Out of memory!\n"},
        ExportCase{"form_factors_unreadable", "FF.BIN", A_DIRECTORY, false, 22,
                   "\aERROR : Couldn't read form factor binary file FF.BIN\n"},
        ExportCase{"solution_no_file", "PATCHRAD.BIN", NO_FILE, false, 30,
                   "\aERROR : Couldn't open patch radiosity binary file : PATCHRAD.BIN\n"},
        ExportCase{"solution_no_memory", "PATCHRAD.BIN", A_GOOD_FILE, true, 31, "\aERROR : Out of memory!\n"},
        ExportCase{"solution_unreadable", "PATCHRAD.BIN", A_DIRECTORY, false, 32,
                   "\aERROR : Couldn't read patch radiosity binary file PATCHRAD.BIN\n"},
        ExportCase{"patch_vertices_no_file", "PATCH.BIN", NO_FILE, false, 40,
                   "\aERROR : Couldn't open patch vertices binary file : PATCH.BIN\n"},
        ExportCase{"patch_vertices_no_memory", "PATCH.BIN", A_GOOD_FILE, true, 41, "\aERROR : Out of memory!\n"},
        ExportCase{"patch_vertices_unreadable", "PATCH.BIN", A_DIRECTORY, false, 42,
                   "\aERROR : Couldn't read patch vertices binary file PATCH.BIN\n"}),
    [](const ::testing::TestParamInfo<ExportCase> &param) { return std::string(param.param.name); });

// --- scenes the fuzz targets found ---------------------------------------------------

// Corners 1e30 apart passed every check, and the cross product of the edges,
// rounded to single precision, overflowed: the normal became NaN, and NaN
// reached the hemicube. Such a polygon is now invalid, and so is one whose
// patch size rounds to 0.
TEST(FuzzFindings, HugeCornersOverflowedTheNormalToNan) {
    ScratchDir dir;
    write_run_files(dir.path, "[(-1e30 0 0),(1e30 0 0),(1e30 1e30 0),(-1e30 1e30 0)],(0 0 0),(0 0 0),(3 3)\n"
                              "[(0 0 0),(3e38 0 0),(3e38 3e38 0),(0 3e38 0)],(0 0 0),(0 0 0),(1 1)\n"
                              "[(0 0 0),(1e-45 0 0),(1e-45 1e37 0),(0 1e37 0)],(0 0 0),(0 0 0),(10 1)\n");
    ProgramResult r = run_in(halvora_exe(), dir.path);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "\aERROR : Invalid polygon specification at line 1 of environment definition file\n"
                     "\aERROR : Invalid polygon specification at line 2 of environment definition file\n"
                     "\aERROR : Invalid polygon specification at line 3 of environment definition file\n");
    EXPECT_EQ(r.out, "Start of 'Halvora'.\nEnvironment definition file at : scene.txt\n"
                     "No polygons found in environment definition file\n");
}

} // namespace
