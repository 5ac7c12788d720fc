// The batch part of a run, stage by stage. Each stage runs to completion or
// ends the process itself; what it leaves behind is named beside it.
#pragma once

#include <cstdio>

#include "formfactor/cellcast.h"
#include "formfactor/runcast.h"

// Prints the start message and reads RADIOSTY.INI into `config` (codes 1, 50-57).
void configuration_stage();

// Parses the scene into `polygons` through ENVRNMNT.BIN, which it erases.
// An empty scene ends the process with code 0 here.
void environment_stage();

// Builds `patch_grid`, sets `patch_count` and writes PATCH.BIN.
void patch_stage();

// What the fast paths of the form-factor stage did, for the benchmark.
struct FormFactorWork {
    CellcastCounters cull;
    RuncastCounters runs;
};

// Writes one form-factor row per patch to FF.BIN and releases the hemicube,
// the row and the patch grid. Returns FF.BIN, still open for reading. Fills
// `work` when given.
FILE *form_factor_stage(FormFactorWork *work = nullptr);

// Solves red, green and blue from FF.BIN into `patch_radiosity`; closes FF.BIN.
void solution_stage(FILE *ff_file);

// Computes `vertex_radiosity`, releases the solver's buffers and writes
// PATCHRAD.BIN and VERTRAD.BIN.
void output_stage();

// All of the above in order: what a run does before the viewer takes over.
void run_batch_stages();
