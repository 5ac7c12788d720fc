// halvora-import: a Wavefront OBJ (with its MTLs) turned into a scene file of
// halvora, one polygon line per rectangle.
//
// The stage's parts, in the order of a run: objtext.h (the files read within
// bounds, their text checked and the lines the OBJ reader must not see
// blanked), model.h (the OBJ reader and the checked tables it leaves),
// rectangle.h (the exact test and the fit), sceneline.h (the lines' text)
// and convert.h (faces to checked scene lines).
#pragma once

#include <string>

struct ImportOptions {
    std::string model;       // MODEL.obj
    std::string scene;       // -o scene.txt; default: MODEL with .txt in place of its extension
    double patch_size = 0.0; // --patch-size S; 0: the longest side of any rectangle / 10
    double fit = 0.0;        // --fit TOL, in parts of a face's longest side; 0: no fit
};

// Reads the command line; --help and --version end with code 0, a bad
// option with EXIT_IMPORT_USAGE, naming the argument that is wrong.
ImportOptions parse_import_options(int argc, char **argv);

// Reads the OBJ and writes the scene (convert.h says which faces become
// lines); every face left out, fitted or repeated is noted on standard error
// with its number and line, and a summary goes to standard output. The scene
// is written under a temporary name beside it and renamed into place only
// when complete; a scene file that is the model or one of its MTLs is
// refused. Ends the process on a file that cannot be read (EXIT_IMPORT_READ,
// EXIT_IMPORT_NOT_TEXT), memory that runs out (EXIT_IMPORT_NO_MEMORY), a
// scene that cannot be written (EXIT_IMPORT_WRITE, EXIT_IMPORT_SAME_FILE),
// and when no face becomes a line (EXIT_IMPORT_EMPTY).
void import_model(const ImportOptions &options);
