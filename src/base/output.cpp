// The outputs of output.h: temporary files beside their final names, renamed
// into place when complete, removed by an exit handler and a signal handler
// otherwise.
//
// A temporary name is the final name's directory part, a dot, the final
// name's last component (cut to 200 bytes, so that the name stays within
// NAME_MAX), the process id and a serial number: ".room.png.4711-0.tmp".
// It is created with O_EXCL, so an existing file is never opened; a name taken
// (a file left by a process of the same id that was killed outright) moves on
// to the next serial number.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/output.h"

OutputFile *output_files = nullptr;
int output_file_count = 0;
int output_file_capacity = 0;

namespace {

const int HANDLED_SIGNALS[3] = {SIGINT, SIGTERM, SIGHUP};
// Longest part of the final name's last component kept in the temporary name.
constexpr size_t KEPT_NAME_BYTES = 200;
// Serial numbers tried before creation gives up with the last EEXIST.
constexpr int SERIALS_TRIED = 100;

int next_serial = 0;

// Blocks (or restores) the three handled signals around a change of `pending`.
void block_handled_signals(sigset_t *saved) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : HANDLED_SIGNALS) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, saved);
}

void restore_signals(const sigset_t *saved) { sigprocmask(SIG_SETMASK, saved, nullptr); }

// Runs with the disposition already reset to the default (SA_RESETHAND) and
// the signal not blocked (SA_NODEFER), so the raise ends the process as the
// signal would have.
void remove_outputs_on_signal(int sig) {
    for (int k = 0; k < output_file_count; k++)
        if (output_files[k].pending) unlinkat(output_files[k].directory, output_files[k].temporary, 0);
    raise(sig);
}

void install_signal_handlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = remove_outputs_on_signal;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int sig : HANDLED_SIGNALS) sigaddset(&action.sa_mask, sig);
    for (int sig : HANDLED_SIGNALS) {
        // A signal ignored by whoever started the process (nohup) stays ignored.
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigdelset(&action.sa_mask, sig);
        sigaction(sig, &action, nullptr);
        sigaddset(&action.sa_mask, sig);
    }
}

// The temporary name for `name` with serial number `serial`, or null.
char *temporary_name(const char *name, int serial) {
    const char *slash = strrchr(name, '/');
    size_t directory_length = slash != nullptr ? (size_t)(slash - name) + 1 : 0;
    const char *base = name + directory_length;
    size_t base_length = strlen(base);
    if (base_length > KEPT_NAME_BYTES) base_length = KEPT_NAME_BYTES;
    char suffix[64];
    int suffix_length = snprintf(suffix, sizeof suffix, ".%ld-%d.tmp", (long)getpid(), serial);
    size_t length = directory_length + 1 + base_length + (size_t)suffix_length;
    char *temporary = (char *)malloc(length + 1);
    if (temporary == nullptr) return nullptr;
    memcpy(temporary, name, directory_length);
    temporary[directory_length] = '.';
    memcpy(temporary + directory_length + 1, base, base_length);
    memcpy(temporary + directory_length + 1 + base_length, suffix, (size_t)suffix_length + 1);
    return temporary;
}

// Removes the temporary file of `output` and forgets it, keeping errno.
void remove_temporary(OutputFile *output) {
    int saved_errno = errno;
    sigset_t saved;
    block_handled_signals(&saved);
    if (output->pending) unlinkat(output->directory, output->temporary, 0);
    output->pending = 0;
    restore_signals(&saved);
    errno = saved_errno;
}

} // namespace

void reserve_output_files(int capacity) {
    // Without memory for the table every create fails with ENOMEM, which its
    // caller reports as the output's own failure.
    output_files = (OutputFile *)calloc(capacity > 0 ? (size_t)capacity : 1, sizeof(OutputFile));
    output_file_capacity = output_files != nullptr ? capacity : 0;
    atexit(discard_output_files);
    install_signal_handlers();
}

int create_output_file(int directory, const char *name) {
    if (output_file_count >= output_file_capacity) {
        errno = ENOMEM;
        return -1;
    }
    struct stat existing;
    if (fstatat(directory, name, &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    OutputFile *output = &output_files[output_file_count];
    output->directory = directory;
    free(output->name);
    output->name = strdup(name);
    if (output->name == nullptr) return -1;

    int fd = -1;
    for (int attempt = 0; attempt < SERIALS_TRIED && fd < 0; attempt++) {
        free(output->temporary);
        output->temporary = temporary_name(name, next_serial++);
        if (output->temporary == nullptr) break;
        sigset_t saved;
        block_handled_signals(&saved);
        fd = openat(directory, output->temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            output->pending = 1;
            output_file_count++;
        }
        restore_signals(&saved);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return -1;

    output->stream = fdopen(fd, "w");
    if (output->stream == nullptr) {
        close(fd);
        remove_temporary(output);
        return -1;
    }
    return output_file_count - 1;
}

bool finish_output_file(int index) {
    OutputFile *output = &output_files[index];
    bool flushed = fflush(output->stream) == 0 && !ferror(output->stream);
    // The data reach the disk before the name does, so that the file under
    // the final name is whole even after a crash of the machine. A file
    // system that cannot sync (EINVAL) is taken as it is.
    bool synced = flushed && (fsync(fileno(output->stream)) == 0 || errno == EINVAL);
    int saved_errno = errno;
    bool closed = fclose(output->stream) == 0;
    output->stream = nullptr;
    if (!(flushed && synced && closed)) {
        if (!(flushed && synced)) errno = saved_errno;
        remove_temporary(output);
        return false;
    }
    sigset_t saved;
    block_handled_signals(&saved);
    bool renamed = renameat(output->directory, output->temporary, output->directory, output->name) == 0;
    saved_errno = errno;
    if (renamed) output->pending = 0;
    restore_signals(&saved);
    if (!renamed) {
        errno = saved_errno;
        remove_temporary(output);
        return false;
    }
    return true;
}

void discard_output_files() {
    for (int k = 0; k < output_file_count; k++) {
        OutputFile *output = &output_files[k];
        if (output->stream != nullptr) {
            fclose(output->stream);
            output->stream = nullptr;
        }
        remove_temporary(output);
    }
}
