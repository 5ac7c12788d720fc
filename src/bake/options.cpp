// halvora-bake's command line (getopt_long) and the entry into the scene's
// directory. The output files are named relative to the directory the
// program was started in; the run itself, like halvora's, reads and writes
// its INI, scene, binary files and text exports in DIR.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <getopt.h>
#include <unistd.h>

#include "bake/bake.h"
#include "base/errors.h"

#ifndef HALVORA_VERSION
#define HALVORA_VERSION "unknown"
#endif

namespace {

// Largest --size edge: Mesa's off-screen buffers go to 16384 pixels a side.
constexpr int MAX_IMAGE_EDGE = 16384;

const char *const USAGE =
    "Usage: halvora-bake [DIR] [options]\n"
    "Runs halvora's batch stages on DIR/RADIOSTY.INI (default DIR: the current\n"
    "directory) with no window, then writes what the options ask for.\n"
    "\n"
    "  --image FILE.png  the INI's camera view, drawn as halvora's viewer draws it\n"
    "  --mesh FILE.glb   the lit patches as glTF 2.0 binary (vertex colours COLOR_0)\n"
    "  --mesh FILE.ply   the lit patches as binary PLY (vertex colours red green blue)\n"
    "  --coarse          one colour per patch instead of colours smoothed from the corners\n"
    "  --size WxH        image size in pixels (default: the INI's window size)\n"
    "  --exports         FF.TXT, PATCHES.TXT and SOLUTION.TXT in DIR, as the viewer's menu\n"
    "  --keep            keep PATCH.BIN, FF.BIN, PATCHRAD.BIN and VERTRAD.BIN in DIR\n"
    "  -h, --help        this text\n"
    "  -V, --version     the version\n"
    "\n"
    "Exit codes: 0 done; halvora's codes for its stages (see halvora(1));\n"
    "60 the form-factor matrix does not fit the memory, 61 FF.BIN does not fit\n"
    "the disk (both before any long work), 62 no off-screen drawing, 63 the PNG\n"
    "cannot be written, 64 bad command line, 65 DIR cannot be entered,\n"
    "66 a mesh file cannot be written.\n";

[[noreturn]] __attribute__((format(printf, 1, 2))) void usage_error(const char *format, ...) {
    fprintf(stderr, "halvora-bake: ");
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fprintf(stderr, "\nTry 'halvora-bake --help'.\n");
    exit(EXIT_BAKE_USAGE);
}

std::string absolute_path(const char *path) {
    if (path[0] == '/') return path;
    char *cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) fatal(EXIT_BAKE_DIRECTORY, "Couldn't read the current directory : %s", strerror(errno));
    std::string full = std::string(cwd) + "/" + path;
    free(cwd);
    return full;
}

void parse_size(const char *text, BakeOptions *options) {
    char *end = nullptr;
    long width = strtol(text, &end, 10);
    if (end == text || (*end != 'x' && *end != 'X')) usage_error("--size takes WIDTHxHEIGHT, not '%s'", text);
    const char *rest = end + 1;
    long height = strtol(rest, &end, 10);
    if (end == rest || *end != '\0' || width < 1 || height < 1 || width > MAX_IMAGE_EDGE || height > MAX_IMAGE_EDGE)
        usage_error("--size takes WIDTHxHEIGHT, each 1 to 16384, not '%s'", text);
    options->width = (int)width;
    options->height = (int)height;
}

enum LongOnly { OPT_IMAGE = 256, OPT_MESH, OPT_COARSE, OPT_SIZE, OPT_EXPORTS, OPT_KEEP };

const option LONG_OPTIONS[] = {
    {"image", required_argument, nullptr, OPT_IMAGE},
    {"mesh", required_argument, nullptr, OPT_MESH},
    {"coarse", no_argument, nullptr, OPT_COARSE},
    {"size", required_argument, nullptr, OPT_SIZE},
    {"exports", no_argument, nullptr, OPT_EXPORTS},
    {"keep", no_argument, nullptr, OPT_KEEP},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

} // namespace

BakeOptions parse_bake_options(int argc, char **argv) {
    BakeOptions options;
    opterr = 0; // the messages below say what was wrong
    int c;
    while ((c = getopt_long(argc, argv, ":hV", LONG_OPTIONS, nullptr)) != -1) {
        switch (c) {
        case 'h':
            fputs(USAGE, stdout);
            exit(EXIT_OK);
        case 'V':
            printf("halvora-bake %s\n", HALVORA_VERSION);
            exit(EXIT_OK);
        case OPT_IMAGE:
            if (!has_extension(optarg, ".png")) usage_error("--image writes a .png file, not '%s'", optarg);
            options.image = absolute_path(optarg);
            break;
        case OPT_MESH:
            if (!has_extension(optarg, ".glb") && !has_extension(optarg, ".ply"))
                usage_error("--mesh writes a .glb or a .ply file, not '%s'", optarg);
            options.meshes.push_back(absolute_path(optarg));
            break;
        case OPT_COARSE: options.coarse = true; break;
        case OPT_SIZE: parse_size(optarg, &options); break;
        case OPT_EXPORTS: options.exports = true; break;
        case OPT_KEEP: options.keep = true; break;
        case ':': usage_error("option '%s' needs a value", argv[optind - 1]);
        default: usage_error("unknown option '%s'", argv[optind - 1]);
        }
    }
    if (optind < argc) options.directory = argv[optind++];
    if (optind < argc) usage_error("one scene directory at most; '%s' is one too many", argv[optind]);
    return options;
}

bool has_extension(const std::string &path, const char *extension) {
    size_t n = strlen(extension);
    return path.size() >= n && strcasecmp(path.c_str() + path.size() - n, extension) == 0;
}

void enter_scene_directory(const BakeOptions &options) {
    if (chdir(options.directory.c_str()) != 0)
        fatal(EXIT_BAKE_DIRECTORY, "Couldn't enter scene directory : %s (%s)", options.directory.c_str(),
              strerror(errno));
}
