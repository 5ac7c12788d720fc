// halvora-import: MODEL.obj (and its MTL) to a scene file of halvora.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <vector>

#include "base/errors.h"
#include "base/process.h"
#include "import/import.h"

#ifndef HALVORA_VERSION
#define HALVORA_VERSION "unknown"
#endif

namespace {

const char *const USAGE =
    "Usage: halvora-import MODEL.obj [-o scene.txt] [--patch-size S] [--fit TOL]\n"
    "Writes the rectangles of a Wavefront OBJ as a halvora scene file: one line per\n"
    "rectangular face (or pair of triangles making a rectangle), Kd of its material\n"
    "as reflectance, Ke as emission. Every other face is reported with its number\n"
    "and line, and left out; so is a face that repeats one written.\n"
    "\n"
    "  -o FILE           the scene file (default: MODEL with .txt in place of .obj)\n"
    "  --patch-size S    target patch edge in the model's units (default: the longest\n"
    "                    side of any rectangle / 10); counts are side / S, rounded, at least 1\n"
    "  --fit TOL         a four-corner face whose corners all lie within TOL times its\n"
    "                    longest side of a rectangle becomes that rectangle (0 < TOL <= 0.1;\n"
    "                    0.01 is 1 %); each fitted face is reported with its largest shift\n"
    "  -h, --help        this text\n"
    "  -V, --version     the version\n"
    "\n"
    "Exit codes: 0 done, 2 the model cannot be read (or is no text, or too large),\n"
    "3 the scene cannot be written (or would overwrite the model), 4 no face is a\n"
    "rectangle, 64 bad command line.\n";

// The largest --fit: beyond a tenth of a side a face is no measured rectangle.
constexpr double LARGEST_FIT = 0.1;

[[noreturn]] __attribute__((format(printf, 1, 2))) void usage_error(const char *format, ...) {
    fprintf(stderr, "halvora-import: ");
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fprintf(stderr, "\nTry 'halvora-import --help'.\n");
    exit(EXIT_IMPORT_USAGE);
}

enum LongOnly { OPT_PATCH_SIZE = 256, OPT_FIT };

const option LONG_OPTIONS[] = {
    {"patch-size", required_argument, nullptr, OPT_PATCH_SIZE},
    {"fit", required_argument, nullptr, OPT_FIT},
    {"output", required_argument, nullptr, 'o'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

double positive_number(const char *option, const char *text, double largest) {
    char *end = nullptr;
    double value = strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0.0) || !(value <= largest))
        usage_error("%s takes a number above 0 and at most %g, not '%s'", option, largest, text);
    return value;
}

} // namespace

// getopt_long runs without permuting ('+'): it stops at the first argument
// that is not an option, which is taken here as the model, and is then called
// again for the arguments after it. So each call reads the argument at the
// `optind` it started from (a group of short options may take several calls
// on one argument), and that argument is the one a message names.
ImportOptions parse_import_options(int argc, char **argv) {
    ImportOptions options;
    std::vector<const char *> models;
    bool options_end = false;
    opterr = 0;
    while (optind < argc) {
        int at = optind;
        int c = options_end ? -1 : getopt_long(argc, argv, "+:o:hV", LONG_OPTIONS, nullptr);
        if (c == -1) {
            if (optind > at && strcmp(argv[optind - 1], "--") == 0) options_end = true;
            if (optind < argc) models.push_back(argv[optind++]);
            continue;
        }
        const char *argument = argv[at];
        switch (c) {
        case 'h':
            fputs(USAGE, stdout);
            exit(EXIT_OK);
        case 'V':
            printf("halvora-import %s\n", HALVORA_VERSION);
            exit(EXIT_OK);
        case 'o':
            if (optarg[0] == '\0') usage_error("-o takes a file name, not '' (in '%s')", argument);
            options.scene = optarg;
            break;
        case OPT_PATCH_SIZE: options.patch_size = positive_number("--patch-size", optarg, 1e30); break;
        case OPT_FIT: options.fit = positive_number("--fit", optarg, LARGEST_FIT); break;
        case ':': usage_error("option '%s' needs a value", argument);
        default:
            if (strncmp(argument, "--", 2) == 0 && strchr(argument, '=') != nullptr && optopt != 0)
                usage_error("option '%s' takes no value", argument);
            if (strncmp(argument, "--", 2) == 0 || optopt == 0 || strlen(argument) == 2)
                usage_error("unknown option '%s'", argument);
            usage_error("unknown option '-%c' in '%s'", optopt, argument);
        }
    }
    if (models.empty()) usage_error("%s", "no model file given");
    if (models.size() > 1) usage_error("one model file at most; '%s' is one too many", models[1]);
    options.model = models[0];
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
