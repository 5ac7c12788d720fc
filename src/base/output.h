// Output files that appear under their final name only when complete: each is
// written under a temporary name in the directory of its final name and
// renamed into place once it has been flushed, synced and closed. A file found
// under its final name is therefore always whole, or the one it replaced.
//
// The temporary names sit in one table, reserved once for all the outputs of
// a run before the first is created and never moved afterwards. An exit
// handler removes every temporary file not yet in place (a run that ends with
// an error code), and so does a handler of SIGINT, SIGTERM and SIGHUP, with
// async-signal-safe calls only (unlinkat), which then lets the signal end the
// process as it would have without the handler. Other files of the run are
// not touched by either.
//
// Invariants: `pending` is set only while the temporary file exists under
// `temporary` and was created by this process (O_EXCL), so neither handler
// ever removes a file of someone else; the flag changes only with the three
// signals blocked, together with the create or the rename it stands for.
#pragma once

#include <csignal>
#include <cstdio>

struct OutputFile {
    int directory;                   // descriptor both names are relative to (AT_FDCWD: the working directory)
    char *name;                      // the final name, as given
    char *temporary;                 // the temporary name, in the same directory as `name`
    FILE *stream;                    // open for writing from creation until finished
    volatile sig_atomic_t pending;   // 1 while the temporary file is ours to remove
};

// The table of outputs, in the order created; `output_file_count` entries of
// `output_file_capacity`.
extern OutputFile *output_files;
extern int output_file_count;
extern int output_file_capacity;

// Reserves the table for `capacity` outputs and installs the exit handler and
// the signal handlers. Call once, before the first create_output_file.
void reserve_output_files(int capacity);

// Creates the temporary file of an output whose final name is `name`,
// relative to `directory`, and opens it for writing. Returns its index in
// output_files, or -1 with errno set: the directory cannot be written, or the
// final name is a directory (EISDIR), which the rename could never replace.
int create_output_file(int directory, const char *name);

// Flushes, syncs and closes the output's stream and renames the temporary
// file to the final name. false with errno set when any step fails; the
// temporary file is then removed.
bool finish_output_file(int index);

// Removes every temporary file not yet in place and closes its stream. The
// exit handler calls it; it may also be called before.
void discard_output_files();
