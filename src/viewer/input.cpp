// Navigation by keyboard and mouse.
//
// Every step is one glRotated or glTranslated on the current matrix, which is
// the modelview matrix (reshape leaves it current). OpenGL multiplies on the
// right, so each step acts in the scene's own frame as the steps before it
// left it: a rotation turns the scene about one of its own axes through its
// own origin. Steps accumulate until reset_view (F1, the "reset" entry, every
// reshape). Reads config.game_mode; writes dragging and the drag origin.
#include <cstdlib>

#include <GL/freeglut.h>

#include "base/errors.h"
#include "driver/config.h"
#include "viewer/menus.h"
#include "viewer/viewer.h"

bool dragging = false;
int32_t drag_origin_x = 0;
int32_t drag_origin_y = 0;

namespace {

constexpr unsigned char KEY_ESCAPE = 27;
constexpr unsigned char KEY_SPACE = 32;
constexpr unsigned char KEY_DELETE = 127;

constexpr double TURN_DEGREES = 15.0;         // one key press; 24 presses make a full turn
constexpr double MOVE_UNITS = 2.0;            // Home and End, in scene units
constexpr double DRAG_DEGREES_PER_PIXEL = 0.05;

bool window_mode() { return config.game_mode == 0; }

} // namespace

void keyboard(unsigned char key, int, int) {
    switch (key) {
    case KEY_ESCAPE:
        exit(EXIT_OK);
    case KEY_SPACE:
        // Game mode has no window to switch.
        if (!window_mode()) return;
        toggle_full_screen();
        break;
    case KEY_DELETE:
        glRotated(TURN_DEGREES, 0, 0, 1);
        break;
    default:
        return;
    }
    glutPostRedisplay();
}

void special_keys(int key, int, int) {
    switch (key) {
    case GLUT_KEY_F1: reset_view(); break;
    case GLUT_KEY_LEFT: glRotated(-TURN_DEGREES, 0, 1, 0); break;
    case GLUT_KEY_UP: glRotated(-TURN_DEGREES, 1, 0, 0); break;
    case GLUT_KEY_RIGHT: glRotated(TURN_DEGREES, 0, 1, 0); break;
    case GLUT_KEY_DOWN: glRotated(TURN_DEGREES, 1, 0, 0); break;
    case GLUT_KEY_PAGE_DOWN: glRotated(-TURN_DEGREES, 0, 0, 1); break;
    case GLUT_KEY_HOME: glTranslated(0, 0, MOVE_UNITS); break;
    case GLUT_KEY_END: glTranslated(0, 0, -MOVE_UNITS); break;
    // Page Up, Insert, F2 to F12 and the rest have no function.
    default: return;
    }
    glutPostRedisplay();
}

void mouse(int button, int state, int x, int y) {
    if (button != GLUT_LEFT_BUTTON) return;
    if (state == GLUT_DOWN) {
        drag_origin_x = x;
        drag_origin_y = y;
        dragging = true;
        if (window_mode()) glutSetCursor(GLUT_CURSOR_INFO);
    } else {
        dragging = false;
        // In game mode the cursor stays hidden.
        if (window_mode()) glutSetCursor(GLUT_CURSOR_LEFT_ARROW);
    }
}

void motion(int x, int y) {
    if (!dragging) return;
    // The origin stays where the button went down: every event turns by the
    // whole offset from there, so holding the pointer away keeps turning.
    glRotated((double)(x - drag_origin_x) * DRAG_DEGREES_PER_PIXEL, 0, 1, 0);
    glRotated((double)(y - drag_origin_y) * DRAG_DEGREES_PER_PIXEL, 1, 0, 0);
    glutPostRedisplay();
}

void register_input_callbacks() {
    glutKeyboardFunc(keyboard);
    glutSpecialFunc(special_keys);
    glutMouseFunc(mouse);
    glutMotionFunc(motion);
}
