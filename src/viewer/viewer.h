// The viewer: the lit scene in a GLUT window (or game mode), drawn from
// client-side vertex and colour arrays loaded from PATCH.BIN and VERTRAD.BIN
// (smooth) or PATCHRAD.BIN (coarse). Runs GLUT's main loop for good; the
// process ends by exit, and the exit handler erases the four binary files.
#pragma once

#include <cstdint>

#include "viewer/draw.h"

// Prints "Randering..", opens the window or game mode, builds the menus,
// sets the GL state, registers callbacks and the exit handler, and enters
// glutMainLoop. Never returns.
[[noreturn]] void start_viewer(int argc, char **argv);

// Asks GLUT for the screen's own resolution and depth in game mode; false
// when that is not possible. Hides the cursor once in game mode.
bool enter_game_mode();

// load_vertex_arrays, then set_gl_state.
void init_gl_state();

// GLUT display callback: viewer_draw, then the buffers swapped.
void display();
// GLUT reshape callback: keeps the configured geometry after full screen,
// then set_projection; leaves the modelview matrix current.
void reshape(int width, int height);

// Exit handler (atexit): releases the arrays, erases PATCH.BIN, FF.BIN,
// PATCHRAD.BIN and VERTRAD.BIN (reporting, not ending on, a failure) and
// prints "End of 'Halvora'.".
void cleanup_at_exit();

// Navigation (input.cpp). Every step multiplies the current (modelview)
// matrix by one rotation or translation and posts a redisplay; reset_view
// undoes them all.

// true from a left-button press to its release.
extern bool dragging;
// Window coordinates of the last left-button press.
extern int32_t drag_origin_x;
extern int32_t drag_origin_y;

// Escape ends the run (code 0), space switches full screen (window mode
// only), Delete turns 15 degrees about z.
void keyboard(unsigned char key, int x, int y);
// F1 resets the view; arrows, Page Down turn 15 degrees; Home, End move 2 units along z.
void special_keys(int key, int x, int y);
// Left button: starts and ends a drag (and sets the cursor in window mode).
void mouse(int button, int state, int x, int y);
// While dragging: turns by 0.05 degrees per pixel of offset from the press point.
void motion(int x, int y);
// glutKeyboardFunc, glutSpecialFunc, glutMouseFunc, glutMotionFunc, in that order.
void register_input_callbacks();
