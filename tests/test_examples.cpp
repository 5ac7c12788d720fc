// The bundled examples, held against the program: every directory under
// examples/ runs its batch part from a copy of its files, as a fresh clone
// has them, and leaves result files of the right sizes that show a scene lit
// from its light, with colour bled from its coloured surfaces; the README
// names the command for each example.
//
// Reads the examples in the source tree; runs the program in scratch
// directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "geometry/environment.h"
#include "support/program.h"
#include "support/scenes.h"

namespace {

// One scene line read the plain way: brackets, parentheses and commas are
// separators, the twenty numbers are what is left.
struct SceneLine {
    float corner[4][3];
    float emission[3];
    float reflectance[3];
    long long patches;  // u * v, with 0 read as 1
};

bool read_scene_line(const std::string &line, SceneLine *out) {
    std::string plain = line;
    for (char &c : plain)
        if (c == '[' || c == ']' || c == '(' || c == ')' || c == ',') c = ' ';
    std::istringstream in(plain);
    double v[20];
    for (double &x : v)
        if (!(in >> x)) return false;
    for (int i = 0; i < 12; i++) out->corner[i / 3][i % 3] = (float)v[i];
    for (int c = 0; c < 3; c++) {
        out->emission[c] = (float)v[12 + c];
        out->reflectance[c] = (float)v[15 + c];
    }
    out->patches = (long long)std::max(1.0, v[18]) * (long long)std::max(1.0, v[19]);
    return true;
}

// ---------------------------------------------------------------------------
// Examples
// ---------------------------------------------------------------------------

// A patch of an example after its batch run: where it is, what it is, how
// bright it came out.
struct Patch {
    int polygon;
    double centre[3];
    double rgb[3];
};

struct ExampleRun {
    std::vector<SceneLine> scene;
    std::vector<Patch> patches;
    std::vector<float> form_factors;
};

double distance(const double *a, const double *b) {
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

void polygon_centre(const SceneLine &line, double *out) {
    for (int k = 0; k < 3; k++)
        out[k] = (line.corner[0][k] + line.corner[1][k] + line.corner[2][k] + line.corner[3][k]) / 4.0;
}

// Copies the example's files into a scratch directory, runs the batch part
// there and checks everything that holds for every example.
void run_example(const std::string &name, ExampleRun *out) {
    const std::string source = source_root() + "/examples/" + name;
    ScratchDir dir("example");
    ProgramResult result;
    for (const std::string &file : directory_entries(source, false))
        write_file(dir.path + "/" + file, read_file(source + "/" + file));

    std::smatch match;
    std::string ini = read_file(dir.path + "/RADIOSTY.INI");
    ASSERT_TRUE(std::regex_search(ini, match, std::regex("filename\\s*=\\s*(\\S+)"))) << "RADIOSTY.INI of " << name;
    const std::string scene_file = match[1];
    ASSERT_TRUE(file_exists(dir.path + "/" + scene_file)) << name << " lacks its scene file " << scene_file;

    std::vector<std::string> lines = lines_of(read_file(dir.path + "/" + scene_file));
    long long patch_count = 0;
    for (const std::string &line : lines) {
        if (line.empty()) continue;
        SceneLine parsed;
        ASSERT_TRUE(read_scene_line(line, &parsed)) << line;
        out->scene.push_back(parsed);
        patch_count += parsed.patches;
    }

    result = run_program(halvora_batch_exe(), dir.path, {}, {"DISPLAY="});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "") << "an example drops none of its lines";
    EXPECT_TRUE(contains(result.out, "Environment definition file at : " + scene_file + "\n"));
    EXPECT_TRUE(contains(result.out, "parsed, " + std::to_string(out->scene.size()) + " valid polygons read.\n"));
    EXPECT_TRUE(contains(result.out, "decomposed into " + std::to_string(patch_count) + " patches.\n"));

    const long long n = patch_count;
    EXPECT_FALSE(file_exists(dir.path + "/ENVRNMNT.BIN"));
    ASSERT_EQ(file_size(dir.path + "/PATCH.BIN"), 48 * n);
    ASSERT_EQ(file_size(dir.path + "/FF.BIN"), 4 * n * n);
    ASSERT_EQ(file_size(dir.path + "/PATCHRAD.BIN"), 12 * n);
    ASSERT_EQ(file_size(dir.path + "/VERTRAD.BIN"), 48 * n);

    std::vector<float> corners = read_floats_file(dir.path + "/PATCH.BIN");
    std::vector<float> radiosity = read_floats_file(dir.path + "/PATCHRAD.BIN");
    out->form_factors = read_floats_file(dir.path + "/FF.BIN");
    size_t p = 0;
    for (size_t i = 0; i < out->scene.size(); i++) {
        for (long long k = 0; k < out->scene[i].patches; k++, p++) {
            Patch patch{(int)i, {0, 0, 0}, {0, 0, 0}};
            for (int q = 0; q < 4; q++)
                for (int c = 0; c < 3; c++) patch.centre[c] += corners[12 * p + 3 * (size_t)q + (size_t)c] / 4.0;
            for (int c = 0; c < 3; c++) patch.rgb[c] = radiosity[3 * p + (size_t)c];
            out->patches.push_back(patch);
        }
    }
}

double brightness(const Patch &patch) { return patch.rgb[0] + patch.rgb[1] + patch.rgb[2]; }

bool emits(const SceneLine &line) { return line.emission[0] + line.emission[1] + line.emission[2] > 0; }

// The emitter that sends out the most light: emission times area.
int main_light(const std::vector<SceneLine> &scene) {
    int best = -1;
    double best_power = 0;
    for (size_t i = 0; i < scene.size(); i++) {
        const SceneLine &l = scene[i];
        double e1 = 0, e3 = 0;
        for (int k = 0; k < 3; k++) {
            e1 += (l.corner[1][k] - l.corner[0][k]) * (l.corner[1][k] - l.corner[0][k]);
            e3 += (l.corner[3][k] - l.corner[0][k]) * (l.corner[3][k] - l.corner[0][k]);
        }
        double power = (l.emission[0] + l.emission[1] + l.emission[2]) * std::sqrt(e1 * e3);
        if (power > best_power) best_power = power, best = (int)i;
    }
    return best;
}

// The patches of polygon `receiver` nearest to and farthest from a point.
void nearest_and_farthest(const ExampleRun &run, int receiver, const double *point, const Patch **near,
                          const Patch **far) {
    *near = *far = nullptr;
    for (const Patch &patch : run.patches) {
        if (patch.polygon != receiver) continue;
        if (*near == nullptr || distance(patch.centre, point) < distance((*near)->centre, point)) *near = &patch;
        if (*far == nullptr || distance(patch.centre, point) > distance((*far)->centre, point)) *far = &patch;
    }
}

// Colour bleeding: on the receiving polygon, the patch nearest to the
// coloured polygon leans more towards the colour's channel than the patch
// farthest from it. Indices are lines of the example's scene file.
struct BleedCase {
    const char *example;
    int receiver;        // a plain surface
    int coloured;        // the coloured surface next to it
    int channel, other;  // the coloured surface reflects `channel` far more than `other`
};

const BleedCase bleed_cases[] = {
    {"room", 0, 6, 0, 1},       // floor next to the red wall
    {"room", 0, 7, 1, 0},       // floor next to the green wall
    {"cube", 0, 2, 0, 2},       // floor next to the red wall
    {"cube", 0, 3, 2, 0},       // floor next to the blue wall
    {"furnished", 17, 49, 0, 1},  // back wall behind the red sofa
    {"measured", 0, 2, 0, 1},   // floor next to the red wall
    {"measured", 0, 3, 1, 0},   // floor next to the green wall
};

const std::vector<std::string> &example_names() {
    static const std::vector<std::string> names = directory_entries(source_root() + "/examples", true);
    return names;
}

TEST(Examples, AtLeastThreeExamplesEachNamedInTheReadme) {
    ASSERT_GE(example_names().size(), 3u);
    std::string readme = read_file(source_root() + "/README.md");
    for (const std::string &name : example_names())
        EXPECT_TRUE(contains(readme, "scripts/run-example.sh examples/" + name)) << name;
    EXPECT_TRUE(contains(readme, "scripts/run-example.sh "));
    EXPECT_TRUE(contains(readme, "scripts/test.sh"));
}

class ExampleTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ExampleTest, RunsAndShowsALitScene) {
    ExampleRun run;
    ASSERT_NO_FATAL_FAILURE(run_example(GetParam(), &run));
    const std::vector<SceneLine> &scene = run.scene;

