// Error exits as returns, and the allocation recorder behind them.
//
// The recorder is an open-addressing set of the blocks allocated and not yet
// freed during the body, fed by the sanitizer allocator's malloc and free
// hooks. It never allocates (the hooks run inside malloc). A body that keeps
// more blocks alive than the set holds overflows it; the blocks beyond are then
// simply not released after an error exit, which libFuzzer would report as a
// leak: the targets bound their inputs' patch counts well below that. Only the
// blocks of the thread that runs the body are recorded.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sanitizer/allocator_interface.h>

#include "base/errors.h"
#include "fuzz_support.h"

namespace {

jmp_buf return_point;
volatile int exit_code = -1;

constexpr size_t TABLE_SIZE = 1 << 17; // a power of two, far above any body's live blocks
const volatile void *live_blocks[TABLE_SIZE];
// The slots filled since the run began, so that clearing costs what was used.
size_t touched_slots[TABLE_SIZE];
size_t touched_count = 0;
// Per thread, and only ever set on the thread that runs the bodies: the
// hooks fire on every thread of the process. libFuzzer's RSS watcher thread
// starts while the first inputs run, and as it starts the sanitizer runtime
// reads its stack bounds through pthread_getattr_np, which allocates and
// frees three small blocks. Were they recorded, an error exit would free
// blocks that thread still uses: it then frees them again, or frees the
// pointer it reads out of a freed block, which the allocator has overwritten
// (a crash in Deallocate on that thread); and two threads would write the
// table at once. The README's "Error exits inside one process" has the rest.
thread_local bool recording = false;

// A removed entry becomes a tombstone so that probing goes on past it.
const volatile void *const TOMBSTONE = &live_blocks;

size_t slot_of(const volatile void *block) {
    uintptr_t bits = (uintptr_t)block;
    return (size_t)((bits >> 4) * 0x9E3779B97F4A7C15ull) & (TABLE_SIZE - 1);
}

void on_malloc(const volatile void *block, size_t) {
    if (!recording || block == nullptr) return;
    for (size_t i = slot_of(block), n = 0; n < TABLE_SIZE; i = (i + 1) & (TABLE_SIZE - 1), n++) {
        if (live_blocks[i] == nullptr) touched_slots[touched_count++] = i;
        if (live_blocks[i] == nullptr || live_blocks[i] == TOMBSTONE) {
            live_blocks[i] = block;
            return;
        }
    }
}

void on_free(const volatile void *block) {
    if (!recording || block == nullptr) return;
    for (size_t i = slot_of(block), n = 0; n < TABLE_SIZE; i = (i + 1) & (TABLE_SIZE - 1), n++) {
        if (live_blocks[i] == nullptr) return;
        if (live_blocks[i] == block) {
            live_blocks[i] = TOMBSTONE;
            return;
        }
    }
}

void forget_all() {
    for (size_t t = 0; t < touched_count; t++) live_blocks[touched_slots[t]] = nullptr;
    touched_count = 0;
}

[[noreturn]] void back_to_run_guarded(int code) {
    exit_code = code;
    longjmp(return_point, 1);
}

} // namespace

void guarded_runs_init() {
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    fatal_exit_hook = back_to_run_guarded;
}

int run_guarded(const GuardedRun &run) {
    exit_code = -1;
    forget_all();
    recording = true;
    if (setjmp(return_point) == 0) {
        run.body(run.context);
        recording = false;
        return -1;
    }
    // Back from an error exit: close the streams while recording still
    // removes their blocks, then free the rest.
    if (run.close_streams != nullptr) run.close_streams(run.context);
    recording = false;
    for (size_t t = 0; t < touched_count; t++) {
        const volatile void *block = live_blocks[touched_slots[t]];
        if (block != TOMBSTONE) free(const_cast<void *>(block));
    }
    forget_all();
    return exit_code;
}

void fuzz_finding(const char *what) {
    fprintf(stderr, "fuzz finding: %s\n", what);
    abort();
}
