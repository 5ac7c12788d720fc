// The bundled examples and the user documentation, held against the program.
//
// - Every directory under examples/ runs its batch part from a copy of its
//   files, as a fresh clone has them, and leaves result files of the right
//   sizes that show a scene lit from its light, with colour bled from its
//   coloured surfaces.
// - The README names the command for each example.
// - The blocks of docs/guide.md marked ini and scene run as the guide says:
//   settings that read (or stop with the code given), scene lines that are
//   accepted with the patch counts and front sides given, or dropped with the
//   message given.
// - Every message the sources can print stands, with its exit code, in a
//   table of docs/troubleshooting.md.
// - The relative links between the documents lead to files and headings that
//   exist.
// - scripts/accuracy.py, run again, reproduces the tables of docs/accuracy.md.
//
// Reads the sources, the docs and the examples in the source tree (found
// from this file's own path); runs the programs in scratch directories.
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

std::string source_root() {
    std::string file = __FILE__;
    return file.substr(0, file.rfind("/tests/"));
}

std::vector<std::string> directory_entries(const std::string &dir, bool directories) {
    std::vector<std::string> names;
    DIR *handle = opendir(dir.c_str());
    if (handle == nullptr) return names;
    while (dirent *entry = readdir(handle)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode) == directories) names.push_back(name);
    }
    closedir(handle);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

int count_nonempty(const std::vector<std::string> &lines) {
    return (int)std::count_if(lines.begin(), lines.end(), [](const std::string &l) { return !l.empty(); });
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

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

struct ScratchRun {
    std::string dir;
    ProgramResult result;
    ~ScratchRun() {
        if (!dir.empty()) remove_tree(dir);
    }
};

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
    ScratchRun run;
    run.dir = make_temp_dir("example");
    for (const std::string &file : directory_entries(source, false))
        write_file(run.dir + "/" + file, read_file(source + "/" + file));

    std::smatch match;
    std::string ini = read_file(run.dir + "/RADIOSTY.INI");
    ASSERT_TRUE(std::regex_search(ini, match, std::regex("filename\\s*=\\s*(\\S+)"))) << "RADIOSTY.INI of " << name;
    const std::string scene_file = match[1];
    ASSERT_TRUE(file_exists(run.dir + "/" + scene_file)) << name << " lacks its scene file " << scene_file;

    std::vector<std::string> lines = lines_of(read_file(run.dir + "/" + scene_file));
    long long patch_count = 0;
    for (const std::string &line : lines) {
        if (line.empty()) continue;
        SceneLine parsed;
        ASSERT_TRUE(read_scene_line(line, &parsed)) << line;
        out->scene.push_back(parsed);
        patch_count += parsed.patches;
    }

    run.result = run_program(halvora_batch_exe(), run.dir, {}, {"DISPLAY="});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_EQ(run.result.err, "") << "an example drops none of its lines";
    EXPECT_TRUE(contains(run.result.out, "Environment definition file at : " + scene_file + "\n"));
    EXPECT_TRUE(contains(run.result.out, "parsed, " + std::to_string(out->scene.size()) + " valid polygons read.\n"));
    EXPECT_TRUE(contains(run.result.out, "decomposed into " + std::to_string(patch_count) + " patches.\n"));

    const long long n = patch_count;
    EXPECT_FALSE(file_exists(run.dir + "/ENVRNMNT.BIN"));
    ASSERT_EQ(file_size(run.dir + "/PATCH.BIN"), 48 * n);
    ASSERT_EQ(file_size(run.dir + "/FF.BIN"), 4 * n * n);
    ASSERT_EQ(file_size(run.dir + "/PATCHRAD.BIN"), 12 * n);
    ASSERT_EQ(file_size(run.dir + "/VERTRAD.BIN"), 48 * n);

    std::vector<float> corners = read_floats_file(run.dir + "/PATCH.BIN");
    std::vector<float> radiosity = read_floats_file(run.dir + "/PATCHRAD.BIN");
    out->form_factors = read_floats_file(run.dir + "/FF.BIN");
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

// ---------------------------------------------------------------------------
// docs/guide.md
// ---------------------------------------------------------------------------

// A fenced block: its info string split into a kind ("ini", "scene") and
// attributes ("exit=53", "patches=5", "invalid"), and its lines.
struct Block {
    std::string kind;
    std::map<std::string, std::string> attributes;
    std::vector<std::string> lines;
    int first_line;
};

std::vector<Block> fenced_blocks(const std::string &path) {
    std::vector<Block> blocks;
    std::vector<std::string> lines = lines_of(read_file(path));
    for (size_t i = 0; i < lines.size(); i++) {
        std::string line = lines[i];
        size_t indent = line.find_first_not_of(' ');
        if (indent == std::string::npos || line.compare(indent, 3, "```") != 0) continue;
        Block block;
        block.first_line = (int)i + 1;
        std::istringstream info(line.substr(indent + 3));
        info >> block.kind;
        for (std::string word; info >> word;) {
            size_t eq = word.find('=');
            block.attributes[word.substr(0, eq)] = eq == std::string::npos ? "" : word.substr(eq + 1);
        }
        for (i++; i < lines.size() && lines[i].find("```") == std::string::npos; i++)
            block.lines.push_back(lines[i].size() >= indent ? lines[i].substr(indent) : lines[i]);
        blocks.push_back(block);
    }
    return blocks;
}

std::string joined(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) text += line + "\n";
    return text;
}

