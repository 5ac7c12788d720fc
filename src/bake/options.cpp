// halvora-bake's command line (getopt_long). Output names are kept as given:
// they are opened relative to the directory the program was started in (see
// outputs.cpp), so a long working directory never makes them too long.
//
// getopt_long runs in order ("-" first in the option string): every argument
// that is no option comes back to the loop as it is met, so that optind
// before a call always stands at the argument being read, and a message can
// name the one that is wrong, also inside a group of short options.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <getopt.h>

#include "bake/bake.h"
#include "bake/workers.h"
#include "base/errors.h"

#ifndef HALVORA_VERSION
#define HALVORA_VERSION "unknown"
#endif

namespace {

// Largest --size edge: Mesa's off-screen drawing goes to 16384 pixels a side
// (OSMESA_MAX_WIDTH and OSMESA_MAX_HEIGHT of libosmesa6, and its largest
// viewport). A window size of RADIOSTY.INI beyond what the installed OSMesa
// draws is refused by the pre-flight (check_image_size).
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
    "  --ff-file         write FF.BIN in DIR and keep it (the rows are otherwise\n"
    "                    kept in memory only; --keep writes it too)\n"
    "  -j, --threads N   form-factor rows on N threads, 1 to 1024 (default: the CPUs\n"
    "                    this process may use); the same bytes for every N\n"
    "  -h, --help        this text\n"
    "  -V, --version     the version\n"
    "\n"
    "Exit codes: 0 done; halvora's codes for its stages (see halvora(1));\n"
    "60 the form-factor rows do not fit the memory, 61 the files do not fit\n"
    "the disk (both before any long work), 62 no off-screen drawing, 63 the PNG\n"
    "cannot be written, 64 bad command line, 65 DIR cannot be entered,\n"
    "66 a mesh file cannot be written, 67 another bake runs in DIR,\n"
    "68 the scene has no valid polygon.\n";

[[noreturn]] __attribute__((format(printf, 1, 2))) void usage_error(const char *format, ...) {
    fprintf(stderr, "halvora-bake: ");
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fprintf(stderr, "\nTry 'halvora-bake --help'.\n");
    exit(EXIT_BAKE_USAGE);
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

void parse_threads(const char *text, BakeOptions *options) {
    char *end = nullptr;
    long threads = strtol(text, &end, 10);
    if (end == text || *end != '\0' || threads < 1 || threads > MAX_THREADS)
        usage_error("--threads takes a number of threads from 1 to %d, not '%s'", (int)MAX_THREADS, text);
    options->threads = (int32_t)threads;
}

enum LongOnly { OPT_IMAGE = 256, OPT_MESH, OPT_COARSE, OPT_SIZE, OPT_EXPORTS, OPT_KEEP, OPT_FF_FILE };

const option LONG_OPTIONS[] = {
    {"image", required_argument, nullptr, OPT_IMAGE},
    {"mesh", required_argument, nullptr, OPT_MESH},
    {"coarse", no_argument, nullptr, OPT_COARSE},
    {"size", required_argument, nullptr, OPT_SIZE},
    {"exports", no_argument, nullptr, OPT_EXPORTS},
    {"keep", no_argument, nullptr, OPT_KEEP},
    {"ff-file", no_argument, nullptr, OPT_FF_FILE},
    {"threads", required_argument, nullptr, 'j'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

} // namespace

BakeOptions parse_bake_options(int argc, char **argv) {
    BakeOptions options;
    bool directory_given = false;
    opterr = 0; // the messages below say what was wrong
    optind = 1;
    for (;;) {
        int at = optind; // the argument this call reads
        int c = getopt_long(argc, argv, "-:hVj:", LONG_OPTIONS, nullptr);
        if (c == -1) break;
        switch (c) {
        case 1: // an argument that is no option: the scene directory
            if (directory_given) usage_error("one scene directory at most; '%s' is one too many", optarg);
            options.directory = optarg;
            directory_given = true;
            break;
        case 'h':
            fputs(USAGE, stdout);
            exit(EXIT_OK);
        case 'V':
            printf("halvora-bake %s\n", HALVORA_VERSION);
            exit(EXIT_OK);
        case OPT_IMAGE:
            if (!has_extension(optarg, ".png")) usage_error("--image writes a .png file, not '%s'", optarg);
            options.image = optarg;
            break;
        case OPT_MESH:
            if (!has_extension(optarg, ".glb") && !has_extension(optarg, ".ply"))
                usage_error("--mesh writes a .glb or a .ply file, not '%s'", optarg);
            options.meshes.push_back(optarg);
            break;
        case OPT_COARSE: options.coarse = true; break;
        case OPT_SIZE: parse_size(optarg, &options); break;
        case OPT_EXPORTS: options.exports = true; break;
        case OPT_KEEP: options.keep = true; break;
        case OPT_FF_FILE: options.ff_file = true; break;
        case 'j': parse_threads(optarg, &options); break;
        case ':': usage_error("option '%s' needs a value", argv[at]);
        default:
            // A short option unknown (optopt its letter), a long one unknown
            // (optopt 0), or a long one given a value it does not take.
            if (optopt >= OPT_IMAGE)
                usage_error("option '%.*s' takes no value", (int)strcspn(argv[at], "="), argv[at]);
            if (optopt != 0 && strlen(argv[at]) != 2) usage_error("unknown option '-%c' in '%s'", optopt, argv[at]);
            usage_error("unknown option '%s'", argv[at]);
        }
    }
    // After "--" the rest are no options either.
    for (; optind < argc; optind++) {
        if (directory_given) usage_error("one scene directory at most; '%s' is one too many", argv[optind]);
        options.directory = argv[optind];
        directory_given = true;
    }
    return options;
}

bool has_extension(const std::string &path, const char *extension) {
    size_t n = strlen(extension);
    return path.size() >= n && strcasecmp(path.c_str() + path.size() - n, extension) == 0;
}

