// Scene and configuration texts for the tests.
#include <cstdio>
#include <cstring>

#include "support/program.h"
#include "support/scene_builder.h"
#include "support/scenes.h"

std::string ini_text(const IniSettings &s) {
    char text[1024];
    snprintf(text, sizeof text,
             "settings\n"
             "game_mode = %d\nwindow_origin_x = %d\nwindow_origin_y = %d\n"
             "window_width = %d\nwindow_height = %d\n"
             "hemicube_pixel_size = %s\nsolution_precision = %s\n"
             "camera\n"
             "eye_x = 1\neye_y = -3\neye_z = 1\nlook_at_x = 1\nlook_at_y = 1\nlook_at_z = 1\n"
             "up_x = 0\nup_y = 0\nup_z = 1\nfov = 60\nnear = 0.1\nfar = 100\n"
             "environment\n"
             "filename = %s\n",
             s.game_mode, s.window_x, s.window_y, s.window_width, s.window_height, s.pixel_size.c_str(),
             s.precision.c_str(), s.filename.c_str());
    return text;
}

std::string polygon_line(const float c[4][3], Rgb e, Rgb r, int patches_u, int patches_v) {
    double corners[4][3];
    for (int k = 0; k < 4; k++)
        for (int a = 0; a < 3; a++) corners[k][a] = c[k][a];
    return polygon_line(corners, Colour{(double)e.r, (double)e.g, (double)e.b}, Colour{(double)r.r, (double)r.g, (double)r.b},
                        patches_u, patches_v);
}

std::string cube_room(Rgb light, Rgb reflectance, int floor_u, int floor_v) {
    const float faces[6][4][3] = {
        {{0, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0}}, // floor
        {{0, 0, 2}, {0, 2, 2}, {2, 2, 2}, {2, 0, 2}}, // ceiling
        {{0, 0, 0}, {0, 2, 0}, {0, 2, 2}, {0, 0, 2}}, // wall x = 0
        {{2, 0, 0}, {2, 0, 2}, {2, 2, 2}, {2, 2, 0}}, // wall x = 2
        {{0, 0, 0}, {0, 0, 2}, {2, 0, 2}, {2, 0, 0}}, // wall y = 0
        {{0, 2, 0}, {2, 2, 0}, {2, 2, 2}, {0, 2, 2}}, // wall y = 2
    };
    std::string scene;
    for (int f = 0; f < 6; f++) {
        Rgb emission = f == 1 ? light : Rgb{0, 0, 0};
        scene += polygon_line(faces[f], emission, reflectance, f == 0 ? floor_u : 1, f == 0 ? floor_v : 1);
    }
    return scene;
}

void write_run_files(const std::string &dir, const std::string &scene, const IniSettings &settings) {
    write_file(dir + "/RADIOSTY.INI", ini_text(settings));
    write_file(dir + "/" + settings.filename, scene);
}

Polygon make_polygon(std::initializer_list<float> corners, int32_t patches_u, int32_t patches_v) {
    Polygon p;
    memset(&p, 0, sizeof p);
    const float *c = corners.begin();
    for (int k = 0; k < 4; k++) p.vertices[k] = {c[3 * k], c[3 * k + 1], c[3 * k + 2]};
    p.patches_u = patches_u;
    p.patches_v = patches_v;
    complete_polygon(&p);
    return p;
}
