// halvora-bake run whole, beside halvora_batch (the same stages as halvora
// without the viewer) as the reference: the console, the codes and the binary
// files must be the same; the picture, the meshes and the exports are checked
// against the binary files the run kept. Readers are other people's: libpng
// for the PNG, tinygltf's loader for the .glb. The comparison with the
// viewer's window, the glTF validator and a PLY reader run in
// tests/bake/run_bake_checks.sh.
//
// What can go wrong around a run is made to happen for real: a second bake
// started while the first computes its rows, a signal sent in the middle of
// the rows, a file-size limit lowered on the running process (prlimit) so
// that its outputs are cut short, small file systems (tmpfs, mounted in a
// mount namespace of its own by unshare(1); the case is skipped where that is
// not allowed), and a working directory deeper than PATH_MAX.
#define TINYGLTF_IMPLEMENTATION
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#include <tiny_gltf.h>

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <set>
#include <string>
#include <vector>

#include "support/program.h"
#include "support/scenes.h"

namespace {

const char *const BINARY_FILES[] = {"PATCH.BIN", "FF.BIN", "PATCHRAD.BIN", "VERTRAD.BIN"};

// The lit cube room with a 2 x 2 floor: 9 patches, a ceiling whose
// radiosity exceeds 1.
std::string lit_cube() { return cube_room({1, 1, 1}, {0.5f, 0.5f, 0.5f}, 2, 2); }

struct BakeDir {
    std::string dir;
    ProgramResult result;
    ~BakeDir() { remove_tree(dir); }
};

void run_in(BakeDir *run, const std::string &exe, const std::string &scene, const std::vector<std::string> &args,
            const ProgramLimits &limits = {}) {
    run->dir = make_temp_dir("bake");
    if (!scene.empty()) write_run_files(run->dir, scene);
    run->result = run_program(exe, run->dir, args, {"DISPLAY="}, limits);
}

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = d ? readdir(d) : nullptr)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    if (d) closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

struct Picture {
    unsigned width = 0, height = 0;
    std::vector<unsigned char> rgb;
};

Picture read_png(const std::string &path) {
    Picture picture;
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return picture;
    image.format = PNG_FORMAT_RGB;
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) return Picture{};
    picture.width = image.width;
    picture.height = image.height;
    return picture;
}

size_t colour_count(const Picture &picture) {
    std::set<unsigned> colours;
    for (size_t p = 0; p + 2 < picture.rgb.size(); p += 3)
        colours.insert((unsigned)picture.rgb[p] << 16 | (unsigned)picture.rgb[p + 1] << 8 | picture.rgb[p + 2]);
    return colours.size();
}

// The floats of accessor `index` of a .glb.
std::vector<float> accessor_floats(const tinygltf::Model &model, int index) {
    const tinygltf::Accessor &accessor = model.accessors[(size_t)index];
    const tinygltf::BufferView &view = model.bufferViews[(size_t)accessor.bufferView];
    const unsigned char *data = model.buffers[(size_t)view.buffer].data.data() + view.byteOffset + accessor.byteOffset;
    std::vector<float> values(accessor.count * 3);
    memcpy(values.data(), data, values.size() * sizeof(float));
    return values;
}

// A scene whose form-factor rows take about a second (0.85 s in the normal
// build, more under the sanitizers): four walls of the cube room with 2 x 2
// patches each, 16 patches, under a hemicube of 2000 cells a side. Its binary
// files stay small (FF.BIN 1024 bytes), its outputs are larger (the PNG
// about 2.3 KB, the .glb 4 KB, the .ply 1.7 KB, FF.TXT 2 KB).
const char *const SLOW_SCENE = "[(0 0 0),(2 0 0),(2 2 0),(0 2 0)],(0 0 0),(0.5 0.5 0.5),(2 2)\n"
                               "[(0 0 2),(0 2 2),(2 2 2),(2 0 2)],(1 1 1),(0.5 0.5 0.5),(2 2)\n"
                               "[(0 0 0),(0 2 0),(0 2 2),(0 0 2)],(0 0 0),(0.5 0.5 0.5),(2 2)\n"
                               "[(2 0 0),(2 0 2),(2 2 2),(2 2 0)],(0 0 0),(0.5 0.5 0.5),(2 2)\n";

IniSettings slow_settings() {
    IniSettings settings;
    settings.pixel_size = "0.001";
    return settings;
}

// A bake running in the background, its standard error on a pipe so that a
// test can wait for the form-factor rows to begin; standard output goes to
// an unlinked scratch file.
struct RunningBake {
    pid_t pid = -1;
    int err_pipe = -1, out_fd = -1;
    std::string out, err;
    int status = 0; // waitpid's, once finished
};

