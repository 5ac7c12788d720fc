// halvora-import: MODEL.obj (and its MTL) to a scene file of halvora.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

#include "base/errors.h"
#include "base/process.h"
#include "import/import.h"

#ifndef HALVORA_VERSION
#define HALVORA_VERSION "unknown"
#endif

namespace {

const char *const USAGE =
    "Usage: halvora-import MODEL.obj [-o scene.txt] [--patch-size S]\n"
    "Writes the rectangles of a Wavefront OBJ as a halvora scene file: one line per\n"
    "rectangular face (or pair of triangles making a rectangle), Kd of its material\n"
    "as reflectance, Ke as emission. Every other face is reported with its number\n"
    "and left out.\n"
    "\n"
    "  -o FILE           the scene file (default: MODEL with .txt in place of .obj)\n"
    "  --patch-size S    target patch edge in the model's units (default: the longest\n"
    "                    side of any rectangle / 10); counts are side / S, rounded, at least 1\n"
    "  -h, --help        this text\n"
    "  -V, --version     the version\n"
    "\n"
    "Exit codes: 0 done, 2 the model cannot be read, 3 the scene cannot be written,\n"
    "4 no face is a rectangle, 64 bad command line.\n";

[[noreturn]] __attribute__((format(printf, 1, 2))) void usage_error(const char *format, ...) {
    fprintf(stderr, "halvora-import: ");
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fprintf(stderr, "\nTry 'halvora-import --help'.\n");
    exit(EXIT_IMPORT_USAGE);
}

enum LongOnly { OPT_PATCH_SIZE = 256 };

const option LONG_OPTIONS[] = {
    {"patch-size", required_argument, nullptr, OPT_PATCH_SIZE},
    {"output", required_argument, nullptr, 'o'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

} // namespace

ImportOptions parse_import_options(int argc, char **argv) {
    ImportOptions options;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":o:hV", LONG_OPTIONS, nullptr)) != -1) {
        switch (c) {
        case 'h':
            fputs(USAGE, stdout);
            exit(EXIT_OK);
        case 'V':
            printf("halvora-import %s\n", HALVORA_VERSION);
            exit(EXIT_OK);
        case 'o': options.scene = optarg; break;
        case OPT_PATCH_SIZE: {
            char *end = nullptr;
            options.patch_size = strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(options.patch_size > 0.0) || options.patch_size > 1e30)
                usage_error("--patch-size takes a positive number, not '%s'", optarg);
            break;
        }
        case ':': usage_error("option '%s' needs a value", argv[optind - 1]);
        default: usage_error("unknown option '%s'", argv[optind - 1]);
        }
    }
    if (optind >= argc) usage_error("%s", "no model file given");
    options.model = argv[optind++];
    if (optind < argc) usage_error("one model file at most; '%s' is one too many", argv[optind]);
    if (options.scene.empty()) {
        size_t dot = options.model.rfind('.'), slash = options.model.rfind('/');
        bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
        options.scene = (has_extension ? options.model.substr(0, dot) : options.model) + ".txt";
    }
    return options;
}

int main(int argc, char **argv) {
    prepare_process();
    import_model(parse_import_options(argc, argv));
    return EXIT_OK;
}
