// The viewer: the lit scene in a GLUT window (or game mode), drawn from
// client-side vertex and colour arrays loaded from PATCH.BIN and VERTRAD.BIN
// (smooth) or PATCHRAD.BIN (coarse). Runs GLUT's main loop for good; the
// process ends by exit, and the exit handler erases the four binary files.
#pragma once

#include <cstdint>

// 12 floats per patch: x y z of corners 0..3, as in PATCH.BIN.
extern float *vertex_array;
// 12 floats per patch: r g b of corners 0..3.
extern float *color_array;
// true while color_array holds vertex radiosities (the start-up mode).
extern bool smooth_shading;

// Prints "Randering..", opens the window or game mode, builds the menus,
// sets the GL state, registers callbacks and the exit handler, and enters
// glutMainLoop. Never returns.
[[noreturn]] void start_viewer(int argc, char **argv);

// Asks GLUT for the screen's own resolution and depth in game mode; false
// when that is not possible. Hides the cursor once in game mode.
bool enter_game_mode();

// load_patch_vertices, then the colours of the current mode.
void load_vertex_arrays();
// PATCH.BIN -> vertex_array (codes 10, 11, 12).
void load_patch_vertices();
// PATCHRAD.BIN -> color_array, each patch's colour at its four corners
// (codes 20, 21, 22, 23).
void load_patch_colors();
// VERTRAD.BIN -> color_array (codes 30, 31, 32).
void load_vertex_colors();
// Loads the arrays and sets the fixed GL state: black background, depth
// test, client vertex and colour arrays.
void init_gl_state();

// GLUT display callback: all patches as quadrilaterals, back faces culled.
void display();
// GLUT reshape callback: viewport, perspective from the camera settings, and
// reset_view; leaves the modelview matrix current.
void reshape(int width, int height);
// The modelview matrix back to the configured camera (gluLookAt).
void reset_view();

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
