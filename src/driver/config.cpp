// The configuration reader. Each section is searched from the top of the file:
// the reader rewinds after the settings and after the camera section, so the
// sections may stand in any order, with any other text around their key blocks.
//
// A header is a whole line holding only the section's name. Lines are read 100
// characters at a time, as fgets with a 101-byte buffer reads them; the last
// character of each piece (normally the newline) is dropped before comparing,
// together with a carriage return that stands just before that newline, so
// files saved with CRLF line ends read like the others.
//
// Keys follow the header directly, each scanned as " name = value", where a
// blank matches any white space or none. Values are checked beyond what the
// scan converts:
//   - integers must fit in 32 bits (a longer number is an invalid setting);
//   - hemicube_pixel_size must be finite and greater than 0;
//   - solution_precision must be greater than the smallest normal double
//     (2.2250738585072014e-308), the value each sweep's largest change starts
//     from, so that the stop test can be met; NaN is refused;
//   - filename must be at most 51 characters.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/errors.h"
#include "driver/config.h"

Config config;

namespace {

constexpr size_t LINE_BUFFER_SIZE = 101;

enum Section { SETTINGS, CAMERA, ENVIRONMENT };

const char *const section_names[] = {"settings", "camera", "environment"};
const int missing_section_codes[] = {EXIT_CONFIG_NO_SETTINGS, EXIT_CONFIG_NO_CAMERA,
                                     EXIT_CONFIG_NO_ENVIRONMENT};
const int invalid_setting_codes[] = {EXIT_CONFIG_BAD_SETTINGS, EXIT_CONFIG_BAD_CAMERA,
                                     EXIT_CONFIG_BAD_ENVIRONMENT};

[[noreturn]] void missing_section(Section section) {
    fatal(missing_section_codes[section],
          "No '%s' section in initialization file RADIOSITY.INI", section_names[section]);
}

[[noreturn]] void invalid_setting(Section section) {
    fatal(invalid_setting_codes[section],
          "Invalid/missing setting in section '%s' of initialization file RADIOSITY.INI",
          section_names[section]);
}

// Drops the piece's last character and a carriage return just before a
// dropped newline.
void strip_line_end(char *line) {
    size_t length = strlen(line);
    if (length == 0) return;
    char last = line[length - 1];
    line[--length] = '\0';
    if (last == '\n' && length > 0 && line[length - 1] == '\r') line[--length] = '\0';
}

// Reads pieces until one equals the section's name. The stream is left just
// after the header line.
void find_header(FILE *file, char *line, Section section) {
    for (;;) {
        if (fgets(line, (int)LINE_BUFFER_SIZE, file) == nullptr) {
            if (!feof(file)) fatal(EXIT_CONFIG_READ, "Couldn't read initialization file RADIOSITY.INI");
            missing_section(section);
        }
        strip_line_end(line);
        if (strcmp(line, section_names[section]) == 0) return;
    }
}

// Matches " name =" (blanks match any white space, including none). True when
// the whole literal matched.
bool scan_key(FILE *file, const char *name) {
    char format[64];
    snprintf(format, sizeof format, " %s =%%n", name);
    int matched = -1;
    if (fscanf(file, format, &matched) == EOF) return false;
    return matched >= 0;
}

void scan_int(FILE *file, Section section, const char *name, int32_t *out) {
    long long value;
    if (!scan_key(file, name) || fscanf(file, "%lld", &value) != 1) invalid_setting(section);
    // glibc saturates a number beyond long long, which lands outside this range too.
    if (value < INT32_MIN || value > INT32_MAX) invalid_setting(section);
    *out = (int32_t)value;
}

void scan_float(FILE *file, Section section, const char *name, float *out) {
    if (!scan_key(file, name) || fscanf(file, "%f", out) != 1) invalid_setting(section);
}

void scan_double(FILE *file, Section section, const char *name, double *out) {
    if (!scan_key(file, name) || fscanf(file, "%lf", out) != 1) invalid_setting(section);
}

void read_settings(FILE *file) {
    scan_int(file, SETTINGS, "game_mode", &config.game_mode);
    scan_int(file, SETTINGS, "window_origin_x", &config.window_origin_x);
    scan_int(file, SETTINGS, "window_origin_y", &config.window_origin_y);
    scan_int(file, SETTINGS, "window_width", &config.window_width);
    scan_int(file, SETTINGS, "window_height", &config.window_height);
    scan_float(file, SETTINGS, "hemicube_pixel_size", &config.hemicube_pixel_size);
    if (!std::isfinite(config.hemicube_pixel_size) || !(config.hemicube_pixel_size > 0.0f))
        invalid_setting(SETTINGS);
    scan_double(file, SETTINGS, "solution_precision", &config.solution_precision);
    if (!(config.solution_precision > DBL_MIN)) invalid_setting(SETTINGS);
}

void read_camera(FILE *file) {
    scan_double(file, CAMERA, "eye_x", &config.eye_x);
    scan_double(file, CAMERA, "eye_y", &config.eye_y);
    scan_double(file, CAMERA, "eye_z", &config.eye_z);
    scan_double(file, CAMERA, "look_at_x", &config.look_at_x);
    scan_double(file, CAMERA, "look_at_y", &config.look_at_y);
    scan_double(file, CAMERA, "look_at_z", &config.look_at_z);
    scan_double(file, CAMERA, "up_x", &config.up_x);
    scan_double(file, CAMERA, "up_y", &config.up_y);
    scan_double(file, CAMERA, "up_z", &config.up_z);
    scan_double(file, CAMERA, "fov", &config.fov);
    scan_double(file, CAMERA, "near", &config.near);
    scan_double(file, CAMERA, "far", &config.far);
}

void read_environment(FILE *file) {
    // One character more than the field holds, so that a longer token shows
    // itself by its length instead of being cut silently.
    static_assert(CONFIG_FILENAME_MAX == 51, "the scan width below is the field size plus one");
    char token[CONFIG_FILENAME_MAX + 2];
    if (!scan_key(file, "filename") || fscanf(file, "%52s", token) != 1)
        invalid_setting(ENVIRONMENT);
    if (strlen(token) > (size_t)CONFIG_FILENAME_MAX) invalid_setting(ENVIRONMENT);
    memcpy(config.filename, token, strlen(token) + 1);
}

} // namespace

void read_config(FILE *file) {
    char *line = (char *)checked_calloc(LINE_BUFFER_SIZE, 1, EXIT_CONFIG_NO_MEMORY);

    find_header(file, line, SETTINGS);
    read_settings(file);
    rewind(file);

    find_header(file, line, CAMERA);
    read_camera(file);
    rewind(file);

    find_header(file, line, ENVIRONMENT);
    read_environment(file);

    free(line);
}
