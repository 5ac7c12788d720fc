// The batch part of a run, stage by stage. Each stage runs to completion or
// ends the process itself; what it leaves behind is named beside it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "formfactor/formfactor.h"

// What a run varies between halvora and its companions; everything else about
// the stages is fixed. Read-only once the run starts.
struct BatchPlan {
    // Called once the polygons are read, before the patches, with the number
    // of patches the scene will have: halvora-bake's pre-flight, which ends
    // the process when the run cannot complete. Null in halvora.
    void (*before_patches)(int64_t patches);
    // Exit code of a scene without a single valid polygon, after "No polygons
    // found ...": 0 in halvora, for which that is a normal end of the run.
    int empty_scene_code;
    // Computes the form-factor rows and hands them to the sink in row order,
    // as form_factor_rows does with `worker` (halvora-bake: with more
    // workers beside it); null in halvora, which runs form_factor_rows itself.
    bool (*form_factor_rows)(const FormFactorScene *scene, FormFactorWorker *worker, const FormFactorRowSink *sink,
                             FormFactorWork *work);
};

// What halvora runs: no pre-flight, an empty scene ends with code 0.
extern const BatchPlan HALVORA_PLAN;

// Prints the start message and reads RADIOSTY.INI into `config` (codes 1, 50-57).
void configuration_stage();

// Parses the scene into `polygons` through ENVRNMNT.BIN, which it erases.
// An empty scene ends the process here, with the plan's empty_scene_code.
void environment_stage(const BatchPlan *plan);

// Builds `patch_grid`, sets `patch_count` and writes PATCH.BIN.
void patch_stage();

// Writes one form-factor row per patch to FF.BIN, by the plan's workers, and
// releases the patch grid. Returns FF.BIN, still open for reading. Fills
// `work` when given.
FILE *form_factor_stage(const BatchPlan *plan, FormFactorWork *work = nullptr);

// What the solution stage reports beside `patch_radiosity`.
struct SolutionResult {
    int32_t sweeps[3]; // sweeps each channel took, red green blue
};

// Solves red, green and blue from FF.BIN into `patch_radiosity`; closes FF.BIN.
SolutionResult solution_stage(FILE *ff_file);

// Computes `vertex_radiosity`, releases the solver's buffers and writes
// PATCHRAD.BIN and VERTRAD.BIN.
void output_stage();

// All of the above in order, as `plan` has them: what a run does before the
// viewer takes over (halvora: &HALVORA_PLAN). The default stands for the
// callers that run halvora's own plan.
void run_batch_stages(const BatchPlan *plan = &HALVORA_PLAN);
