// Scene and configuration texts for the tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "geometry/environment.h"

struct IniSettings {
    int game_mode = 0;
    int window_x = 40, window_y = 30, window_width = 320, window_height = 240;
    std::string pixel_size = "0.25";
    std::string precision = "0.0001";
    std::string filename = "scene.txt";
};

// A complete RADIOSTY.INI in the order settings, camera, environment.
std::string ini_text(const IniSettings &settings = {});

struct Rgb {
    float r, g, b;
};

// One scene line: four corners, emission, reflectance, counts.
std::string polygon_line(const float corners[4][3], Rgb emission, Rgb reflectance, int patches_u, int patches_v);

// The closed cube room of side 2: floor, ceiling and four walls facing
// inward, one patch each unless the floor is split. The ceiling emits
// `light`; every face reflects `reflectance`.
std::string cube_room(Rgb light = {0, 0, 0}, Rgb reflectance = {0, 0, 0}, int floor_u = 1, int floor_v = 1);

// Writes RADIOSTY.INI and scene.txt into `dir`.
void write_run_files(const std::string &dir, const std::string &scene, const IniSettings &settings = {});

// A completed polygon from its four corners (12 values) and counts.
Polygon make_polygon(std::initializer_list<float> corners, int32_t patches_u, int32_t patches_v);
