// halvora-import run whole: OBJ files written here, imported, and the scene
// run through halvora_batch beside the hand-written scene it stands for; the
// command line; careless and hostile models, each ending with its code and
// its messages in the importer's own words, and every scene written read
// back line by line by the scene reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "geometry/environment.h"
#include "support/program.h"
#include "support/scenes.h"

namespace {

const char *const BINARY_FILES[] = {"PATCH.BIN", "FF.BIN", "PATCHRAD.BIN", "VERTRAD.BIN"};

// The cube room of scenes.h as OBJ vertex numbers (1-based) of its eight
// corners, face by face in the same corner order: floor, ceiling, walls
// x = 0, x = 2, y = 0, y = 2.
const char *const CUBE_VERTICES = "v 0 0 0\nv 2 0 0\nv 2 2 0\nv 0 2 0\nv 0 0 2\nv 2 0 2\nv 2 2 2\nv 0 2 2\n";
const int CUBE_FACES[6][4] = {{1, 2, 3, 4}, {5, 8, 7, 6}, {1, 4, 8, 5}, {2, 6, 7, 3}, {1, 5, 6, 2}, {4, 3, 7, 8}};
const char *const CUBE_MTL = "newmtl wall\nKd 0.5 0.5 0.5\nKe 0 0 0\nnewmtl light\nKd 0.5 0.5 0.5\nKe 1 1 1\n";
// A unit square, and the face of its four corners.
const char *const SQUARE = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";

std::string material_of(int face) { return face == 1 ? "usemtl light\n" : "usemtl wall\n"; }

std::string cube_of_quads() {
    std::string obj = std::string("mtllib cube.mtl\n") + CUBE_VERTICES;
    for (int f = 0; f < 6; f++) {
        const int *v = CUBE_FACES[f];
        obj += material_of(f) + "f " + std::to_string(v[0]) + " " + std::to_string(v[1]) + " " +
               std::to_string(v[2]) + " " + std::to_string(v[3]) + "\n";
    }
    return obj;
}

// Every face split in two, along p0-p2 for the first three faces and along
// p1-p3 for the others; all first halves come before all second halves.
std::string cube_of_triangle_pairs() {
    std::string obj = std::string("mtllib cube.mtl\n") + CUBE_VERTICES;
    for (int half = 0; half < 2; half++)
        for (int f = 0; f < 6; f++) {
            const int *v = CUBE_FACES[f];
            static const int fan[2][3] = {{0, 1, 2}, {0, 2, 3}}, other[2][3] = {{0, 1, 3}, {1, 2, 3}};
            const int *corners = f < 3 ? fan[half] : other[half];
            obj += material_of(f) + "f " + std::to_string(v[corners[0]]) + " " + std::to_string(v[corners[1]]) + " " +
                   std::to_string(v[corners[2]]) + "\n";
        }
    return obj;
}

ProgramResult import(const ScratchDir &at, const std::string &obj, const std::vector<std::string> &args) {
    write_file(at / "model.obj", obj);
    write_file(at / "cube.mtl", CUBE_MTL);
    std::vector<std::string> all = {"model.obj"};
    all.insert(all.end(), args.begin(), args.end());
    return run_program(HALVORA_IMPORT_EXE, at.path, all);
}

// Every line of standard error is the importer's own: a note, an error, or
// the usage hint. Nothing of the OBJ reader's comes through.
void expect_own_words(const std::string &err) {
    for (const std::string &line : lines_of(err))
        EXPECT_TRUE(line.rfind("halvora-import: ", 0) == 0 || line.rfind("\aERROR : ", 0) == 0 ||
                    line.rfind("Try 'halvora-import --help'.", 0) == 0)
            << "a line not in the importer's words: " << line;
}

// Every line of a written scene fits the reader's line and is read as valid.
void expect_readable_scene(const std::string &scene) {
    long long total = 0;
    for (const std::string &line : lines_of(scene)) {
        EXPECT_LE(line.size() + 1, SCENE_LINE_LIMIT) << line;
        Polygon polygon;
        long long patches = 0;
        EXPECT_EQ(parse_polygon_line((line + "\n").c_str(), total, &polygon, &patches), LINE_VALID) << line;
        total += patches;
    }
}

TEST(Import, CubeOfQuadsOrTrianglePairsRunsAsTheHandWrittenCube) {
    ScratchDir written("import");
    write_run_files(written.path, cube_room({1, 1, 1}, {0.5f, 0.5f, 0.5f}));
    ASSERT_EQ(run_program(halvora_batch_exe(), written.path).exit_code, 0);
    ASSERT_EQ(file_size(written / "FF.BIN"), 4 * 6 * 6);

    for (const std::string &obj : {cube_of_quads(), cube_of_triangle_pairs()}) {
        ScratchDir imported("import");
        ProgramResult result = import(imported, obj, {"-o", "scene.txt", "--patch-size", "2"});
        ASSERT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.err, "");
        bool pairs = obj.find("f 1 2 3\n") != std::string::npos;
        EXPECT_EQ(result.out, std::string(pairs ? "12" : "6") + " faces read, 6 rectangles written to scene.txt (" +
                                  (pairs ? "6" : "0") + " from triangle pairs, 0 turned to face their normals, " +
                                  "0 fitted), 0 faces left out (0 repeats); patch size 2\n");
        write_file(imported / "RADIOSTY.INI", ini_text());
        ASSERT_EQ(run_program(halvora_batch_exe(), imported.path).exit_code, 0);
        for (const char *name : BINARY_FILES)
            EXPECT_EQ(read_file(imported / name), read_file(written / name)) << name;
    }
}

