// halvora-bake: the batch stages of halvora without a window, then a picture,
// lit meshes and the text exports written straight to files. Its own steps,
// each of which ends the process with its code on failure (errors.h,
// EXIT_BAKE_*).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BakeOptions {
    std::string directory = ".";      // where RADIOSTY.INI is; the run's working directory
    std::string image;                // --image FILE.png, empty for none
    std::vector<std::string> meshes;  // --mesh FILE.glb / FILE.ply, any number
    int width = 0, height = 0;        // --size WxH; 0: the INI's window size
    bool coarse = false;              // --coarse: one colour per patch
    bool exports = false;             // --exports: FF.TXT, PATCHES.TXT, SOLUTION.TXT
    bool keep = false;                // --keep: the binary files stay
};

// Reads the command line. --help and --version print and end with code 0; a
// bad option ends with EXIT_BAKE_USAGE. Output paths are made absolute, so
// they still name the caller's files once the run has entered its directory.
BakeOptions parse_bake_options(int argc, char **argv);

// true when `path` ends in `extension` (".png"), in any case.
bool has_extension(const std::string &path, const char *extension);

// Enters the scene's directory (EXIT_BAKE_DIRECTORY).
void enter_scene_directory(const BakeOptions &options);

// Before any long work: the solver's matrix of `patches` x `patches` floats
// must fit the memory the process may still take (address-space and data
// limits, the memory available on the machine), and FF.BIN of as many floats
// must fit the disk of the working directory. Otherwise the sizes needed and
// found are printed and the process ends (EXIT_BAKE_MEMORY, EXIT_BAKE_DISK).
void preflight_check(int64_t patches);

// Draws vertex_array and color_array (loaded) with the viewer's own GL state,
// camera and draw call into an off-screen buffer of width x height pixels and
// writes it to `path` as an 8-bit RGB PNG (EXIT_BAKE_RENDER, EXIT_BAKE_IMAGE_WRITE).
void render_image(const std::string &path, int width, int height);

// Writes the patches as two triangles each, with the colours of color_array at
// their corners, as glTF 2.0 binary (.glb) or binary PLY (.ply) by the name's
// extension (EXIT_BAKE_MESH_WRITE).
void write_mesh(const std::string &path);
