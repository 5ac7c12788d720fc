// The batch part of a run, stage by stage. Each stage runs to completion or
// ends the process itself; what it leaves behind is named beside it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "formfactor/formfactor.h"
#include "solver/solver.h"

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
    // The rows go straight into the solver's row store (solver/row_store.h)
    // as they are made, and the solution stage reads nothing back: false in
    // halvora, whose solver reads FF.BIN into an n x n block.
    bool rows_in_store;
    // FF.BIN is written (halvora: always; a plan that keeps no rows in the
    // store must write it).
    bool form_factor_file;
    // The row store outlives the output stage, for an FF.TXT written from it;
    // whoever asked for it releases it (row_store_free).
    bool keep_row_store;
    // A second thread the solver's sweep may use (solver.h); null in halvora.
    const SweepHelper *sweep_helper;
};

// What halvora runs: no pre-flight, an empty scene ends with code 0, the
// rows through FF.BIN.
extern const BatchPlan HALVORA_PLAN;

// Prints the start message and reads RADIOSTY.INI into `config` (codes 1, 50-57).
void configuration_stage();

// Parses the scene into `polygons` through ENVRNMNT.BIN, which it erases.
// An empty scene ends the process here, with the plan's empty_scene_code.
void environment_stage(const BatchPlan *plan);

// Builds `patch_grid`, sets `patch_count` and writes PATCH.BIN.
void patch_stage();

// Computes one form-factor row per patch, by the plan's workers, and hands
// them to FF.BIN, the row store or both, as the plan has it; releases the
// patch grid. Returns FF.BIN, still open for reading, or null when the plan
// writes none. Fills `work` when given. A row the store has no memory for
// ends the process with code 10.
FILE *form_factor_stage(const BatchPlan *plan, FormFactorWork *work = nullptr);

// What the solution stage reports beside `patch_radiosity`.
struct SolutionResult {
    int32_t sweeps[3]; // sweeps each channel took, red green blue
};

// Solves red, green and blue into `patch_radiosity`, from FF.BIN or from the
// row store as the plan has it; closes FF.BIN when given.
SolutionResult solution_stage(FILE *ff_file, const BatchPlan *plan = &HALVORA_PLAN);

// Computes `vertex_radiosity`, releases the solver's buffers (the row store
// only when the plan does not keep it) and writes PATCHRAD.BIN and VERTRAD.BIN.
void output_stage(const BatchPlan *plan = &HALVORA_PLAN);

// All of the above in order, as `plan` has them: what a run does before the
// viewer takes over (halvora: &HALVORA_PLAN). The default stands for the
// callers that run halvora's own plan.
void run_batch_stages(const BatchPlan *plan = &HALVORA_PLAN);
