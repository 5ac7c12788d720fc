// The radiosity equations B_r = E_r + rho_r * sum_k F_rk B_k, one colour
// channel at a time, solved by Gauss-Seidel sweeps.
//
// Storage is single precision throughout; each term of a sweep is added in
// double precision and the partial sum rounded to single precision at once.
#pragma once

#include <cstdint>
#include <cstdio>

#include "geometry/environment.h"

// n rows of n floats, each row its own block: F_rk * rho_r for the channel
// being solved.
extern float **radiosity_matrix;
// Emitted radiosity per patch, interleaved r g b (3n floats).
extern float *patch_emission;
// Light leaving each patch, per channel, interleaved r g b (3n floats).
extern float *patch_radiosity;

// Number of sweeps the last call of solve_radiosity_channel made.
extern int32_t solver_sweeps;

// Reads the n form-factor rows from `ff_file` (at its start) and fills the
// matrix and the channel's column of the emission. Ends the process with
// code 10 (scratch row) or 11 (a row read short, not at end of file).
void build_radiosity_matrix(float **matrix, float *emission_rhs, int32_t patches, int channel,
                            const Polygon *polys, int32_t count, FILE *ff_file);

// Sweeps the channel's column of `radiosity` until the largest relative change
// of a sweep is below `precision`. A sweep that leaves a value that is not
// finite ends the process with code 18.
void solve_radiosity_channel(float **matrix, float *radiosity, const float *emission_rhs,
                             int32_t patches, int channel, double precision);
