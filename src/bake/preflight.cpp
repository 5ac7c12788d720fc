// The check before the patches: every file the run will write must fit, and
// so must the memory the form-factor rows and their workers take, and the
// picture. A scene too large for any of them is refused here, at once,
// rather than after hours of rows or with a disk filled to the last byte.
//
// Memory: the solver's row store at its largest (row_store_bound: each row
// lists at most one patch per hemicube cell), one row of N floats per worker
// and one for the writer, and the rows held for their turn (at most
// HELD_ROW_BYTES, with several workers). It must fit the memory available,
// what the address-space and data limits leave (ulimit -v, -d), and what the
// process's cgroup leaves under memory.max and memory.high.
//
// The files: PATCH.BIN (48 N bytes), FF.BIN (4 N^2) when it is written
// (--keep, --ff-file), PATCHRAD.BIN (12 N) and VERTRAD.BIN (48 N) in DIR,
// and the outputs asked for, at their sizes or bounds (image_file_bound,
// mesh_file_bound, export_file_bound). Each must fit the file-size limit;
// added up per file system, each rounded up to the file system's blocks,
// they must fit its free space. All of them stand on the disk together once
// the outputs are written, so the sum is the run's peak. A binary file that
// is already there is truncated when it is written again: its blocks count
// as free; an output's old file is replaced only when the new one is
// complete, so its blocks do not. Blocks the file system needs for its own
// bookkeeping are not counted.
//
// Reads the process's limits (getrlimit), its current sizes
// (/proc/self/statm), the machine's available memory (/proc/meminfo), its
// cgroup's limits and use (/proc/self/cgroup, then memory.max, memory.high
// and memory.current under /sys/fs/cgroup), the file systems' free space
// (statvfs, fstatvfs of the outputs' temporary files). A figure that cannot
// be read sets no bound. Sizes are 64-bit: N < 2^31, so 4 N^2 and 8 N^2 + N
// < 2^64 (printed as unsigned long, 64 bits here).
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bake/bake.h"
#include "bake/workers.h"
#include "base/binfile.h"
#include "base/errors.h"
#include "base/output.h"
#include "export/export.h"
#include "solver/row_store.h"

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

// The first number of a cgroup file, in bytes; ~0ULL for "max", a file
// that is not there or cannot be read.
unsigned long long cgroup_value(const std::string &directory, const char *name) {
    FILE *file = fopen((directory + "/" + name).c_str(), "r");
    if (file == nullptr) return ~0ULL;
    unsigned long long value = ~0ULL;
    if (fscanf(file, "%llu", &value) != 1) value = ~0ULL;
    fclose(file);
    return value;
}

// The directory of this process's cgroup (v2: the line "0::PATH" of
// /proc/self/cgroup), or /sys/fs/cgroup itself when none is named.
std::string cgroup_directory() {
    std::string directory = "/sys/fs/cgroup";
    FILE *file = fopen("/proc/self/cgroup", "r");
    if (file == nullptr) return directory;
    char line[4096];
    while (fgets(line, sizeof line, file) != nullptr) {
        if (strncmp(line, "0::", 3) != 0) continue;
        std::string path = line + 3;
        while (!path.empty() && (path.back() == '\n' || path.back() == '/')) path.pop_back();
        struct stat where;
        if (!path.empty() && stat((directory + path).c_str(), &where) == 0) directory += path;
        break;
    }
    fclose(file);
    return directory;
}

// What the cgroup leaves under one of its limits.
void tighten_cgroup(MemoryBound *bound, const std::string &directory, const char *limit_name, const char *what) {
    unsigned long long limit = cgroup_value(directory, limit_name);
    if (limit == ~0ULL) return;
    unsigned long long used = cgroup_value(directory, "memory.current");
    unsigned long long left = used == ~0ULL ? limit : limit > used ? limit - used : 0;
    if (left < bound->bytes) *bound = MemoryBound{left, what};
}

MemoryBound memory_bound() {
    MemoryBound bound = {available_memory(), "memory available on this machine"};
    tighten(&bound, RLIMIT_AS, 0, "left under the address-space limit (ulimit -v)");
    tighten(&bound, RLIMIT_DATA, 5, "left under the data-size limit (ulimit -d)");
    std::string cgroup = cgroup_directory();
    tighten_cgroup(&bound, cgroup, "memory.max", "left under the cgroup's memory limit (memory.max)");
    tighten_cgroup(&bound, cgroup, "memory.high", "left under the cgroup's memory throttle (memory.high)");
    return bound;
}

// A file the run will write.
struct PlannedFile {
    const char *what;  // "form factor binary file"
    const char *name;  // "FF.BIN", or the output's name
    uint64_t bytes;    // its size, or a bound on it
    int fd;            // an output's temporary file; -1 for a binary file of DIR
};

// The free space of one file system and what the run will put on it.
struct DiskUse {
    dev_t device;
    uint64_t free_bytes, needed, released;
    std::vector<const PlannedFile *> files;
};

// The files of the run and the file systems they go to, filled by
// preflight_check. They are tables of this file rather than locals because
// the process may end inside preflight_check: a block reachable only from
// the stack of a process that ends there is reported as leaked by the
// sanitizer build, one reachable from a table is not.
std::vector<PlannedFile> planned_files;
std::vector<DiskUse> disk_uses;
std::string file_names; // the files named by the message of a disk too small

uint64_t round_up(uint64_t bytes, uint64_t block) { return block > 1 ? (bytes + block - 1) / block * block : bytes; }

