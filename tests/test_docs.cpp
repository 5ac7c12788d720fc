// The user and developer documentation, held against the program and the
// tree:
// - The blocks of docs/guide.md marked ini and scene run as the guide says:
//   settings that read (or stop with the code given), scene lines that are
//   accepted with the patch counts and front sides given, or dropped with the
//   message given.
// - Every message the sources can print stands, with its exit code, in a
//   table of docs/troubleshooting.md.
// - The relative links between the documents lead to files and headings that
//   exist, and every path docs/design.md names exists.
// - scripts/accuracy.py, run again, reproduces the tables of docs/accuracy.md.
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

int count_nonempty(const std::vector<std::string> &lines) {
    return (int)std::count_if(lines.begin(), lines.end(), [](const std::string &l) { return !l.empty(); });
}

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
        ScratchDir dir("guide-ini");
        ProgramResult result;
        write_file(dir.path + "/RADIOSTY.INI", ini);
        write_file(dir.path + "/" + match[1].str(), joined(scenes[0].lines));
        result = run_program(halvora_batch_exe(), dir.path, {}, {"DISPLAY="});
        int expected = block.attributes.count("exit") ? std::atoi(block.attributes.at("exit").c_str()) : 0;
        EXPECT_EQ(result.exit_code, expected) << result.err;
        if (expected == 0)
            EXPECT_EQ(result.err, "");
        else
            EXPECT_EQ(result.err.rfind("\aERROR : ", 0), 0u) << result.err;
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
        ScratchDir dir("guide-scene");
        ProgramResult result;
        write_run_files(dir.path, joined(block.lines));
        result = run_program(halvora_batch_exe(), dir.path, {}, {"DISPLAY="});
        EXPECT_EQ(result.exit_code, 0) << result.err;

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
            EXPECT_EQ(result.err, expected);
            EXPECT_TRUE(contains(result.out, "No polygons found in environment definition file\n"));
            continue;
        }

        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(contains(result.out, "parsed, " + std::to_string(count_nonempty(block.lines)) +
                                                 " valid polygons read.\n"));
        if (block.attributes.count("patches"))
            EXPECT_TRUE(contains(result.out, "decomposed into " + block.attributes.at("patches") + " patches.\n"))
                << result.out.substr(0, 200);
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
    std::regex memory_call("\\b(?:checked_calloc(?:_apart)?|fatal_out_of_memory)\\([^;]*?\\b(EXIT_\\w+)\\s*\\)");
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
         {"README.md", "examples/README.md", "docs/guide.md", "docs/troubleshooting.md", "docs/accuracy.md",
          "docs/design.md"}) {
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

// Every path the developer's map names, in backticks, is a file or folder of
// the tree: a map that names what was moved or renamed misleads.
TEST(Docs, DesignMapNamesOnlyPathsThatExist) {
    std::string text = read_file(source_root() + "/docs/design.md");
    std::regex path("`((?:src|tests|bench|scripts|docs|examples|fuzz|man)/[^`\\s]*|CMakeLists\\.txt)`");
    int checked = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), path), end; it != end; ++it, ++checked)
        EXPECT_TRUE(file_exists(source_root() + "/" + (*it)[1].str())) << (*it)[1];
    EXPECT_GT(checked, 30);
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
    ScratchDir dir("accuracy");
    ProgramResult result;
    result = run_program(python, dir.path,
                             {source_root() + "/scripts/accuracy.py", "--check", "--exe", halvora_batch_exe()});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_EQ(result.out, "docs/accuracy.md matches a fresh run\n");
}

} // namespace
