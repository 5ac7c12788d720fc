// Settling cells in groups of four (SSE2) or eight (AVX2), and one by one
// for the rest (see settle.h).
#include <immintrin.h>

#include <cmath>

#include "formfactor/hemicube.h"
#include "formfactor/settle.h"

namespace {

// The component of float `f` of a group: cells are x y z x y z ...
float component(const Vec3 &v, int32_t f) {
    const float c[3] = {v.x, v.y, v.z};
    return c[f % 3];
}

} // namespace

int32_t settle_by_four(const SettleCells *c, int32_t from, SettleScan *scan) {
    __m128 shift[HEMICUBE_PENDING_MOVES][3], origin[3];
    for (int32_t p = 0; p < c->pending; p++)
        for (int v = 0; v < 3; v++)
            shift[p][v] = _mm_setr_ps(component(c->offsets[p], 4 * v), component(c->offsets[p], 4 * v + 1),
                                      component(c->offsets[p], 4 * v + 2), component(c->offsets[p], 4 * v + 3));
    for (int v = 0; v < 3; v++)
        origin[v] = _mm_setr_ps(component(c->centre, 4 * v), component(c->centre, 4 * v + 1),
                                component(c->centre, 4 * v + 2), component(c->centre, 4 * v + 3));
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 largest = _mm_set1_ps(scan->largest), unordered = _mm_setzero_ps();
    int32_t k = from;
    for (; k + 4 <= c->cells; k += 4) {
        const float *in = c->source + 3 * k;
        float *at = c->cell + 3 * k;
        __m128 moved[3] = {_mm_loadu_ps(in), _mm_loadu_ps(in + 4), _mm_loadu_ps(in + 8)};
        for (int32_t p = 0; p < c->pending; p++)
            for (int v = 0; v < 3; v++) moved[v] = _mm_add_ps(moved[v], shift[p][v]);
        for (int v = 0; v < 3; v++) {
            _mm_storeu_ps(at + 4 * v, moved[v]);
            if (c->ray0 == nullptr) continue;
            __m128 gap = _mm_and_ps(_mm_sub_ps(_mm_sub_ps(moved[v], origin[v]), _mm_loadu_ps(c->ray0 + 3 * k + 4 * v)),
                                    magnitude);
            largest = _mm_max_ps(largest, gap);
            unordered = _mm_or_ps(unordered, _mm_cmpunord_ps(gap, gap));
        }
    }
    float lanes[4];
    _mm_storeu_ps(lanes, largest);
    scan->largest = fmaxf(fmaxf(lanes[0], lanes[1]), fmaxf(lanes[2], lanes[3]));
    scan->lost = scan->lost || _mm_movemask_ps(unordered) != 0;
    return k;
}

__attribute__((target("avx2"))) int32_t settle_by_eight(const SettleCells *c, int32_t from, SettleScan *scan) {
    __m256 shift[HEMICUBE_PENDING_MOVES][3], origin[3];
    for (int32_t p = 0; p < c->pending; p++)
        for (int v = 0; v < 3; v++) {
            float lane[8];
            for (int32_t l = 0; l < 8; l++) lane[l] = component(c->offsets[p], 8 * v + l);
            shift[p][v] = _mm256_loadu_ps(lane);
        }
    for (int v = 0; v < 3; v++) {
        float lane[8];
        for (int32_t l = 0; l < 8; l++) lane[l] = component(c->centre, 8 * v + l);
        origin[v] = _mm256_loadu_ps(lane);
    }
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    __m256 largest = _mm256_set1_ps(scan->largest), unordered = _mm256_setzero_ps();
    int32_t k = from;
    for (; k + 8 <= c->cells; k += 8) {
        const float *in = c->source + 3 * k;
        float *at = c->cell + 3 * k;
        __m256 moved[3] = {_mm256_loadu_ps(in), _mm256_loadu_ps(in + 8), _mm256_loadu_ps(in + 16)};
        for (int32_t p = 0; p < c->pending; p++)
            for (int v = 0; v < 3; v++) moved[v] = _mm256_add_ps(moved[v], shift[p][v]);
        for (int v = 0; v < 3; v++) {
            _mm256_storeu_ps(at + 8 * v, moved[v]);
            if (c->ray0 == nullptr) continue;
            __m256 gap = _mm256_and_ps(
                _mm256_sub_ps(_mm256_sub_ps(moved[v], origin[v]), _mm256_loadu_ps(c->ray0 + 3 * k + 8 * v)), magnitude);
            largest = _mm256_max_ps(largest, gap);
            unordered = _mm256_or_ps(unordered, _mm256_cmp_ps(gap, gap, _CMP_UNORD_Q));
        }
    }
    float lanes[8];
    _mm256_storeu_ps(lanes, largest);
    float most = lanes[0];
    for (int32_t l = 1; l < 8; l++) most = fmaxf(most, lanes[l]);
    scan->largest = most;
    scan->lost = scan->lost || _mm256_movemask_ps(unordered) != 0;
    return k;
}

// Asked at each settling (a test of a word libgcc fills at start-up), so that
// the stage keeps no state of its own.
bool settle_has_eight() { return __builtin_cpu_supports("avx2") != 0; }

void settle_one_by_one(const SettleCells *c, int32_t from, SettleScan *scan) {
    const float q[3] = {c->centre.x, c->centre.y, c->centre.z};
    for (int32_t k = from; k < c->cells; k++) {
        float *m = c->cell + 3 * k;
        for (int v = 0; v < 3; v++) m[v] = c->source[3 * k + v];
        for (int32_t p = 0; p < c->pending; p++) {
            const Vec3 &o = c->offsets[p];
            m[0] = m[0] + o.x;
            m[1] = m[1] + o.y;
            m[2] = m[2] + o.z;
        }
        if (c->ray0 == nullptr) continue;
        for (int v = 0; v < 3; v++) {
            float gap = fabsf((m[v] - q[v]) - c->ray0[3 * k + v]);
            if (!(gap <= scan->largest)) {
                scan->lost = scan->lost || gap != gap;
                scan->largest = fmaxf(scan->largest, gap);
            }
        }
    }
}
