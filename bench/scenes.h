// Scene generators for the benchmark: environment definition texts, one
// polygon per line, in the format the environment stage parses.
#pragma once

#include <cstdint>
#include <string>

// A room of 6 x 5 x 3 with a light panel under the ceiling and two boxes on
// the floor: 17 polygons, about 2,200 patches.
std::string furnished_room();

// A hall of 40 x 30 x 6 with four light panels and 200 boxes of random size
// (seeded) on a jittered grid: about 1,000 polygons, about 4,000 patches.
std::string cluttered_hall(uint32_t seed);

// A hall of `boxes` boxes on a grid of cells 2 wide and 3 deep, about twice
// as many columns as rows, 6 high, one light panel under the ceiling per 50
// boxes: every box face 2 x 2 patches, the hall's faces about 100 patches in
// all. 200 boxes give 1,007 polygons; 4,000 give 20,007 polygons and 80,100
// patches.
std::string hall_of_boxes(int32_t boxes, uint32_t seed);

// The closed cube room of side 2, the ceiling emitting, every face cut into
// about patches / 6 patches: about `patches` patches in all.
std::string cube_room_of(int32_t patches);

// A fresh directory under $TMPDIR (or /tmp) named after `tag`, holding a
// RADIOSTY.INI with the given hemicube_pixel_size and solution_precision and
// the scene as scene.txt. Ends the benchmark when it cannot be made.
std::string make_scene_dir(const std::string &tag, const std::string &pixel_size, const std::string &precision,
                           const std::string &scene_text);

// Removes the directory and the files a run leaves in it.
void remove_scene_dir(const std::string &dir);

// Changes into the scene's directory (the one it left goes to `home`) and
// runs the batch's first three stages there: settings, environment, patches.
// Ends the benchmark when the directory cannot be entered.
void enter_scene_dir(const std::string &dir, std::string *home);
