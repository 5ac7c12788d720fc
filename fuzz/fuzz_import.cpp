// Fuzz target: halvora-import's reading of an OBJ and its MTL, and the scene
// lines it makes of them. One input is two option bytes, then the OBJ's text,
// then optionally a line "=====" and the text of the MTL "h.mtl" (the OBJ
// names it with "mtllib h.mtl"); the MTL is given from memory, no file is read
// or written.
//
// The first option byte picks the --fit (none, 0.001, 0.01, 0.1), the second
// the patch size (the importer's own choice, 0.25, 0.001, 1000).
//
// Expected outcomes: a Conversion, or an error exit with code 2 (a file that
// is not text the reader takes, or that its reader fails on). The importer
// holds C++ containers, so fatal() throws here (fatal_exit_hook) and the
// stack unwinds with its destructors; nothing is left behind for
// libFuzzer's leak check. A finding is a crash, a sanitizer report, a hang,
// another exit code, or a written line the scene reader would not take as the
// polygon the importer meant: longer than SCENE_LINE_LIMIT, not one line, not
// valid, not read back bit for bit, or a scene whose patches pass 2^31 - 1;
// or counts that do not add up (every face is written, merged into a pair's
// line or left out).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "base/errors.h"
#include "fuzz_support.h"
#include "geometry/environment.h"
#include "import/convert.h"
#include "import/model.h"
#include "import/objtext.h"

namespace {

struct FuzzExit {
    int code;
};

[[noreturn]] void throw_exit(int code) { throw FuzzExit{code}; }

const char SEPARATOR[] = "\n=====\n";
const double FITS[4] = {0.0, 0.001, 0.01, 0.1};
const double PATCH_SIZES[4] = {0.0, 0.25, 0.001, 1000.0};

void check_conversion(const Model &model, const Conversion &conversion) {
    if ((size_t)conversion.faces != model.faces.size()) fuzz_finding("faces read is not the number of f lines");
    if ((size_t)conversion.faces != conversion.lines.size() + (size_t)conversion.merged + (size_t)conversion.left_out)
        fuzz_finding("faces written, merged and left out do not add up to the faces read");
    long long total = 0;
    for (const SceneLine &line : conversion.lines) {
        const std::string &text = line.text;
        if (text.size() > SCENE_LINE_LIMIT) fuzz_finding("a scene line longer than the reader's line");
        if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1)
            fuzz_finding("a scene line that is not one line");
        Polygon read;
        long long patches = 0;
        if (parse_polygon_line(text.c_str(), total, &read, &patches) != LINE_VALID)
            fuzz_finding("a scene line the reader refuses");
        if (memcmp(&read, &line.polygon, sizeof read) != 0)
            fuzz_finding("a scene line the reader reads as another polygon");
        total += patches;
        if (total > INT32_MAX) fuzz_finding("the scene's patches pass 2^31 - 1");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fatal_exit_hook = throw_exit;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > (1 << 16)) return 0;
    ConvertOptions options;
    options.fit = FITS[data[0] % 4];
    options.patch_size = PATCH_SIZES[data[1] % 4];
    std::string input((const char *)data + 2, size - 2);
    std::map<std::string, std::string> libraries;
    size_t cut = input.find(SEPARATOR);
    if (cut != std::string::npos) {
        libraries["h.mtl"] = input.substr(cut + strlen(SEPARATOR));
        input.resize(cut + 1);
    }
    try {
        check_text("fuzz.obj", &input, MODEL_TEXT);
        Model model = load_model("fuzz.obj", std::move(input), &libraries);
        Conversion conversion = convert_model(model, options);
        check_conversion(model, conversion);
    } catch (const FuzzExit &exit) {
        if (exit.code != EXIT_IMPORT_READ && exit.code != EXIT_IMPORT_NOT_TEXT)
            fuzz_finding("the import ended with a code not its own");
    }
    return 0;
}
