// halvora-bake's form-factor rows on several threads, with the bytes of one
// worker: the rows split into blocks (formfactor/worksplit.h), each block's
// hemicube placed on its polygon or handed on from the block before (a
// relay), the rows handed to the sink in row order.
//
// Memory: one FormFactorWorker per thread, ROWS_AHEAD rows of its own to
// fill while earlier rows of other workers are still being computed, and
// threads + 1 relays. A worker whose rows all wait to be taken waits too, so
// at most threads x (ROWS_AHEAD + 1) rows are held at any time. All of it is
// obtained before the threads start, so no worker ends the process.
#pragma once

#include <cstdint>

#include "formfactor/formfactor.h"

// Finished rows a worker may hold beyond the one it fills.
const int32_t ROWS_AHEAD = 4;

// Largest --threads.
const int32_t MAX_THREADS = 1024;

// The rows of `scene` by `threads` workers (1: form_factor_rows itself),
// handed to the sink in row order: the sink's begin and take are called for
// one row after the other, never at once, each row's begin just before its
// take. Returns false when the sink refused a row (the workers stop at their
// next row). `work` (when given) gets the fast paths' counts summed over the
// workers.
bool form_factor_rows_threaded(const FormFactorScene *scene, int32_t threads, const FormFactorRowSink *sink,
                               FormFactorWork *work);

// The CPUs this process may run on: its affinity mask, and no more than the
// cgroup's CPU quota (cpu.max) where one is set. At least 1.
int32_t available_cpus();
