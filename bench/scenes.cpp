// Scene generators for the benchmark. Every polygon is an axis-aligned
// rectangle given by its corner p0 and its two edges; the corners are turned
// so that the normal points to the side the caller names (into a room, out of
// a box). The lines and the seeded generator are the shared scene builder's.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

#include "scenes.h"
#include "driver/run.h"
#include "support/scene_builder.h"

namespace {

const Colour DARK = {0, 0, 0};

// Patches along an edge of `length` for patches of about `size`.
int patches_for(double length, double size) {
    int n = (int)lround(length / size);
    return n < 1 ? 1 : n;
}

// The six inner faces of the box [lo, hi], each cut into patches of about
// `size` (the light's panel is separate).
void room(std::string *scene, const double lo[3], const double hi[3], double size, Colour reflectance) {
    double dx = hi[0] - lo[0], dy = hi[1] - lo[1], dz = hi[2] - lo[2];
    const double up[3] = {0, 0, 1}, down[3] = {0, 0, -1}, east[3] = {1, 0, 0}, west[3] = {-1, 0, 0},
                 north[3] = {0, 1, 0}, south[3] = {0, -1, 0};
    const double ex[3] = {dx, 0, 0}, ey[3] = {0, dy, 0}, ez[3] = {0, 0, dz};
    const double top[3] = {lo[0], lo[1], hi[2]}, far_x[3] = {hi[0], lo[1], lo[2]}, far_y[3] = {lo[0], hi[1], lo[2]};
    int nx = patches_for(dx, size), ny = patches_for(dy, size), nz = patches_for(dz, size);
    rectangle_line(scene, lo, ex, ey, up, nx, ny, DARK, reflectance);        // floor
    rectangle_line(scene, top, ex, ey, down, nx, ny, DARK, reflectance);     // ceiling
    rectangle_line(scene, lo, ey, ez, east, ny, nz, DARK, reflectance);      // wall x = lo
    rectangle_line(scene, far_x, ey, ez, west, ny, nz, DARK, reflectance);   // wall x = hi
    rectangle_line(scene, lo, ex, ez, north, nx, nz, DARK, reflectance);     // wall y = lo
    rectangle_line(scene, far_y, ex, ez, south, nx, nz, DARK, reflectance);  // wall y = hi
}

// A box standing on z = 0 over [x0, x0 + w] x [y0, y0 + d], height h: its top
// and four sides facing out, patches of about `size`.
void box(std::string *scene, double x0, double y0, double w, double d, double h, double size, Colour reflectance) {
    const double up[3] = {0, 0, 1}, east[3] = {1, 0, 0}, west[3] = {-1, 0, 0}, north[3] = {0, 1, 0},
                 south[3] = {0, -1, 0};
    const double ex[3] = {w, 0, 0}, ey[3] = {0, d, 0}, ez[3] = {0, 0, h};
    const double base[3] = {x0, y0, 0}, top[3] = {x0, y0, h}, far_x[3] = {x0 + w, y0, 0}, far_y[3] = {x0, y0 + d, 0};
    int nx = patches_for(w, size), ny = patches_for(d, size), nz = patches_for(h, size);
    rectangle_line(scene, top, ex, ey, up, nx, ny, DARK, reflectance);
    rectangle_line(scene, base, ey, ez, west, ny, nz, DARK, reflectance);
    rectangle_line(scene, far_x, ey, ez, east, ny, nz, DARK, reflectance);
    rectangle_line(scene, base, ex, ez, south, nx, nz, DARK, reflectance);
    rectangle_line(scene, far_y, ex, ez, north, nx, nz, DARK, reflectance);
}

// A light panel facing down at height z over [x0, x0 + w] x [y0, y0 + d].
void light(std::string *scene, double x0, double y0, double z, double w, double d, int n, Colour emission) {
    const double down[3] = {0, 0, -1}, p0[3] = {x0, y0, z}, ex[3] = {w, 0, 0}, ey[3] = {0, d, 0};
    rectangle_line(scene, p0, ex, ey, down, n, n, emission, DARK);
}

} // namespace

std::string furnished_room() {
    std::string scene;
    const double lo[3] = {0, 0, 0}, hi[3] = {6, 5, 3};
    room(&scene, lo, hi, 0.25, {0.7, 0.6, 0.5});
    light(&scene, 2.5, 2, 2.95, 1, 1, 4, {10, 9, 8});
    box(&scene, 1, 1, 1.2, 0.8, 0.9, 0.2, {0.3, 0.5, 0.7});
    box(&scene, 3.6, 2.8, 1.4, 1.0, 0.6, 0.2, {0.6, 0.3, 0.2});
    return scene;
}

std::string cluttered_hall(uint32_t seed) {
    std::string scene;
    const double lo[3] = {0, 0, 0}, hi[3] = {40, 30, 6};
    room(&scene, lo, hi, 2.0, {0.6, 0.6, 0.6});
    for (int k = 0; k < 4; k++) light(&scene, 6 + 8 * k, 13, 5.9, 2, 2, 2, {20, 19, 17});
    SceneRandom random = {seed};
    // 20 x 10 grid cells of 2 x 3; one box per cell, inside it.
    for (int i = 0; i < 20; i++) {
        for (int j = 0; j < 10; j++) {
            double w = random.between(0.5, 1.6), d = random.between(0.5, 2.4), h = random.between(0.4, 2.5);
            double x0 = 2 * i + random.between(0.1, 1.9 - w), y0 = 3 * j + random.between(0.1, 2.9 - d);
            Colour reflectance = {random.between(0.2, 0.8), random.between(0.2, 0.8), random.between(0.2, 0.8)};
            box(&scene, x0, y0, w, d, h, 0.75, reflectance);
        }
    }
    return scene;
}

