// The ranges of a line of cells: where a candidate's forms surely hold, or
// possibly hold, along one line of a hemicube face.
//
// Invariant: a range is returned only when its end checks hold, and then
// every form holds (or, for the possible range, none surely fails) on every
// cell between its ends. Each form is affine along the line, so it is
// smallest at one end: where the range starts if it rises, where it ends if
// it falls; a level form is checked anywhere. The crossings are guessed by
// dividing out the bound (rounded either way) and only the checks decide.
// Inline: every line of every face takes them for every candidate.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "formfactor/runcast_internal.h"

// Cells [lo, hi] of a line of `length` where every form surely holds
// (certain) or, for possible, where none surely fails. The forms come
// rising, falling, then level (`rising` and `falling` of them). Ends are
// checked: a rising form where the range starts, a falling one where it
// ends, where each is smallest (the forms are affine), so every form holds
// on every cell between; for possible, the cells cut off on each side are
// cut off by one form that surely fails at both ends of the cut part.
RUNCAST_INLINE void certain_range(const RunFaceForm *forms, double i, int n, int rising, int falling, int32_t length, int32_t *lo,
                   int32_t *hi) {
    int32_t a = 0, b = length - 1;
    for (int k = 0; k < rising; k++) a = std::max(a, ceil_index((forms[k].bound - forms[k].at(i)) * forms[k].inverse, 0, length - 1));
    for (int k = rising; k < rising + falling; k++)
        b = std::min(b, floor_index((forms[k].bound - forms[k].at(i)) * forms[k].inverse, 0, length - 1));
    bool ok = a <= b;
    for (int k = 0; k < rising; k++) ok &= forms[k].value(i, a) >= forms[k].bound;
    for (int k = rising; k < rising + falling; k++) ok &= forms[k].value(i, b) >= forms[k].bound;
    for (int k = rising + falling; k < n; k++) ok &= forms[k].at(i) >= forms[k].bound;
    *lo = ok ? a : 1;
    *hi = ok ? b : 0;
}

RUNCAST_INLINE void possible_range(const RunFaceForm *forms, double i, int n, int rising, int falling, int32_t length, int32_t *lo,
                    int32_t *hi) {
    int32_t a = 0, b = length - 1;
    int left = -1, right = -1;
    for (int k = 0; k < rising; k++) {
        int32_t x = ceil_index((-forms[k].bound - forms[k].at(i)) * forms[k].inverse, 0, length - 1);
        left = x > a ? k : left;
        a = x > a ? x : a;
    }
    for (int k = rising; k < rising + falling; k++) {
        int32_t x = floor_index((-forms[k].bound - forms[k].at(i)) * forms[k].inverse, 0, length - 1);
        right = x < b ? k : right;
        b = x < b ? x : b;
    }
    for (int k = rising + falling; k < n; k++)
        if (forms[k].at(i) < -forms[k].bound) a = length, left = k;
    auto fails = [&](int k, int32_t j) { return forms[k].value(i, j) < -forms[k].bound; };
    if (left >= 0 && a > 0) {
        int32_t last = std::min(a, length) - 1;
        if (!(fails(left, 0) && fails(left, last))) a = 0;
    }
    if (right >= 0 && b < length - 1) {
        int32_t first = std::max(b, -1) + 1;
        if (!(fails(right, first) && fails(right, length - 1))) b = length - 1;
    }
    *lo = a;
    *hi = b;
}

// The smallest |nominal ray| over a face (from its depth axis, an affine
// function whose minimum over the face lies at a corner) and the largest (a
// convex function: also at a corner).
inline void face_lengths(const HemicubeFace &face, double *shortest, double *longest) {
    const double *o = face.origin, *si = face.step_i, *sj = face.step_j;
    double axis[3] = {si[1] * sj[2] - si[2] * sj[1], si[2] * sj[0] - si[0] * sj[2], si[0] * sj[1] - si[1] * sj[0]};
    double norm = sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    double side = axis[0] * o[0] + axis[1] * o[1] + axis[2] * o[2] < 0 ? -1.0 : 1.0;
    *shortest = DBL_MAX;
    *longest = 0;
    for (int corner = 0; corner < 4; corner++) {
        double i = (corner & 1) ? face.lines - 1 : 0, j = (corner & 2) ? face.length - 1 : 0;
        double d[3];
        for (int c = 0; c < 3; c++) d[c] = o[c] + i * si[c] + j * sj[c];
        double depth = side * (axis[0] * d[0] + axis[1] * d[1] + axis[2] * d[2]) / norm;
        *shortest = std::min(*shortest, depth * (1 - 1e-12));
        *longest = std::max(*longest, sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) * (1 + 1e-12));
    }
}
