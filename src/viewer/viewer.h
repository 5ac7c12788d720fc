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

bool enter_game_mode();
void load_vertex_arrays();
void load_patch_vertices();
void load_patch_colors();
void load_vertex_colors();
void init_gl_state();
void display();
void reshape(int width, int height);
void reset_view();
void cleanup_at_exit();