const std::string GUIDE = "/docs/guide.md";

std::vector<Block> guide_blocks(const std::string &kind) {
    std::vector<Block> chosen;
    for (const Block &block : fenced_blocks(source_root() + GUIDE))
        if (block.kind == kind) chosen.push_back(block);
    return chosen;
}

TEST(Guide, SettingsBlocksReadAsTheGuideSays) {
    std::vector<Block> inis = guide_blocks("ini");
    std::vector<Block> scenes = guide_blocks("scene");
    ASSERT_GE(inis.size(), 2u);
    ASSERT_FALSE(scenes.empty());
    for (const Block &block : inis) {
        SCOPED_TRACE("guide line " + std::to_string(block.first_line));
        std::string ini = joined(block.lines);
        std::smatch match;
        ASSERT_TRUE(std::regex_search(ini, match, std::regex("filename\\s*=\\s*(\\S+)")));
        ScratchRun run;
        run.dir = make_temp_dir("guide-ini");
        write_file(run.dir + "/RADIOSTY.INI", ini);
        write_file(run.dir + "/" + match[1].str(), joined(scenes[0].lines));
        run.result = run_program(halvora_batch_exe(), run.dir, {}, {"DISPLAY="});
        int expected = block.attributes.count("exit") ? std::atoi(block.attributes.at("exit").c_str()) : 0;
        EXPECT_EQ(run.result.exit_code, expected) << run.result.err;
        if (expected == 0)
            EXPECT_EQ(run.result.err, "");
        else
            EXPECT_EQ(run.result.err.rfind("\aERROR : ", 0), 0u) << run.result.err;
    }
}

// The front of each polygon, as the parser derives it, written as the guide
// writes it: "+z", "-x", ...
std::vector<std::string> front_sides(const std::string &scene) {
    FILE *text = tmpfile();
    FILE *binary = tmpfile();
    fputs(scene.c_str(), text);
    rewind(text);
    int32_t count = parse_environment_file(text, binary);
    rewind(binary);
    std::vector<std::string> sides;
    for (int32_t i = 0; i < count; i++) {
        Polygon polygon;
        if (fread(&polygon, sizeof polygon, 1, binary) != 1) break;
        const float n[3] = {polygon.normal.x, polygon.normal.y, polygon.normal.z};
        std::string side = "?";
        for (int axis = 0; axis < 3; axis++)
            if (std::fabs(n[axis]) == 1.0f) side = std::string(n[axis] > 0 ? "+" : "-") + "xyz"[axis];
        sides.push_back(side);
    }
    fclose(text);
    fclose(binary);
    return sides;
}

TEST(Guide, SceneBlocksParseAsTheGuideSays) {
    std::vector<Block> scenes = guide_blocks("scene");
    ASSERT_GE(scenes.size(), 4u);
    bool saw_invalid = false, saw_corrupt = false, saw_normals = false;
    for (const Block &block : scenes) {
        SCOPED_TRACE("guide line " + std::to_string(block.first_line));
        ScratchRun run;
        run.dir = make_temp_dir("guide-scene");
        write_run_files(run.dir, joined(block.lines));
        run.result = run_program(halvora_batch_exe(), run.dir, {}, {"DISPLAY="});
        EXPECT_EQ(run.result.exit_code, 0) << run.result.err;

        bool invalid = block.attributes.count("invalid") > 0, corrupt = block.attributes.count("corrupt") > 0;
        if (invalid || corrupt) {
            saw_invalid |= invalid;
            saw_corrupt |= corrupt;
            std::string expected;
            for (size_t i = 0; i < block.lines.size(); i++)
                if (!block.lines[i].empty())
                    expected += std::string("\aERROR : ") + (invalid ? "Invalid" : "Corrupt") +
                                " polygon specification at line " + std::to_string(i + 1) +
                                " of environment definition file\n";
            EXPECT_EQ(run.result.err, expected);
            EXPECT_TRUE(contains(run.result.out, "No polygons found in environment definition file\n"));
            continue;
        }

        EXPECT_EQ(run.result.err, "");
        EXPECT_TRUE(contains(run.result.out, "parsed, " + std::to_string(count_nonempty(block.lines)) +
                                                 " valid polygons read.\n"));
        if (block.attributes.count("patches"))
            EXPECT_TRUE(contains(run.result.out, "decomposed into " + block.attributes.at("patches") + " patches.\n"))
                << run.result.out.substr(0, 200);
        if (block.attributes.count("normals")) {
            saw_normals = true;
            std::vector<std::string> expected;
            std::stringstream list(block.attributes.at("normals"));
            for (std::string side; std::getline(list, side, ',');) expected.push_back(side);
            EXPECT_EQ(front_sides(joined(block.lines)), expected);
        }
    }
    EXPECT_TRUE(saw_invalid && saw_corrupt && saw_normals) << "the guide shows dropped lines and front sides";
}

