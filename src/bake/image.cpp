// The picture: the viewer's own GL state, camera and draw call (viewer/draw.h)
// run in an off-screen context of Mesa's OSMesa, which draws into a buffer of
// ours with no window system and no display, then written as a PNG through
// libpng into the image output's temporary file and put in place.
//
// The context is RGBA with a 24-bit depth buffer, as the viewer's window gets
// under GLX; the colour buffer is read top row first (OSMESA_Y_UP off) and
// its alpha is dropped, so the file holds what the window shows: 8-bit RGB,
// black where no patch is drawn. The GL functions of this program resolve to
// OSMesa's own (the executable links it ahead of GLU; see CMakeLists.txt).
//
// OSMesa takes a buffer of any size but draws into no more than its largest
// viewport, 16384 x 16384 pixels with libosmesa6 (OSMESA_MAX_WIDTH and
// OSMESA_MAX_HEIGHT say the same): a larger picture would come out with the
// scene squeezed into one corner, so the pre-flight refuses it.
//
// No block of this file is held across a call that may end the process: the
// pixel buffer is freed before every fatal() after it is obtained.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <GL/osmesa.h>
#include <png.h>

#include "bake/bake.h"
#include "base/errors.h"
#include "base/output.h"
#include "viewer/draw.h"

namespace {

// Bits of the depth buffer, as the GLX visual of GLUT_DEPTH under Mesa.
constexpr GLint DEPTH_BITS = 24;

} // namespace

#if defined(__SANITIZE_ADDRESS__)
// Under the sanitizer build: OSMesa keeps its screen and driver state for the
// life of the process and never releases it, even after its last context is
// destroyed; LeakSanitizer is told to pass over blocks allocated inside
// libOSMesa, and only those.
extern "C" const char *__lsan_default_suppressions() { return "leak:libOSMesa.so\n"; }
// The suppressions pass without a word, so that standard error holds the
// program's own lines alone, as in the normal build.
extern "C" const char *__lsan_default_options() { return "print_suppressions=0"; }
#endif

void check_image_size(int width, int height) {
    if (width < 1 || height < 1)
        fatal(EXIT_BAKE_RENDER, "Couldn't draw an image of %d x %d pixels; give its size with --size WxH", width,
              height);
    OSMesaContext context = OSMesaCreateContextExt(OSMESA_RGBA, DEPTH_BITS, 0, 0, nullptr);
    if (context == nullptr) fatal(EXIT_BAKE_RENDER, "Couldn't create an off-screen OpenGL context (OSMesa)");
    unsigned char pixel[4];
    if (!OSMesaMakeCurrent(context, pixel, GL_UNSIGNED_BYTE, 1, 1)) {
        OSMesaDestroyContext(context);
        fatal(EXIT_BAKE_RENDER, "Couldn't create an off-screen OpenGL context (OSMesa)");
    }
    GLint max_width = 0, max_height = 0, viewport[2] = {0, 0};
    OSMesaGetIntegerv(OSMESA_MAX_WIDTH, &max_width);
    OSMesaGetIntegerv(OSMESA_MAX_HEIGHT, &max_height);
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
    OSMesaDestroyContext(context);
    // A figure the library does not give (0) bounds nothing.
    int limit_width = std::min(max_width > 0 ? max_width : INT32_MAX, viewport[0] > 0 ? viewport[0] : INT32_MAX);
    int limit_height = std::min(max_height > 0 ? max_height : INT32_MAX, viewport[1] > 0 ? viewport[1] : INT32_MAX);
    if (width > limit_width || height > limit_height)
        fatal(EXIT_BAKE_RENDER, "Couldn't draw into an off-screen buffer of %d x %d pixels : OSMesa draws at most %d x %d",
              width, height, limit_width, limit_height);
}

uint64_t image_file_bound(int width, int height) {
    // The rows as libpng filters them: a filter byte and 3 bytes a pixel.
    // Deflate adds at most 5 bytes to each stored block of up to 65535
    // bytes, and libpng cuts the stream into IDAT chunks of 8192 bytes with
    // 12 bytes of chunk frame each: together under 0.2 %, bounded here by
    // 1/64 (1.6 %). 4096 bytes cover the signature, IHDR, IEND, zlib's frame
    // and any ancillary chunk.
    uint64_t raw = (uint64_t)(height > 0 ? height : 0) * (1 + 3 * (uint64_t)(width > 0 ? width : 0));
    return raw + raw / 64 + 4096;
}

void render_image(int width, int height) {
    const OutputFile *output = &output_files[bake_outputs.image];
    size_t pixels = (size_t)width * (size_t)height;
    unsigned char *rgba = (unsigned char *)checked_calloc(pixels, 4, EXIT_BAKE_RENDER);

    OSMesaContext context = OSMesaCreateContextExt(OSMESA_RGBA, DEPTH_BITS, 0, 0, nullptr);
    if (context == nullptr) {
        free(rgba);
        fatal(EXIT_BAKE_RENDER, "Couldn't create an off-screen OpenGL context (OSMesa)");
    }
    if (!OSMesaMakeCurrent(context, rgba, GL_UNSIGNED_BYTE, width, height)) {
        OSMesaDestroyContext(context);
        free(rgba);
        fatal(EXIT_BAKE_RENDER, "Couldn't draw into an off-screen buffer of %d x %d pixels", width, height);
    }
    OSMesaPixelStore(OSMESA_Y_UP, 0);

    set_gl_state();
    set_projection(width, height);
    viewer_draw();
    glFinish();
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisableClientState(GL_COLOR_ARRAY);
    OSMesaDestroyContext(context);

    // RGBA to RGB in place: pixel p writes bytes 3p to 3p + 2 after reading
    // 4p to 4p + 2, and every later pixel reads from 4p + 4 on, so no byte is
    // overwritten before it has been read.
    for (size_t p = 0; p < pixels; p++)
        for (size_t c = 0; c < 3; c++) rgba[3 * p + c] = rgba[4 * p + c];

    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = (png_uint_32)width;
    image.height = (png_uint_32)height;
    image.format = PNG_FORMAT_RGB;
    bool written = png_image_write_to_stdio(&image, output->stream, 0, rgba, 0, nullptr) != 0;
    int write_errno = errno;
    bool stream_failed = ferror(output->stream) != 0;
    free(rgba);
    if (!written)
        fatal(EXIT_BAKE_IMAGE_WRITE, "Couldn't write image file : %s (%s)", output->name,
              stream_failed ? strerror(write_errno) : image.message);
    if (!finish_output_file(bake_outputs.image))
        fatal(EXIT_BAKE_IMAGE_WRITE, "Couldn't write image file : %s (%s)", output->name, strerror(errno));
    printf("Image written to %s\n", output->name);
}
