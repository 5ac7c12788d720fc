// Configuration stage: reads RADIOSTY.INI into the global Config record.
//
// The file has three sections, "settings", "camera" and "environment", each a
// header line followed directly by its keys in a fixed order. Every key must be
// present; there are no defaults. Config is read-only once read_config returns.
#pragma once

#include <cstdint>
#include <cstdio>

// Room for the environment file's path: 51 characters and the terminator.
constexpr int CONFIG_FILENAME_MAX = 51;

struct Config {
    // settings
    int32_t game_mode;          // 0: a window with menus; other: GLUT game mode
    int32_t window_origin_x;    // window position and size, pixels
    int32_t window_origin_y;
    int32_t window_width;
    int32_t window_height;
    float hemicube_pixel_size;  // edge of one hemicube cell (> 0, finite)
    double solution_precision;  // largest relative change per sweep at which a channel stops
    // camera, as gluLookAt and gluPerspective take them
    double eye_x, eye_y, eye_z;
    double look_at_x, look_at_y, look_at_z;
    double up_x, up_y, up_z;
    double fov;                 // vertical field of view, degrees
    double near;
    double far;
    // environment
    char filename[CONFIG_FILENAME_MAX + 1];
};

extern Config config;

// Reads the three sections from `file` (open in text mode, at its start) into
// `config`. Leaves the stream open. Ends the process with codes 50 to 57 on a
// missing section, a missing or invalid key, or a read error.
void read_config(FILE *file);