// Starts the bake after entering each of `steps` in turn (one directory, or
// the components of a path too long for a single chdir).
RunningBake start_bake(const std::vector<std::string> &steps, const std::vector<std::string> &args,
                       bool ignore_hangup = false) {
    RunningBake bake;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return bake;
    char name[] = "/tmp/halvora-bake-out-XXXXXX";
    bake.out_fd = mkstemp(name);
    unlink(name);
    fflush(nullptr);
    bake.pid = fork();
    if (bake.pid == 0) {
        for (const std::string &step : steps)
            if (chdir(step.c_str()) != 0) _exit(126);
        int in_fd = open("/dev/null", O_RDONLY);
        dup2(in_fd, 0);
        dup2(bake.out_fd, 1);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        unsetenv("DISPLAY");
        if (ignore_hangup) signal(SIGHUP, SIG_IGN);
        std::vector<char *> argv = {const_cast<char *>(HALVORA_BAKE_EXE)};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(HALVORA_BAKE_EXE, argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    bake.err_pipe = pipe_fds[0];
    return bake;
}

// Reads more of standard error; false at its end or when nothing comes for 60 s.
bool read_err(RunningBake *bake) {
    char buffer[4096];
    pollfd ready = {bake->err_pipe, POLLIN, 0};
    if (poll(&ready, 1, 60000) <= 0) return false;
    ssize_t got = read(bake->err_pipe, buffer, sizeof buffer);
    if (got <= 0) return false;
    bake->err.append(buffer, (size_t)got);
    return true;
}

// Reads standard error until it holds `text`; false when it ends first.
bool wait_for_err(RunningBake *bake, const std::string &text) {
    while (bake->err.find(text) == std::string::npos)
        if (!read_err(bake)) return false;
    return true;
}

// Reads standard error to its end (so the bake never blocks on a full pipe)
// and waits for the process.
void finish_bake(RunningBake *bake) {
    while (read_err(bake)) {
    }
    close(bake->err_pipe);
    waitpid(bake->pid, &bake->status, 0);
    char buffer[4096];
    lseek(bake->out_fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(bake->out_fd, buffer, sizeof buffer)) > 0;) bake->out.append(buffer, (size_t)got);
    close(bake->out_fd);
}

// The bake's files that are neither under their final name nor the run's:
// temporary outputs (".NAME.PID-K.tmp").
size_t temporary_files(const std::string &dir) {
    size_t count = 0;
    for (const std::string &name : entries(dir))
        if (name[0] == '.' && name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) count++;
    return count;
}

// Runs `script` with sh in a mount namespace of its own, in `dir`: the mounts
// it makes vanish with it. Code 77: the mount was refused.
ProgramResult run_in_mount_namespace(const std::string &dir, const std::string &script) {
    return run_program("/usr/bin/unshare", dir, {"-m", "/bin/sh", "-c", script}, {"DISPLAY="});
}

bool mount_namespace_refused(const ProgramResult &result) {
    return result.exit_code == 77 || result.err.rfind("unshare:", 0) == 0;
}

// The same with every number of threads (none given: the CPUs there are).
TEST(BakeRun, SameConsoleAndBinaryFilesAsTheBatchThenItsOwnLinesAndTheEnd) {
    BakeDir batch;
    run_in(&batch, halvora_batch_exe(), lit_cube(), {});
    ASSERT_EQ(batch.result.exit_code, 0);
    for (const char *threads : {"", "1", "2", "3", "8"}) {
        BakeDir bake;
        std::vector<std::string> args = {"--keep"};
        if (*threads) args.insert(args.end(), {"--threads", threads});
        run_in(&bake, HALVORA_BAKE_EXE, lit_cube(), args);
        EXPECT_EQ(bake.result.exit_code, 0) << threads;
        EXPECT_EQ(bake.result.out, batch.result.out + "End of 'Halvora'.\n") << threads;
        for (const char *name : BINARY_FILES)
            EXPECT_EQ(read_file(bake.dir + "/" + name), read_file(batch.dir + "/" + name)) << name << ", " << threads;
        // Standard error is no terminal: plain progress lines, the last one complete.
        EXPECT_NE(bake.result.err.find("form factors: 9/9 rows"), std::string::npos) << bake.result.err;
        EXPECT_EQ(bake.result.err.find('\033'), std::string::npos);
    }
    // The furnished example's 1,846 patches: the rows kept in memory, most of
    // them compactly, give the batch's files too.
    const std::string furnished = read_file(source_root() + "/examples/furnished/furnished.txt");
    BakeDir big_batch;
    run_in(&big_batch, halvora_batch_exe(), furnished, {});
    ASSERT_EQ(big_batch.result.exit_code, 0);
    for (const char *threads : {"1", "3"}) {
        BakeDir bake;
        run_in(&bake, HALVORA_BAKE_EXE, furnished, {"--keep", "-j", threads});
        EXPECT_EQ(bake.result.out, big_batch.result.out + "End of 'Halvora'.\n") << threads;
        for (const char *name : BINARY_FILES)
            EXPECT_TRUE(read_file(bake.dir + "/" + name) == read_file(big_batch.dir + "/" + name)) << name << ", " << threads;
    }
}

// The rows stay in memory: without --keep or --ff-file no FF.BIN is ever
// written, with --ff-file it is halvora's and it alone stays; every stage
// reports on standard error.
TEST(BakeRun, FormFactorFileOnlyWhenAskedForAndEveryStageReported) {
    BakeDir batch;
    run_in(&batch, halvora_batch_exe(), lit_cube(), {});
    ASSERT_EQ(batch.result.exit_code, 0);
    for (const char *threads : {"1", "3"}) {
        BakeDir plain, with_file;
        run_in(&plain, HALVORA_BAKE_EXE, lit_cube(), {"-j", threads});
        run_in(&with_file, HALVORA_BAKE_EXE, lit_cube(), {"-j", threads, "--ff-file"});
        ASSERT_EQ(plain.result.exit_code, 0) << plain.result.err;
        ASSERT_EQ(with_file.result.exit_code, 0) << with_file.result.err;
        EXPECT_EQ(plain.result.out, batch.result.out + "End of 'Halvora'.\n");
        EXPECT_EQ(entries(plain.dir), (std::vector<std::string>{"RADIOSTY.INI", "scene.txt"}));
        EXPECT_EQ(entries(with_file.dir), (std::vector<std::string>{"FF.BIN", "RADIOSTY.INI", "scene.txt"}));
        EXPECT_EQ(read_file(with_file.dir + "/FF.BIN"), read_file(batch.dir + "/FF.BIN")) << threads;
        const std::string &err = plain.result.err;
        size_t at = 0;
        for (const char *line : {"patches: cutting 6 polygons into patches\n", "patches: done in ",
                                 "form factors: 9/9 rows", "solution: sweep 1, largest change red ",
                                 "solution: done in ", "outputs: done in "}) {
            at = err.find(line, at);
            EXPECT_NE(at, std::string::npos) << line << " in " << err;
        }
    }
}

TEST(BakeRun, TerminalGetsABarBelowTheCounterAndItIsClearedAtTheEnd) {
    // script(1) runs the bake on a pseudo-terminal: both streams reach it.
    BakeDir run;
    run_in(&run, "/usr/bin/script", lit_cube(), {"-qec", std::string(HALVORA_BAKE_EXE) + " --keep", "/dev/null"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    const std::string &screen = run.result.out;
    // Saved cursor, one line down, the bar, the cursor restored; cleared last.
    EXPECT_NE(screen.find("\0337\033D\rform factors [##############################] 9/9 rows"), std::string::npos)
        << screen;
    size_t cleared = screen.find("\0337\033D\r\033[K\0338");
    EXPECT_NE(cleared, std::string::npos);
    EXPECT_EQ(screen.find("form factors:"), std::string::npos); // no plain lines
    EXPECT_LT(cleared, screen.find("done.  "));
}

TEST(BakeRun, BadInputEndsAsTheBatchDoes) {
    // The runs that fail leave the same files as the batch; the one that
    // completes (a dropped line) differs only by its end.
    struct Case {
        const char *name;
        std::string ini, scene; // an empty ini: none at all
        bool completes;
    } cases[] = {
        {"no RADIOSTY.INI", "", "", false},
        {"no settings section", "camera\n", lit_cube(), false},
        {"no scene file", ini_text(), "", false},
        {"line that is no polygon", ini_text(), "hello\n" + lit_cube(), true},
    };
    for (const Case &c : cases) {
        BakeDir batch, bake;
        for (BakeDir *run : {&batch, &bake}) {
            run->dir = make_temp_dir("bake");
            if (!c.ini.empty()) write_file(run->dir + "/RADIOSTY.INI", c.ini);
            if (!c.scene.empty()) write_file(run->dir + "/scene.txt", c.scene);
        }
        batch.result = run_program(halvora_batch_exe(), batch.dir, {}, {"DISPLAY="});
        bake.result = run_program(HALVORA_BAKE_EXE, bake.dir, {}, {"DISPLAY="});
        EXPECT_EQ(bake.result.exit_code, batch.result.exit_code) << c.name;
        if (c.completes) {
            EXPECT_EQ(bake.result.out, batch.result.out + "End of 'Halvora'.\n") << c.name;
            EXPECT_EQ(bake.result.err.substr(0, bake.result.err.find("patches:")), batch.result.err) << c.name;
        } else {
            EXPECT_EQ(bake.result.out, batch.result.out) << c.name;
            EXPECT_EQ(bake.result.err, batch.result.err) << c.name;
            EXPECT_EQ(entries(bake.dir), entries(batch.dir)) << c.name;
        }
    }
}

TEST(BakeRun, CommandLine) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char *out_starts, *err_has;
    } cases[] = {
        {{"--help"}, 0, "Usage: halvora-bake [DIR] [options]\n", ""},
        {{"--version"}, 0, "halvora-bake ", ""},
        {{"--frobnicate"}, 64, "", "halvora-bake: unknown option '--frobnicate'\n"},
        {{"--frob=2"}, 64, "", "halvora-bake: unknown option '--frob=2'\n"},
        {{"-x"}, 64, "", "halvora-bake: unknown option '-x'\n"},
        {{"-room"}, 64, "", "halvora-bake: unknown option '-r' in '-room'\n"},
        {{"room", "-xyz"}, 64, "", "halvora-bake: unknown option '-x' in '-xyz'\n"},
        {{"--keep=1"}, 64, "", "halvora-bake: option '--keep' takes no value\n"},
        {{"--ff-file=FF.BIN"}, 64, "", "halvora-bake: option '--ff-file' takes no value\n"},
        {{"--image"}, 64, "", "halvora-bake: option '--image' needs a value\n"},
        {{"--image", "x.jpg"}, 64, "", "writes a .png file"},
        {{"--mesh", "x.obj"}, 64, "", "a .glb or a .ply"},
        {{"--size", "640x0"}, 64, "", "--size takes WIDTHxHEIGHT"},
        {{"--size", "16385x16"}, 64, "", "each 1 to 16384, not '16385x16'"},
        {{"--threads", "0"}, 64, "", "--threads takes a number of threads from 1 to 1024, not '0'"},
        {{"-j", "2x"}, 64, "", "not '2x'"},
        {{"--threads=1025"}, 64, "", "not '1025'"},
        {{"-j"}, 64, "", "option '-j' needs a value"},
        {{"a", "b"}, 64, "", "'b' is one too many"},
        {{"--", "a", "b"}, 64, "", "'b' is one too many"},
        {{"no-such-dir"}, 65, "", "\aERROR : Couldn't enter scene directory : no-such-dir"},
    };
    for (const Case &c : cases) {
        BakeDir run;
        run_in(&run, HALVORA_BAKE_EXE, lit_cube(), c.args);
        std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(run.result.exit_code, c.code) << what;
        EXPECT_EQ(run.result.out.rfind(c.out_starts, 0), 0u) << what << ": " << run.result.out;
        EXPECT_NE(run.result.err.find(c.err_has), std::string::npos) << what << ": " << run.result.err;
        EXPECT_EQ(entries(run.dir), (std::vector<std::string>{"RADIOSTY.INI", "scene.txt"})) << what;
    }
}

TEST(BakeRun, DirectoryArgumentReadsThereAndWritesOutputsHere) {
    BakeDir run;
    run.dir = make_temp_dir("bake");
    mkdir((run.dir + "/scene").c_str(), 0777);
    write_run_files(run.dir + "/scene", lit_cube());
    run.result = run_program(HALVORA_BAKE_EXE, run.dir, {"scene", "--image", "out.png", "--exports"}, {"DISPLAY="});
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_NE(run.result.out.find("\nImage written to out.png\n"), std::string::npos) << run.result.out;
    // The outputs are in place, no temporary file is left, and without
    // --keep the binary files are erased at the end.
    EXPECT_EQ(entries(run.dir), (std::vector<std::string>{"out.png", "scene"}));
    EXPECT_EQ(entries(run.dir + "/scene"),
              (std::vector<std::string>{"FF.TXT", "PATCHES.TXT", "RADIOSTY.INI", "SOLUTION.TXT", "scene.txt"}));
}

TEST(Preflight, RowsBeyondTheAddressSpaceLimitAreRefusedAndWhatFitsRuns) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot start under an address-space limit";
#endif
    // Under `ulimit -v` of about 1 GB: one polygon of 1000 x 1000 patches
    // would store up to 192 terms a row (the cells at 0.25), 1.55e9 bytes
    // and more, which does not fit; 250 x 400 = 100,000 patches, whose
    // n x n floats (4e10 bytes) would not fit either, keep no such block and
    // run. Neither writes FF.BIN.
    const ProgramLimits limit{0, 1000000ULL * 1024};
    BakeDir refused, runs;
    run_in(&refused, HALVORA_BAKE_EXE, "[(0 0 0),(10 0 0),(10 10 0),(0 10 0)],(0 0 0),(0.5 0.5 0.5),(1000 1000)\n",
           {"-j", "1"}, limit);
    EXPECT_EQ(refused.result.exit_code, 60);
    const std::string starts = "\aERROR : Not enough memory for the form-factor rows of 1000000 patches : ";
    ASSERT_EQ(refused.result.err.rfind(starts, 0), 0u) << refused.result.err;
    double needed = atof(refused.result.err.c_str() + starts.size());
    EXPECT_GE(needed, 1000000.0 * (2 * 192 + 4) * 4) << refused.result.err;
    EXPECT_LE(needed, 1.1 * 1000000.0 * (2 * 192 + 4) * 4) << refused.result.err;
    EXPECT_NE(refused.result.err.find("left under the address-space limit (ulimit -v)\n"), std::string::npos);
    EXPECT_EQ(entries(refused.dir), (std::vector<std::string>{"RADIOSTY.INI", "scene.txt"}));

    run_in(&runs, HALVORA_BAKE_EXE, "[(0 0 0),(10 0 0),(10 10 0),(0 10 0)],(0 0 0),(0.5 0.5 0.5),(250 400)\n",
           {"-j", "1"}, limit);
    EXPECT_EQ(runs.result.exit_code, 0) << runs.result.err;
}

