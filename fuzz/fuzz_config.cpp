// Fuzz target: the configuration reader. One input is the whole text of
// RADIOSTY.INI, read through an in-memory stream.
//
// Expected outcomes: read_config returns with every field set, or ends with
// one of its codes (50 to 57). A finding is a crash, a sanitizer report, a
// hang, an exit code outside that list, or a returned Config that breaks
// what the reader promises: a pixel size finite and above 0, a precision
// above the smallest normal double, a file name of at most 51 characters
// without white space. (A token that starts with a NUL byte leaves an empty
// name, which the driver then fails to open: code 2, not a finding.)
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "driver/config.h"
#include "fuzz_support.h"

namespace {

struct ConfigInput {
    char *text;
    size_t size;
    FILE *file;
};

void read_config_body(void *context) {
    ConfigInput *input = (ConfigInput *)context;
    // glibc's fmemopen of zero bytes reports no end of file at the first
    // read, unlike an empty file; /dev/null reads like one.
    input->file = input->size == 0 ? fopen("/dev/null", "r") : fmemopen(input->text, input->size, "r");
    if (input->file == nullptr) fuzz_finding("fmemopen failed");
    read_config(input->file);
    fclose(input->file);
    input->file = nullptr;
}

void close_config_stream(void *context) {
    ConfigInput *input = (ConfigInput *)context;
    if (input->file != nullptr) fclose(input->file);
    input->file = nullptr;
}

void check_config() {
    if (!std::isfinite(config.hemicube_pixel_size) || !(config.hemicube_pixel_size > 0.0f))
        fuzz_finding("hemicube_pixel_size accepted out of range");
    if (!(config.solution_precision > DBL_MIN)) fuzz_finding("solution_precision accepted out of range");
    size_t length = strnlen(config.filename, sizeof config.filename);
    if (length == sizeof config.filename) fuzz_finding("filename not terminated within its field");
    for (size_t i = 0; i < length; i++)
        if (strchr(" \t\n\v\f\r", config.filename[i]) != nullptr) fuzz_finding("filename holds white space");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    guarded_runs_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> text(data, data + size);
    memset(&config, 0x5a, sizeof config); // a value the reader must overwrite
    ConfigInput input = {text.data(), size, nullptr};
    int code = run_guarded({read_config_body, close_config_stream, &input});
    if (code == -1) {
        check_config();
    } else if (code < 50 || code > 57) {
        fuzz_finding("the configuration reader ended with a code not its own");
    }
    return 0;
}
