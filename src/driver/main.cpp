// Halvora: a radiosity solution for a scene of flat quadrilaterals, shown in
// an OpenGL window.
//
// A run reads RADIOSTY.INI and the scene it names, cuts the polygons into
// patches, computes a form-factor row per patch with a ray-cast hemicube,
// solves red, green and blue by Gauss-Seidel, derives corner radiosities and
// hands over to the viewer. The arguments belong to GLUT.
#include "base/process.h"
#include "driver/run.h"
#include "viewer/viewer.h"

int main(int argc, char **argv) {
    prepare_process();               // standard streams attached, SIGXFSZ ignored
    run_batch_stages(&HALVORA_PLAN); // PATCH.BIN, FF.BIN, PATCHRAD.BIN, VERTRAD.BIN on disk
    start_viewer(argc, argv);        // window until Escape or "exit"; the exit handler erases the files
}
