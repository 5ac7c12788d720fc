// The picture itself, shared by the viewer's window and halvora-bake's
// off-screen context: the array loaders, the fixed GL state, projection and
// camera, and the draw call. Nothing here calls GLUT.
//
// Reads PATCH.BIN into vertex_array once, and VERTRAD.BIN (smooth) or
// PATCHRAD.BIN (coarse) into color_array; both arrays are 12 floats per patch
// in the common patch order, so vertex 4p + q of the draw call is corner q of
// patch p in both.
//
// Colours are drawn as stored: no scaling, OpenGL clamps them to 0..1. The only
// capabilities enabled are the depth test and back-face culling.
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <GL/gl.h>
#include <GL/glu.h>

#include "base/binfile.h"
#include "base/errors.h"
#include "driver/config.h"
#include "geometry/patches.h"
#include "viewer/draw.h"

float *vertex_array = nullptr;
float *color_array = nullptr;
bool smooth_shading = true;

namespace {

// Floats per patch in vertex_array and color_array: 4 corners of 3 values.
constexpr size_t PATCH_FLOATS = 12;

} // namespace

void load_vertex_arrays() {
    load_patch_vertices();
    if (smooth_shading) load_vertex_colors();
    else load_patch_colors();
}

void load_patch_vertices() {
    FILE *file = fopen(PATCH_BIN, "rb");
    if (file == nullptr) fatal(EXIT_VIEW_PATCH_OPEN, "Couldn't open patch vertices binary file %s", PATCH_BIN);
    size_t count = PATCH_FLOATS * (size_t)patch_count;
    vertex_array = (float *)checked_calloc(count, sizeof(float), EXIT_VIEW_PATCH_NO_MEMORY);
    if (!read_floats(file, vertex_array, count))
        fatal(EXIT_VIEW_PATCH_READ, "Couldn't read patch vertices binary file %s", PATCH_BIN);
    fclose(file);
}

void load_patch_colors() {
    FILE *file = fopen(PATCHRAD_BIN, "rb");
    if (file == nullptr)
        fatal(EXIT_VIEW_PATCHRAD_OPEN, "Couldn't open patch radiosity binary file : %s", PATCHRAD_BIN);
    size_t n = (size_t)patch_count;
    float *radiosity = (float *)checked_calloc(3 * n, sizeof(float), EXIT_VIEW_PATCHRAD_BUFFER_NO_MEMORY);
    color_array = (float *)checked_calloc(PATCH_FLOATS * n, sizeof(float), EXIT_VIEW_PATCHRAD_COLORS_NO_MEMORY);
    if (!read_floats(file, radiosity, 3 * n))
        fatal(EXIT_VIEW_PATCHRAD_READ, "Couldn't read patch radiosity binary file %s", PATCHRAD_BIN);

    // One colour per patch, repeated at its four corners: with smooth shading
    // still on, the quadrilateral comes out flat.
    for (size_t p = 0; p < n; p++)
        for (size_t q = 0; q < 4; q++)
            for (size_t c = 0; c < 3; c++) color_array[PATCH_FLOATS * p + 3 * q + c] = radiosity[3 * p + c];

    free(radiosity);
    fclose(file);
}

void load_vertex_colors() {
    FILE *file = fopen(VERTRAD_BIN, "rb");
    if (file == nullptr)
        fatal(EXIT_VIEW_VERTRAD_OPEN, "Couldn't open vertex radiosity binary file : %s", VERTRAD_BIN);
    size_t count = PATCH_FLOATS * (size_t)patch_count;
    color_array = (float *)checked_calloc(count, sizeof(float), EXIT_VIEW_VERTRAD_NO_MEMORY);
    if (!read_floats(file, color_array, count))
        fatal(EXIT_VIEW_VERTRAD_READ, "Couldn't read vertex radiosity binary file %s", VERTRAD_BIN);
    fclose(file);
}

void set_gl_state() {
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    // Smooth in both colour modes: the coarse look comes from four equal
    // corner colours, not from flat shading.
    glShadeModel(GL_SMOOTH);
    glClearDepth(1.0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, vertex_array);
    glColorPointer(3, GL_FLOAT, 0, color_array);
}

void viewer_draw() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    // A patch is seen from the side on which its corners 0..3 turn
    // counter-clockwise (OpenGL's default front face).
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    // One call for all patches. GLsizei is an int: a scene of more than
    // INT_MAX / 4 patches (over 24 GiB of arrays) draws only that many.
    size_t vertices = 4 * (size_t)patch_count;
    if (vertices > (size_t)INT_MAX / 4 * 4) vertices = (size_t)INT_MAX / 4 * 4;
    glDrawArrays(GL_QUADS, 0, (GLsizei)vertices);
}

void set_projection(int width, int height) {
    if (height == 0) height = 1;
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(config.fov, (double)width / (double)height, config.near, config.far);
    // The modelview matrix stays current: navigation multiplies onto it.
    glMatrixMode(GL_MODELVIEW);
    reset_view();
}

void reset_view() {
    glLoadIdentity();
    gluLookAt(config.eye_x, config.eye_y, config.eye_z, config.look_at_x, config.look_at_y, config.look_at_z,
              config.up_x, config.up_y, config.up_z);
}
