// The view menu and the export submenu, and the two display switches.
//
// Reads config's window geometry and smooth_shading; writes full_screen,
// color_array (through the loaders of draw.cpp) and the labels of view menu
// entries 2 and 3, which always name the state the entry leads to.
//
// GLUT relabels entries of its current menu, and which menu is current after
// a submenu's handler has run is GLUT's matter: every relabelling selects the
// view menu first.
#include <cstdio>
#include <cstdlib>

#include <GL/freeglut.h>

#include "base/errors.h"
#include "driver/config.h"
#include "viewer/menus.h"
#include "viewer/viewer.h"

bool full_screen = false;
int view_menu_id = 0;

namespace {

constexpr int ENTRY_SHADING = 2;
constexpr int ENTRY_FULL_SCREEN = 3;

// The window's size when it went full screen. Leaving full screen, freeglut
// without a window manager resizes the window back to this size after our
// own resize has been queued (and a window manager may restore its saved
// geometry late): the first reshape that reports this size puts the window
// at its configured place and size once more.
int size_before_full_screen_width = 0;
int size_before_full_screen_height = 0;
bool configured_geometry_pending = false;

void place_window_as_configured() {
    glutPositionWindow(config.window_origin_x, config.window_origin_y);
    glutReshapeWindow(config.window_width, config.window_height);
}

void relabel_view_entry(int position, const char *label, int value) {
    if (view_menu_id == 0) return; // game mode: no menus
    glutSetMenu(view_menu_id);
    glutChangeToMenuEntry(position, label, value);
}

} // namespace

void build_menus() {
    int export_menu_id = glutCreateMenu(export_menu);
    glutAddMenuEntry("form factors", MENU_EXPORT_FORM_FACTORS);
    glutAddMenuEntry("patch vertices", MENU_EXPORT_PATCH_VERTICES);
    glutAddMenuEntry("radiosity solution", MENU_EXPORT_SOLUTION);

    view_menu_id = glutCreateMenu(view_menu);
    glutAddMenuEntry("reset", MENU_RESET);
    glutAddMenuEntry(smooth_shading ? "coarse" : "smooth", MENU_SHADING);
    glutAddMenuEntry("fullscreen", MENU_FULL_SCREEN);
    glutAddSubMenu("export", export_menu_id);
    glutAddMenuEntry("exit", MENU_EXIT);

    glutSetMenu(view_menu_id);
    glutAttachMenu(GLUT_RIGHT_BUTTON);
}

void view_menu(int value) {
    switch (value) {
    case MENU_EXIT:
        exit(EXIT_OK);
    case MENU_RESET:
        reset_view();
        break;
    case MENU_SHADING:
        toggle_shading();
        break;
    case MENU_FULL_SCREEN:
        toggle_full_screen();
        break;
    default:
        return;
    }
    glutPostRedisplay();
}

void toggle_shading() {
    smooth_shading = !smooth_shading;
    glDisableClientState(GL_COLOR_ARRAY);
    release(color_array);
    // Read from disk at every switch; nothing is cached.
    if (smooth_shading) load_vertex_colors();
    else load_patch_colors();
    glEnableClientState(GL_COLOR_ARRAY);
    glColorPointer(3, GL_FLOAT, 0, color_array);

    relabel_view_entry(ENTRY_SHADING, smooth_shading ? "coarse" : "smooth", MENU_SHADING);
    fputs(smooth_shading ? "Radnering with vertex radiosities..\n" : "Rendering with patch radiosities..\n", stdout);
    fflush(stdout);
}

void toggle_full_screen() {
    full_screen = !full_screen;
    if (full_screen) {
        relabel_view_entry(ENTRY_FULL_SCREEN, "windowed", MENU_FULL_SCREEN);
        size_before_full_screen_width = glutGet(GLUT_WINDOW_WIDTH);
        size_before_full_screen_height = glutGet(GLUT_WINDOW_HEIGHT);
        configured_geometry_pending = false;
        glutFullScreen();
    } else {
        relabel_view_entry(ENTRY_FULL_SCREEN, "fullscreen", MENU_FULL_SCREEN);
        // Not the place and size from before full screen: the configured ones.
        place_window_as_configured();
        configured_geometry_pending = true;
    }
}

void keep_configured_geometry(int width, int height) {
    if (!configured_geometry_pending) return;
    if (width == config.window_width && height == config.window_height) {
        configured_geometry_pending = false;
    } else if (width == size_before_full_screen_width && height == size_before_full_screen_height) {
        // Corrected once only, so a window manager that insists cannot start
        // a tug of war.
        configured_geometry_pending = false;
        place_window_as_configured();
    }
}
