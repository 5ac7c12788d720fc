// The primitives the fast paths' bit identity rests on, each tested on its
// own and adversarially: values at both ends of a range, NaN and infinities,
// every exponent. The end-to-end comparisons with the reference loops
// (test_fast_paths.cpp) stay the final proof; these find a broken primitive
// where it breaks.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <algorithm>
#include <random>
#include <vector>

#include "formfactor/hemicube.h"
#include "formfactor/raycast.h"
#include "formfactor/rounding.h"
#include "formfactor/runcast_grid.h"
#include "formfactor/runcast_ranges.h"
#include "formfactor/settle.h"
#include "solver/compact_rows.h"
#include "solver/lanes.h"
#include "solver/solver.h"
#include "solver/terms.h"

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

// Settling in groups of eight, of four and one by one gives every cell
// vec3_sum's bytes and the same drift, whatever the cells hold (signed
// zeros, subnormals, huge values, infinities, NaN), at every count of
// pending moves (none: a relay's copy) and with groups starting anywhere,
// in place or from cells of another array (a relay's first pass).
TEST(SettleGroups, EveryWidthGivesVec3SumsBytesAndTheSameDrift) {
    std::mt19937_64 random(9);
    const float awkward[] = {0.0f, -0.0f, 1e-40f, -1e-40f, FLT_MAX, -FLT_MAX, HUGE_VALF, -HUGE_VALF, NAN, 1.0f, -3.5f};
    auto value = [&](bool special) {
        if (special && random() % 8 == 0) return awkward[random() % 11];
        return std::uniform_real_distribution<float>(-50, 50)(random);
    };
    int widths = settle_has_eight() ? 3 : 2, lost = 0;
    for (int trial = 0; trial < 600; trial++) {
        int32_t cells = (int32_t)(random() % 70), pending = (int32_t)(random() % (HEMICUBE_PENDING_MOVES + 1));
        bool special = trial % 3 == 0, rays = trial % 5 != 0, apart = trial % 2 == 1;
        std::vector<Vec3> start((size_t)cells), ray0((size_t)cells + 1), offsets((size_t)pending);
        for (Vec3 &c : start) c = {value(special), value(special), value(special)};
        for (Vec3 &r : ray0) r = {value(special), value(special), value(special)};
        for (Vec3 &o : offsets) o = {value(false) / 64, value(false) / 64, value(false) / 64};
        Vec3 centre = {value(false), value(false), value(false)};
        std::vector<Vec3> expected = start;
        for (Vec3 &c : expected)
            for (const Vec3 &o : offsets) vec3_sum(&c, &o, &c);

        std::vector<Vec3> got[3];
        SettleScan scans[3];
        for (int width = 0; width < widths; width++) {
            got[width] = start;
            if (apart && cells > 0) memset(got[width].data(), 0x7f, got[width].size() * sizeof(Vec3));
            float *to = cells > 0 ? &got[width][0].x : nullptr;
            SettleCells c = {apart && cells > 0 ? &start[0].x : to, to, rays ? &ray0[0].x : nullptr, cells,
                             pending > 0 ? offsets.data() : nullptr, pending, centre};
            scans[width] = {0.0f, false};
            int32_t k = 0;
            if (width == 2) k = settle_by_eight(&c, k, &scans[width]);
            if (width >= 1) k = settle_by_four(&c, k, &scans[width]);
            settle_one_by_one(&c, k, &scans[width]);
            if (cells > 0)
                ASSERT_EQ(memcmp(got[width].data(), expected.data(), expected.size() * sizeof(Vec3)), 0)
                    << "trial " << trial << " width " << width;
        }
        if (!rays) continue;
        // The drift is the largest component of |(cell - centre) - ray0|.
        double largest = 0;
        bool nan = false;
        for (int32_t k = 0; k < cells; k++) {
            const float *m = &expected[(size_t)k].x, *q = &centre.x, *r = &ray0[(size_t)k].x;
            for (int v = 0; v < 3; v++) {
                float gap = fabsf((m[v] - q[v]) - r[v]);
                nan = nan || gap != gap;
                if (gap == gap) largest = std::max(largest, (double)gap);
            }
        }
        lost += nan;
        for (int width = 0; width < widths; width++) {
            ASSERT_EQ(scans[width].lost, nan) << "trial " << trial << " width " << width;
            if (!nan) ASSERT_EQ(scans[width].largest, (float)largest) << "trial " << trial << " width " << width;
        }
    }
    EXPECT_GT(lost, 20) << "NaN gaps were met";
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

// --- the solver's four-lane terms -----------------------------------------------------

struct Bits {
    uint64_t state;
    uint32_t next() { // splitmix64, upper half
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return (uint32_t)((z ^ (z >> 31)) >> 32);
    }
    float any() { return float_of(next()); }
};

// Values at the ends of the float range and around 0, of both signs.
std::vector<float> special_floats() {
    const float positive[] = {0.0f, FLT_TRUE_MIN, 3 * FLT_TRUE_MIN, FLT_MIN - FLT_TRUE_MIN, FLT_MIN, 0.5f,
                              1.0f, 1.0f + FLT_EPSILON, 3.0f, 1.8446744e19f, FLT_MAX,
                              std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                              float_of(COMPACT_MARK), float_of(0x7F800001u) /* signalling */};
    std::vector<float> values;
    for (float x : positive) values.insert(values.end(), {x, -x});
    return values;
}

// Same float, or both NaN (which NaN comes out where two meet is the
// processor's choice, lanes.h).
::testing::AssertionResult same_float(float expected, float got) {
    if (bits_of(expected) == bits_of(got) || (std::isnan(expected) && std::isnan(got)))
        return ::testing::AssertionSuccess();
    char text[96];
    snprintf(text, sizeof text, "expected %a (0x%08x), got %a (0x%08x)", (double)expected, bits_of(expected),
             (double)got, bits_of(got));
    return ::testing::AssertionFailure() << text;
}

// ======================================================================================
// The solver's primitives: the four-lane terms, the compact rows, the skip rule.
// ======================================================================================

// One term in each lane from (sum, form factor, reflectance, radiosity),
// against add_term(sum, matrix_element(f, rho), b) lane by lane.
void expect_lanes_match(const float sum[4], const float f[4], const float rho[4], const float b[4]) {
    LaneSums s = start_lanes(_mm_loadu_ps(sum));
    __m128 bv = _mm_loadu_ps(b);
    add_lane_terms(&s, _mm_loadu_ps(f), _mm_loadu_ps(rho), _mm_cvtps_pd(bv), _mm_cvtps_pd(_mm_movehl_ps(bv, bv)));
    float got[4];
    _mm_storeu_ps(got, lane_values(s));
    for (int j = 0; j < 4; j++)
        EXPECT_TRUE(same_float(add_term(sum[j], matrix_element(f[j], rho[j]), b[j]), got[j]))
            << "lane " << j << std::hexfloat << ": " << sum[j] << " + (" << f[j] << " * " << rho[j] << ") * " << b[j];
}

TEST(SolverLanes, EveryCombinationOfSpecialValuesInEveryLane) {
    std::vector<float> v = special_floats();
    size_t m = v.size(), count = m * m * m * m;
    // Tuple i goes to lane i % 4, so each lane meets every tuple's neighbours.
    for (size_t i = 0; i < count; i += 4) {
        float sum[4], f[4], rho[4], b[4];
        for (size_t j = 0; j < 4; j++) {
            size_t t = (i + j) % count;
            sum[j] = v[t % m], f[j] = v[t / m % m], rho[j] = v[t / m / m % m], b[j] = v[t / m / m / m];
        }
        expect_lanes_match(sum, f, rho, b);
        if (HasFailure()) return;
    }
}

TEST(SolverLanes, RandomBitPatternsAndChainsMatchTheScalarChain) {
    Bits bits = {19};
    for (int i = 0; i < 200000 && !HasFailure(); i++) {
        float sum[4], f[4], rho[4], b[4];
        for (int j = 0; j < 4; j++) sum[j] = bits.any(), f[j] = bits.any(), rho[j] = bits.any(), b[j] = bits.any();
        expect_lanes_match(sum, f, rho, b);
    }
    // Chains of 64 terms of moderate values: the sum held as a double between
    // terms must be the float the scalar chain stores.
    for (int chain = 0; chain < 2000 && !HasFailure(); chain++) {
        float start[4], scalar[4], rho[4];
        for (int j = 0; j < 4; j++) start[j] = scalar[j] = (float)(bits.next() % 1000) / 7.0f, rho[j] = 0.9f;
        LaneSums s = start_lanes(_mm_loadu_ps(start));
        for (int t = 0; t < 64; t++) {
            float f[4], b[4];
            for (int j = 0; j < 4; j++) {
                f[j] = (float)(bits.next() % 100000) * 1e-7f;
                b[j] = float_of(0x30000000u + bits.next() % 0x1C000000u); // 2^-31 .. 2^25
                scalar[j] = add_term(scalar[j], matrix_element(f[j], rho[j]), b[j]);
            }
            __m128 bv = _mm_loadu_ps(b);
            add_lane_terms(&s, _mm_loadu_ps(f), _mm_loadu_ps(rho), _mm_cvtps_pd(bv), _mm_cvtps_pd(_mm_movehl_ps(bv, bv)));
        }
        float got[4];
        _mm_storeu_ps(got, lane_values(s));
        for (int j = 0; j < 4; j++) EXPECT_TRUE(same_float(scalar[j], got[j])) << "chain " << chain << " lane " << j;
    }
}

// Four compact rows' terms, each lane reading its own slot, in every channel
// mask: the channels in the mask match the scalar term, the others are left.
template <int CHANNELS>
void check_quad_terms(Bits *bits) {
    float radiosity[3 * 8];
    for (float &x : radiosity) x = bits->any();
    FormFactorTerm e[4];
    LaneSums s[3];
    __m128 rho[3];
    float sum[3][4], r[3][4];
    for (int j = 0; j < 4; j++) e[j] = {3 * (bits->next() % 8), bits->any()};
    for (int c = 0; c < 3; c++) {
        for (int j = 0; j < 4; j++) sum[c][j] = bits->any(), r[c][j] = bits->any();
        s[c] = start_lanes(_mm_loadu_ps(sum[c]));
        rho[c] = _mm_loadu_ps(r[c]);
    }
    add_quad_terms<CHANNELS>(s, rho, radiosity, &e[0], &e[1], &e[2], &e[3]);
    for (int c = 0; c < 3; c++) {
        float got[4];
        _mm_storeu_ps(got, lane_values(s[c]));
        for (int j = 0; j < 4; j++) {
            float want = CHANNELS >> c & 1 ? add_term(sum[c][j], matrix_element(e[j].value, r[c][j]), radiosity[e[j].slot + (uint32_t)c])
                                           : sum[c][j];
            EXPECT_TRUE(same_float(want, got[j])) << "mask " << CHANNELS << " channel " << c << " lane " << j;
        }
    }
}

TEST(SolverLanes, QuadTermsTakeEachLanesSlotInTheChannelsAsked) {
    Bits bits = {7};
    for (int i = 0; i < 2000 && !HasFailure(); i++) {
        check_quad_terms<1>(&bits), check_quad_terms<2>(&bits), check_quad_terms<3>(&bits);
        check_quad_terms<4>(&bits), check_quad_terms<5>(&bits), check_quad_terms<6>(&bits), check_quad_terms<7>(&bits);
    }
}

TEST(SolverLanes, NonzeroAndUncleanLanesAgreeWithTheScalarTests) {
    std::vector<float> v = special_floats();
    Bits bits = {3};
    for (int i = 0; i < 100000; i++) {
        float x[4];
        for (int j = 0; j < 4; j++) x[j] = i < 5000 ? v[bits.next() % v.size()] : bits.any();
        __m128i lanes = _mm_loadu_si128((const __m128i *)x);
        int unclean = _mm_movemask_ps(_mm_castsi128_ps(unclean_lanes(lanes)));
        for (int j = 0; j < 4; j++) {
            ASSERT_EQ(nonzero_lanes(lanes) >> j & 1, bits_of(x[j]) != 0 ? 1 : 0) << std::hex << bits_of(x[j]);
            ASSERT_EQ(unclean >> j & 1, is_clean_entry(x[j]) ? 0 : 1) << std::hex << bits_of(x[j]);
            ASSERT_EQ(is_clean_entry(x[j]), bits_of(x[j]) == 0 || (x[j] > 0 && x[j] <= FLT_MAX));
        }
    }
}

// --- the compact row format ------------------------------------------------------------

// A row of n entries, about one in `one_in` not +0, drawn from the special
// values (so -0, NaN, infinities and negatives are among them).
std::vector<float> random_row(Bits *bits, size_t n, uint32_t one_in) {
    std::vector<float> v = special_floats(), row(n, 0.0f);
    for (float &x : row)
        if (bits->next() % one_in == 0) x = bits->next() % 2 ? v[bits->next() % v.size()] : 0.25f;
    return row;
}

// Stores `scratch` as row r both ways (densely read, and as a list of
// entries with +0s among them) and checks what view_row gives back.
void check_round_trip(const std::vector<float> &scratch, size_t r) {
    size_t n = scratch.size(), nonzero = 0;
    bool clean = true, quiet = true;
    std::vector<RowEntry> entries;
    for (size_t k = 0; k < n; k++) {
        if (bits_of(scratch[k]) == 0) {
            if (k % 3 == 0) entries.push_back({(uint32_t)k, 0.0f});
            continue;
        }
        nonzero++;
        clean = clean && is_clean_entry(scratch[k]);
        quiet = quiet && (k + QUIET_REACH < r || k > r + QUIET_REACH);
        entries.push_back({(uint32_t)k, scratch[k]});
    }
    EXPECT_EQ(dense_row_is_clean(scratch.data(), n), clean);
    bool fits = n >= 4 && 2 * nonzero + 4 <= n;
    std::vector<float> row(n + 1, float_of(0x12345678u)), listed(n + 1, float_of(0x9ABCDEF0u));
    size_t used = store_row(row.data(), scratch.data(), r, n, false);
    ASSERT_EQ(used, fits ? 2 * nonzero + 4 : n);
    ASSERT_EQ(stored_row_floats(entries.data(), entries.size(), n), used);
    ASSERT_EQ(store_row_entries(listed.data(), entries.data(), entries.size(), r, n), used);
    ASSERT_EQ(memcmp(row.data(), listed.data(), used * sizeof(float)), 0) << "both stores give the same floats";

    RowView view = view_row(row.data(), r, n);
    ASSERT_EQ(view.compact, fits);
    EXPECT_EQ(view.quiet, quiet);
    if (!fits) {
        ASSERT_EQ(view.dense, row.data());
        for (size_t k = 0; k < n; k++) {
            uint32_t want = k == 0 && bits_of(scratch[0]) == COMPACT_MARK ? DEFAULT_NAN : bits_of(scratch[k]);
            ASSERT_EQ(bits_of(row[k]), want) << "column " << k;
        }
        EXPECT_TRUE(n == 0 || bits_of(row[0]) != COMPACT_MARK);
        return;
    }
    EXPECT_EQ(view.clean, clean);
    EXPECT_EQ(compact_row_fault(view, r, n), nullptr);
    ASSERT_EQ(view.count, nonzero);
    size_t t = 0;
    for (size_t k = 0; k < n; k++) {
        if (bits_of(scratch[k]) == 0) continue;
        ASSERT_EQ(view.terms[t].slot, 3 * k);
        ASSERT_EQ(bits_of(view.terms[t].value), bits_of(scratch[k])) << "column " << k;
        t++;
    }
    EXPECT_EQ(view.terms[t].slot, 0u);
    EXPECT_EQ(bits_of(view.terms[t].value), 0u) << "the sentinel is +0";
}

TEST(CompactRows, RoundTripKeepsEveryEntryThatIsNotPlusZero) {
    Bits bits = {11};
    const size_t sizes[] = {0, 1, 3, 4, 5, 6, 7, 8, 9, 13, 64, 67, 200};
    const uint32_t one_in[] = {1, 2, 3, 4, 8, 1000};
    for (size_t n : sizes)
        for (uint32_t density : one_in)
            for (int turn = 0; turn < 20 && !HasFailure(); turn++) {
                size_t r = n == 0 ? 0 : bits.next() % n;
                SCOPED_TRACE("n " + std::to_string(n) + " row " + std::to_string(r));
                check_round_trip(random_row(&bits, n, density), r);
            }
}

// At the edge of fitting, in the four-at-a-time part and in the tail, and
// with the entries next to the diagonal that decide the quiet flag.
TEST(CompactRows, RowsAtTheEdgeOfFittingAndTheQuietReach) {
    for (size_t n : {8, 9, 10, 11, 12, 33, 64}) {
        size_t most = (n - 4) / 2;
        for (size_t extra : {0, 1}) {
            for (size_t first : {(size_t)0, (size_t)1, n - (most + extra)}) {
                std::vector<float> row(n, 0.0f);
                for (size_t i = 0; i < most + extra; i++) row[first + i] = 0.5f;
                SCOPED_TRACE("n " + std::to_string(n) + " terms " + std::to_string(most + extra));
                for (size_t r : {(size_t)0, first, n / 2, n - 1}) check_round_trip(row, r);
            }
        }
        // A -0 on either side of row 4, 0 to 4 columns away.
        for (size_t gap = 0; gap <= QUIET_REACH + 1; gap++)
            for (size_t k : {4 - gap, 4 + gap}) {
                if (k >= n) continue;
                std::vector<float> row(n, 0.0f);
                row[k] = -0.0f;
                check_round_trip(row, 4);
            }
    }
}

TEST(CompactRows, RowStoredInPlaceStaysDenseAndNeverStartsWithTheMark) {
    std::vector<float> row(16, 0.0f);
    row[0] = float_of(COMPACT_MARK);
    EXPECT_EQ(store_row(row.data(), row.data(), 15, 16, true), 16u);
    EXPECT_EQ(bits_of(row[0]), DEFAULT_NAN);
    EXPECT_FALSE(view_row(row.data(), 15, 16).compact);
}

// Each fault the sanitizer build looks for is found.
TEST(CompactRows, FaultsOfACompactRowAreFound) {
    std::vector<float> scratch(32, 0.0f), row(32);
    scratch[10] = 0.25f, scratch[20] = 0.5f;
    ASSERT_EQ(store_row(row.data(), scratch.data(), 0, 32, false), 8u);
    const struct {
        const char *fault;
        void (*spoil)(FormFactorTerm *terms, float *row);
    } cases[] = {
        {"compact row columns out of order", [](FormFactorTerm *t, float *) { t[1].slot = t[0].slot; }},
        {"compact row lists a +0", [](FormFactorTerm *t, float *) { t[0].value = 0.0f; }},
        {"compact row sentinel", [](FormFactorTerm *t, float *) { t[2].value = 1.0f; }},
        {"compact row unclean flag", [](FormFactorTerm *t, float *) { t[0].value = -0.25f; }},
        {"compact row quiet flag", [](FormFactorTerm *t, float *) { t[0].slot = 3; }},
        {"compact row overflows its block", [](FormFactorTerm *, float *r) { r[1] = float_of(bits_of(r[1]) + 20); }},
    };
    for (const auto &c : cases) {
        std::vector<float> spoilt = row;
        c.spoil((FormFactorTerm *)(spoilt.data() + 2), spoilt.data());
        const char *found = compact_row_fault(view_row(spoilt.data(), 0, 32), 0, 32);
        EXPECT_STREQ(found, c.fault);
    }
    EXPECT_EQ(compact_row_fault(view_row(row.data(), 0, 32), 0, 32), nullptr);
}

// --- the "skip the zeros" rule ----------------------------------------------------------

// A zero term leaves the sum as it is exactly when the radiosity is finite
// and not (the sum is -0 and the product +0): -0 + +0 is +0.
TEST(SkipTheZeros, AZeroTermChangesTheSumOnlyAtMinusZeroOrANonFiniteRadiosity) {
    std::vector<float> v = special_floats();
    for (float sum : v)
        for (float element : {0.0f, -0.0f})
            for (float b : v) {
                if (std::isnan(sum)) continue;
                float product = element * b;
                bool kept = std::isfinite(b) && !(is_negative_zero(sum) && bits_of(product) == 0);
                EXPECT_EQ(bits_of(add_term(sum, element, b)) == bits_of(sum), kept)
                    << std::hexfloat << sum << " + " << element << " * " << b;
            }
}

// The premise of skipping: with clean entries, reflectances and radiosities,
// a sum that is not -0 never turns -0 or negative (at most +infinity).
TEST(SkipTheZeros, CleanTermsNeverMakeASumNegativeOrMinusZero) {
    Bits bits = {5};
    auto clean = [&bits]() { return float_of(bits.next() % FIRST_UNCLEAN_BITS); };
    for (int i = 0; i < 1000000; i++) {
        float sum = clean(), f = clean(), rho = clean(), b = clean();
        float v = add_term(sum, matrix_element(f, rho), b);
        ASSERT_LT(bits_of(v), 0x80000000u) << std::hexfloat << sum << " " << f << " " << rho << " " << b;
    }
}

// A row whose emission is -0 in a channel: the reference's first zero term
// turns it into +0, so the run's solver must not skip there, compact rows
// or dense, alone or four side by side.
TEST(SkipTheZeros, MinusZeroEmissionIsSummedTermByTerm) {
    for (int32_t n : {8, 40}) {
        Polygon polys[2];
        memset(polys, 0, sizeof polys);
        polys[0].patches_u = 1, polys[0].patches_v = n - 1;
        polys[1].patches_u = polys[1].patches_v = 1;
        for (int c = 0; c < 3; c++) polys[0].reflectance[c] = 0.5f, polys[1].emission[c] = 1.0f;
        polys[0].emission[1] = -0.0f;
        std::vector<float> ff((size_t)n * (size_t)n, 0.0f);
        // The even rows of the first polygon see the emitter, the odd ones
        // nothing (so no term but the zero ones turns their -0 into +0); at
        // 8 patches rows 0 and 2 also see patches 4-6 and are too full to
        // store compactly.
        for (size_t r = 0; r + 1 < (size_t)n; r += 2) {
            ff[r * (size_t)n + (size_t)(n - 1)] = 0.1f;
            for (size_t k = 4; n == 8 && r < 4 && k < 7; k++) ff[r * (size_t)n + k] = 0.05f;
        }
        FILE *file = tmpfile();
        fwrite(ff.data(), sizeof(float), ff.size(), file);
        size_t size = (size_t)n;
        std::vector<float> reference(3 * size), fast(3 * size), emission(3 * size), block(size * size);
        std::vector<float *> table;
        for (size_t r = 0; r < size; r++) table.push_back(&block[r * size]);
        int32_t reference_sweeps[3], sweeps[3];
        solve_channels_reference(table.data(), reference.data(), emission.data(), n, polys, 2, file, 0.5,
                                 reference_sweeps);
        rewind(file);
        read_form_factor_matrix(table.data(), emission.data(), n, polys, 2, file);
        EXPECT_EQ(solve_radiosity_channels(table.data(), fast.data(), emission.data(), n, polys, 2, 0.5, sweeps), -1);
        fclose(file);
        EXPECT_EQ(memcmp(reference.data(), fast.data(), fast.size() * sizeof(float)), 0) << "n " << n;
        EXPECT_FALSE(std::signbit(fast[3 * 1 + 1])) << "green of patch 1 is +0, as in the reference";
        for (int c = 0; c < 3; c++) EXPECT_EQ(sweeps[c], reference_sweeps[c]);
    }
}

} // namespace
