// The configuration reader: the program's messages and codes for every way
// RADIOSTY.INI can be wrong, and the values it accepts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "driver/config.h"
#include "support/program.h"
#include "support/scenes.h"

namespace {

const std::string START = "Start of 'Halvora'.\n";

std::string invalid(const char *section) {
    return std::string("\aERROR : Invalid/missing setting in section '") + section +
           "' of initialization file RADIOSITY.INI\n";
}
std::string missing(const char *section) {
    return std::string("\aERROR : No '") + section + "' section in initialization file RADIOSITY.INI\n";
}

const char *SETTINGS =
    "settings\ngame_mode = 0\nwindow_origin_x = 0\nwindow_origin_y = 0\nwindow_width = 64\n"
    "window_height = 48\nhemicube_pixel_size = 0.5\nsolution_precision = 0.001\n";
const char *CAMERA =
    "camera\neye_x = 1\neye_y = 2\neye_z = 3\nlook_at_x = 4\nlook_at_y = 5\nlook_at_z = 6\n"
    "up_x = 0\nup_y = 0\nup_z = 1\nfov = 45\nnear = 0.5\nfar = 50\n";
const char *ENVIRONMENT = "environment\nfilename = nowhere.txt\n";

std::string replace(std::string text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string good_ini() { return std::string(SETTINGS) + CAMERA + ENVIRONMENT; }

ProgramResult run_with_ini(const std::string &ini) {
    ScratchDir scratch("config");
    const std::string &dir = scratch.path;
    write_file(dir + "/RADIOSTY.INI", ini);
    ProgramResult result = run_program(halvora_exe(), dir, {}, {"DISPLAY="});
    return result;
}

// A configuration that reads through ends at the missing scene file, code 2.
const std::string REACHED_SCENE = "\aERROR : Couldn't open environment definition file\n";

struct IniCase {
    const char *name;
    std::string ini;
    int code;
    std::string err;
};

class ConfigFailure : public ::testing::TestWithParam<IniCase> {};

TEST_P(ConfigFailure, PrintsMessageAndEndsWithCode) {
    const IniCase &c = GetParam();
    ProgramResult r = run_with_ini(c.ini);
    EXPECT_EQ(r.exit_code, c.code);
    EXPECT_EQ(r.err, c.err);
    if (c.code != 2) EXPECT_EQ(r.out, START);
}

std::string with_settings_value(const char *key_line, const char *replacement) {
    return replace(good_ini(), key_line, replacement);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ConfigFailure,
    ::testing::Values(
        IniCase{"empty_file", "", 52, missing("settings")},
        IniCase{"bracketed_header", replace(good_ini(), "settings\n", "[settings]\n"), 52, missing("settings")},
        IniCase{"capitalised_header", replace(good_ini(), "settings\n", "Settings\n"), 52, missing("settings")},
        IniCase{"trailing_blank", replace(good_ini(), "settings\n", "settings \n"), 52, missing("settings")},
        IniCase{"no_camera", std::string(SETTINGS) + ENVIRONMENT, 54, missing("camera")},
        IniCase{"no_camera_no_environment", std::string(SETTINGS), 54, missing("camera")},
        IniCase{"no_environment", std::string(SETTINGS) + CAMERA, 56, missing("environment")},
        IniCase{"environment_header_last_line_without_newline", std::string(SETTINGS) + CAMERA + "environment", 56,
                missing("environment")},
        IniCase{"header_longer_than_a_piece", std::string(99, ' ') + "settings\n" + CAMERA + ENVIRONMENT, 52,
                missing("settings")}),
    [](const ::testing::TestParamInfo<IniCase> &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Keys, ConfigFailure,
    ::testing::Values(
        IniCase{"keys_out_of_order",
                replace(good_ini(), "window_origin_x = 0\nwindow_origin_y = 0\n", "window_origin_y = 0\nwindow_origin_x = 0\n"),
                53, invalid("settings")},
        IniCase{"comment_after_header", replace(good_ini(), "settings\n", "settings\n; window\n"), 53,
                invalid("settings")},
        IniCase{"game_mode_with_fraction", with_settings_value("game_mode = 0", "game_mode = 1.5"), 53,
                invalid("settings")},
        IniCase{"missing_camera_key", replace(good_ini(), "fov = 45\n", ""), 55, invalid("camera")},
        IniCase{"camera_value_not_a_number", replace(good_ini(), "eye_y = 2", "eye_y = two"), 55, invalid("camera")},
        IniCase{"missing_filename", std::string(SETTINGS) + CAMERA + "environment\n", 57, invalid("environment")},
        IniCase{"settings_cut_short", "settings\ngame_mode = 0\n", 53, invalid("settings")}),
    [](const ::testing::TestParamInfo<IniCase> &info) { return std::string(info.param.name); });

// Values the reader refuses although the scan converts them: they would
// divide by zero, never stop the solver, overflow 32 bits or overrun the
// file name's field.
INSTANTIATE_TEST_SUITE_P(
    RefusedValues, ConfigFailure,
    ::testing::Values(
        IniCase{"pixel_size_zero", with_settings_value("hemicube_pixel_size = 0.5", "hemicube_pixel_size = 0"), 53,
                invalid("settings")},
        IniCase{"pixel_size_negative", with_settings_value("hemicube_pixel_size = 0.5", "hemicube_pixel_size = -0.5"),
                53, invalid("settings")},
        IniCase{"pixel_size_nan", with_settings_value("hemicube_pixel_size = 0.5", "hemicube_pixel_size = nan"), 53,
                invalid("settings")},
        IniCase{"pixel_size_infinite", with_settings_value("hemicube_pixel_size = 0.5", "hemicube_pixel_size = inf"),
                53, invalid("settings")},
        IniCase{"pixel_size_overflowing_float",
                with_settings_value("hemicube_pixel_size = 0.5", "hemicube_pixel_size = 1e39"), 53,
                invalid("settings")},
        IniCase{"precision_zero", with_settings_value("solution_precision = 0.001", "solution_precision = 0"), 53,
                invalid("settings")},
        IniCase{"precision_negative", with_settings_value("solution_precision = 0.001", "solution_precision = -1"),
                53, invalid("settings")},
        IniCase{"precision_smallest_normal",
                with_settings_value("solution_precision = 0.001", "solution_precision = 2.2250738585072014e-308"), 53,
                invalid("settings")},
        IniCase{"precision_nan", with_settings_value("solution_precision = 0.001", "solution_precision = nan"), 53,
                invalid("settings")},
        IniCase{"int_above_32_bits", with_settings_value("window_width = 64", "window_width = 2147483648"), 53,
                invalid("settings")},
        IniCase{"int_below_32_bits", with_settings_value("window_origin_x = 0", "window_origin_x = -2147483649"),
                53, invalid("settings")},
        IniCase{"int_beyond_64_bits",
                with_settings_value("game_mode = 0", "game_mode = 99999999999999999999999999"), 53,
                invalid("settings")},
        IniCase{"filename_of_52_characters",
                replace(good_ini(), "nowhere.txt", std::string(52, 'f')), 57, invalid("environment")},
        IniCase{"filename_far_too_long", replace(good_ini(), "nowhere.txt", std::string(300, 'f')), 57,
                invalid("environment")}),
    [](const ::testing::TestParamInfo<IniCase> &info) { return std::string(info.param.name); });

// Configurations that read through: the run goes on to the scene file.
INSTANTIATE_TEST_SUITE_P(
    Accepted, ConfigFailure,
    ::testing::Values(
        IniCase{"sections_reversed", std::string(ENVIRONMENT) + CAMERA + SETTINGS, 2, REACHED_SCENE},
        IniCase{"crlf_line_ends", [] {
                    std::string text = good_ini(), out;
                    for (char ch : text) out += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
                    return out;
                }(), 2, REACHED_SCENE},
        IniCase{"int_extremes", with_settings_value("window_origin_x = 0", "window_origin_x = -2147483648"), 2,
                REACHED_SCENE},
        IniCase{"precision_just_above_smallest_normal",
                with_settings_value("solution_precision = 0.001", "solution_precision = 2.3e-308"), 2, REACHED_SCENE},
        IniCase{"filename_of_51_characters", replace(good_ini(), "nowhere.txt", std::string(51, 'f')), 2,
                REACHED_SCENE},
        IniCase{"text_after_last_keys", good_ini() + "my_key = 7\n", 2, REACHED_SCENE},
        IniCase{"duplicate_header_first_counts", good_ini() + "settings\ngarbage\n", 2, REACHED_SCENE}),
    [](const ::testing::TestParamInfo<IniCase> &info) { return std::string(info.param.name); });

TEST(ConfigRun, MissingFileEndsWithCodeOneAndCreatesNothing) {
    ScratchDir scratch("config");
    const std::string &dir = scratch.path;
    ProgramResult r = run_program(halvora_exe(), dir, {}, {"DISPLAY="});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, START);
    EXPECT_EQ(r.err, "\aERROR : Couldn't open initialization file RADIOSITY.INI\n");
    EXPECT_EQ(rmdir(dir.c_str()), 0) << "the run left files behind";
}

TEST(ConfigRun, UnreadableFileIsAReadError) {
    // A directory opens for reading but every read of it fails.
    ScratchDir scratch("config");
    const std::string &dir = scratch.path;
    ASSERT_EQ(mkdir((dir + "/RADIOSTY.INI").c_str(), 0755), 0);
    ProgramResult r = run_program(halvora_exe(), dir, {}, {"DISPLAY="});
    EXPECT_EQ(r.exit_code, 51);
    EXPECT_EQ(r.err, "\aERROR : Couldn't read initialization file RADIOSITY.INI\n");
}

TEST(ConfigRun, ReportsTheConfiguredSceneFile) {
    ProgramResult r = run_with_ini(good_ini());
    EXPECT_EQ(r.out, START + "Environment definition file at : nowhere.txt\n");
}

// The values themselves, read in-process.
void read_text(const std::string &text) {
    FILE *file = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    ASSERT_NE(file, nullptr);
    memset(&config, 0, sizeof config);
    read_config(file);
    fclose(file);
}

TEST(ReadConfig, FillsEveryField) {
    read_text(good_ini());
    EXPECT_EQ(config.game_mode, 0);
    EXPECT_EQ(config.window_width, 64);
    EXPECT_EQ(config.window_height, 48);
    EXPECT_EQ(config.hemicube_pixel_size, 0.5f);
    EXPECT_EQ(config.solution_precision, 0.001);
    EXPECT_EQ(config.eye_x, 1.0);
    EXPECT_EQ(config.look_at_z, 6.0);
    EXPECT_EQ(config.up_z, 1.0);
    EXPECT_EQ(config.fov, 45.0);
    EXPECT_EQ(config.near, 0.5);
    EXPECT_EQ(config.far, 50.0);
    EXPECT_STREQ(config.filename, "nowhere.txt");
}

TEST(ReadConfig, AcceptsFreeWhiteSpaceAndExponents) {
    std::string text = replace(good_ini(), "hemicube_pixel_size = 0.5", "hemicube_pixel_size=1e-1");
    text = replace(text, "window_width = 64", "  window_width\t=\n 64");
    text = replace(text, "solution_precision = 0.001", "solution_precision =\n\n 1.5E-3");
    read_text(text);
    EXPECT_EQ(config.hemicube_pixel_size, 0.1f) << "stored in single precision";
    EXPECT_EQ(config.window_width, 64);
    EXPECT_EQ(config.solution_precision, 1.5e-3);
}

TEST(ReadConfig, FilenameStopsAtTheFirstBlank) {
    read_text(replace(good_ini(), "nowhere.txt", "my scene.txt"));
    EXPECT_STREQ(config.filename, "my");
}

TEST(ReadConfig, FilenameOfFullLengthIsKeptWhole) {
    std::string name(51, 'n');
    read_text(replace(good_ini(), "nowhere.txt", name));
    EXPECT_EQ(std::string(config.filename), name);
}

TEST(ReadConfig, CarriageReturnsDoNotHideHeaders) {
    std::string text = good_ini();
    std::string crlf;
    for (char ch : text) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    read_text(crlf);
    EXPECT_EQ(config.far, 50.0);
    EXPECT_STREQ(config.filename, "nowhere.txt");
}

} // namespace
