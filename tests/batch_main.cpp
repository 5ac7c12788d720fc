// The batch part of a run without the viewer: the same stages as halvora,
// ending with code 0 once PATCHRAD.BIN and VERTRAD.BIN are written, so tests
// can check the files the viewer would read.
#include "base/process.h"
#include "driver/run.h"

int main() {
    prepare_process();
    run_batch_stages(&HALVORA_PLAN);
    return 0;
}
