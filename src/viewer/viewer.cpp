// The viewer's start-up, array loaders, drawing and exit handler.
//
// Reads PATCH.BIN into vertex_array once, and VERTRAD.BIN (smooth) or
// PATCHRAD.BIN (coarse) into color_array; both arrays are 12 floats per patch
// in the common patch order, so vertex 4p + q of the draw call is corner q of
// patch p in both. The exit handler releases the arrays, erases PATCH.BIN,
// FF.BIN, PATCHRAD.BIN and VERTRAD.BIN and prints the end message; it is
// registered only once the window and the GL state exist, so a failure during
// start-up leaves the binary files on disk.
//
// Colours are drawn as stored: no scaling, OpenGL clamps them to 0..1. The only
// capabilities enabled are the depth test and back-face culling. Every message
// to standard output is flushed at once: the run is watched while it lives.
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <GL/freeglut.h>
#include <GL/glu.h>

#include "base/binfile.h"
#include "base/errors.h"
#include "driver/config.h"
#include "geometry/patches.h"
#include "viewer/menus.h"
#include "viewer/viewer.h"

float *vertex_array = nullptr;
float *color_array = nullptr;
bool smooth_shading = true;

namespace {

// Floats per patch in vertex_array and color_array: 4 corners of 3 values.
constexpr size_t PATCH_FLOATS = 12;

// true while a GL context with the client arrays enabled is current, so the
// exit handler may switch them off. GLUT tears its contexts down before
// glutMainLoop returns; the handler then only frees and erases.
bool gl_context_live = false;

// Set by the exit handler: the process is ending.
bool exiting = false;

// GLUT calls this whenever it destroys the window, with the window and its
// context still alive: when the window manager closes it (the title bar's
// close button), and again from GLUT's own clean-up once the process is
// ending. Only the first ends the run; a second exit from inside the exit
// handlers would replace the code the process is ending with.
void close_window() {
    if (!exiting) exit(EXIT_OK);
}

} // namespace

void start_viewer(int argc, char **argv) {
    printf("Randering..\n");
    fflush(stdout);

    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    if (config.game_mode == 0) {
        glutInitWindowSize(config.window_width, config.window_height);
        glutInitWindowPosition(config.window_origin_x, config.window_origin_y);
        glutCreateWindow("Halvora");
        build_menus();
    } else if (!enter_game_mode()) {
        fatal(EXIT_GAME_MODE, "GLUT game mode isn't supported with current display settings.");
    }

    init_gl_state();
    gl_context_live = true;

    glutDisplayFunc(display);
    glutReshapeFunc(reshape);
    register_input_callbacks();
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_EXIT);
    glutCloseFunc(close_window);

    atexit(cleanup_at_exit);
    glutMainLoop();

    // Not reached with GLUT_ACTION_EXIT; should a GLUT return from its loop
    // anyway, its windows and contexts are gone by now.
    gl_context_live = false;
    exit(EXIT_OK);
}

bool enter_game_mode() {
    // A window only to ask GLUT for the current colour depth and screen size.
    int temp = glutCreateWindow("temp");
    int buffer_size = glutGet(GLUT_WINDOW_BUFFER_SIZE);
    int screen_height = glutGet(GLUT_SCREEN_HEIGHT);
    int screen_width = glutGet(GLUT_SCREEN_WIDTH);
    char mode[64];
    snprintf(mode, sizeof mode, "%dx%d:%d", screen_width, screen_height, buffer_size);
    glutDestroyWindow(temp);

    glutGameModeString(mode);
    if (glutGameModeGet(GLUT_GAME_MODE_POSSIBLE) == 0) return false;
    glutEnterGameMode();
    glutSetCursor(GLUT_CURSOR_NONE);
    return true;
}

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

void init_gl_state() {
    load_vertex_arrays();
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

void display() {
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
    glutSwapBuffers();
}

void reshape(int width, int height) {
    keep_configured_geometry(width, height);
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

void cleanup_at_exit() {
    exiting = true;
    if (gl_context_live) {
        glDisableClientState(GL_VERTEX_ARRAY);
        glDisableClientState(GL_COLOR_ARRAY);
    }
    free(vertex_array);
    vertex_array = nullptr;
    free(color_array);
    color_array = nullptr;

    // The process is ending with its own code: a file that stays is only reported.
    if (remove(PATCH_BIN) != 0) report_error("Couldn't erase patch vertices binary file : %s", PATCH_BIN);
    if (remove(FF_BIN) != 0) report_error("Couldn't erase form factor binary file : %s", FF_BIN);
    if (remove(PATCHRAD_BIN) != 0) report_error("Couldn't erase patch radiosity binary file : %s", PATCHRAD_BIN);
    if (remove(VERTRAD_BIN) != 0) report_error("Couldn't erase vertex radiosity binary file : %s", VERTRAD_BIN);

    printf("End of 'Halvora'.\n");
    fflush(stdout);
}
