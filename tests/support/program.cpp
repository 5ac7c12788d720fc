// Test support: running a program as a child process with captured output.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/program.h"

namespace {

std::string slurp_fd(int fd) {
    std::string data;
    lseek(fd, 0, SEEK_SET);
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, (size_t)got);
    return data;
}

int scratch_fd() {
    char name[] = "/tmp/halvora-test-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    unlink(name);
    return fd;
}

} // namespace

ProgramResult run_program(const std::string &exe, const std::string &dir, const std::vector<std::string> &args,
                          const std::vector<std::string> &env, const ProgramLimits &limits) {
    int out_fd = scratch_fd();
    int err_fd = scratch_fd();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        int in_fd = open("/dev/null", O_RDONLY);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        for (const std::string &entry : env) {
            size_t eq = entry.find('=');
            std::string name = entry.substr(0, eq), value = entry.substr(eq + 1);
            if (value.empty()) unsetenv(name.c_str());
            else setenv(name.c_str(), value.c_str(), 1);
        }
        if (limits.file_size) {
            struct rlimit lim = {limits.file_size, limits.file_size};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        if (limits.address_space) {
            struct rlimit lim = {limits.address_space, limits.address_space};
            setrlimit(RLIMIT_AS, &lim);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(exe.c_str()));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ProgramResult result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = slurp_fd(out_fd);
    result.err = slurp_fd(err_fd);
    close(out_fd);
    close(err_fd);
    return result;
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