TEST(Import, FacesThatAreNoRectangleAreReportedByNumberAndLineAndLeftOut) {
    ScratchDir at("import");
    std::string obj = "mtllib cube.mtl\n"
                      "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0.8 2 0\nv 0.2 2 0\nvn 0 0 1\n"
                      "v 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n"
                      "usemtl light\nf 1 2 3 4\n"  // 1: a rectangle
                      "usemtl wall\nf 4 3 5 6\n"   // 2: a trapezoid
                      "f 1 2 3\n"                  // 3: a triangle alone
                      "f 1 2 3 5 4\n"              // 4: five corners
                      "f 7//1 10//1 9//1 8//1\n"   // 5: wound clockwise seen from its normal's side
                      "f 1 2 4\n";                 // 6: a triangle that shares no edge the other way round
    ProgramResult result = import(at, obj, {"--patch-size", "0.25"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err,
              "halvora-import: model.obj:16: face 2 left out: a quadrilateral that is not a rectangle (its corners "
              "lie up to 9.8 % of its longest side off one; --fit 0.099 takes it)\n"
              "halvora-import: model.obj:17: face 3 left out: a triangle that makes no rectangle with a neighbour\n"
              "halvora-import: model.obj:18: face 4 left out: a polygon of 5 corners\n"
              "halvora-import: model.obj:20: face 6 left out: a triangle that makes no rectangle with a neighbour\n");
    EXPECT_EQ(result.out, "6 faces read, 2 rectangles written to model.txt (0 from triangle pairs, 1 turned to face "
                          "their normals, 0 fitted), 4 faces left out (0 repeats); patch size 0.25\n");
    EXPECT_EQ(read_file(at / "model.txt"), "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(1 1 1),(0.5 0.5 0.5),(4 4)\n"
                                           "[(0 0 1),(1 0 1),(1 1 1),(0 1 1)],(0 0 0),(0.5 0.5 0.5),(4 4)\n");
}

// A triangle left out as pairing with no neighbour is not taken later into
// its neighbour's rectangle, even where the rectangle passes from the
// neighbour's side only (a corner far from the origin, a corner repeated):
// each face is counted once, and the notes say what became of it.
TEST(Import, ATriangleLeftOutIsNotPairedByALaterOne) {
    ScratchDir at("import");
    std::string obj = "v 1e38 10 1e38\nv 2 0 2\nv 2 2 2\n" + std::string(SQUARE) +
                      "f 1 1 3\nf 1 2 3\nf 4 5 6 7\n";
    ProgramResult result = import(at, obj, {"--fit", "0.1", "--patch-size", "0.5"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "halvora-import: model.obj:8: face 1 left out: a triangle that makes no rectangle with a "
                          "neighbour\n"
                          "halvora-import: model.obj:9: face 2 left out: a triangle that makes no rectangle with a "
                          "neighbour\n");
    EXPECT_EQ(result.out, "3 faces read, 1 rectangles written to model.txt (0 from triangle pairs, 0 turned to face "
                          "their normals, 0 fitted), 2 faces left out (0 repeats); patch size 0.5\n");
}

// --fit: a face near a rectangle becomes one and is reported with its
// shift; a face beyond the tolerance is left out with the --fit that takes
// it, and that --fit does; without --fit nothing is fitted.
TEST(Import, FitTakesNearRectanglesAndNamesTheToleranceTheOthersNeed) {
    ScratchDir at("import");
    const std::string obj = "v 0 0 0\nv 1.004 0 0\nv 1 1 0.002\nv 0 1 0\n"      // 1: off by some 0.2 %
                            "v 0 0 1\nv 1 0 1\nv 0.97 1 1\nv 0.03 1 1\n"        // 2: a trapezoid, some 1.5 %
                            "v 0 0 2\nv 1 0 2\nv 1.003 1.001 2\nv 0 1 2\n"      // 3, 4: two triangles, near one
                            "f 1 2 3 4\nf 5 6 7 8\nf 9 10 11\nf 9 11 12\n";
    ProgramResult plain = import(at, obj, {});
    ASSERT_EQ(plain.exit_code, 4) << plain.err;
    EXPECT_TRUE(contains(plain.err, "model.obj:13: face 1 left out: a quadrilateral that is not a rectangle (its "
                                    "corners lie up to ")) << plain.err;
    EXPECT_FALSE(contains(plain.err, "fitted")) << plain.err;

    ProgramResult fitted = import(at, obj, {"--fit", "0.01"});
    ASSERT_EQ(fitted.exit_code, 0) << fitted.err;
    std::vector<std::string> notes = lines_of(fitted.err);
    ASSERT_EQ(notes.size(), 3u) << fitted.err;
    EXPECT_TRUE(contains(notes[0], "model.obj:13: face 1 fitted to a rectangle: corners moved up to ")) << notes[0];
    EXPECT_TRUE(contains(notes[1], "model.obj:14: face 2 left out: a quadrilateral that is not a rectangle within "
                                   "--fit 0.01 (its corners lie up to ")) << notes[1];
    EXPECT_TRUE(contains(notes[2], "model.obj:15: face 3 fitted to a rectangle")) << notes[2];
    EXPECT_TRUE(contains(fitted.out, "2 rectangles written to model.txt (1 from triangle pairs, 0 turned to face "
                                     "their normals, 2 fitted), 1 faces left out")) << fitted.out;
    expect_readable_scene(read_file(at / "model.txt"));

    // The tolerance the note names takes the trapezoid.
    size_t from = notes[1].find("; --fit "), to = notes[1].find(" takes it)");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << notes[1];
    std::string needed = notes[1].substr(from + 8, to - from - 8);
    ProgramResult taken = import(at, obj, {"--fit", needed});
    ASSERT_EQ(taken.exit_code, 0) << taken.err;
    EXPECT_TRUE(contains(taken.err, "face 2 fitted to a rectangle")) << taken.err;
    EXPECT_TRUE(contains(taken.out, "3 rectangles written")) << taken.out;
    expect_readable_scene(read_file(at / "model.txt"));
}

// Each bad command line ends with 64 and names the argument that is wrong,
// wherever it stands and however it is written.
TEST(Import, CommandLinesThatAreWrongNameTheirArgument) {
    struct Case {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"-room"}, "halvora-import: unknown option '-r' in '-room'\n"},
        {{"model.obj", "-room"}, "halvora-import: unknown option '-r' in '-room'\n"},
        {{"model.obj", "-x"}, "halvora-import: unknown option '-x'\n"},
        {{"-x", "model.obj"}, "halvora-import: unknown option '-x'\n"},
        {{"model.obj", "-o", "out.txt", "-q"}, "halvora-import: unknown option '-q'\n"},
        {{"model.obj", "-oout.txt", "-q"}, "halvora-import: unknown option '-q'\n"},
        {{"model.obj", "--bogus"}, "halvora-import: unknown option '--bogus'\n"},
        {{"--bogus=3", "model.obj"}, "halvora-import: unknown option '--bogus=3'\n"},
        {{"model.obj", "--help=2"}, "halvora-import: option '--help=2' takes no value\n"},
        {{"model.obj", "-o"}, "halvora-import: option '-o' needs a value\n"},
        {{"model.obj", "--output"}, "halvora-import: option '--output' needs a value\n"},
        {{"model.obj", "--fit"}, "halvora-import: option '--fit' needs a value\n"},
        {{"model.obj", "-o", ""}, "halvora-import: -o takes a file name, not '' (in '-o')\n"},
        {{"model.obj", "--patch-size", "-1"}, "halvora-import: --patch-size takes a number above 0 and at most 1e+30, not '-1'\n"},
        {{"model.obj", "--patch-size=abc"}, "halvora-import: --patch-size takes a number above 0 and at most 1e+30, not 'abc'\n"},
        {{"model.obj", "--fit", "0.5"}, "halvora-import: --fit takes a number above 0 and at most 0.1, not '0.5'\n"},
        {{"model.obj", "--fit=0"}, "halvora-import: --fit takes a number above 0 and at most 0.1, not '0'\n"},
        {{"model.obj", "--fit", "nan"}, "halvora-import: --fit takes a number above 0 and at most 0.1, not 'nan'\n"},
        {{"model.obj", "other.obj"}, "halvora-import: one model file at most; 'other.obj' is one too many\n"},
        {{"model.obj", "--", "-x"}, "halvora-import: one model file at most; '-x' is one too many\n"},
        {{}, "halvora-import: no model file given\n"},
        {{"-o", "scene.txt"}, "halvora-import: no model file given\n"},
    };
    ScratchDir at("import");
    for (const Case &c : cases) {
        ProgramResult result = run_program(HALVORA_IMPORT_EXE, at.path, c.args);
        std::string line;
        for (const std::string &a : c.args) line += " '" + a + "'";
        EXPECT_EQ(result.exit_code, 64) << line;
        EXPECT_EQ(result.err, std::string(c.err) + "Try 'halvora-import --help'.\n") << line;
    }
    // Options after the model and a model after "--" are taken.
    write_file(at / "-m.obj", std::string(SQUARE) + "f 1 2 3 4\n");
    EXPECT_EQ(run_program(HALVORA_IMPORT_EXE, at.path, {"--", "-m.obj", "-o", "a.txt"}).exit_code, 64);
    ProgramResult result = run_program(HALVORA_IMPORT_EXE, at.path, {"-o", "a.txt", "--", "-m.obj"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(file_exists(at / "a.txt"));
}

// A model or one of its files as the importer finds it, and the code and
// message it ends with.
TEST(Import, Failures) {
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string obj; // written as model.obj when not empty
        int code;
        const char *err_has;
    } cases[] = {
        {"no model", {"missing.obj"}, "", 2, "\aERROR : Couldn't read model file : missing.obj (No such file or directory)\n"},
        {"a directory", {"."}, "", 2, "\aERROR : Couldn't read model file : . (a directory)\n"},
        {"endless device", {"/dev/zero", "-o", "zero.txt"}, "", 2,
         "\aERROR : Couldn't read model file : /dev/zero (more than 67108864 bytes)\n"},
        {"UTF-16 with its mark", {"model.obj"}, std::string("\xFF\xFEv\0 \0" "0\0\n\0", 10), 2,
         "\aERROR : Model file is not text : model.obj (UTF-16 text, by its byte order mark; save it as UTF-8)\n"},
        {"UTF-16 without", {"model.obj"}, std::string("v\0 \0" "0\0\n\0", 8), 2,
         "\aERROR : Model file is not text : model.obj (a NUL byte on line 1: UTF-16 text without a byte order mark? "
         "save it as UTF-8)\n"},
        {"UTF-32", {"model.obj"}, std::string("\xFF\xFE\0\0v\0\0\0", 8), 2,
         "\aERROR : Model file is not text : model.obj (UTF-32 text"},
        {"binary", {"model.obj"}, std::string("v 0 0 0\nv 1 \x7F\x45LF\0\0", 16), 2,
         "\aERROR : Model file is not text : model.obj (control byte 0x7F on line 2: a binary file)\n"},
        {"endless line", {"model.obj"}, "#" + std::string(1 << 20, 'x') + "\n", 2,
         "\aERROR : Model file is not text : model.obj (line 1 is longer than 1048576 characters)\n"},
        {"no rectangle", {"model.obj"}, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", 4,
         "\aERROR : No rectangle found in model file : model.obj\n"},
        {"empty", {"model.obj"}, "\n", 4, "\aERROR : No rectangle found in model file : model.obj\n"},
        {"scene not writable", {"model.obj", "-o", "no-dir/scene.txt"}, std::string(SQUARE) + "f 1 2 3 4\n", 3,
         "\aERROR : Couldn't create scene file : no-dir/scene.txt\n"},
        {"scene a directory", {"model.obj", "-o", "."}, std::string(SQUARE) + "f 1 2 3 4\n", 3,
         "\aERROR : Couldn't create scene file : .\n"},
        {"scene is the model", {"model.obj", "-o", "model.obj"}, std::string(SQUARE) + "f 1 2 3 4\n", 3,
         "\aERROR : Scene file would overwrite an input : model.obj (name another with -o)\n"},
        {"scene is the model by another name", {"model.obj", "-o", "./model.obj"}, std::string(SQUARE) + "f 1 2 3 4\n",
         3, "\aERROR : Scene file would overwrite an input : ./model.obj (name another with -o)\n"},
        {"scene is the material library", {"model.obj", "-o", "cube.mtl"},
         std::string("mtllib cube.mtl\n") + SQUARE + "f 1 2 3 4\n", 3,
         "\aERROR : Scene file would overwrite an input : cube.mtl (name another with -o)\n"},
    };
    for (const Case &c : cases) {
        ScratchDir at("import");
        write_file(at / "cube.mtl", CUBE_MTL);
        std::string before = read_file(at / "cube.mtl");
        if (!c.obj.empty()) write_file(at / "model.obj", c.obj);
        ProgramResult result = run_program(HALVORA_IMPORT_EXE, at.path, c.args);
        EXPECT_EQ(result.exit_code, c.code) << c.name << ": " << result.err;
        EXPECT_TRUE(contains(result.err, c.err_has)) << c.name << ": " << result.err;
        expect_own_words(result.err);
        if (!c.obj.empty()) EXPECT_EQ(read_file(at / "model.obj"), c.obj) << c.name;
        EXPECT_EQ(read_file(at / "cube.mtl"), before) << c.name;
        std::vector<std::string> left = directory_entries(at.path, false);
        std::vector<std::string> expected = {"cube.mtl"};
        if (!c.obj.empty()) expected.push_back("model.obj");
        EXPECT_EQ(left, expected) << c.name;
    }
    // A model named .txt would be overwritten by its default scene name.
    ScratchDir at("import");
    write_file(at / "model.txt", std::string(SQUARE) + "f 1 2 3 4\n");
    ProgramResult result = run_program(HALVORA_IMPORT_EXE, at.path, {"model.txt"});
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.err, "\aERROR : Scene file would overwrite an input : model.txt (name another with -o)\n");
    EXPECT_EQ(read_file(at / "model.txt"), std::string(SQUARE) + "f 1 2 3 4\n");
}