    // Radiosity is light: never negative, never infinite. A lit patch is
    // at least as bright as its own emission.
    for (const Patch &patch : run.patches)
        for (int c = 0; c < 3; c++) {
            ASSERT_TRUE(std::isfinite(patch.rgb[c]) && patch.rgb[c] >= 0) << "polygon " << patch.polygon;
            EXPECT_GE(patch.rgb[c], scene[(size_t)patch.polygon].emission[c]) << "polygon " << patch.polygon;
        }

    // Lit from the light: the brightest patch is a light, and on the floor
    // (the first line of every example) the patch nearest the main light
    // is clearly brighter than the one farthest from it.
    const Patch &brightest = *std::max_element(run.patches.begin(), run.patches.end(),
        [](const Patch &a, const Patch &b) { return brightness(a) < brightness(b); });
    EXPECT_TRUE(emits(scene[(size_t)brightest.polygon]));
    int light = main_light(scene);
    ASSERT_GE(light, 0) << "an example needs a light";
    double light_centre[3];
    polygon_centre(scene[(size_t)light], light_centre);
    const Patch *near = nullptr, *far = nullptr;
    nearest_and_farthest(run, 0, light_centre, &near, &far);
    ASSERT_NE(near, nullptr);
    EXPECT_GT(brightness(*near), 1.25 * brightness(*far));
    EXPECT_GT(brightness(*far), 0.0) << "light reaches every corner of the floor";