std::string hall_of_boxes(int32_t boxes, uint32_t seed) {
    int columns = (int)lround(sqrt(2.0 * boxes));
    if (columns < 1) columns = 1;
    int rows = (boxes + columns - 1) / columns;
    double width = 2.0 * columns, depth = 3.0 * rows, height = 6;
    std::string scene;
    const double lo[3] = {0, 0, 0}, hi[3] = {width, depth, height};
    // About 100 patches over the hall's faces.
    double area = 2 * (width * depth + width * height + depth * height);
    room(&scene, lo, hi, sqrt(area / 100.0), {0.6, 0.6, 0.6});
    int lights = boxes / 50 > 0 ? boxes / 50 : 1;
    SceneRandom random = {seed};
    for (int k = 0; k < lights; k++) {
        double x = random.between(1, width - 3), y = random.between(1, depth - 3);
        light(&scene, x, y, height - 0.1, 2, 2, 1, {20, 19, 17});
    }
    for (int b = 0; b < boxes; b++) {
        int i = b % columns, j = b / columns;
        double w = random.between(0.5, 1.6), d = random.between(0.5, 2.4), h = random.between(0.4, 2.5);
        double x0 = 2 * i + random.between(0.1, 1.9 - w), y0 = 3 * j + random.between(0.1, 2.9 - d);
        Colour reflectance = {random.between(0.2, 0.8), random.between(0.2, 0.8), random.between(0.2, 0.8)};
        const double up[3] = {0, 0, 1}, east[3] = {1, 0, 0}, west[3] = {-1, 0, 0}, north[3] = {0, 1, 0},
                     south[3] = {0, -1, 0};
        const double ex[3] = {w, 0, 0}, ey[3] = {0, d, 0}, ez[3] = {0, 0, h};
        const double base[3] = {x0, y0, 0}, top[3] = {x0, y0, h}, far_x[3] = {x0 + w, y0, 0}, far_y[3] = {x0, y0 + d, 0};
        rectangle_line(&scene, top, ex, ey, up, 2, 2, DARK, reflectance);
        rectangle_line(&scene, base, ey, ez, west, 2, 2, DARK, reflectance);
        rectangle_line(&scene, far_x, ey, ez, east, 2, 2, DARK, reflectance);
        rectangle_line(&scene, base, ex, ez, south, 2, 2, DARK, reflectance);
        rectangle_line(&scene, far_y, ex, ez, north, 2, 2, DARK, reflectance);
    }
    return scene;
}

std::string cube_room_of(int32_t patches) {
    // Six faces of k x m patches each, m chosen so that 6 k m is about `patches`.
    int k = (int)floor(sqrt(patches / 6.0));
    if (k < 1) k = 1;
    int m = (int)lround(patches / (6.0 * k));
    if (m < 1) m = 1;
    const double faces[6][4][3] = {
        {{0, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0}}, {{0, 0, 2}, {0, 2, 2}, {2, 2, 2}, {2, 0, 2}},
        {{0, 0, 0}, {0, 2, 0}, {0, 2, 2}, {0, 0, 2}}, {{2, 0, 0}, {2, 0, 2}, {2, 2, 2}, {2, 2, 0}},
        {{0, 0, 0}, {0, 0, 2}, {2, 0, 2}, {2, 0, 0}}, {{0, 2, 0}, {2, 2, 0}, {2, 2, 2}, {0, 2, 2}},
    };
    std::string scene;
    for (int f = 0; f < 6; f++) {
        double e = f == 1 ? 1.0 : 0.0;
        scene += polygon_line(faces[f], {e, 0.9 * e, 0.8 * e}, {0.7, 0.5, 0.3}, k, m);
    }
    return scene;
}

namespace {

void write_text(const std::string &path, const std::string &text) {
    FILE *file = fopen(path.c_str(), "w");
    if (file == nullptr || fwrite(text.data(), 1, text.size(), file) != text.size() || fclose(file) != 0) {
        fprintf(stderr, "bench: cannot write %s\n", path.c_str());
        exit(1);
    }
}

} // namespace

std::string make_scene_dir(const std::string &tag, const std::string &pixel_size, const std::string &precision,
                           const std::string &scene_text) {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/halvora-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        perror("bench: mkdtemp");
        exit(1);
    }
    std::string dir = buffer.data();
    write_text(dir + "/RADIOSTY.INI",
               "settings\ngame_mode = 0\nwindow_origin_x = 0\nwindow_origin_y = 0\nwindow_width = 640\n"
               "window_height = 480\nhemicube_pixel_size = " + pixel_size + "\nsolution_precision = " + precision +
               "\ncamera\neye_x = 1\neye_y = -3\neye_z = 1\nlook_at_x = 1\nlook_at_y = 1\nlook_at_z = 1\n"
               "up_x = 0\nup_y = 0\nup_z = 1\nfov = 60\nnear = 0.1\nfar = 100\nenvironment\nfilename = scene.txt\n");
    write_text(dir + "/scene.txt", scene_text);
    return dir;
}

void remove_scene_dir(const std::string &dir) {
    for (const char *name : {"RADIOSTY.INI", "scene.txt", "ENVRNMNT.BIN", "PATCH.BIN", "FF.BIN", "FF_REF.BIN",
                             "PATCHRAD.BIN", "VERTRAD.BIN"})
        remove((dir + "/" + name).c_str());
    rmdir(dir.c_str());
}

void enter_scene_dir(const std::string &dir, std::string *home) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr || chdir(dir.c_str()) != 0) {
        perror("bench: chdir");
        exit(1);
    }
    *home = cwd;
    configuration_stage();
    environment_stage(&HALVORA_PLAN);
    patch_stage();
}
