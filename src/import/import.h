// halvora-import: a Wavefront OBJ (with its MTL) turned into a scene file of
// halvora, one polygon line per rectangle.
#pragma once

#include <string>

struct ImportOptions {
    std::string model;       // MODEL.obj
    std::string scene;       // -o scene.txt; default: MODEL with .txt in place of .obj
    double patch_size = 0.0; // --patch-size S; 0: the longest side of any rectangle / 10
};

// Reads the command line; --help and --version end with code 0, a bad
// option with EXIT_IMPORT_USAGE.
ImportOptions parse_import_options(int argc, char **argv);

// Reads the OBJ, writes the scene. Each rectangular face becomes one line in
// its own winding, turned where the OBJ's normals say its front is the other
// side; two triangles that make a rectangle become one line; every other face
// is reported on standard error with its number (counted from 1 in the file's
// order) and the reason, and left out. Prints a summary on standard output.
// Ends the process on a file that cannot be read (EXIT_IMPORT_READ) or
// written (EXIT_IMPORT_WRITE), and when no face is a rectangle (EXIT_IMPORT_EMPTY).
void import_model(const ImportOptions &options);
