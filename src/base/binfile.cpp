// Float-array I/O shared by the stages that write and read the binary files.
#include "base/binfile.h"

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
