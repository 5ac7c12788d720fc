// halvora-import run whole: OBJ files written here, imported, and the scene
// run through halvora_batch beside the hand-written scene it stands for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

struct ImportDir {
    std::string dir = make_temp_dir("import");
    ~ImportDir() { remove_tree(dir); }
};

ProgramResult import(const ImportDir &at, const std::string &obj, const std::vector<std::string> &args) {
    write_file(at.dir + "/model.obj", obj);
    write_file(at.dir + "/cube.mtl", CUBE_MTL);
    std::vector<std::string> all = {"model.obj"};
    all.insert(all.end(), args.begin(), args.end());
    return run_program(HALVORA_IMPORT_EXE, at.dir, all);
}

TEST(Import, CubeOfQuadsOrTrianglePairsRunsAsTheHandWrittenCube) {
    ImportDir written;
    write_run_files(written.dir, cube_room({1, 1, 1}, {0.5f, 0.5f, 0.5f}));
    ASSERT_EQ(run_program(halvora_batch_exe(), written.dir).exit_code, 0);
    ASSERT_EQ(file_size(written.dir + "/FF.BIN"), 4 * 6 * 6);

    for (const std::string &obj : {cube_of_quads(), cube_of_triangle_pairs()}) {
        ImportDir imported;
        ProgramResult result = import(imported, obj, {"-o", "scene.txt", "--patch-size", "2"});
        ASSERT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.err, "");
        bool pairs = obj.find("f 1 2 3\n") != std::string::npos;
        EXPECT_EQ(result.out, std::string(pairs ? "12" : "6") + " faces read, 6 rectangles written to scene.txt (" +
                                  (pairs ? "6" : "0") + " from triangle pairs, 0 turned to face their normals), " +
                                  "0 faces left out; patch size 2\n");
        write_file(imported.dir + "/RADIOSTY.INI", ini_text());
        ASSERT_EQ(run_program(halvora_batch_exe(), imported.dir).exit_code, 0);
        for (const char *name : BINARY_FILES)
            EXPECT_EQ(read_file(imported.dir + "/" + name), read_file(written.dir + "/" + name)) << name;
    }
}

TEST(Import, FacesThatAreNoRectangleAreReportedByNumberAndLeftOut) {
    ImportDir at;
    std::string obj = "mtllib cube.mtl\n"
                      "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0.8 2 0\nv 0.2 2 0\nvn 0 0 1\n"
                      "usemtl light\nf 1 2 3 4\n"  // 1: a rectangle
                      "usemtl wall\nf 4 3 5 6\n"   // 2: a trapezoid
                      "f 1 2 3\n"                  // 3: a triangle alone
                      "f 1 2 3 5 4\n"              // 4: five corners
                      "f 1//1 4//1 3//1 2//1\n";   // 5: wound clockwise seen from its normal's side
    ProgramResult result = import(at, obj, {"--patch-size", "0.25"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "halvora-import: face 2 left out: a quadrilateral that is not a rectangle\n"
                          "halvora-import: face 3 left out: a triangle that makes no rectangle with a neighbour\n"
                          "halvora-import: face 4 left out: a polygon of 5 corners\n");
    EXPECT_EQ(result.out, "5 faces read, 2 rectangles written to model.txt (0 from triangle pairs, 1 turned to face "
                          "their normals), 3 faces left out; patch size 0.25\n");
    EXPECT_EQ(read_file(at.dir + "/model.txt"), "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(1 1 1),(0.5 0.5 0.5),(4 4)\n"
                                                "[(0 0 0),(1 0 0),(1 1 0),(0 1 0)],(0 0 0),(0.5 0.5 0.5),(4 4)\n");
}

TEST(Import, Failures) {
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string obj;
        int code;
        const char *err_has;
    } cases[] = {
        {"no model", {"missing.obj"}, "", 2, "\aERROR : Couldn't read model file : missing.obj"},
        {"no rectangle", {"model.obj"}, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", 4,
         "\aERROR : No rectangle found in model file : model.obj\n"},
        {"no arguments", {}, "", 64, "no model file given"},
        {"bad patch size", {"model.obj", "--patch-size", "-1"}, "", 64, "--patch-size takes a positive number"},
        {"scene not writable", {"model.obj", "-o", "no-dir/scene.txt"}, "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n",
         3, "\aERROR : Couldn't create scene file : no-dir/scene.txt\n"},
    };
    for (const Case &c : cases) {
        ImportDir at;
        if (!c.obj.empty()) write_file(at.dir + "/model.obj", c.obj);
        ProgramResult result = run_program(HALVORA_IMPORT_EXE, at.dir, c.args);
        EXPECT_EQ(result.exit_code, c.code) << c.name;
        EXPECT_NE(result.err.find(c.err_has), std::string::npos) << c.name << ": " << result.err;
    }
}

} // namespace
