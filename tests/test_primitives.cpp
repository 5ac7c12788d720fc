// The primitives the fast paths' bit identity rests on, each tested on its
// own and adversarially: values at both ends of a range, NaN and infinities,
// every exponent. The end-to-end comparisons with the reference loops
// (test_fast_paths.cpp) stay the final proof; these find a broken primitive
// where it breaks.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <random>
#include <vector>

#include "formfactor/raycast.h"
#include "formfactor/rounding.h"
#include "formfactor/runcast_grid.h"
#include "formfactor/runcast_ranges.h"

namespace {

// --- form factors ------------------------------------------------------------------

// Doubles that press on the index helpers: ends of the int range, halves,
// exact integers, signed zeros, subnormals, infinities and NaN.
std::vector<double> awkward_doubles(std::mt19937_64 &random) {
    std::vector<double> values = {0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 1e-310, -1e-310, HUGE_VAL, -HUGE_VAL, NAN, -NAN,
                                  2147483647.0, -2147483648.0, 1e300, -1e300, 7.0, 7.0 - 0x1p-50, 7.0 + 0x1p-49};
    std::uniform_real_distribution<double> spread(-40, 40);
    for (int k = 0; k < 2000; k++) values.push_back(spread(random));
    return values;
}

TEST(IndexHelpers, FloorAndCeilHeldWithinTheirRangeNanAtTheLowEnd) {
    std::mt19937_64 random(1);
    for (double x : awkward_doubles(random)) {
        for (int32_t low : {-3, 0, 5}) {
            int32_t high = low + 17;
            int32_t f = floor_index(x, low, high), c = ceil_index(x, low, high);
            if (std::isnan(x)) {
                EXPECT_EQ(f, low - 1);
                EXPECT_EQ(c, low);
                continue;
            }
            double expect_floor = std::min(std::max(std::floor(x), (double)low - 1), (double)high);
            double expect_ceil = std::min(std::max(std::ceil(x), (double)low), (double)high + 1);
            EXPECT_EQ(f, (int32_t)expect_floor) << x;
            EXPECT_EQ(c, (int32_t)expect_ceil) << x;
        }
    }
}

// Forms over a line of cells, sorted as the candidates keep them: rising,
// falling, then level; with ends of the double range, tiny and huge slopes,
// and now and then a NaN.
struct LineForms {
    RunFaceForm forms[7];
    int n, rising, falling;
};

LineForms random_forms(std::mt19937_64 &random) {
    std::uniform_real_distribution<double> unit(-1, 1);
    std::uniform_int_distribution<int> pick(0, 9);
    LineForms line = {};
    line.n = 1 + pick(random) % 7;
    RunFaceForm raw[7];
    for (int k = 0; k < line.n; k++) {
        RunFaceForm &f = raw[k];
        double scale = std::pow(10.0, (double)(pick(random) - 4));
        f.a = unit(random) * 40 * scale;
        f.b = unit(random) * scale;
        int kind = pick(random);
        f.e = kind == 0 ? 0.0 : kind == 1 ? unit(random) * 1e-300 : kind == 2 ? unit(random) * 1e300 : unit(random) * scale;
        f.bound = pick(random) == 0 ? 0.0 : std::fabs(unit(random)) * scale;
        if (pick(random) == 0 && pick(random) < 3) f.a = NAN;
        f.inverse = f.e != 0 ? 1 / f.e : 0;
    }
    for (int k = 0; k < line.n; k++)
        if (raw[k].e > 0) line.forms[line.rising++] = raw[k];
    for (int k = 0; k < line.n; k++)
        if (raw[k].e < 0) line.forms[line.rising + line.falling++] = raw[k];
    int at = line.rising + line.falling;
    for (int k = 0; k < line.n; k++)
        if (!(raw[k].e > 0) && !(raw[k].e < 0)) line.forms[at++] = raw[k];
    return line;
}

// certain_range: every form holds on every cell it returns. possible_range:
// every cell it leaves out has a form that surely fails there. Checked cell
// by cell against the forms' own values.
TEST(LineRanges, CertainCellsHoldEveryFormAndCutCellsSurelyFailOne) {
    std::mt19937_64 random(2);
    int certain_cells = 0, cut_cells = 0;
    for (int trial = 0; trial < 20000; trial++) {
        LineForms line = random_forms(random);
        int32_t length = 1 + (int32_t)(random() % 60);
        double i = (double)(random() % 50);
        int32_t lo, hi;
        certain_range(line.forms, i, line.n, line.rising, line.falling, length, &lo, &hi);
        for (int32_t j = std::max(lo, 0); j <= std::min(hi, length - 1); j++) {
            certain_cells++;
            for (int k = 0; k < line.n; k++)
                ASSERT_GE(line.forms[k].value(i, j), line.forms[k].bound) << "trial " << trial << " cell " << j;
        }
        possible_range(line.forms, i, line.n, line.rising, line.falling, length, &lo, &hi);
        for (int32_t j = 0; j < length; j++) {
            if (lo <= j && j <= hi) continue;
            cut_cells++;
            bool fails = false;
            for (int k = 0; k < line.n; k++) fails = fails || line.forms[k].value(i, j) < -line.forms[k].bound;
            ASSERT_TRUE(fails) << "trial " << trial << " cell " << j << " cut off without a failing form";
        }
    }
    EXPECT_GT(certain_cells, 10000) << "the trials reach certain cells";
    EXPECT_GT(cut_cells, 10000) << "and cut cells";
}

// A grid walk's thresholds rising along the line, slopes of either sign
// (the SSE2 walk takes only rows whose slopes run its way), bounds from
// nothing to wide.
struct GridCase {
    std::vector<double> above, below, bound_above, bound_below;
    std::vector<RunSlope> slope_above, slope_below;
    GridForms forms;
};

void random_grid(std::mt19937_64 &random, GridCase *c) {
    std::uniform_real_distribution<double> unit(-1, 1);
    int32_t count = 1 + (int32_t)(random() % 12);
    c->above.resize((size_t)count + 1);
    c->below.resize((size_t)count + 1);
    c->bound_above.resize((size_t)count + 1);
    c->bound_below.resize((size_t)count + 1);
    c->slope_above.resize((size_t)count + 1);
    c->slope_below.resize((size_t)count + 1);
    double boundary = unit(random);
    bool flip = random() % 7 == 0;
    for (int32_t b = 0; b <= count; b++) {
        boundary += std::fabs(unit(random)) * 0.5;
        double margin = std::fabs(unit(random)) * 1e-3;
        c->above[(size_t)b] = boundary + margin;
        c->below[(size_t)b] = boundary - margin;
        c->bound_above[(size_t)b] = std::fabs(unit(random)) * 1e-2;
        c->bound_below[(size_t)b] = std::fabs(unit(random)) * 1e-2;
        double rise = (0.01 + std::fabs(unit(random))) * (flip && b % 3 == 0 ? -1 : 1);
        c->slope_above[(size_t)b] = {rise, 1 / rise};
        c->slope_below[(size_t)b] = {-rise, -1 / rise};
        if (random() % 11 == 0) c->slope_below[(size_t)b] = {0, 0};
    }
    int32_t j0 = (int32_t)(random() % 20), end = j0 + (int32_t)(random() % 80);
    c->forms = {unit(random) * 3, 0.5 + std::fabs(unit(random)), c->above.data(), c->below.data(),
                c->slope_above.data(), c->slope_below.data(), c->bound_above.data(), c->bound_below.data(), count, j0,
                end};
    if (random() % 13 == 0) c->forms.g = NAN;
}

// The SSE2 walk against the scalar walk row by row: the same spans, in the
// same order, both ways along the grid.
TEST(GridSpans, SideBySideRowsGiveTheScalarRowsSpans) {
    std::mt19937_64 random(3);
    int spans = 0;
    for (int trial = 0; trial < 20000; trial++) {
        GridCase c;
        random_grid(random, &c);
        int32_t count = c.forms.count;
        for (int32_t step : {1, -1}) {
            int32_t first = step > 0 ? 0 : count - 1, stop = step > 0 ? count : -1;
            std::vector<RunSpan> fast((size_t)count + 1), scalar;
            int n = c.forms.inner_rows(first, stop, step, fast.data());
            for (int32_t r = first; r != stop; r += step) {
                RunSpan span;
                if (c.forms.row(r, &span)) scalar.push_back(span);
            }
            ASSERT_EQ((size_t)n, scalar.size()) << "trial " << trial << " step " << step;
            for (int k = 0; k < n; k++) {
                ASSERT_EQ(fast[(size_t)k].lo, scalar[(size_t)k].lo) << "trial " << trial;
                ASSERT_EQ(fast[(size_t)k].hi, scalar[(size_t)k].hi) << "trial " << trial;
                ASSERT_EQ(fast[(size_t)k].index, scalar[(size_t)k].index) << "trial " << trial;
            }
            spans += n;
        }
    }
    EXPECT_GT(spans, 20000) << "the trials find spans";
}

// Floats of every exponent, both signs: the least and greatest significand
// and some between, the powers of two (where the ulp halves below), zero,
// the smallest subnormal and the largest float.
std::vector<float> floats_of_every_exponent() {
    std::vector<float> values = {0.0f, -0.0f, FLT_TRUE_MIN, -FLT_TRUE_MIN, FLT_MAX, -FLT_MAX, FLT_MIN, -FLT_MIN};
    for (int e = -149; e <= 127; e++) {
        for (double m : {1.0, 1.0 + 0x1p-23, 1.2345678, 1.5, 2.0 - 0x1p-23}) {
            float x = (float)std::ldexp(m, e);
            if (!std::isfinite(x) || x == 0.0f) continue;
            values.push_back(x);
            values.push_back(-x);
        }
    }
    return values;
}

// (d): a double at least rho(b) above a float b rounds to a float above b;
// at least rho(b) below, to one below.
TEST(FloatStep, ClearsEveryFloatOfEveryExponent) {
    for (float b : floats_of_every_exponent()) {
        double step = float_step(b);
        EXPECT_GT((float)((double)b + step), b) << b;
        EXPECT_LT((float)((double)b - step), b) << b;
    }
}

// (d) with the mapping's division: a threshold b L + room(rho(b) L) over a
// length L gives a u = fl32(x / L) above b, for lengths from a thousandth to
// a thousand; likewise below.
TEST(FloatStep, GridThresholdsOverAnyLengthPutUOnTheirSide) {
    std::mt19937_64 random(4);
    std::uniform_real_distribution<double> exponent(-3, 3);
    int checked = 0;
    for (float b : floats_of_every_exponent()) {
        if (std::fabs(b) > 1e30f) continue; // b L must stay finite
        for (int k = 0; k < 8; k++) {
            double length = std::pow(10.0, exponent(random));
            double m = with_room(float_step(b) * length);
            double above = (double)b * length + m, below = (double)b * length - m;
            EXPECT_GT((float)(above / length), b) << b << " over " << length;
            EXPECT_LT((float)(below / length), b) << b << " over " << length;
            checked++;
        }
    }
    EXPECT_GT(checked, 8000);
}

// (b): the hit point the reference stores lies within R_c of the exact point
// of its ray on each axis, for rays whose |N.d| clears the den floor; the
// exact point is taken in long double.
TEST(HitPointError, CoversTheReferencesRoundingOfTheHitPoint) {
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> unit(-1, 1);
    int hits = 0;
    for (int trial = 0; trial < 200000; trial++) {
        double scale = std::pow(10.0, (double)(random() % 7) - 2);
        Vec3 origin = {(float)(unit(random) * scale), (float)(unit(random) * scale), (float)(unit(random) * scale)};
        Vec3 d = {(float)unit(random), (float)unit(random), (float)(0.2 + std::fabs(unit(random)))};
        float lengths = (float)std::sqrt((double)d.x * d.x + (double)d.y * d.y + (double)d.z * d.z);
        Vec3 normal = {0, 0, -1};
        if (random() % 2) {
            double nx = unit(random) * 0.3, ny = unit(random) * 0.3;
            double nl = std::sqrt(nx * nx + ny * ny + 1);
            normal = {(float)(nx / nl), (float)(ny / nl), (float)(-1 / nl)};
        }
        Polygon polygon = {};
        float height = (float)(scale * (0.5 + std::fabs(unit(random))));
        polygon.vertices[0] = {origin.x - 10 * (float)scale, origin.y - 10 * (float)scale, origin.z + height};
        polygon.normal = normal;
        double num = plane_numerator(&polygon, &origin);
        double den = ray_dot(&normal, &d);
        if (!(std::fabs(den) > GEOMETRY_EPSILON) || !(num / den >= GEOMETRY_EPSILON)) continue;
        // A box around the whole plane's part that can be met.
        PolygonBox box = {{-FLT_MAX, -FLT_MAX, -FLT_MAX}, {FLT_MAX, FLT_MAX, FLT_MAX}};
        Vec3 x;
        if (!ray_hits_box(&normal, num, &box, &origin, &d, &x)) continue;
        long double exact_num = (long double)normal.x * polygon.vertices[0].x +
                                (long double)normal.y * polygon.vertices[0].y +
                                (long double)normal.z * polygon.vertices[0].z -
                                ((long double)normal.x * origin.x + (long double)normal.y * origin.y +
                                 (long double)normal.z * origin.z);
        long double exact_den = (long double)normal.x * d.x + (long double)normal.y * d.y + (long double)normal.z * d.z;
        long double t = exact_num / exact_den;
        const float *o = &origin.x, *dd = &d.x, *xx = &x.x;
        double kappa = t_relative_error((double)lengths * 1.001, std::fabs(den) * 0.999);
        for (int a = 0; a < 3; a++) {
            long double exact = (long double)o[a] + t * (long double)dd[a];
            double error = (double)std::fabs((long double)xx[a] - exact);
            double bound = hit_point_error(std::fabs((double)xx[a]) * 1.001 + 1e-30, std::fabs((double)o[a]), kappa);
            ASSERT_LE(error, bound) << "trial " << trial << " axis " << a;
        }
        hits++;
    }
    EXPECT_GT(hits, 100000);
}

// The nearest-hit rule does not depend on the order in which hits are
// offered: it keeps the least (distance, polygon), equal distances to the
// lower index, and never takes a hit at FLT_MAX or beyond.
TEST(NearestHitRule, AnyOrderKeepsTheLeastDistanceThenTheLowerIndex) {
    std::mt19937_64 random(6);
    const float distances[] = {0.0f, 1.0f, 1.0f, nextafterf(1.0f, 2.0f), 3.5f, FLT_MAX, HUGE_VALF};
    for (int trial = 0; trial < 5000; trial++) {
        int n = 1 + (int)(random() % 9);
        std::vector<std::pair<float, int32_t>> hits;
        for (int k = 0; k < n; k++) hits.push_back({distances[random() % 7], (int32_t)(random() % 12)});
        std::pair<float, int32_t> least = {FLT_MAX, -1};
        for (const auto &h : hits)
            if (h.first < FLT_MAX && (least.second == -1 || h < least)) least = h;
        for (int order = 0; order < 4; order++) {
            std::shuffle(hits.begin(), hits.end(), random);
            float best_distance = FLT_MAX;
            int32_t best = -1;
            for (const auto &h : hits)
                if (nearer_hit(h.first, h.second, best_distance, best)) best_distance = h.first, best = h.second;
            ASSERT_EQ(best, least.second) << "trial " << trial;
            if (best != -1) ASSERT_EQ(best_distance, least.first);
        }
    }
}

} // namespace
