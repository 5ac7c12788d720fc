// halvora-bake run whole, beside halvora_batch (the same stages as halvora
// without the viewer) as the reference: the console, the codes and the binary
// files must be the same; the picture, the meshes and the exports are checked
// against the binary files the run kept. Readers are other people's: libpng
// for the PNG, tinygltf's loader for the .glb. The comparison with the
// viewer's window, the glTF validator and a PLY reader run in
// tests/bake/run_bake_checks.sh.
#define TINYGLTF_IMPLEMENTATION
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#include <tiny_gltf.h>

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
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

TEST(BakeRun, SameConsoleAndBinaryFilesAsTheBatchThenItsOwnLinesAndTheEnd) {
    BakeDir batch, bake;
    run_in(&batch, halvora_batch_exe(), lit_cube(), {});
    run_in(&bake, HALVORA_BAKE_EXE, lit_cube(), {"--keep"});
    ASSERT_EQ(batch.result.exit_code, 0);
    EXPECT_EQ(bake.result.exit_code, 0);
    EXPECT_EQ(bake.result.out, batch.result.out + "End of 'Halvora'.\n");
    for (const char *name : BINARY_FILES)
        EXPECT_EQ(read_file(bake.dir + "/" + name), read_file(batch.dir + "/" + name)) << name;
    // Standard error is no terminal: plain progress lines, the last one complete.
    EXPECT_NE(bake.result.err.find("form factors: 9/9 rows"), std::string::npos) << bake.result.err;
    EXPECT_EQ(bake.result.err.find('\033'), std::string::npos);
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
        {"no valid polygon", ini_text(), "[(0 0 0),(1 0 0),(2 1 0),(0 1 0)],(0 0 0),(0 0 0),(1 1)\n", false},
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
            EXPECT_EQ(bake.result.err.substr(0, bake.result.err.find("form factors:")), batch.result.err) << c.name;
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
        {{"--frobnicate"}, 64, "", "unknown option '--frobnicate'"},
        {{"--image"}, 64, "", "option '--image' needs a value"},
        {{"--image", "x.jpg"}, 64, "", "writes a .png file"},
        {{"--mesh", "x.obj"}, 64, "", "a .glb or a .ply"},
        {{"--size", "640x0"}, 64, "", "--size takes WIDTHxHEIGHT"},
        {{"a", "b"}, 64, "", "'b' is one too many"},
        {{"no-such-dir"}, 65, "", "\aERROR : Couldn't enter scene directory : no-such-dir"},
    };
    for (const Case &c : cases) {
        BakeDir run;
        run_in(&run, HALVORA_BAKE_EXE, lit_cube(), c.args);
        std::string what = c.args[0];
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
    EXPECT_TRUE(file_exists(run.dir + "/out.png"));
    EXPECT_TRUE(file_exists(run.dir + "/scene/FF.TXT"));
    // Without --keep the binary files are erased at the end.
    for (const char *name : BINARY_FILES) EXPECT_FALSE(file_exists(run.dir + "/scene/" + name)) << name;
}

TEST(Preflight, MatrixBeyondTheAddressSpaceLimitIsRefusedBeforeAnythingIsWritten) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot start under an address-space limit";
#endif
    // One polygon of 250 x 400 = 100,000 patches: a matrix of 4e10 bytes
    // against `ulimit -v 8000000` (KiB).
    BakeDir run;
    run_in(&run, HALVORA_BAKE_EXE, "[(0 0 0),(10 0 0),(10 10 0),(0 10 0)],(0 0 0),(0.5 0.5 0.5),(250 400)\n", {},
           ProgramLimits{0, 8000000ULL * 1024});
    EXPECT_EQ(run.result.exit_code, 60);
    EXPECT_EQ(run.result.err.rfind("\aERROR : Not enough memory for the form-factor matrix of 100000 patches : "
                                   "40000000000 bytes (38147.0 MiB) needed, ", 0), 0u) << run.result.err;
    EXPECT_NE(run.result.err.find("left under the address-space limit (ulimit -v)\n"), std::string::npos);
    EXPECT_EQ(entries(run.dir), (std::vector<std::string>{"RADIOSTY.INI", "scene.txt"}));
}

TEST(Preflight, FormFactorFileBeyondTheFileSizeLimitIsRefused) {
    // 40 x 25 = 1000 patches: FF.BIN of 4,000,000 bytes against a 1 MiB limit.
    BakeDir run;
    run_in(&run, HALVORA_BAKE_EXE, "[(0 0 0),(10 0 0),(10 10 0),(0 10 0)],(0 0 0),(0.5 0.5 0.5),(40 25)\n", {},
           ProgramLimits{1 << 20, 0});
    EXPECT_EQ(run.result.exit_code, 61);
    EXPECT_EQ(run.result.err, "\aERROR : Not enough disk space for form factor binary file FF.BIN of 1000 patches : "
                              "4000000 bytes (3.8 MiB) needed, 1048576 bytes (1.0 MiB) allowed by the file-size "
                              "limit (ulimit -f)\n");
    EXPECT_EQ(entries(run.dir), (std::vector<std::string>{"RADIOSTY.INI", "scene.txt"}));
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

TEST(BakeOutputs, OutputsThatCannotBeMadeEndWithTheirCodesAndStillEraseTheBinaryFiles) {
    IniSettings no_window;
    no_window.window_width = 0;
    struct Case {
        std::vector<std::string> args;
        IniSettings settings;
        int code;
        std::string err;
    } cases[] = {
        {{"--image", "no-dir/x.png"}, {}, 63, "\aERROR : Couldn't write image file : "},
        {{"--mesh", "no-dir/x.glb"}, {}, 66, "\aERROR : Couldn't create mesh file : "},
        {{"--mesh", "no-dir/x.ply"}, {}, 66, "\aERROR : Couldn't create mesh file : "},
        {{"--mesh", "full.glb"}, {}, 66, "\aERROR : Couldn't write mesh file : "},
        {{"--mesh", "full.ply"}, {}, 66, "\aERROR : Couldn't write mesh file : "},
        {{"--image", "full.png"}, {}, 63, "\aERROR : Couldn't write image file : "},
        {{"--image", "x.png"}, no_window, 62,
         "\aERROR : Couldn't draw an image of 0 x 240 pixels; give its size with --size WxH\n"},
    };
    for (const Case &c : cases) {
        BakeDir run;
        run.dir = make_temp_dir("bake");
        write_run_files(run.dir, lit_cube(), c.settings);
        // A full disk: the output is a link to /dev/full.
        if (c.args[1].rfind("full.", 0) == 0) ASSERT_EQ(symlink("/dev/full", (run.dir + "/" + c.args[1]).c_str()), 0);
        run.result = run_program(HALVORA_BAKE_EXE, run.dir, c.args, {"DISPLAY="});
        if (c.args[1].rfind("full.", 0) == 0) remove((run.dir + "/" + c.args[1]).c_str());
        EXPECT_EQ(run.result.exit_code, c.code) << c.args[1];
        size_t at = run.result.err.find('\a');
        EXPECT_EQ(run.result.err.substr(at == std::string::npos ? 0 : at, c.err.size()), c.err) << run.result.err;
        EXPECT_EQ(entries(run.dir), (std::vector<std::string>{"RADIOSTY.INI", "scene.txt"})) << c.args[1];
        EXPECT_EQ(run.result.out.substr(run.result.out.size() - 18), "End of 'Halvora'.\n");
    }
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

} // namespace
