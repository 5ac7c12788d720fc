// The viewer's picture without a window: the vertex and colour arrays loaded
// from the binary files, the fixed OpenGL state, the camera and the one draw
// call. Needs a current OpenGL context and nothing of GLUT, so the viewer's
// window and halvora-bake's off-screen context draw the same picture.
#pragma once

// 12 floats per patch: x y z of corners 0..3, as in PATCH.BIN.
extern float *vertex_array;
// 12 floats per patch: r g b of corners 0..3.
extern float *color_array;
// true while color_array holds vertex radiosities (the start-up mode).
extern bool smooth_shading;

// load_patch_vertices, then the colours of the current mode.
void load_vertex_arrays();
// PATCH.BIN -> vertex_array (codes 10, 11, 12).
void load_patch_vertices();
// PATCHRAD.BIN -> color_array, each patch's colour at its four corners
// (codes 20, 21, 22, 23).
void load_patch_colors();
// VERTRAD.BIN -> color_array (codes 30, 31, 32).
void load_vertex_colors();

// The fixed GL state: black background, smooth shading, depth test, client
// vertex and colour arrays pointing at vertex_array and color_array.
void set_gl_state();
// Clears the buffers and draws all patches as quadrilaterals, back faces
// culled. Swapping or reading the buffer is the caller's.
void viewer_draw();
// Viewport and perspective for a drawing area of width x height pixels (a
// height of 0 counts as 1), then reset_view; leaves the modelview matrix current.
void set_projection(int width, int height);
// The modelview matrix back to the configured camera (gluLookAt).
void reset_view();
