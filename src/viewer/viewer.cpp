// The viewer's start-up, its GLUT display and reshape callbacks and its exit
// handler; the arrays, the GL state and the draw call are draw.cpp's.
//
// The exit handler releases the arrays, erases PATCH.BIN, FF.BIN, PATCHRAD.BIN
// and VERTRAD.BIN and prints the end message; it is registered only once the
// window and the GL state exist, so a failure during start-up leaves the
// binary files on disk. Every message to standard output is flushed at once:
// the run is watched while it lives.
#include <cstdio>
#include <cstdlib>

#include <GL/freeglut.h>

#include "base/binfile.h"
#include "base/errors.h"
#include "driver/config.h"
#include "viewer/menus.h"
#include "viewer/viewer.h"

namespace {

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

void init_gl_state() {
    load_vertex_arrays();
    set_gl_state();
}

void display() {
    viewer_draw();
    glutSwapBuffers();
}

void reshape(int width, int height) {
    keep_configured_geometry(width, height);
    set_projection(width, height);
}

void cleanup_at_exit() {
    exiting = true;
    if (gl_context_live) {
        glDisableClientState(GL_VERTEX_ARRAY);
        glDisableClientState(GL_COLOR_ARRAY);
    }
    release(vertex_array);
    release(color_array);

    // The process is ending with its own code: a file that stays is only reported.
    erase_binary_files();

    printf("End of 'Halvora'.\n");
    fflush(stdout);
}
