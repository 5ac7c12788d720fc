// Running the built program in a scratch directory, and small file helpers
// for the tests.
#pragma once

#include <string>
#include <vector>

struct ProgramResult {
    int exit_code;       // exit status, or 128 + signal number
    std::string out;     // standard output, byte for byte
    std::string err;     // standard error, byte for byte
};

// Limits applied to the child before exec (0 leaves a limit alone).
struct ProgramLimits {
    unsigned long long file_size = 0;     // RLIMIT_FSIZE in bytes (the program ignores SIGXFSZ itself)
    unsigned long long address_space = 0; // RLIMIT_AS in bytes
};

// How a child is started: every test that runs a program goes through these.
struct ProgramOptions {
    std::vector<std::string> args;    // after the program's name
    std::vector<std::string> env;     // added to the environment: "NAME=value"; "NAME=" removes NAME
    std::string asan_options;         // appended to the child's ASAN_OPTIONS
    ProgramLimits limits;
    std::string input = "/dev/null";  // the file standard input reads
    bool deny_unlink = false;         // every unlink fails with EPERM, as on a file the user may not erase
};

// Runs `exe` in directory `dir` as `options` say. Standard output and error
// are read through pipes, so a file size limit cuts only the program's own
// files. A child that cannot be set up as asked exits with 125 (the unlink
// filter), 126 (the directory or the input) or 127 (exec).
ProgramResult run_program(const std::string &exe, const std::string &dir, const ProgramOptions &options);

// The same with the options most tests need: arguments, environment, limits.
ProgramResult run_program(const std::string &exe, const std::string &dir,
                          const std::vector<std::string> &args = {},
                          const std::vector<std::string> &env = {}, const ProgramLimits &limits = {});

// A fresh empty directory under the test temp dir; removed by the caller's
// remove_tree or left for inspection.
std::string make_temp_dir(const std::string &tag);
void remove_tree(const std::string &dir);

// A scratch directory that removes itself when it goes out of scope, also
// when an assertion has ended the test early.
struct ScratchDir {
    std::string path;
    explicit ScratchDir(const std::string &tag = "scratch") : path(make_temp_dir(tag)) {}
    ~ScratchDir() { remove_tree(path); }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
long long file_size(const std::string &path);
std::vector<float> read_floats_file(const std::string &path);
void write_floats_file(const std::string &path, const std::vector<float> &values);

// The top of the source tree, set by the build.
std::string source_root();
// The names in `dir` that are directories (or, with false, that are not),
// sorted; none when it cannot be read.
std::vector<std::string> directory_entries(const std::string &dir, bool directories);
// The lines of a text, a CR before each LF dropped.
std::vector<std::string> lines_of(const std::string &text);
bool contains(const std::string &text, const std::string &part);

// Paths of the built executables, set by the build.
std::string halvora_exe();        // the full program, viewer included
std::string halvora_batch_exe();  // the same run without the viewer