// A scene cut short by the file-size limit never stands under its name: the
// scene there before stays as it was, and no temporary file is left.
TEST(Import, SceneCutShortLeavesTheOldSceneAndNoTemporaryFile) {
    ScratchDir at("import");
    std::string obj;
    for (int i = 0; i < 3000; i++)
        obj += "v " + std::to_string(i) + " 0 0\nv " + std::to_string(i) + " 1 0\nv " + std::to_string(i) +
               " 1 1\nv " + std::to_string(i) + " 0 1\n";
    for (int i = 0; i < 3000; i++)
        obj += "f " + std::to_string(4 * i + 1) + " " + std::to_string(4 * i + 2) + " " + std::to_string(4 * i + 3) +
               " " + std::to_string(4 * i + 4) + "\n";
    write_file(at / "model.obj", obj);
    write_file(at / "model.txt", "the scene before\n");
    ProgramLimits limits;
    limits.file_size = 64 * 1024;
    ProgramResult result = run_program(HALVORA_IMPORT_EXE, at.path, {"model.obj"}, {}, limits);
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.err, "\aERROR : Couldn't write scene file : model.txt\n");
    EXPECT_EQ(read_file(at / "model.txt"), "the scene before\n");
    EXPECT_EQ(directory_entries(at.path, false), (std::vector<std::string>{"model.obj", "model.txt"}));

    result = run_program(HALVORA_IMPORT_EXE, at.path, {"model.obj"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(lines_of(read_file(at / "model.txt")).size(), 3000u);
}

// Memory that runs out while the model is read ends with code 2 and the
// out-of-memory message, not an uncaught exception.
TEST(Import, MemoryThatRunsOutEndsWithCode2) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot start under an address-space limit";
#endif
    ScratchDir at("import");
    std::string obj = SQUARE;
    // Faces of 200 corners, which the OBJ reader is given: some 20 times the
    // file's 40 MB while it reads them, beyond a limit of 300 MB.
    std::string face = "f";
    for (int i = 0; i < 50; i++) face += " 1 2 3 4";
    face += "\n";
    while (obj.size() < (40u << 20)) obj += face;
    write_file(at / "model.obj", obj);
    ProgramLimits limits;
    limits.address_space = 300ull << 20;
    ProgramResult result = run_program(HALVORA_IMPORT_EXE, at.path, {"model.obj"}, {}, limits);
    EXPECT_EQ(result.exit_code, 2) << result.err.substr(0, 300);
    EXPECT_EQ(result.err.substr(0, 300), "\aERROR : Out of memory!\n");
    EXPECT_EQ(directory_entries(at.path, false), std::vector<std::string>{"model.obj"});
}