// Adds `file` to the use of its file system; a file whose file system cannot
// be told counts nowhere.
void add_disk_use(std::vector<DiskUse> *uses, const PlannedFile *file) {
    struct stat where;
    struct statvfs disk;
    uint64_t released = 0;
    if (file->fd >= 0) {
        if (fstat(file->fd, &where) != 0 || fstatvfs(file->fd, &disk) != 0) return;
    } else if (stat(file->name, &where) == 0 && S_ISREG(where.st_mode)) {
        // "wb" truncates the old file wherever it lies.
        if (statvfs(file->name, &disk) != 0) return;
        released = (uint64_t)where.st_blocks * 512;
    } else if (stat(".", &where) != 0 || statvfs(".", &disk) != 0) {
        return;
    }
    DiskUse *use = nullptr;
    for (DiskUse &known : *uses)
        if (known.device == where.st_dev) use = &known;
    if (use == nullptr) {
        uses->push_back(DiskUse{where.st_dev, (uint64_t)disk.f_bavail * (uint64_t)disk.f_frsize, 0, 0, {}});
        use = &uses->back();
    }
    use->needed += round_up(file->bytes, (uint64_t)disk.f_frsize);
    use->released += released;
    use->files.push_back(file);
}

// "form factor binary file FF.BIN" for one file, "the files A, B and C" for
// several, into file_names.
void name_files(const std::vector<const PlannedFile *> &files) {
    if (files.size() == 1) {
        file_names = std::string(files[0]->what) + " " + files[0]->name;
        return;
    }
    file_names = "the files ";
    for (size_t k = 0; k < files.size(); k++) {
        if (k > 0) file_names += k + 1 == files.size() ? " and " : ", ";
        file_names += files[k]->name;
    }
}

} // namespace

uint64_t rows_memory(uint64_t n, int64_t cells, int32_t threads) {
    uint64_t store = row_store_bound(n, cells > 0 ? (uint64_t)cells : n);
    uint64_t workers = (uint64_t)(threads > 1 ? threads + 1 : 1) * n * sizeof(float);
    uint64_t held = threads > 1 ? (store < HELD_ROW_BYTES ? store : HELD_ROW_BYTES) : 0;
    return store + workers + held;
}

void preflight_check(int64_t patches, const PreflightRun &run) {
    unsigned long long n = patches > 0 ? (unsigned long long)patches : 0;
    if (bake_outputs.image >= 0) check_image_size(run.image_width, run.image_height);

    unsigned long long memory_needed = rows_memory(n, run.cells, run.threads);
    MemoryBound memory = memory_bound();
    if (memory_needed > memory.bytes)
        fatal(EXIT_BAKE_MEMORY, "Not enough memory for the form-factor rows of %lu patches : %lu bytes (%.1f MiB) needed, %lu bytes (%.1f MiB) %s",
              (unsigned long)n, (unsigned long)memory_needed, (double)memory_needed / MIB, (unsigned long)memory.bytes,
              (double)memory.bytes / MIB, memory.what);

    std::vector<PlannedFile> &files = planned_files;
    files = {{"patch vertices binary file", PATCH_BIN, 48 * n, -1}};
    if (run.form_factor_file) files.push_back({"form factor binary file", FF_BIN, 4 * n * n, -1});
    files.push_back({"patch radiosity binary file", PATCHRAD_BIN, 12 * n, -1});
    files.push_back({"vertex radiosity binary file", VERTRAD_BIN, 48 * n, -1});
    const char *const export_what[TEXT_EXPORT_COUNT] = {"form factor export file", "patch vertices export file",
                                                        "radiosity solution export file"};
    for (int k = 0; k < TEXT_EXPORT_COUNT; k++) {
        if (bake_outputs.exports[k] < 0) continue;
        const OutputFile *output = &output_files[bake_outputs.exports[k]];
        files.push_back({export_what[k], output->name, export_file_bound((TextExport)k, n), fileno(output->stream)});
    }
    if (bake_outputs.image >= 0) {
        const OutputFile *output = &output_files[bake_outputs.image];
        files.push_back({"image file", output->name, image_file_bound(run.image_width, run.image_height),
                         fileno(output->stream)});
    }
    for (int mesh : bake_outputs.meshes) {
        const OutputFile *output = &output_files[mesh];
        files.push_back({"mesh file", output->name, mesh_file_bound(output->name, n), fileno(output->stream)});
    }

    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        for (const PlannedFile &file : files)
            if (file.bytes > limit.rlim_cur)
                fatal(EXIT_BAKE_DISK, "Not enough disk space for %s %s of %lu patches : %lu bytes (%.1f MiB) needed, %lu bytes (%.1f MiB) allowed by the file-size limit (ulimit -f)",
                      file.what, file.name, (unsigned long)n, (unsigned long)file.bytes, (double)file.bytes / MIB,
                      (unsigned long)limit.rlim_cur, (double)limit.rlim_cur / MIB);

    disk_uses.clear();
    for (const PlannedFile &file : files) add_disk_use(&disk_uses, &file);
    for (const DiskUse &use : disk_uses) {
        uint64_t needed = use.needed > use.released ? use.needed - use.released : 0;
        if (needed <= use.free_bytes) continue;
        name_files(use.files);
        fatal(EXIT_BAKE_DISK, "Not enough disk space for %s of %lu patches : %lu bytes (%.1f MiB) needed, %lu bytes (%.1f MiB) free on the disk",
              file_names.c_str(), (unsigned long)n, (unsigned long)needed, (double)needed / MIB,
              (unsigned long)use.free_bytes, (double)use.free_bytes / MIB);
    }
}