TEST(Preflight, FormFactorFileBeyondTheFileSizeLimitIsRefusedOnlyWhenWritten) {
    // 40 x 25 = 1000 patches: FF.BIN of 4,000,000 bytes against a 1 MiB
    // limit, asked for by --ff-file; without it the run writes no FF.BIN.
    BakeDir refused, runs;
    const std::string scene = "[(0 0 0),(10 0 0),(10 10 0),(0 10 0)],(0 0 0),(0.5 0.5 0.5),(40 25)\n";
    run_in(&refused, HALVORA_BAKE_EXE, scene, {"--ff-file"}, ProgramLimits{1 << 20, 0});
    EXPECT_EQ(refused.result.exit_code, 61);
    EXPECT_EQ(refused.result.err,
              "\aERROR : Not enough disk space for form factor binary file FF.BIN of 1000 patches : "
              "4000000 bytes (3.8 MiB) needed, 1048576 bytes (1.0 MiB) allowed by the file-size "
              "limit (ulimit -f)\n");
    EXPECT_EQ(entries(refused.dir), (std::vector<std::string>{"RADIOSTY.INI", "scene.txt"}));
    run_in(&runs, HALVORA_BAKE_EXE, scene, {}, ProgramLimits{1 << 20, 0});
    EXPECT_EQ(runs.result.exit_code, 0) << runs.result.err;
    EXPECT_EQ(entries(runs.dir), (std::vector<std::string>{"RADIOSTY.INI", "scene.txt"}));
}