// ---------------------------------------------------------------------------
// docs/troubleshooting.md
// ---------------------------------------------------------------------------

// Table rows of the page: the codes of the first cell (none for "none, ...")
// and the message of the second cell without its backticks and "ERROR : ".
struct MessageRow {
    std::vector<int> codes;
    std::string message;
};

std::vector<MessageRow> troubleshooting_rows() {
    std::vector<MessageRow> rows;
    for (const std::string &line : lines_of(read_file(source_root() + "/docs/troubleshooting.md"))) {
        if (line.compare(0, 2, "| ") != 0) continue;
        std::vector<std::string> cells;
        std::stringstream row(line.substr(2));
        for (std::string cell; std::getline(row, cell, '|');) cells.push_back(cell);
        if (cells.size() < 2) continue;
        MessageRow parsed;
        std::stringstream codes(cells[0]);
        for (std::string code; std::getline(codes, code, ',');)
            if (code.find_first_not_of(" 0123456789") == std::string::npos && code.find_first_of("0123456789") != std::string::npos)
                parsed.codes.push_back(std::atoi(code.c_str()));
        size_t open = cells[1].find('`'), close = cells[1].find('`', open + 1);
        if (open == std::string::npos || close == std::string::npos) continue;
        parsed.message = cells[1].substr(open + 1, close - open - 1);
        for (const char *prefix : {"ERROR : ", "ERROR: "})
            if (parsed.message.compare(0, strlen(prefix), prefix) == 0) parsed.message.erase(0, strlen(prefix));
        rows.push_back(parsed);
    }
    return rows;
}

std::map<std::string, int> exit_code_values() {
    std::map<std::string, int> values;
    std::string header = read_file(source_root() + "/src/base/errors.h");
    std::regex entry("(EXIT_\\w+)\\s*=\\s*(\\d+)");
    for (std::sregex_iterator it(header.begin(), header.end(), entry), end; it != end; ++it)
        values[(*it)[1]] = std::atoi((*it)[2].str().c_str());
    return values;
}

// A printf format as a pattern: each conversion stands for one word.
std::regex format_pattern(const std::string &format) {
    std::string pattern;
    for (size_t i = 0; i < format.size(); i++) {
        if (format[i] == '%') {
            size_t end = format.find_first_of("sdfl", i + 1);
            if (end != std::string::npos && format[end] == 'l') end++;
            pattern += "\\S+";
            i = end;
            continue;
        }
        if (std::string("\\^$.|?*+()[]{}").find(format[i]) != std::string::npos) pattern += '\\';
        pattern += format[i];
    }
    return std::regex(pattern);
}

std::vector<std::string> source_files() {
    std::vector<std::string> files;
    std::string src = source_root() + "/src";
    for (const std::string &stage : directory_entries(src, true))
        for (const std::string &file : directory_entries(src + "/" + stage, false))
            if (file.size() > 4 && file.compare(file.size() - 4, 4, ".cpp") == 0)
                files.push_back(src + "/" + stage + "/" + file);
    return files;
}

