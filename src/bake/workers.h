// halvora-bake's form-factor rows on several threads, with the bytes of one
// worker: the rows split into blocks (formfactor/worksplit.h), each block's
// hemicube placed on its polygon or handed on from the block before (a
// relay), the rows handed to the sink in row order.
//
// Memory: one FormFactorWorker per thread, threads + 1 relays (and, for
// each relay being replayed, its moves' offsets, 12 bytes a move), one row
// for the sink, and the finished rows that wait for an earlier one: kept as
// their touched entries, 8 bytes each, at most HELD_ROW_BYTES of them and
// one row per worker beyond (a worker waits while they are over, unless its
// next row is the one the sink needs), plus the storage of written ones kept
// for reuse (at most 8 MiB). All but the held rows is obtained before the
// threads start, each worker's arrays on cache lines of their own
// (checked_calloc_apart); a held row that cannot be kept ends the run with
// code 7 once the workers have stopped.
#pragma once

#include <cstdint>

#include "formfactor/formfactor.h"
#include "solver/solver.h"

// Bytes of finished rows held for the sink before the workers wait.
const uint64_t HELD_ROW_BYTES = 256ull << 20;

// Largest --threads.
const int32_t MAX_THREADS = 1024;

// The rows of `scene` by `threads` workers, `first` (the caller's, obtained
// and released by it) and threads - 1 more (1: form_factor_rows itself),
// handed to the sink in row order: the sink's begin and take are called for
// one row after the other, never at once, each row's begin just before its
// take. Returns false when the sink refused a row (the workers stop at their
// next row). `work` (when given) gets the fast paths' counts summed over the
// workers.
bool form_factor_rows_threaded(const FormFactorScene *scene, FormFactorWorker *first, int32_t threads,
                               const FormFactorRowSink *sink, FormFactorWork *work);

// The CPUs this process may run on: its affinity mask, and no more than the
// cgroup's CPU quota (cpu.max) where one is set. At least 1.
int32_t available_cpus();

// The solver's second thread (SweepHelper): started here, waiting for a task
// between the polygons it helps with; ended (joined) by sweep_helper_end.
void sweep_helper_begin(SweepHelper *helper);
void sweep_helper_end(SweepHelper *helper);
