// Test support: running a program as a child process with captured output,
// and small file helpers.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#endif

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/program.h"

namespace {

#if defined(__x86_64__)
// Makes unlink and unlinkat fail with EPERM for this process and its
// children; every other system call goes through.
bool deny_unlink() {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_unlink, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_unlinkat, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
    };
    struct sock_fprog program = {(unsigned short)(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
#else
bool deny_unlink() { return false; }
#endif

void set_limit(int resource, unsigned long long bytes) {
    if (bytes == 0) return;
    struct rlimit limit = {bytes, bytes};
    setrlimit(resource, &limit);
}

// In the child, between fork and exec: never returns.
[[noreturn]] void start_child(const std::string &exe, const std::string &dir, const ProgramOptions &options,
                              int out_fd, int err_fd) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    int in_fd = open(options.input.c_str(), O_RDONLY);
    if (in_fd < 0) _exit(126);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    for (const std::string &entry : options.env) {
        size_t eq = entry.find('=');
        std::string name = entry.substr(0, eq), value = eq == std::string::npos ? "" : entry.substr(eq + 1);
        if (value.empty()) unsetenv(name.c_str());
        else setenv(name.c_str(), value.c_str(), 1);
    }
    if (!options.asan_options.empty()) {
        const char *old = getenv("ASAN_OPTIONS");
        std::string value = (old != nullptr && *old != '\0' ? std::string(old) + ":" : "") + options.asan_options;
        setenv("ASAN_OPTIONS", value.c_str(), 1);
    }
    // SIGXFSZ keeps its default action here: the program ignores it itself,
    // so that a write beyond the limit fails with EFBIG.
    set_limit(RLIMIT_FSIZE, options.limits.file_size);
    set_limit(RLIMIT_AS, options.limits.address_space);
    if (options.deny_unlink && !deny_unlink()) _exit(125);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(exe.c_str()));
    for (const std::string &a : options.args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
}

// Reads both pipes until the child has closed them.
void drain(int out_fd, int err_fd, ProgramResult *result) {
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&result->out, &result->err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[65536];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, (size_t)got);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    for (struct pollfd &fd : fds)
        if (fd.fd >= 0) close(fd.fd);
}

} // namespace

ProgramResult run_program(const std::string &exe, const std::string &dir, const ProgramOptions &options) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
    if (pipe(err_pipe) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        throw std::runtime_error("pipe failed");
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        start_child(exe, dir, options, out_pipe[1], err_pipe[1]);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    ProgramResult result;
    drain(out_pipe[0], err_pipe[0], &result);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ProgramResult run_program(const std::string &exe, const std::string &dir, const std::vector<std::string> &args,
                          const std::vector<std::string> &env, const ProgramLimits &limits) {
    ProgramOptions options;
    options.args = args;
    options.env = env;
    options.limits = limits;
    return run_program(exe, dir, options);
}

std::string make_temp_dir(const std::string &tag) {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/halvora-" + tag + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::string(name.data());
}

void remove_tree(const std::string &dir) {
    nftw(dir.c_str(), [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream file(path, std::ios::binary);
    file << content;
}

std::string read_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream buffer;
    buffer << file.rdbuf();
    return buffer.str();
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

long long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

std::vector<float> read_floats_file(const std::string &path) {
    std::string bytes = read_file(path);
    std::vector<float> values(bytes.size() / sizeof(float));
    memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

void write_floats_file(const std::string &path, const std::vector<float> &values) {
    write_file(path, std::string((const char *)values.data(), values.size() * sizeof(float)));
}

std::string source_root() { return HALVORA_SOURCE_DIR; }

std::vector<std::string> directory_entries(const std::string &dir, bool directories) {
    std::vector<std::string> names;
    DIR *handle = opendir(dir.c_str());
    if (handle == nullptr) return names;
    while (dirent *entry = readdir(handle)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode) == directories) names.push_back(name);
    }
    closedir(handle);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::string halvora_exe() { return HALVORA_EXE; }
std::string halvora_batch_exe() { return HALVORA_BATCH_EXE; }
