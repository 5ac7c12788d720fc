// The check before the form-factor stage: the solution stage will hold a
// matrix of N x N floats (4 N^2 bytes) and the form-factor stage writes FF.BIN
// of the same size. A scene too large for either is refused here, at once,
// rather than after hours of rows or with a disk filled to the last byte.
//
// Reads the process's limits (getrlimit), its current sizes
// (/proc/self/statm), the machine's available memory (/proc/meminfo), the
// free space of the working directory's file system (statvfs) and the
// file-size limit. A figure that
// cannot be read sets no bound. Sizes are 64-bit: N < 2^31, so 4 N^2 < 2^64.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bake/bake.h"
#include "base/binfile.h"
#include "base/errors.h"

namespace {

const double MIB = 1024.0 * 1024.0;

// A bound on memory or disk space and where it comes from.
struct MemoryBound {
    unsigned long long bytes; // what the process may still take; ~0ULL: no bound found
    const char *what;         // which bound that is
};

// Field `index` (0: total address space, 5: data) of /proc/self/statm, in bytes.
unsigned long long statm_bytes(int index) {
    FILE *file = fopen("/proc/self/statm", "r");
    if (file == nullptr) return 0;
    unsigned long long fields[7] = {0, 0, 0, 0, 0, 0, 0};
    int read = fscanf(file, "%llu %llu %llu %llu %llu %llu %llu", &fields[0], &fields[1], &fields[2], &fields[3],
                      &fields[4], &fields[5], &fields[6]);
    fclose(file);
    if (read != 7) return 0;
    return fields[index] * (unsigned long long)sysconf(_SC_PAGESIZE);
}

// MemAvailable of /proc/meminfo in bytes, or ~0ULL when it cannot be read.
unsigned long long available_memory() {
    FILE *file = fopen("/proc/meminfo", "r");
    if (file == nullptr) return ~0ULL;
    char line[256];
    unsigned long long kib = ~0ULL;
    while (fgets(line, sizeof line, file) != nullptr)
        if (sscanf(line, "MemAvailable: %llu kB", &kib) == 1) break;
    fclose(file);
    return kib == ~0ULL ? kib : kib * 1024ULL;
}

void tighten(MemoryBound *bound, int resource, int statm_field, const char *what) {
    rlimit limit;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    unsigned long long used = statm_bytes(statm_field);
    unsigned long long left = limit.rlim_cur > used ? limit.rlim_cur - used : 0;
    if (left < bound->bytes) *bound = MemoryBound{left, what};
}

MemoryBound memory_bound() {
    MemoryBound bound = {available_memory(), "memory available on this machine"};
    tighten(&bound, RLIMIT_AS, 0, "left under the address-space limit (ulimit -v)");
    tighten(&bound, RLIMIT_DATA, 5, "left under the data-size limit (ulimit -d)");
    return bound;
}

// Bytes FF.BIN may take: the free blocks of the working directory's file
// system that an unprivileged process may use, plus the old FF.BIN that "wb+"
// will truncate, and no more than the file-size limit.
MemoryBound disk_bound() {
    MemoryBound bound = {~0ULL, "free on the disk"};
    struct statvfs disk;
    if (statvfs(".", &disk) == 0) {
        bound.bytes = (unsigned long long)disk.f_bavail * (unsigned long long)disk.f_frsize;
        struct stat old;
        if (stat(FF_BIN, &old) == 0 && S_ISREG(old.st_mode)) bound.bytes += (unsigned long long)old.st_size;
    }
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < bound.bytes)
        bound = MemoryBound{limit.rlim_cur, "allowed by the file-size limit (ulimit -f)"};
    return bound;
}

} // namespace

void preflight_check(int64_t patches) {
    unsigned long long n = patches > 0 ? (unsigned long long)patches : 0;
    unsigned long long matrix = 4ULL * n * n;

    MemoryBound memory = memory_bound();
    if (matrix > memory.bytes)
        fatal(EXIT_BAKE_MEMORY, "Not enough memory for the form-factor matrix of %lu patches : %lu bytes (%.1f MiB) needed, %lu bytes (%.1f MiB) %s",
              (unsigned long)n, (unsigned long)matrix, (double)matrix / MIB, (unsigned long)memory.bytes,
              (double)memory.bytes / MIB, memory.what);

    MemoryBound disk = disk_bound();
    if (matrix > disk.bytes)
        fatal(EXIT_BAKE_DISK, "Not enough disk space for form factor binary file %s of %lu patches : %lu bytes (%.1f MiB) needed, %lu bytes (%.1f MiB) %s",
              FF_BIN, (unsigned long)n, (unsigned long)matrix, (double)matrix / MIB, (unsigned long)disk.bytes,
              (double)disk.bytes / MIB, disk.what);
}