// Careless and hostile models: each ends with its code, its notes (in the
// importer's words, with the file and line), and a scene of `lines` lines
// every one of which the scene reader takes, or no scene at all.
struct Hostile {
    const char *name;
    std::string obj;
    std::string mtl;                 // written as h.mtl when not empty
    std::vector<std::string> args;
    int code;
    int lines;                       // lines of the scene written; -1 when none is
    std::vector<std::string> err_has;
    std::string scene = "";          // the whole scene, when given
};

std::string quad(int a, int b, int c, int d) {
    return "f " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " " + std::to_string(d) + "\n";
}

std::vector<Hostile> hostile_models() {
    const std::string cube = CUBE_VERTICES, square = SQUARE, ok = quad(1, 2, 3, 4);
    std::string many_corners = "f", corners_255 = "f", corners_256 = "f";
    for (int i = 0; i < 260; i++) many_corners += " " + std::to_string(1 + i % 4);
    for (int i = 0; i < 255; i++) corners_255 += " " + std::to_string(1 + i % 4);
    for (int i = 0; i < 256; i++) corners_256 += " " + std::to_string(1 + i % 4);
    const std::string m = "halvora-import: model.obj:";
    return {
        // indices
        {"huge indices", cube + "f 100000 200000 300000 400000\n" + ok, "", {}, 0, 1,
         {m + "9: face 1 left out: corner 4 names vertex 400000 of 8\n"}},
        {"relative indices before the first vertex", cube + "f -9 -7 -6 -5\n" + ok, "", {}, 0, 1,
         {m + "9: face 1 left out: corner 1 names vertex -9, before the first of the 8 read so far\n"}},
        {"relative indices", square + "f -4 -3 -2 -1\n", "", {}, 0, 1, {}},
        {"indices to vertices further on", "f 1 2 3 4\n" + square, "", {}, 0, 1, {}},
        {"normal index beyond the normals", square + "vn 0 0 1\nf 1//9 2//1 3//1 4//1\n" + ok, "", {}, 0, 1,
         {m + "6: face 1 left out: corner 1 names normal 9 of 1\n"}},
        {"relative normal before the first", square + "vn 0 0 1\nf 1//-2 2//1 3//1 4//1\n" + ok, "", {}, 0, 1,
         {"corner 1 names normal -2, before the first of the 1 read so far"}},
        {"texture index beyond", square + "f 1/7 2/7 3/7 4/7\n" + ok, "", {}, 0, 1,
         {"corner 1 names texture coordinate 7 of 0"}},
        {"index 0", square + "f 0 1 2 3\n" + ok, "", {}, 0, 1, {"corner 1 names vertex 0, and indices count from 1"}},
        {"normal index 0", square + "vn 0 0 1\nf 1//0 2//1 3//1 4//1\n" + ok, "", {}, 0, 1,
         {"corner 1 names normal 0, and indices count from 1"}},
        {"index with letters", square + "f 1x 2 3 4\n" + ok, "", {}, 0, 1, {"corner 1 is not a vertex index: '1x'"}},
        {"words for indices", square + "f a b c d\n" + ok, "", {}, 0, 1, {"corner 1 is not a vertex index: 'a'"}},
        {"four parts to a corner", square + "f 1/1/1/1 2 3 4\n" + ok, "", {}, 0, 1,
         {"corner 1 is not a vertex index: '1/1/1/1'"}},
        {"corner cut after its slash", square + "f 1 2/ 3 4\n" + ok, "", {}, 0, 1, {"corner 2 is not a vertex index: '2/'"}},
        {"index beyond 32 bits", square + "f 1 2 99999999999 4\n" + ok, "", {}, 0, 1,
         {"corner 3 is not a vertex index: '99999999999'"}},
        {"most negative index", square + "f -2147483648 2 3 4\n" + ok, "", {}, 0, 1,
         {"corner 1 is not a vertex index: '-2147483648'"}},
        {"bad triangle beside a good one", square + "f 1 2 3\nf 1 3 9\n", "", {}, 4, -1,
         {m + "5: face 1 left out: a triangle that makes no rectangle with a neighbour\n",
          m + "6: face 2 left out: corner 3 names vertex 9 of 4\n"}},
        // corner counts, which the OBJ reader keeps in 8 bits
        {"260 corners, then a rectangle", square + many_corners + "\n" + ok, "", {}, 0, 1,
         {m + "5: face 1 left out: a polygon of 260 corners\n"},
         "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0.5 0.5 0.5),(10 10)\n"},
        {"256 corners", square + corners_256 + "\n" + ok, "", {}, 0, 1, {"face 1 left out: a polygon of 256 corners"}},
        {"255 corners", square + corners_255 + "\n" + ok, "", {}, 0, 1, {"face 1 left out: a polygon of 255 corners"}},
        {"two corners", square + "f 1 2\n" + ok, "", {}, 0, 1, {m + "5: face 1 left out: a face of 2 corners\n"}},
        {"no corners", square + "f \n" + ok, "", {}, 0, 1, {"face 1 left out: a face of 0 corners"}},
        // numbers the OBJ reader would read as 0
        {"nan coordinate", "v nan 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n" + ok, "", {}, 4, -1,
         {m + "5: face 1 left out: corner 1: vertex 1 on line 1 has 'nan', not a finite number\n"}},
        {"inf coordinate", "v 0 0 0\nv 1 0 0\nv 1 inf 0\nv 0 1 0\n" + ok, "", {}, 4, -1,
         {"corner 3: vertex 3 on line 3 has 'inf', not a finite number"}},
        {"infinity coordinate", "v 0 0 0\nv -infinity 0 0\nv 1 1 0\nv 0 1 0\n" + ok, "", {}, 4, -1,
         {"'-infinity', not a finite number"}},
        {"coordinate beyond single precision", "v 0 0 0\nv 1e39 0 0\nv 1 1 0\nv 0 1 0\n" + ok, "", {}, 4, -1,
         {"'1e39', not a finite number"}},
        {"hexadecimal coordinate", "v 0 0 0\nv 0x1p0 0 0\nv 1 1 0\nv 0 1 0\n" + ok, "", {}, 4, -1,
         {"'0x1p0', not a finite number"}},
        {"decimal comma", "v 0 0 0\nv 1,0 0 0\nv 1 1 0\nv 0 1 0\n" + ok, "", {}, 4, -1, {"'1,0', not a finite number"}},
        {"two coordinates", "v 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n" + ok, "", {}, 4, -1,
         {"corner 1: vertex 1 on line 1 has fewer than three numbers"}},
        {"nan normal", square + "vn 0 0 nan\nf 1//1 2//1 3//1 4//1\n" + ok, "", {}, 0, 1,
         {"face 1 left out: corner 1: normal 1 on line 5 has 'nan', not a finite number"}},
        {"nan colour", "mtllib h.mtl\n" + square + "usemtl m\n" + ok, "newmtl m\nKd 0.5 nan 0.5\n", {}, 4, -1,
         {m + "7: face 1 left out: its material 'm' cannot be used: Kd on line 2 of h.mtl has 'nan', not a finite number\n"}},
        {"inf emission", "mtllib h.mtl\n" + square + "usemtl m\n" + ok, "newmtl m\nKd 0.5 0.5 0.5\nKe 1 inf 1\n", {}, 4, -1,
         {"its material 'm' cannot be used: Ke on line 3 of h.mtl has 'inf', not a finite number"}},
        {"spectral colour", "mtllib h.mtl\n" + square + "usemtl m\n" + ok, "newmtl m\nKd spectral file.rfl\n", {}, 4, -1,
         {"Kd on line 2 of h.mtl has 'spectral', not a finite number"}},
        {"one number for a colour", "mtllib h.mtl\n" + square + "usemtl m\n" + ok, "newmtl m\nKd 0.25\nKe 2\n", {}, 0, 1,
         {}, "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(2 2 2),(0.25 0.25 0.25),(10 10)\n"},
        {"two numbers for a colour", "mtllib h.mtl\n" + square + "usemtl m\n" + ok, "newmtl m\nKd 0.25 0.5\n", {}, 4, -1,
         {"Kd on line 2 of h.mtl has fewer than three numbers"}},
        // rectangles the scene reader would refuse
        {"sides of 1e38", "v 0 0 0\nv 1e38 0 0\nv 1e38 1e38 0\nv 0 1e38 0\n" + ok, "", {}, 4, -1,
         {"face 1 left out: halvora would refuse its line: its sides are too long for single precision (the normal "
          "overflows)"}},
        {"sides of 1e-38", "v 0 0 0\nv 1e-38 0 0\nv 1e-38 1e-38 0\nv 0 1e-38 0\n" + ok, "", {}, 4, -1,
         {"face 1 left out: halvora would refuse its line: its sides are too short to give it a normal"}},
        {"denormal sides", "v 0 0 0\nv 1e-45 0 0\nv 1e-45 1e-45 0\nv 0 1e-45 0\n" + ok, "", {}, 4, -1,
         {"face 1 left out: halvora would refuse its line"}},
        {"patch counts beyond 2^31", "v 0 0 0\nv 1000 0 0\nv 1000 1000 0\nv 0 1000 0\n" + ok, "", {"--patch-size", "0.001"},
         4, -1, {"face 1 left out: halvora would refuse its line: its 1000000 x 1000000 patches, or the scene's 0 with "
                 "them, pass 2^31 - 1"}},
        {"patch counts beyond 32 bits", "v 0 0 0\nv 1000 0 0\nv 1000 1000 0\nv 0 1000 0\n" + ok, "",
         {"--patch-size", "1e-300"}, 4, -1,
         {"face 1 left out: its sides would be cut into more than 2147483647 patches each"}},
        {"the scene's patches beyond 2^31", square + "v 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n" + ok + quad(5, 6, 7, 8), "",
         {"--patch-size", "0.000025"}, 0, 1,
         {"face 2 left out: halvora would refuse its line: its 40000 x 40000 patches, or the scene's 1600000000 with "
          "them, pass 2^31 - 1"}},
        {"a line too long for the reader",
         "v -0.00012345678 -0.00023456789 -0.00034567891\nv -0.00045678912 -0.00023456789 -0.00034567891\n"
         "v -0.00045678912 -0.00056789123 -0.00034567891\nv -0.00012345678 -0.00056789123 -0.00034567891\n" + ok,
         "", {}, 4, -1,
         {"face 1 left out: its scene line would be 212 characters, more than the 200 the scene reader takes"}},
        // faces written twice
        {"a copy", square + ok + ok, "", {}, 0, 1, {m + "6: face 2 repeats face 1, written once\n"}},
        {"a copy from another corner", square + ok + quad(3, 4, 1, 2), "", {}, 0, 1, {"face 2 repeats face 1, written once"}},
        {"a copy turned by its normals", square + "vn 0 0 1\n" + ok + "f 1//1 4//1 3//1 2//1\n", "", {}, 0, 1,
         {"face 2 repeats face 1, written once"}},
        {"a copy of triangles", square + ok + "f 1 2 3\nf 1 3 4\n", "", {}, 0, 1, {"face 2 repeats face 1, written once"}},
        {"back to back", square + ok + quad(4, 3, 2, 1), "", {}, 0, 2,
         {m + "6: face 2 lies on face 1 back to back, facing the other way\n"}},
        // materials and their libraries
        {"material in no library", "mtllib h.mtl\n" + square + "usemtl Default\n" + ok, "newmtl m\nKd 1 1 1\n", {}, 0, 1,
         {m + "6: material 'Default' is in no material library read; its faces reflect 0.5 and emit nothing\n"}},
        {"library missing", "mtllib none.mtl\n" + square + "usemtl m\n" + ok, "", {}, 0, 1,
         {m + "1: material library 'none.mtl' not found (No such file or directory)\n",
          m + "6: material 'm' is in no material library read"}},
        {"library named by nothing", "mtllib \n" + square + ok, "", {}, 0, 1,
         {m + "1: mtllib names no material library\n"}},
        {"library endless", "mtllib /dev/zero\n" + square + ok, "", {}, 2, -1,
         {"\aERROR : Couldn't read material library : /dev/zero (more than 16777216 bytes)\n"}},
        {"library a directory", "mtllib .\n" + square + ok, "", {}, 2, -1,
         {"\aERROR : Couldn't read material library : . (a directory)\n"}},
        {"library binary", "mtllib h.mtl\n" + square + ok, std::string("newmtl m\0\1\2", 11), {}, 2, -1,
         {"\aERROR : Material library is not text : h.mtl (a NUL byte on line 1: a binary file)\n"}},
        {"library in UTF-16", "mtllib h.mtl\n" + square + ok, std::string("\xFE\xFF\0n\0e\0w", 8), {}, 2, -1,
         {"\aERROR : Material library is not text : h.mtl (UTF-16 text, by its byte order mark"}},
        {"two libraries on one line", "mtllib h.mtl cube.mtl\n" + square + "usemtl light\n" + ok, "newmtl m\nKd 1 1 1\n",
         {}, 0, 1, {}, "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(1 1 1),(0.5 0.5 0.5),(10 10)\n"},
        {"a library's other lines", "mtllib h.mtl\n" + square + "usemtl m\n" + ok,
         "newmtl m\nKa 1 1 1\nmap_Kd -o 1 -s\nd 0.5\nTr 0.5\nillum 2\nKd 0.3 0.3 0.3\n", {}, 0, 1, {},
         "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0.3 0.3 0.3),(10 10)\n"},
        // lines the OBJ reader fails or warns on, and the file's form
        {"lines, points and weights with index 0", square + "l 0 1\np 0\nvw 0 -1 0.5\n" + ok, "", {}, 0, 1, {}},
        {"groups, objects, smoothing", "o thing\n" + square + "g\ng a b\ns 1\ns off\n" + ok, "", {}, 0, 1, {}},
        {"carriage returns alone", "v 0 0 0\rv 1 0 0\rv 1 1 0\rv 0 1 0\rf 1 2\rf 1 2 3 4", "", {}, 0, 1,
         {m + "5: face 1 left out: a face of 2 corners\n"}},
        {"carriage returns and line feeds", "v 0 0 0\r\nv 1 0 0\r\nv 1 1 0\r\nv 0 1 0\r\nf 1 2\r\nf 1 2 3 4\r\n", "",
         {}, 0, 1, {m + "5: face 1 left out: a face of 2 corners\n"}},
        {"byte order mark of UTF-8", "\xEF\xBB\xBFv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n" + ok, "", {}, 0, 1, {},
         "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0.5 0.5 0.5),(10 10)\n"},
        {"tabs", "v\t0\t0\t0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf\t1\t2\t3\t4\n", "", {}, 0, 1, {}},
        {"no line feed at the end", square + "f 1 2 3 4", "", {}, 0, 1, {}},
        {"comments only", "# nothing\n#\n", "", {}, 4, -1, {"\aERROR : No rectangle found in model file : model.obj\n"}},
    };
}