TEST(BakeOutputs, ExportsAreTheMenusTexts) {
    BakeDir run;
    run_in(&run, HALVORA_BAKE_EXE, lit_cube(), {"--exports", "--keep"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_NE(run.result.out.find("done.\nForm factors exported to FF.TXT\nPatch vertices exported to PATCHES.TXT\n"
                                  "Radiosity solution exported to SOLUTION.TXT\nEnd of 'Halvora'.\n"),
              std::string::npos);
    // FF.TXT and SOLUTION.TXT formatted here from the kept files.
    std::vector<float> ff = read_floats_file(run.dir + "/FF.BIN"), rad = read_floats_file(run.dir + "/PATCHRAD.BIN");
    std::string ff_text, solution_text;
    char field[64];
    for (size_t r = 0; r < 9; r++) {
        for (size_t c = 0; c < 9; c++) ff_text += (snprintf(field, sizeof field, "%7.4f ", (double)ff[9 * r + c]), field);
        ff_text += "\n";
        snprintf(field, sizeof field, "(%7.4f %7.4f %7.4f)\n", (double)rad[3 * r], (double)rad[3 * r + 1],
                 (double)rad[3 * r + 2]);
        solution_text += field;
    }
    EXPECT_EQ(read_file(run.dir + "/FF.TXT"), ff_text);
    EXPECT_EQ(read_file(run.dir + "/SOLUTION.TXT"), solution_text + "-------------------------\n");
    std::string patches = read_file(run.dir + "/PATCHES.TXT");
    EXPECT_EQ(patches.rfind("polygon 0 : 4 patches \n[( 0.00  0.00  0.00),( 1.00  0.00  0.00),", 0), 0u);
    EXPECT_EQ(std::count(patches.begin(), patches.end(), '\n'), 9 + 2 * 6);
}

// FF.TXT comes from the rows kept in memory: with a 10 x 10 floor (105
// patches) the floor's rows are kept compactly and the walls' densely, and
// both print as the rows of FF.BIN do.
TEST(BakeOutputs, FormFactorExportFromTheStoredRowsIsTheFilesText) {
    BakeDir run;
    run_in(&run, HALVORA_BAKE_EXE, cube_room({1, 1, 1}, {0.5f, 0.5f, 0.5f}, 10, 10), {"--exports", "--keep", "-j", "2"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    std::vector<float> ff = read_floats_file(run.dir + "/FF.BIN");
    ASSERT_EQ(ff.size(), 105u * 105u);
    std::string text;
    char field[64];
    for (size_t k = 0; k < ff.size(); k++) {
        text += (snprintf(field, sizeof field, "%7.4f ", (double)ff[k]), field);
        if (k % 105 == 104) text += "\n";
    }
    EXPECT_TRUE(read_file(run.dir + "/FF.TXT") == text);
}

TEST(BakeOutputs, PictureIsDrawnWithoutADisplaySmoothOrCoarse) {
    // The room of the viewer's tests: 21 patches, a red and a green wall.
    const std::string room = "[(0 0 0),(2 0 0),(2 2 0),(0 2 0)],(0 0 0),(0.7 0.7 0.7),(2 2)\n"
                             "[(0 0 2),(0 2 2),(2 2 2),(2 0 2)],(1 1 1),(0.5 0.5 0.5),(2 2)\n"
                             "[(0 0 0),(0 2 0),(0 2 2),(0 0 2)],(0 0 0),(0.8 0.2 0.2),(2 2)\n"
                             "[(2 0 0),(2 0 2),(2 2 2),(2 2 0)],(0 0 0),(0.2 0.8 0.2),(2 2)\n"
                             "[(0 0 0),(0 0 2),(2 0 2),(2 0 0)],(0 0 0),(0.6 0.6 0.6),(1 1)\n"
                             "[(0 2 0),(2 2 0),(2 2 2),(0 2 2)],(0 0 0),(0.6 0.6 0.8),(2 2)\n";
    BakeDir smooth_run, coarse_run;
    run_in(&smooth_run, HALVORA_BAKE_EXE, room, {"--image", "smooth.png", "--size", "200x150"});
    run_in(&coarse_run, HALVORA_BAKE_EXE, room, {"--image", "coarse.png", "--coarse"});
    ASSERT_EQ(smooth_run.result.exit_code, 0) << smooth_run.result.err;
    ASSERT_EQ(coarse_run.result.exit_code, 0) << coarse_run.result.err;

    Picture smooth = read_png(smooth_run.dir + "/smooth.png"), coarse = read_png(coarse_run.dir + "/coarse.png");
    EXPECT_EQ(smooth.width, 200u);
    EXPECT_EQ(smooth.height, 150u);
    EXPECT_EQ(coarse.width, 320u); // the INI's window
    EXPECT_EQ(coarse.height, 240u);
    // Coarse: one colour per patch at most, and the black background;
    // smooth: the corner colours interpolated.
    EXPECT_GT(colour_count(coarse), 10u);
    EXPECT_LE(colour_count(coarse), 21u + 1u);
    EXPECT_GT(colour_count(smooth), 50u);
}

TEST(BakeOutputs, OutputsThatCannotBeMadeEndBeforeAnyWork) {
    // Each output is created (under its temporary name) and the picture's
    // size checked against OSMesa before the patches: nothing of the run is
    // written, and no end message is printed.
    IniSettings no_window, too_wide, too_high;
    no_window.window_width = 0;
    too_wide.window_width = 20000;
    too_high.window_height = 16385;
    struct Case {
        std::vector<std::string> args;
        IniSettings settings;
        const char *obstacle; // a directory made where the output is to go
        int code;
        std::string err;
    } cases[] = {
        {{"--image", "no-dir/x.png"}, {}, nullptr, 63,
         "\aERROR : Couldn't create image file : no-dir/x.png (No such file or directory)\n"},
        {{"--image", "x.png"}, {}, "x.png", 63, "\aERROR : Couldn't create image file : x.png (Is a directory)\n"},
        {{"--mesh", "no-dir/x.glb"}, {}, nullptr, 66,
         "\aERROR : Couldn't create mesh file : no-dir/x.glb (No such file or directory)\n"},
        {{"--mesh", "x.ply"}, {}, "x.ply", 66, "\aERROR : Couldn't create mesh file : x.ply (Is a directory)\n"},
        {{"--exports"}, {}, "FF.TXT", 40, "\aERROR : Couldn't create form factor export file : FF.TXT\n"},
        {{"--exports"}, {}, "SOLUTION.TXT", 42, "\aERROR : Couldn't create radiosity solution export file : SOLUTION.TXT\n"},
        {{"--image", "x.png"}, no_window, nullptr, 62,
         "\aERROR : Couldn't draw an image of 0 x 240 pixels; give its size with --size WxH\n"},
        {{"--image", "x.png"}, too_wide, nullptr, 62,
         "\aERROR : Couldn't draw into an off-screen buffer of 20000 x 240 pixels : OSMesa draws at most 16384 x 16384\n"},
        {{"--image", "x.png"}, too_high, nullptr, 62,
         "\aERROR : Couldn't draw into an off-screen buffer of 320 x 16385 pixels : OSMesa draws at most 16384 x 16384\n"},
    };
    for (const Case &c : cases) {
        BakeDir run;
        run.dir = make_temp_dir("bake");
        write_run_files(run.dir, lit_cube(), c.settings);
        std::vector<std::string> expected = {"RADIOSTY.INI", "scene.txt"};
        if (c.obstacle != nullptr) {
            ASSERT_EQ(mkdir((run.dir + "/" + c.obstacle).c_str(), 0777), 0);
            expected.push_back(c.obstacle);
            std::sort(expected.begin(), expected.end());
        }
        run.result = run_program(HALVORA_BAKE_EXE, run.dir, c.args, {"DISPLAY="});
        std::string what = c.args.back() + (c.obstacle ? std::string(" at ") + c.obstacle : "");
        EXPECT_EQ(run.result.exit_code, c.code) << what;
        EXPECT_EQ(run.result.err, c.err) << what;
        EXPECT_EQ(entries(run.dir), expected) << what;
        EXPECT_EQ(run.result.out.find("Environment decomposed"), std::string::npos) << what;
    }
}

TEST(BakeOutputs, LargestPictureOSMesaDrawsIsWritten) {
    BakeDir run;
    run_in(&run, HALVORA_BAKE_EXE, lit_cube(), {"--image", "wide.png", "--size", "16384x16"});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    Picture wide = read_png(run.dir + "/wide.png");
    EXPECT_EQ(wide.width, 16384u);
    EXPECT_EQ(wide.height, 16u);
}

TEST(BakeOutputs, SceneWithoutValidPolygonEndsWithItsOwnCodeAndWritesNothing) {
    // halvora ends such a run with code 0; a bake asked for outputs it cannot
    // write says so. Its console and ENVRNMNT.BIN are otherwise the batch's.
    const std::string scene = "[(0 0 0),(1 0 0),(2 1 0),(0 1 0)],(0 0 0),(0 0 0),(1 1)\n";
    BakeDir batch, bake;
    run_in(&batch, halvora_batch_exe(), scene, {});
    run_in(&bake, HALVORA_BAKE_EXE, scene, {"--image", "x.png", "--mesh", "x.glb", "--exports"});
    ASSERT_EQ(batch.result.exit_code, 0);
    EXPECT_EQ(bake.result.exit_code, 68);
    EXPECT_EQ(bake.result.out, batch.result.out);
    EXPECT_EQ(bake.result.err, batch.result.err + "\aERROR : Nothing to write : environment definition file "
                                                  "scene.txt holds no valid polygon\n");
    EXPECT_EQ(entries(bake.dir), entries(batch.dir));
}

TEST(BakeOutputs, OutputCutShortDuringTheRunLeavesNothingUnderItsName) {
    // The pre-flight passes; then, while the rows are computed, the file-size
    // limit of the running bake drops to 1100 bytes (prlimit), above every
    // binary file of the scene and below every output named here, as a disk
    // that fills up during the run. An old file under the output's name stays
    // as it was.
    struct Case {
        std::vector<std::string> args;
        const char *name;
        int code;
        std::string err;
    } cases[] = {
        {{"--image", "x.png"}, "x.png", 63, "\aERROR : Couldn't write image file : x.png (File too large)\n"},
        {{"--mesh", "x.glb"}, "x.glb", 66, "\aERROR : Couldn't write mesh file : x.glb (File too large)\n"},
        {{"--mesh", "x.ply"}, "x.ply", 66, "\aERROR : Couldn't write mesh file : x.ply (File too large)\n"},
        {{"--exports"}, "FF.TXT", 40, "\aERROR : Couldn't write form factor export file : FF.TXT\n"},
    };
    for (const Case &c : cases) {
        ScratchDir dir("bake");
        write_run_files(dir.path, SLOW_SCENE, slow_settings());
        write_file(dir / c.name, "old");
        RunningBake bake = start_bake({dir.path}, c.args);
        ASSERT_TRUE(wait_for_err(&bake, "form factors:")) << bake.err;
        rlimit limit = {1100, 1100};
        ASSERT_EQ(prlimit(bake.pid, RLIMIT_FSIZE, &limit, nullptr), 0);
        finish_bake(&bake);
        ASSERT_TRUE(WIFEXITED(bake.status)) << c.name;
        EXPECT_EQ(WEXITSTATUS(bake.status), c.code) << c.name;
        EXPECT_EQ(bake.err.substr(bake.err.find('\a') == std::string::npos ? 0 : bake.err.find('\a')), c.err);
        EXPECT_EQ(read_file(dir / c.name), "old") << c.name;
        // The binary files erased on the way out, no temporary file left.
        std::vector<std::string> expected = {"RADIOSTY.INI", c.name, "scene.txt"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(entries(dir.path), expected) << c.name;
        EXPECT_EQ(bake.out.substr(bake.out.size() - 18), "End of 'Halvora'.\n");
    }
}

TEST(BakeOutputs, NamesStayRelativeUnderAWorkingDirectoryDeeperThanPathMax) {
    // 24 directories of 200 characters: over 4800 bytes of absolute path,
    // beyond PATH_MAX (4096), entered one by one.
    ScratchDir top("bake");
    const std::string step(200, 'd');
    std::vector<std::string> steps = {top.path};
    int fd = open(top.path.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 24; level++) {
        ASSERT_EQ(mkdirat(fd, step.c_str(), 0777), 0);
        int next = openat(fd, step.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        steps.push_back(step);
    }
    for (const auto &file : {std::make_pair("RADIOSTY.INI", ini_text()), std::make_pair("scene.txt", lit_cube())}) {
        int out = openat(fd, file.first, O_WRONLY | O_CREAT, 0666);
        ASSERT_EQ(write(out, file.second.data(), file.second.size()), (ssize_t)file.second.size());
        close(out);
    }
    RunningBake bake = start_bake(steps, {"--image", "room.png", "--mesh", "room.glb"});
    finish_bake(&bake);
    EXPECT_TRUE(WIFEXITED(bake.status) && WEXITSTATUS(bake.status) == 0) << bake.err;
    struct stat png, glb;
    EXPECT_EQ(fstatat(fd, "room.png", &png, 0), 0);
    EXPECT_EQ(fstatat(fd, "room.glb", &glb, 0), 0);
    EXPECT_NE(bake.out.find("\nImage written to room.png\nMesh written to room.glb\n"), std::string::npos);
    // Emptied from the bottom up: remove_tree cannot reach that deep.
    for (const char *name : {"room.png", "room.glb", "RADIOSTY.INI", "scene.txt"}) unlinkat(fd, name, 0);
    for (int level = 0; level < 24; level++) {
        int up = openat(fd, "..", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = up;
        unlinkat(fd, step.c_str(), AT_REMOVEDIR);
    }
    close(fd);
}

TEST(BakeOutputs, GlbHoldsPatchCornersAndTheirColours) {
    for (bool coarse : {false, true}) {
        BakeDir run;
        std::vector<std::string> args = {"--mesh", "room.glb", "--keep"};
        if (coarse) args.push_back("--coarse");
        run_in(&run, HALVORA_BAKE_EXE, lit_cube(), args);
        ASSERT_EQ(run.result.exit_code, 0) << run.result.err;

        tinygltf::Model model;
        tinygltf::TinyGLTF loader;
        std::string error, warning;
        ASSERT_TRUE(loader.LoadBinaryFromFile(&model, &error, &warning, run.dir + "/room.glb")) << error;
        const tinygltf::Primitive &primitive = model.meshes.at(0).primitives.at(0);
        std::vector<float> corners = read_floats_file(run.dir + "/PATCH.BIN");
        std::vector<float> radiosity = read_floats_file(run.dir + "/VERTRAD.BIN");
        if (coarse) {
            std::vector<float> patch = read_floats_file(run.dir + "/PATCHRAD.BIN");
            for (size_t k = 0; k < radiosity.size(); k++) radiosity[k] = patch[k / 12 * 3 + k % 3];
        }
        std::vector<float> clamped = radiosity;
        for (float &v : clamped) v = std::min(1.0f, std::max(0.0f, v));
        EXPECT_EQ(accessor_floats(model, primitive.attributes.at("POSITION")), corners);
        EXPECT_EQ(accessor_floats(model, primitive.attributes.at("_RADIOSITY")), radiosity);
        EXPECT_EQ(accessor_floats(model, primitive.attributes.at("COLOR_0")), clamped);
        EXPECT_GT(*std::max_element(radiosity.begin(), radiosity.end()), 1.0f); // the clamp is exercised
        // Two counter-clockwise triangles per patch over its own corners.
        const tinygltf::Accessor &indices = model.accessors[(size_t)primitive.indices];
        ASSERT_EQ(indices.count, 6u * 9u);
        const tinygltf::BufferView &view = model.bufferViews[(size_t)indices.bufferView];
        std::vector<uint32_t> index(indices.count);
        memcpy(index.data(), model.buffers[0].data.data() + view.byteOffset, index.size() * sizeof(uint32_t));
        EXPECT_EQ(std::vector<uint32_t>(index.begin() + 6, index.begin() + 12),
                  (std::vector<uint32_t>{4, 5, 6, 4, 6, 7}));
        // z up, turned to glTF's y up by the root node.
        EXPECT_EQ(model.nodes.at(0).rotation, (std::vector<double>{-0.70710678118654752, 0, 0, 0.70710678118654752}));
        EXPECT_EQ(model.asset.extras.Get("up_axis").Get<std::string>(), "+z");
    }
}

TEST(BakeLock, SecondBakeInTheSameDirectoryEndsAtOnceAndTheFirstIsRight) {
    ScratchDir dir("bake"), solo("bake");
    write_run_files(dir.path, SLOW_SCENE, slow_settings());
    write_run_files(solo.path, SLOW_SCENE, slow_settings());
    RunningBake first = start_bake({dir.path}, {"--image", "first.png", "--keep"});
    ASSERT_TRUE(wait_for_err(&first, "form factors:")) << first.err;
    // The first holds DIR's lock while it computes its rows.
    ProgramResult second = run_program(HALVORA_BAKE_EXE, dir.path, {"--image", "second.png", "--exports"}, {"DISPLAY="});
    std::vector<std::string> during = entries(dir.path);
    finish_bake(&first);

    EXPECT_EQ(second.exit_code, 67);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "\aERROR : Couldn't lock scene directory : . (another halvora-bake is running there)\n");
    EXPECT_EQ(std::count(during.begin(), during.end(), "second.png"), 0);
    ASSERT_TRUE(WIFEXITED(first.status) && WEXITSTATUS(first.status) == 0) << first.err;
    // The first one's result is a run's alone.
    ProgramResult batch = run_program(halvora_batch_exe(), solo.path, {}, {"DISPLAY="});
    ASSERT_EQ(batch.exit_code, 0);
    for (const char *name : BINARY_FILES) EXPECT_EQ(read_file(dir / name), read_file(solo / name)) << name;
    EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"FF.BIN", "PATCH.BIN", "PATCHRAD.BIN", "RADIOSTY.INI",
                                                           "VERTRAD.BIN", "first.png", "scene.txt"}));
}

TEST(BakeSignals, SignalDuringTheRowsRemovesEveryUnfinishedOutputAndEndsTheBake) {
    // A real signal while the rows are computed: the outputs' temporary files
    // are removed, old files under their names stay as they were, the binary
    // files stay as halvora leaves them (PATCH.BIN, FF.BIN cut off), and the
    // signal ends the process as it would without the handler. A signal that
    // was ignored when the bake started (nohup) stays ignored.
    struct Case {
        int sig;
        bool ignored;
    } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGHUP, true}};
    for (const Case &c : cases) {
        ScratchDir dir("bake");
        write_run_files(dir.path, SLOW_SCENE, slow_settings());
        write_file(dir / "x.png", "old");
        RunningBake bake = start_bake({dir.path}, {"--image", "x.png", "--mesh", "x.glb", "--exports"}, c.ignored);
        ASSERT_TRUE(wait_for_err(&bake, "form factors:")) << bake.err;
        ASSERT_EQ(kill(bake.pid, c.sig), 0);
        finish_bake(&bake);
        std::string what = strsignal(c.sig) + std::string(c.ignored ? ", ignored" : "");
        if (c.ignored) {
            EXPECT_TRUE(WIFEXITED(bake.status) && WEXITSTATUS(bake.status) == 0) << what << ": " << bake.err;
            EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"FF.TXT", "PATCHES.TXT", "RADIOSTY.INI",
                                                                   "SOLUTION.TXT", "scene.txt", "x.glb", "x.png"}));
            EXPECT_NE(read_file(dir / "x.png"), "old");
            continue;
        }
        ASSERT_TRUE(WIFSIGNALED(bake.status)) << what;
        EXPECT_EQ(WTERMSIG(bake.status), c.sig) << what;
        EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"PATCH.BIN", "RADIOSTY.INI", "scene.txt", "x.png"}))
            << what;
        EXPECT_EQ(read_file(dir / "x.png"), "old") << what;
    }
}

