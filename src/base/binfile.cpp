// Float-array I/O shared by the stages that write and read the binary files,
// and their erasure at the end of a run (the viewer's exit handler, halvora-bake).
#include <cstdio>

#include "base/binfile.h"
#include "base/errors.h"

bool write_floats(FILE *file, const float *data, size_t count) {
    return fwrite(data, sizeof(float), count, file) == count;
}

bool close_written_file(FILE *file) {
    bool flushed = fflush(file) == 0 && !ferror(file);
    bool closed = fclose(file) == 0;
    return flushed && closed;
}

bool read_floats(FILE *file, float *data, size_t count) {
    return fread(data, sizeof(float), count, file) == count || feof(file);
}

void erase_binary_files(BinaryFiles which) {
    if (remove(PATCH_BIN) != 0) report_error("Couldn't erase patch vertices binary file : %s", PATCH_BIN);
    if (which == ALL_BINARY_FILES && remove(FF_BIN) != 0)
        report_error("Couldn't erase form factor binary file : %s", FF_BIN);
    if (remove(PATCHRAD_BIN) != 0) report_error("Couldn't erase patch radiosity binary file : %s", PATCHRAD_BIN);
    if (remove(VERTRAD_BIN) != 0) report_error("Couldn't erase vertex radiosity binary file : %s", VERTRAD_BIN);
}