    // A closed room keeps its light: the typical row of form factors adds
    // up to nearly the whole hemicube (a wall facing the wrong way, a gap or
    // a poor hemicube_pixel_size pulls the median down).
    size_t n = run.patches.size();
    std::vector<double> sums(n, 0.0);
    for (size_t r = 0; r < n; r++)
        for (size_t c = 0; c < n; c++) sums[r] += run.form_factors[r * n + c];
    std::nth_element(sums.begin(), sums.begin() + (long)(n / 2), sums.end());
    EXPECT_GT(sums[n / 2], 0.95) << "median row sum";
    EXPECT_LT(sums[n / 2], 1.01) << "median row sum";

    // Every polygon gets light: a wall facing out of the room, or a light
    // facing into a wall, leaves polygons black.
    std::vector<double> polygon_light(scene.size(), 0.0);
    for (const Patch &patch : run.patches) polygon_light[(size_t)patch.polygon] += brightness(patch);
    for (size_t i = 0; i < scene.size(); i++) EXPECT_GT(polygon_light[i], 0.01) << "line " << i + 1 << " stays black";

    // Colour bleeding, for the examples that have a case: next to the
    // coloured surface the receiver leans towards the colour, beyond what
    // the main light and its own reflectance give it, and more than far
    // from the coloured surface.
    bool bled = false;
    const SceneLine &main = scene[(size_t)light];
    for (const BleedCase &bleed : bleed_cases) {
        if (GetParam() != bleed.example) continue;
        bled = true;
        SCOPED_TRACE("line " + std::to_string(bleed.receiver + 1) + " next to line " + std::to_string(bleed.coloured + 1));
        const SceneLine &coloured = scene[(size_t)bleed.coloured];
        const SceneLine &receiver = scene[(size_t)bleed.receiver];
        ASSERT_GT(coloured.reflectance[bleed.channel], 2 * coloured.reflectance[bleed.other]);
        double own = (main.emission[bleed.channel] * receiver.reflectance[bleed.channel]) /
                     (main.emission[bleed.other] * receiver.reflectance[bleed.other]);
        double centre[3];
        polygon_centre(coloured, centre);
        nearest_and_farthest(run, bleed.receiver, centre, &near, &far);
        double ratio_near = near->rgb[bleed.channel] / near->rgb[bleed.other];
        double ratio_far = far->rgb[bleed.channel] / far->rgb[bleed.other];
        EXPECT_GT(ratio_near, 1.1 * own);
        EXPECT_GT(ratio_near, 1.05 * ratio_far);
    }
    EXPECT_TRUE(bled) << "give " << GetParam() << " a colour-bleeding case";
}

INSTANTIATE_TEST_SUITE_P(Each, ExampleTest, ::testing::ValuesIn(example_names()),
                         [](const ::testing::TestParamInfo<std::string> &info) { return info.param; });

} // namespace