TEST(Import, HostileModelsEndWithTheirCodeAndTheirNotes) {
    std::vector<Hostile> cases = hostile_models();
    EXPECT_GE(cases.size(), 60u);
    for (const Hostile &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir at("hostile");
        write_file(at / "model.obj", c.obj);
        write_file(at / "cube.mtl", CUBE_MTL);
        if (!c.mtl.empty()) write_file(at / "h.mtl", c.mtl);
        std::vector<std::string> args = {"model.obj"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProgramResult result = run_program(HALVORA_IMPORT_EXE, at.path, args);
        EXPECT_EQ(result.exit_code, c.code) << result.err;
        for (const std::string &part : c.err_has) EXPECT_TRUE(contains(result.err, part)) << result.err;
        expect_own_words(result.err);
        if (c.lines < 0) {
            EXPECT_FALSE(file_exists(at / "model.txt"));
        } else {
            std::string scene = read_file(at / "model.txt");
            EXPECT_EQ(lines_of(scene).size(), (size_t)c.lines) << scene;
            expect_readable_scene(scene);
            if (!c.scene.empty()) EXPECT_EQ(scene, c.scene);
        }
        std::vector<std::string> files = directory_entries(at.path, false);
        for (const std::string &file : files)
            EXPECT_TRUE(file == "model.obj" || file == "model.txt" || file == "cube.mtl" || file == "h.mtl") << file;
    }
}

} // namespace