TEST(Troubleshooting, EveryMessageOfTheSourcesHasItsRowAndCode) {
    std::vector<MessageRow> rows = troubleshooting_rows();
    std::map<std::string, int> codes = exit_code_values();
    ASSERT_GT(rows.size(), 40u);
    ASSERT_GT(codes.size(), 40u);

    auto has_row = [&](const std::string &format, int code) {
        std::regex pattern = format_pattern(format);
        for (const MessageRow &row : rows)
            if (std::regex_match(row.message, pattern) &&
                (code < 0 || std::find(row.codes.begin(), row.codes.end(), code) != row.codes.end()))
                return true;
        return false;
    };

    // fatal(CODE, "text", ...), fatal_unspaced(...), report_error("text", ...)
    std::regex message_call("\\b(fatal|fatal_unspaced|report_error)\\(\\s*(?:([\\w\\[\\]]+)\\s*,\\s*)?\"((?:[^\"\\\\]|\\\\.)*)\"");
    std::regex memory_call("\\b(?:checked_calloc|fatal_out_of_memory)\\([^;]*?\\b(EXIT_\\w+)\\s*\\)");
    int messages = 0, memory = 0;
    for (const std::string &file : source_files()) {
        std::string text = read_file(file);
        for (std::sregex_iterator it(text.begin(), text.end(), message_call), end; it != end; ++it, ++messages) {
            std::string name = (*it)[2], format = (*it)[3];
            int code = -1;  // report_error ends nothing; a computed code is checked by its message only
            if (name.compare(0, 5, "EXIT_") == 0) {
                ASSERT_TRUE(codes.count(name)) << name;
                code = codes[name];
            }
            EXPECT_TRUE(has_row(format, code)) << file << ": \"" << format << "\", code " << code;
        }
        for (std::sregex_iterator it(text.begin(), text.end(), memory_call), end; it != end; ++it, ++memory) {
            ASSERT_TRUE(codes.count((*it)[1])) << (*it)[1];
            EXPECT_TRUE(has_row("Out of memory!", codes[(*it)[1]])) << file << ": " << (*it)[1];
        }
    }
    EXPECT_GT(messages, 40);
    EXPECT_GT(memory, 15);
}

// ---------------------------------------------------------------------------
// Links between the documents
// ---------------------------------------------------------------------------

// The anchor a heading gets: lower case, blanks to hyphens, other
// punctuation dropped.
std::string anchor_of(const std::string &heading) {
    std::string anchor;
    for (char c : heading) {
        if (std::isalnum((unsigned char)c) || c == '-' || c == '_') anchor += (char)std::tolower((unsigned char)c);
        else if (c == ' ') anchor += '-';
    }
    return anchor;
}

std::vector<std::string> anchors_of(const std::string &path) {
    std::vector<std::string> anchors;
    for (const std::string &line : lines_of(read_file(path)))
        if (!line.empty() && line[0] == '#') anchors.push_back(anchor_of(line.substr(line.find(' ') + 1)));
    return anchors;
}

TEST(Docs, RelativeLinksLeadToFilesAndHeadings) {
    const std::string root = source_root();
    std::regex link("\\]\\(([^)#\\s]*)(?:#([^)\\s]*))?\\)");
    int checked = 0;
    for (const std::string &page :
         {"README.md", "examples/README.md", "docs/guide.md", "docs/troubleshooting.md", "docs/accuracy.md"}) {
        std::string path = root + "/" + page;
        std::string dir = path.substr(0, path.rfind('/'));
        std::string text = read_file(path);
        ASSERT_FALSE(text.empty()) << page;
        for (std::sregex_iterator it(text.begin(), text.end(), link), end; it != end; ++it) {
            std::string target = (*it)[1], anchor = (*it)[2];
            if (target.find("://") != std::string::npos) continue;
            // the screenshot is made by scripts/screenshot.sh, not kept by hand
            if (target == "docs/screenshot.png") continue;
            std::string file = target.empty() ? path : dir + "/" + target;
            EXPECT_TRUE(file_exists(file)) << page << " links to " << target;
            if (!anchor.empty() && file_exists(file)) {
                std::vector<std::string> anchors = anchors_of(file);
                EXPECT_NE(std::find(anchors.begin(), anchors.end(), anchor), anchors.end())
                    << page << " links to " << target << "#" << anchor;
            }
            checked++;
        }
    }
    EXPECT_GT(checked, 10);
}

// ---------------------------------------------------------------------------
// docs/accuracy.md
// ---------------------------------------------------------------------------

std::string find_in_path(const std::string &name) {
    const char *path = getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
    return "";
}

TEST(Accuracy, ScriptReproducesTheTablesOfThePage) {
    std::string python = find_in_path("python3");
    if (python.empty()) GTEST_SKIP() << "python3 is not installed";
    ScratchRun run;
    run.dir = make_temp_dir("accuracy");
    run.result = run_program(python, run.dir,
                             {source_root() + "/scripts/accuracy.py", "--check", "--exe", halvora_batch_exe()});
    EXPECT_EQ(run.result.exit_code, 0) << run.result.out << run.result.err;
    EXPECT_EQ(run.result.out, "docs/accuracy.md matches a fresh run\n");
}

} // namespace
