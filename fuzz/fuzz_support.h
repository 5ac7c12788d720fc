// What the two fuzz targets share: running one input with the program's error
// exits turned into a return, and releasing what an exiting path left behind.
//
// The readers end the process with exit() on every error. Here fatal() calls
// fatal_exit_hook instead (errors.h), which longjmps back to run_guarded. The
// code between the setjmp and the longjmp holds no C++ objects with
// destructors (the readers are plain C-style code), so jumping over it is
// defined.
//
// Memory: an exiting path never frees what it allocated (the process would be
// ending). run_guarded records every block allocated while the body runs and,
// after an error exit only, first lets the target close its streams and then
// frees every block still recorded. A normal return frees nothing on the
// body's behalf, so a block the readers fail to free on a normal return is
// still reported by libFuzzer's leak detection.
#pragma once

#include <cstddef>

struct GuardedRun {
    void (*body)(void *context);
    // Called after an error exit, before the leftover blocks are freed:
    // closes the streams the body's context owns. May be null.
    void (*close_streams)(void *context);
    void *context;
};

// Runs run.body(run.context). Returns -1 when it returned normally, or the
// exit code it ended with.
int run_guarded(const GuardedRun &run);

// Installs the exit hook and the allocation recorder; call once, from
// LLVMFuzzerInitialize.
void guarded_runs_init();

// Aborts with `what` on standard error: an invariant the readers promise was
// broken by an input, which libFuzzer records as a crash.
[[noreturn]] void fuzz_finding(const char *what);
