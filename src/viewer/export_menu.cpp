// The export submenu's handler: creates FF.TXT, PATCHES.TXT or SOLUTION.TXT
// in the working directory (truncating it), has the writer of export.cpp fill
// it from the binary file, closes it and reports the export on standard
// output. Runs inside the GLUT menu callback; the picture and the view stay
// as they are.
#include <cstdio>

#include <GL/freeglut.h>

#include "base/errors.h"
#include "export/export.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "viewer/menus.h"

namespace {

const char *const FF_TXT = "FF.TXT";
const char *const PATCHES_TXT = "PATCHES.TXT";
const char *const SOLUTION_TXT = "SOLUTION.TXT";

} // namespace

void export_menu(int value) {
    FILE *out = nullptr;
    switch (value) {
    case MENU_EXPORT_FORM_FACTORS:
        out = fopen(FF_TXT, "w");
        if (out == nullptr) fatal(EXIT_EXPORT_FF_CREATE, "Couldn't create form factor export file : %s", FF_TXT);
        export_form_factors(patch_count, out);
        fclose(out);
        printf("Form factors exported to %s\n", FF_TXT);
        break;
    case MENU_EXPORT_PATCH_VERTICES:
        out = fopen(PATCHES_TXT, "w");
        if (out == nullptr)
            fatal(EXIT_EXPORT_PATCHES_CREATE, "Couldn't create patch vertices export file : %s", PATCHES_TXT);
        export_patch_vertices(polygons, polygon_count, out);
        fclose(out);
        printf("Patch vertices exported to %s\n", PATCHES_TXT);
        break;
    case MENU_EXPORT_SOLUTION:
        out = fopen(SOLUTION_TXT, "w");
        if (out == nullptr)
            fatal(EXIT_EXPORT_SOLUTION_CREATE, "Couldn't create radiosity solution export file : %s", SOLUTION_TXT);
        export_solution(patch_count, out);
        fclose(out);
        printf("Radiosity solution exported to %s\n", SOLUTION_TXT);
        break;
    default:
        return;
    }
    fflush(stdout);
    glutPostRedisplay();
}
