// The picture: the viewer's own GL state, camera and draw call (viewer/draw.h)
// run in an off-screen context of Mesa's OSMesa, which draws into a buffer of
// ours with no window system and no display, then written as a PNG through
// libpng.
//
// The context is RGBA with a 24-bit depth buffer, as the viewer's window gets
// under GLX; the colour buffer is read top row first (OSMESA_Y_UP off) and
// its alpha is dropped, so the file holds what the window shows: 8-bit RGB,
// black where no patch is drawn. The GL functions of this program resolve to
// OSMesa's own (the executable links it ahead of GLU; see CMakeLists.txt).
#include <cstdlib>

#include <GL/osmesa.h>
#include <png.h>

#include "bake/bake.h"
#include "base/errors.h"
#include "viewer/draw.h"

namespace {

// Bits of the depth buffer, as the GLX visual of GLUT_DEPTH under Mesa.
constexpr GLint DEPTH_BITS = 24;

void write_png(const std::string &path, const unsigned char *rgb, int width, int height) {
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = (png_uint_32)width;
    image.height = (png_uint_32)height;
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb, 0, nullptr))
        fatal(EXIT_BAKE_IMAGE_WRITE, "Couldn't write image file : %s (%s)", path.c_str(), image.message);
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
// Under the sanitizer build: OSMesa keeps its screen and driver state for the
// life of the process and never releases it, even after its last context is
// destroyed; LeakSanitizer is told to pass over blocks allocated inside
// libOSMesa, and only those.
extern "C" const char *__lsan_default_suppressions() { return "leak:libOSMesa.so\n"; }
#endif

void render_image(const std::string &path, int width, int height) {
    if (width < 1 || height < 1)
        fatal(EXIT_BAKE_RENDER, "Couldn't draw an image of %d x %d pixels; give its size with --size WxH", width,
              height);
    size_t pixels = (size_t)width * (size_t)height;
    unsigned char *rgba = (unsigned char *)checked_calloc(pixels, 4, EXIT_BAKE_RENDER);

    OSMesaContext context = OSMesaCreateContextExt(OSMESA_RGBA, DEPTH_BITS, 0, 0, nullptr);
    if (context == nullptr) fatal(EXIT_BAKE_RENDER, "Couldn't create an off-screen OpenGL context (OSMesa)");
    if (!OSMesaMakeCurrent(context, rgba, GL_UNSIGNED_BYTE, width, height))
        fatal(EXIT_BAKE_RENDER, "Couldn't draw into an off-screen buffer of %d x %d pixels", width, height);
    OSMesaPixelStore(OSMESA_Y_UP, 0);

    set_gl_state();
    set_projection(width, height);
    viewer_draw();
    glFinish();
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisableClientState(GL_COLOR_ARRAY);
    OSMesaDestroyContext(context);

    unsigned char *rgb = (unsigned char *)checked_calloc(pixels, 3, EXIT_BAKE_RENDER);
    for (size_t p = 0; p < pixels; p++)
        for (size_t c = 0; c < 3; c++) rgb[3 * p + c] = rgba[4 * p + c];
    free(rgba);
    write_png(path, rgb, width, height);
    free(rgb);
    printf("Image written to %s\n", path.c_str());
}
