// import_model: the stage's run, file in, file out.
//
// Reads: the model and its MTLs (model.h). Writes: the scene file, first as
// SCENE.XXXXXX in the scene's directory, renamed to its name once every line
// is written, flushed and closed. Until then the temporary file is removed on
// every way out: by the failing write itself, or by the exit handler when the
// process ends on another error. So a scene file under its own name is always
// whole, and a scene that was there before stays untouched on failure.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "base/binfile.h"
#include "base/errors.h"
#include "import/convert.h"
#include "import/import.h"
#include "import/model.h"
#include "import/objtext.h"

namespace {

// The temporary scene file while it is being written, removed at exit.
std::string pending_scene;

void remove_pending_scene() {
    if (!pending_scene.empty()) remove(pending_scene.c_str());
    pending_scene.clear();
}

bool same_file(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void refuse_overwriting(const std::string &scene, const std::string &input) {
    if (same_file(scene, input))
        fatal(EXIT_IMPORT_SAME_FILE, "Scene file would overwrite an input : %s (name another with -o)", scene.c_str());
}

void write_scene(const std::string &scene, const Conversion &conversion) {
    std::string temporary = scene + ".XXXXXX";
    struct stat status;
    if (stat(scene.c_str(), &status) == 0 && (S_ISDIR(status.st_mode) || access(scene.c_str(), W_OK) != 0))
        fatal(EXIT_IMPORT_WRITE, "Couldn't create scene file : %s", scene.c_str());
    static bool handler = false;
    if (!handler) handler = atexit(remove_pending_scene) == 0;
    int descriptor = mkstemp(&temporary[0]);
    if (descriptor < 0) fatal(EXIT_IMPORT_WRITE, "Couldn't create scene file : %s", scene.c_str());
    pending_scene = temporary;
    // mkstemp makes the file for its owner alone; the scene gets the
    // permissions any new file would.
    mode_t mask = umask(0);
    umask(mask);
    FILE *out = fchmod(descriptor, 0666 & ~mask) == 0 ? fdopen(descriptor, "w") : nullptr;
    if (out == nullptr) {
        close(descriptor);
        remove_pending_scene();
        fatal(EXIT_IMPORT_WRITE, "Couldn't create scene file : %s", scene.c_str());
    }
    bool written = true;
    for (const SceneLine &line : conversion.lines) written &= fputs(line.text.c_str(), out) >= 0;
    written &= close_written_file(out);
    if (!written || rename(temporary.c_str(), scene.c_str()) != 0) {
        remove_pending_scene();
        fatal(EXIT_IMPORT_WRITE, "Couldn't write scene file : %s", scene.c_str());
    }
    pending_scene.clear();
}

void run_import(const ImportOptions &options) {
    refuse_overwriting(options.scene, options.model);
    std::string text = read_text_file(options.model, MODEL_TEXT);
    check_text(options.model, &text, MODEL_TEXT);
    Model model = load_model(options.model, std::move(text), nullptr);

    ConvertOptions convert;
    convert.patch_size = options.patch_size;
    convert.fit = options.fit;
    Conversion conversion = convert_model(model, convert);
    if (conversion.lines.empty())
        fatal(EXIT_IMPORT_EMPTY, "No rectangle found in model file : %s", options.model.c_str());
    for (const std::string &library : model.libraries) refuse_overwriting(options.scene, library);

    write_scene(options.scene, conversion);
    printf("%d faces read, %zu rectangles written to %s (%d from triangle pairs, %d turned to face their normals, "
           "%d fitted), %d faces left out (%d repeats); patch size %g\n",
           conversion.faces, conversion.lines.size(), options.scene.c_str(), conversion.merged, conversion.turned,
           conversion.fitted, conversion.left_out, conversion.repeated, conversion.patch_size);
}

} // namespace

void import_model(const ImportOptions &options) {
    try {
        run_import(options);
    } catch (const std::bad_alloc &) {
        fatal_out_of_memory(EXIT_IMPORT_NO_MEMORY);
    }
}
