// The radiosity equations B_r = E_r + rho_r * sum_k F_rk B_k for red, green
// and blue, solved by Gauss-Seidel sweeps: the operations other stages call.
//
// Storage is single precision throughout; each term of a sweep is added in
// double precision and the partial sum rounded to single precision at once
// (terms.h holds that arithmetic, once, for every path).
//
// Three ways to the same values, bit for bit:
// - the reference, channel by channel (reference.cpp): build_radiosity_matrix
//   fills the matrix with F_rk * rho_r for one channel (FF.BIN read once per
//   channel), solve_radiosity_channel sweeps that channel to its stop rule;
// - the dense three-channel sweep (dense_sweep.cpp): read_form_factor_matrix_dense
//   fills the matrix with F_rk itself (FF.BIN read once), and
//   solve_radiosity_channels_dense sweeps the three channels side by side,
//   forming each term's (float)(F_rk * rho_r) on the fly;
// - the run's (sweep.cpp): read_form_factor_matrix stores each row of F_rk,
//   in the compact row format of compact_rows.h when most of it is zero, and
//   solve_radiosity_channels sweeps the three channels taking only the
//   non-zero terms wherever leaving out the zero ones changes no rounding,
//   and four independent rows side by side (lanes.h).
//
// Invariant: every stored value and every stop decision of the two fast
// paths is the reference's, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "geometry/environment.h"

// n rows of n floats, reached through n row pointers. In the run the rows
// are one block and hold the form factors F_rk themselves (not F_rk times
// the reflectance), as read_form_factor_matrix stores them: a mostly zero
// row compactly, the rows packed one after another from the block's start.
// The reference loops fill such a table with F_rk * rho_r for the channel
// being solved.
extern float **radiosity_matrix;
// Emitted radiosity per patch, interleaved r g b (3n floats).
extern float *patch_emission;
// Light leaving each patch, per channel, interleaved r g b (3n floats).
extern float *patch_radiosity;

// The channels' names as the console shows them: "red", "green", "blue".
extern const char *const channel_names[3];

// --- reference: one channel at a time ---------------------------------------

// Reads the n form-factor rows from `ff_file` (at its start) and fills the
// matrix and the channel's column of the emission. Ends the process with
// code 10 (scratch row) or 11 (a row read short, not at end of file).
void build_radiosity_matrix(float **matrix, float *emission_rhs, int32_t patches, int channel,
                            const Polygon *polys, int32_t count, FILE *ff_file);

// Sweeps the channel's column of `radiosity` until the largest relative change
// of a sweep is below `precision`; returns the number of sweeps made. A sweep
// that leaves a value that is not finite ends the process with code 18.
int32_t solve_radiosity_channel(float **matrix, float *radiosity, const float *emission_rhs,
                                int32_t patches, int channel, double precision);

// The three channels by the reference loops, as a run without the console
// output would solve them: per channel, rewind `ff_file`, build the matrix and
// sweep. `sweeps` receives each channel's sweep count. Used by the tests and
// the benchmark as the truth for solve_radiosity_channels.
void solve_channels_reference(float **matrix, float *radiosity, float *emission_rhs, int32_t patches,
                              const Polygon *polys, int32_t count, FILE *ff_file, double precision,
                              int32_t sweeps[3]);

// --- the dense three-channel sweep (the comparison in bench/) -------------------

// Reads the n form-factor rows from `ff_file` (at its start) into `form_factors`
// unscaled, n floats a row, and fills all three columns of the emission. A row
// read short at end of file keeps, beyond the floats read, the values of the
// row before it (zeros for the first), as the reference's reused scratch row
// does. Ends the process with code 11 on a row read short not at end of file.
void read_form_factor_matrix_dense(float **form_factors, float *emission_rhs, int32_t patches, const Polygon *polys,
                                   int32_t count, FILE *ff_file);

// Sweeps red, green and blue together, every term of every row, over the
// matrix of read_form_factor_matrix_dense; results, sweep counts and return
// value as solve_radiosity_channels.
int solve_radiosity_channels_dense(float **form_factors, float *radiosity, const float *emission_rhs, int32_t patches,
                                   const Polygon *polys, int32_t count, double precision, int32_t sweeps[3]);

// --- the run's solver ------------------------------------------------------------------

// Reads the n form-factor rows from `ff_file` (at its start) into `form_factors`
// and fills all three columns of the emission. A row whose entries other than
// +0 fill at most half its block less two floats is stored compactly (the
// format of compact_rows.h); the others stay as read. When the rows lie one after another in one block, each is stored
// where the one before ends and its row pointer is moved there (row 0 stays
// at the block's start). The last row's block is the scratch row each row is
// read into, so a row read short at end of file keeps, beyond the floats
// read, the values of the row before it (zeros for the first), as the
// reference's reused scratch row does. Ends the process with code 11 on a
// row read short not at end of file.
void read_form_factor_matrix(float **form_factors, float *emission_rhs, int32_t patches, const Polygon *polys,
                             int32_t count, FILE *ff_file);

// Bytes of `form_factors`, as read_form_factor_matrix stored them, that one
// sweep of solve_radiosity_channels reads: each compact row's mark, count,
// terms and sentinel, each other row whole.
size_t stored_form_factor_bytes(float *const *form_factors, int32_t patches);

// Sweeps red, green and blue together, over the matrix of
// read_form_factor_matrix, until each meets its own stop rule; a channel that
// has stopped is left as it is while the others go on. Returns the channel
// whose divergence the reference would report (the first channel in red,
// green, blue order that diverges while every channel before it converges),
// or -1 when all three converge. Does not end the process itself. `sweeps`
// receives each channel's sweep count (for a diverging channel, the sweep
// that left the non-finite value).
//
// `report`, when given, is called after each sweep with what it did.
struct SweepProgress {
    int32_t sweep;         // sweeps made so far, by the channel that made most
    int32_t sweeps[3];     // each channel's count
    bool swept[3];         // the channel took part in this sweep
    double largest[3];     // its largest relative change in it
    double precision;      // the change each channel sweeps to get below
};
// A second thread the sweep may use (halvora-bake's; the solver has no
// threads of its own): `start` runs task(arg) there, `finish` waits until it
// has returned. The sweep gives it the second part of a large polygon whose
// rows read no column of their own polygon: it sums those rows by their
// non-zero terms while the sweep goes through the first part, and the sweep
// then keeps a row's sums only where it would itself take just those terms
// (else it sums the row again). Every value and stop decision is that of one
// thread.
struct SweepHelper {
    void (*start)(void (*task)(void *), void *arg, void *context);
    void (*finish)(void *context);
    void *context;
};

// Rows of a polygon below which the sweep does not split it.
const int32_t SWEEP_SPLIT_ROWS = 256;

int solve_radiosity_channels(float **form_factors, float *radiosity, const float *emission_rhs, int32_t patches,
                             const Polygon *polys, int32_t count, double precision, int32_t sweeps[3],
                             void (*report)(const SweepProgress *) = nullptr, const SweepHelper *helper = nullptr);
