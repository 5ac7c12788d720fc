// The batch part of a run, stage by stage. Each stage runs to completion or
// ends the process itself; what it leaves behind is named beside it.
#pragma once

#include <cstdint>
#include <cstdio>

// Prints the start message and reads RADIOSTY.INI into `config` (codes 1, 50-57).
void configuration_stage();

// Parses the scene into `polygons` through ENVRNMNT.BIN, which it erases.
// An empty scene ends the process with code 0 here.
void environment_stage();

// Builds `patch_grid`, sets `patch_count` and writes PATCH.BIN.
void patch_stage();

// Writes one form-factor row per patch to FF.BIN and releases the hemicube,
// the row and the patch grid. Returns FF.BIN, still open for reading.
FILE *form_factor_stage();

// What the solution stage reports beside `patch_radiosity`.
struct SolutionResult {
    int32_t sweeps[3]; // sweeps each channel took, red green blue
};

// Solves red, green and blue from FF.BIN into `patch_radiosity`; closes FF.BIN.
SolutionResult solution_stage(FILE *ff_file);

// Computes `vertex_radiosity`, releases the solver's buffers and writes
// PATCHRAD.BIN and VERTRAD.BIN.
void output_stage();

// All of the above in order: what a run does before the viewer takes over.
void run_batch_stages();