TEST(Preflight, FilesAreCountedTogetherOnEachFileSystem) {
    // Small tmpfs file systems: in each case every file fits alone, FF.BIN
    // included, but not all of them together on one file system.
    // 1000 patches: FF.BIN 4,000,000 bytes (977 pages of 4096), PATCH.BIN
    // 48,000 (12), PATCHRAD.BIN 12,000 (3), VERTRAD.BIN 48,000 (12).
    const std::string scene = "[(0 0 0),(10 0 0),(10 10 0),(0 10 0)],(0 0 0),(0.5 0.5 0.5),(40 25)\n";
    struct Case {
        const char *mounted; // "scene" or "out"
        long pages;          // of the tmpfs
        std::string args;
        std::string err_starts;
    } cases[] = {
        // 984 pages, two taken by RADIOSTY.INI and scene.txt: 982 free, 1004 needed.
        {"scene", 984, "scene --ff-file", "\aERROR : Not enough disk space for the files PATCH.BIN, FF.BIN, PATCHRAD.BIN and "
                                "VERTRAD.BIN of 1000 patches : 4112384 bytes (3.9 MiB) needed, 4022272 bytes (3.8 MiB) "
                                "free on the disk\n"},
        // The exports go to DIR too: FF.TXT alone takes 8,001,000 bytes; 2998
        // pages free, the binary files 1004, the exports 2121.
        {"scene", 3000, "scene --exports --ff-file",
         "\aERROR : Not enough disk space for the files PATCH.BIN, FF.BIN, PATCHRAD.BIN, VERTRAD.BIN, FF.TXT, "
         "PATCHES.TXT and SOLUTION.TXT of 1000 patches : "},
        // The picture on a disk of its own: at most 2000 x 6001 bytes, 1/64 of
        // that and 4096, rounded up to pages.
        {"out", 256, "scene --image out/x.png --size 2000x2000",
         "\aERROR : Not enough disk space for image file out/x.png of 1000 patches : 12193792 bytes (11.6 MiB) needed, "
         "1048576 bytes (1.0 MiB) free on the disk\n"},
    };
    for (const Case &c : cases) {
        ScratchDir dir("bake");
        mkdir((dir / "scene").c_str(), 0777);
        mkdir((dir / "out").c_str(), 0777);
        write_run_files(dir.path, scene);
        std::string script = "mount -t tmpfs -o size=" + std::to_string(c.pages * 4096) + " tmpfs " + c.mounted +
                             " || exit 77\ncp RADIOSTY.INI scene.txt scene/\n" + HALVORA_BAKE_EXE + " " + c.args +
                             "\ncode=$?\nls -A scene out > listing.txt\nexit $code\n";
        ProgramResult result = run_in_mount_namespace(dir.path, script);
        if (mount_namespace_refused(result)) GTEST_SKIP() << "no tmpfs can be mounted here: " << result.err;
        EXPECT_EQ(result.exit_code, 61) << c.args;
        EXPECT_EQ(result.err.substr(0, c.err_starts.size()), c.err_starts) << result.err;
        // Nothing written but the outputs' temporary files, removed again.
        EXPECT_EQ(read_file(dir / "listing.txt"), "out:\n\nscene:\nRADIOSTY.INI\nscene.txt\n") << c.args;
    }
}

} // namespace
