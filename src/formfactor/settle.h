// Settling a hemicube's cells: the recorded offsets added to every cell, one
// after another, and the drift from the placement rays measured on the way.
//
// Invariant: every cell gets the bytes that adding the offsets one by one in
// single precision gives (vec3_sum's); the drift is the largest
// |(cell - centre) - placement ray| component over the cells, and `lost`
// tells a NaN among them.
//
// A cell is three floats side by side, so groups of cells fill whole vector
// registers: four cells are three SSE2 registers (x y z x | y z x y | z x y
// z), eight cells three AVX2 registers. Each lane adds the same offset
// component in the same order as the scalar sum, so the width of the group
// changes no byte. The largest gap is a maximum over the cells, which no
// order of taking them changes; a NaN gap is told apart by `lost`, not by
// the maximum.
//
// SSE2 is in every x86-64; the eight-cell groups are used where the CPU has
// AVX2.
#pragma once

#include <cstdint>

#include "geometry/vec3.h"

// What a settling has measured so far.
struct SettleScan {
    float largest; // largest gap; meaningful only while no gap was NaN
    bool lost;     // some gap was NaN
};

// Two scans of different cells as one.
inline void settle_scan_join(SettleScan *into, const SettleScan &part) {
    into->lost = into->lost || part.lost;
    if (part.largest > into->largest) into->largest = part.largest;
}

// The groups' common arguments: cells [from, cells) of `source` (3 floats
// each) take `pending` offsets and go to the same cells of `cell` (the
// same array but for a relay's first pass); with placement rays `ray0` (may
// be null: no drift is measured), the gaps to (cell - centre) - ray0 go
// into `scan`.
struct SettleCells {
    const float *source;
    float *cell;
    const float *ray0;
    int32_t cells;
    const Vec3 *offsets;
    int32_t pending;
    Vec3 centre;
};

// Settles whole groups of four cells from `from`; returns where they end.
int32_t settle_by_four(const SettleCells *c, int32_t from, SettleScan *scan);

// The same in groups of eight; only where settle_has_eight() says so.
int32_t settle_by_eight(const SettleCells *c, int32_t from, SettleScan *scan);
bool settle_has_eight();

// Settles cells [from, cells) one by one.
void settle_one_by_one(const SettleCells *c, int32_t from, SettleScan *scan);
