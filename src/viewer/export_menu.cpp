// The export submenu's handler: has the export stage write FF.TXT,
// PATCHES.TXT or SOLUTION.TXT in the working directory and report it on
// standard output. Runs inside the GLUT menu callback; the picture and the
// view stay as they are.
#include <cstdio>

#include <GL/freeglut.h>

#include "export/export.h"
#include "viewer/menus.h"

void export_menu(int value) {
    switch (value) {
    case MENU_EXPORT_FORM_FACTORS: export_form_factors_file(); break;
    case MENU_EXPORT_PATCH_VERTICES: export_patch_vertices_file(); break;
    case MENU_EXPORT_SOLUTION: export_solution_file(); break;
    default: return;
    }
    fflush(stdout);
    glutPostRedisplay();
}
