// Resolving all cells of the hemicube at once, with the reference's results.
//
// The reference tests every cell's ray against every polygon and keeps the
// nearest hit. Here the polygons are taken nearest first, and each is tested
// only against the cells whose rays can meet it and that have not yet seen
// something nearer:
//
// 1. Per patch, a polygon whose plane holds the hemicube centre (t = 0 for
//    every ray), or whose widened bounding box lies wholly behind the patch's
//    plane, is dropped. The rest are sorted by a lower bound on the distance
//    of any hit point they can give.
// 2. A polygon's widened box, clipped to the part in front of a hemicube face,
//    is projected onto that face; only the cells of the projected rectangle
//    (widened by the measured deviation of the cells from their nominal grid)
//    are tested.
// 3. A cell whose best distance so far is below a polygon's lower bound skips
//    the polygon; a tile of cells, a face, or the whole hemicube whose
//    farthest best distance is below it skips it as a whole, and once the
//    hemicube does, every later polygon is skipped too.
//
// Every exact test is the reference's own arithmetic on the same values
// (den, t, the rounded hit point, the box test with its eps slack, the
// distance rounded to single precision), and the nearest hit is the
// lexicographic minimum of (distance, polygon index), which is what the
// reference's strict comparison in index order gives. The culls above are
// conservative: each drops only polygons that either cannot pass the box test
// for the cell's ray or cannot have a distance equal to or below the best
// already found. The same-normal rule and the patch lookup are applied to the
// nearest hit only, after all polygons, as in the reference.
//
// Margins (rounding.h). A hit point X passes the box test within eps of the
// box; the point of the ray it stands for lies within a rounding of X, so in
// the polygon's box widened by hit_box_margin (CastPolygon's lo and hi).
// Cells drift from their laid-out grid as the moves add offsets in single
// precision; the drift (largest component change of any cell ray since
// placement, measured by hemicube_settle, which runs before every row here)
// widens the projected rectangles. When it is not small the projection is not
// used at all.
//
// State: the worker's CullScratch (candidates, order, per-cell bests, tiles,
// the placement's frame and per-face figures) and its hemicube; the scene's
// tables are only read.
//
// The patch lookup binary-searches the grid's row and column boundaries,
// which are running sums (each row's end is the next row's start, never
// decreasing); that gives the reference's linear scan's answer, since at most
// one open row and one open column interval can hold a value. A polygon whose
// grid does not chain that way falls back to the linear scan.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/errors.h"
#include "formfactor/bvh.h"
#include "formfactor/cellcast.h"
#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "formfactor/raycast.h"
#include "formfactor/rounding.h"
#include "geometry/patches.h"

namespace {

// Local axes are u (along p0->p1), v (along p0->p3) and the normal n. Each
// face picks (depth, P, Q) among them with signs, following the cell layout
// of hemicube_place: top (n; v, u), side 1 (u; v, -n), side 2 (-u; -v, -n),
// side 3 (-v; u, -n), side 4 (v; -u, -n).
const int FACE_AXIS[5][3] = {{2, 1, 0}, {0, 1, 2}, {0, 1, 2}, {1, 0, 2}, {1, 0, 2}};
const double FACE_SIGN[5][3] = {{1, 1, 1}, {1, 1, -1}, {-1, -1, -1}, {-1, 1, -1}, {1, -1, -1}};

// Cells per tile edge: a tile is skipped as a whole by a polygon that lies
// beyond the farthest best distance of its cells. Small tiles keep a far
// node of the hierarchy from being taken because one cell of a large tile
// still sees far (the horizon cells of a wide hall): at 2 a hall of 1,000
// boxes visits 40 % fewer nodes than at 8 and makes its rows 1.5 times as
// fast; at 1 the tiles' upkeep costs more than it saves.
const int32_t TILE = 2;

// Largest drift of the cell rays since placement for which the projection is
// used; far above what single-precision offsets add up to on real scenes.
const double MAX_DRIFT = 1e-3;

double local(const double axis[3], const double r[3]) { return axis[0] * r[0] + axis[1] * r[1] + axis[2] * r[2]; }

// The placement data: the polygon's frame and, per face, how far the
// projected placement rays lie from their nominal grid.
void measure_placement(CullScratch *s, const Hemicube *h, const FormFactorScene *scene) {
    const Polygon *polygon = &scene->polygons[h->current_polygon];
    const Vec3 *p = polygon->vertices;
    double e1[3] = {(double)p[1].x - (double)p[0].x, (double)p[1].y - (double)p[0].y, (double)p[1].z - (double)p[0].z};
    double e3[3] = {(double)p[3].x - (double)p[0].x, (double)p[3].y - (double)p[0].y, (double)p[3].z - (double)p[0].z};
    double l1 = sqrt(local(e1, e1)), l3 = sqrt(local(e3, e3));
    for (int c = 0; c < 3; c++) {
        s->frame[0][c] = e1[c] / l1;
        s->frame[1][c] = e3[c] / l3;
    }
    s->frame[2][0] = polygon->normal.x;
    s->frame[2][1] = polygon->normal.y;
    s->frame[2][2] = polygon->normal.z;

    const Vec3 *rays = h->hemicube_placement_rays;
    int32_t cells = h->hemicube_cell_count;
    s->lowest_height0 = DBL_MAX;
    for (int32_t k = 0; k < cells; k++) {
        double r[3] = {rays[k].x, rays[k].y, rays[k].z};
        s->lowest_height0 = std::min(s->lowest_height0, local(s->frame[2], r));
    }

    double step = (double)h->hemicube_pixel_size;
    double c0 = (float)(step / 2.0 - 1.0);
    for (int f = 0; f < 5; f++) {
        CullFace &face = s->faces[f];
        face.deviation0 = 0;
        face.min_depth0 = DBL_MAX;
        face.min_cosine0 = DBL_MAX;
        for (int32_t i = 0; i < face.cells_i; i++) {
            for (int32_t j = 0; j < face.cells_j; j++) {
                const Vec3 &d = rays[face.base + i * face.stride_i + j];
                double r[3] = {d.x, d.y, d.z};
                double depth = FACE_SIGN[f][0] * local(s->frame[FACE_AXIS[f][0]], r);
                double pp = FACE_SIGN[f][1] * local(s->frame[FACE_AXIS[f][1]], r) / depth;
                double qq = FACE_SIGN[f][2] * local(s->frame[FACE_AXIS[f][2]], r) / depth;
                double deviation = std::max(fabs(pp - (c0 + i * step)), fabs(qq - (c0 + j * step)));
                if (!(deviation <= face.deviation0)) face.deviation0 = deviation; // NaN sticks
                face.min_depth0 = std::min(face.min_depth0, depth);
                face.min_cosine0 = std::min(face.min_cosine0, depth / sqrt(local(r, r)));
            }
        }
    }
    s->layout_placement = h->hemicube_placements;
}

// Best distances of the tile's cells have changed: its farthest and its face's.
void refresh_tile(CullScratch *s, int f, int32_t ti, int32_t tj) {
    const CullFace &face = s->faces[f];
    float farthest = 0.0f;
    int32_t i_end = std::min(face.cells_i, (ti + 1) * TILE), j_end = std::min(face.cells_j, (tj + 1) * TILE);
    for (int32_t i = ti * TILE; i < i_end; i++)
        for (int32_t j = tj * TILE; j < j_end; j++)
            farthest = std::max(farthest, s->best_distance[face.base + i * face.stride_i + j]);
    s->tile_farthest[face.first_tile + ti * face.tiles_j + tj] = farthest;
    float face_max = 0.0f;
    for (int32_t t = 0; t < face.tiles_i * face.tiles_j; t++)
        face_max = std::max(face_max, s->tile_farthest[face.first_tile + t]);
    s->face_farthest[f] = face_max;
}

// The reference's test of one cell's ray against polygon q, and the nearest
// hit rule. Returns true when the cell's best changed.
inline bool test_cell(CullScratch *s, int32_t k, int32_t q, const CastPolygon *cp, double numerator, const Vec3 &o) {
    Vec3 x;
    if (!ray_hits_box(&cp->normal, numerator, &cp->box, &o, &s->cell_rays[k], &x)) return false;
    float distance = hit_distance(&o, &x);
    if (!nearer_hit(distance, q, s->best_distance[k], s->best_polygon[k])) return false;
    s->best_distance[k] = distance;
    s->best_polygon[k] = q;
    s->best_point[k] = x;
    return true;
}

// Tests candidate c (polygon q) against the cells [i0, i1] x [j0, j1] of face
// f, tile by tile.
void scan_face(CullScratch *s, const FormFactorScene *scene, int f, int32_t i0, int32_t i1, int32_t j0, int32_t j1,
               int32_t q, const CullCandidate &c, const Vec3 &o) {
    const CullFace &face = s->faces[f];
    const CastPolygon *cp = &scene->cast[q];
    double bound = c.lower_bound;
    for (int32_t ti = i0 / TILE; ti <= i1 / TILE; ti++) {
        for (int32_t tj = j0 / TILE; tj <= j1 / TILE; tj++) {
            if (bound > (double)s->tile_farthest[face.first_tile + ti * face.tiles_j + tj]) continue;
            bool changed = false;
            int32_t i_end = std::min(i1, ti * TILE + TILE - 1), j_end = std::min(j1, tj * TILE + TILE - 1);
            for (int32_t i = std::max(i0, ti * TILE); i <= i_end; i++) {
                int32_t row = face.base + i * face.stride_i;
                for (int32_t j = std::max(j0, tj * TILE); j <= j_end; j++) {
                    int32_t k = row + j;
                    if (bound > (double)s->best_distance[k]) continue;
                    s->counters.ray_tests++;
                    if (test_cell(s, k, q, cp, c.numerator, o)) changed = true;
                }
            }
            if (changed) refresh_tile(s, f, ti, tj);
        }
    }
}

// The cells of face f whose rays can meet the candidate's widened box: the box
// clipped to depth >= clip, projected, widened by `slack`. False when none.
bool projected_range(const CullScratch *s, double step, int f, const double corner[8][3], double clip, double slack,
                     int32_t range[4]) {
    const CullFace &face = s->faces[f];
    int ad = FACE_AXIS[f][0], ap = FACE_AXIS[f][1], aq = FACE_AXIS[f][2];
    double sd = FACE_SIGN[f][0], sp = FACE_SIGN[f][1], sq = FACE_SIGN[f][2];
    double depth[8], pp[8], qq[8];
    bool front[8];
    bool any = false;
    for (int c = 0; c < 8; c++) {
        depth[c] = sd * corner[c][ad];
        pp[c] = sp * corner[c][ap];
        qq[c] = sq * corner[c][aq];
        front[c] = depth[c] >= clip;
        any = any || front[c];
    }
    if (!any) return false;
    double p_low = DBL_MAX, p_high = -DBL_MAX, q_low = DBL_MAX, q_high = -DBL_MAX;
    for (int c = 0; c < 8; c++) {
        if (!front[c]) continue;
        double a = pp[c] / depth[c], b = qq[c] / depth[c];
        p_low = std::min(p_low, a);
        p_high = std::max(p_high, a);
        q_low = std::min(q_low, b);
        q_high = std::max(q_high, b);
    }
    // Box edges join corners that differ in one bit; an edge crossing the
    // clipping plane adds its crossing point.
    for (int c = 0; c < 8; c++) {
        for (int bit = 1; bit < 8; bit <<= 1) {
            int e = c | bit;
            if (e == c || front[c] == front[e]) continue;
            double w = (clip - depth[c]) / (depth[e] - depth[c]);
            double a = (pp[c] + w * (pp[e] - pp[c])) / clip, b = (qq[c] + w * (qq[e] - qq[c])) / clip;
            p_low = std::min(p_low, a);
            p_high = std::max(p_high, a);
            q_low = std::min(q_low, b);
            q_high = std::max(q_high, b);
        }
    }
    double c0 = (float)(step / 2.0 - 1.0);
    double i_low = ceil((p_low - slack - c0) / step), i_high = floor((p_high + slack - c0) / step);
    double j_low = ceil((q_low - slack - c0) / step), j_high = floor((q_high + slack - c0) / step);
    i_low = std::max(i_low, 0.0);
    j_low = std::max(j_low, 0.0);
    i_high = std::min(i_high, (double)face.cells_i - 1);
    j_high = std::min(j_high, (double)face.cells_j - 1);
    if (!(i_low <= i_high && j_low <= j_high)) return false;
    range[0] = (int32_t)i_low;
    range[1] = (int32_t)i_high;
    range[2] = (int32_t)j_low;
    range[3] = (int32_t)j_high;
    return true;
}

// One row's fixed figures, for the functions below.
struct Probe {
    CullScratch *s;
    const FormFactorScene *scene;
    const Hemicube *h;
    Vec3 o;
    double od[3];
    bool project;     // the projections may be used (every ray in front of the patch and of its face)
    double drift;
    double slack;     // of "wholly behind"
};

void push(CullScratch *s, double bound, int32_t index) {
    HeapItem *heap = s->heap;
    int32_t at = s->heap_size++;
    while (at > 0) {
        int32_t parent = (at - 1) / 2;
        if (!heap_before(bound, index, heap[parent])) break;
        heap[at] = heap[parent];
        at = parent;
    }
    heap[at] = HeapItem{bound, index};
}

HeapItem pop(CullScratch *s) {
    HeapItem *heap = s->heap;
    HeapItem top = heap[0], last = heap[--s->heap_size];
    int32_t at = 0, size = s->heap_size;
    for (;;) {
        int32_t child = 2 * at + 1;
        if (child >= size) break;
        if (child + 1 < size && heap_before(heap[child + 1].bound, heap[child + 1].index, heap[child])) child++;
        if (!heap_before(heap[child].bound, heap[child].index, last)) break;
        heap[at] = heap[child];
        at = child;
    }
    if (size > 0) heap[at] = last;
    return top;
}

// Whether the box [lo, hi] lies wholly behind the patch's plane.
bool wholly_behind(const Probe &p, const double lo[3], const double hi[3]) {
    const double *n = p.s->frame[2];
    double highest = 0;
    for (int a = 0; a < 3; a++) highest += std::max(n[a] * (lo[a] - p.od[a]), n[a] * (hi[a] - p.od[a]));
    return highest < -p.slack;
}

// The corners of the box [lo, hi] in the frame, with a bound on their local
// coordinates: the corner at lo plus the box's edges, each turned into the
// frame once.
double box_corners(const Probe &p, const double lo[3], const double hi[3], double corner[8][3]) {
    const double (*frame)[3] = p.s->frame;
    double base[3] = {lo[0] - p.od[0], lo[1] - p.od[1], lo[2] - p.od[2]};
    double span[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
    double at[3], edge[3][3];
    double reach = 0;
    for (int a = 0; a < 3; a++) {
        at[a] = local(frame[a], base);
        for (int e = 0; e < 3; e++) edge[e][a] = frame[a][e] * span[e];
        reach = std::max(reach, fabs(at[a]) + fabs(edge[0][a]) + fabs(edge[1][a]) + fabs(edge[2][a]));
    }
    for (int k = 0; k < 8; k++)
        for (int a = 0; a < 3; a++)
            corner[k][a] = at[a] + ((k & 1) ? edge[0][a] : 0.0) + ((k & 2) ? edge[1][a] : 0.0) + ((k & 4) ? edge[2][a] : 0.0);
    return reach;
}

// The cells of face f that a ray meeting the box (at distance `distance`
// from the centre, corners given) can pass through; false when none, and
// the whole face when the projection cannot be used.
bool face_range(const Probe &p, int f, const double corner[8][3], double reach, double distance, int32_t range[4]) {
    const CullFace &face = p.s->faces[f];
    range[0] = 0;
    range[1] = face.cells_i - 1;
    range[2] = 0;
    range[3] = face.cells_j - 1;
    if (!p.project) return true;
    // A hit point through this face lies at depth >= cosine * |P - O|. Only
    // where that depth is clearly positive is the box projected; otherwise
    // the whole face is taken, which is always safe.
    double cosine = drifted_cosine(face.min_cosine0, p.drift);
    double clip = clip_depth(cosine, distance);
    if (!(clip > 1e-9 * (1 + reach))) return true;
    double slack = projection_slack(face.deviation0, p.drift, face.min_depth0, reach, clip);
    p.s->counters.projections++;
    return projected_range(p.s, (double)p.h->hemicube_pixel_size, f, corner, clip, slack, range);
}

// Whether any face sees the box [lo, hi] through a tile whose farthest best
// distance is not below `bound`.
bool seen(const Probe &p, const double lo[3], const double hi[3], double bound) {
    CullScratch *s = p.s;
    double corner[8][3];
    double reach = box_corners(p, lo, hi, corner);
    double distance = box_distance(p.od, lo, hi);
    for (int f = 0; f < 5; f++) {
        const CullFace &face = s->faces[f];
        if (face.cells_i * face.cells_j == 0 || bound > (double)s->face_farthest[f]) continue;
        int32_t range[4];
        if (!face_range(p, f, corner, reach, distance, range)) continue;
        for (int32_t ti = range[0] / TILE; ti <= range[1] / TILE; ti++)
            for (int32_t tj = range[2] / TILE; tj <= range[3] / TILE; tj++)
                if (!(bound > (double)s->tile_farthest[face.first_tile + ti * face.tiles_j + tj])) return true;
    }
    return false;
}

// Candidate q against the cells of every face its box can be seen through.
void cast_candidate(const Probe &p, int32_t q) {
    CullScratch *s = p.s;
    const CullCandidate &candidate = s->candidates[q];
    const CastPolygon *cp = &p.scene->cast[q];
    double corner[8][3];
    double reach = p.project ? box_corners(p, cp->lo, cp->hi, corner) : 0.0;
    for (int f = 0; f < 5; f++) {
        const CullFace &face = s->faces[f];
        if (face.cells_i * face.cells_j == 0) continue;
        if (candidate.lower_bound > (double)s->face_farthest[f]) continue;
        int32_t range[4];
        if (!face_range(p, f, corner, reach, candidate.distance, range)) continue;
        scan_face(s, p.scene, f, range[0], range[1], range[2], range[3], q, candidate, p.o);
    }
}

} // namespace

void cellcast_init(CullScratch *s, const FormFactorScene *scene) {
    int32_t count = scene->polygon_count;
    size_t n = (size_t)count;
    s->candidates = (CullCandidate *)checked_calloc_apart(n, sizeof(CullCandidate), EXIT_FF_HITS_NO_MEMORY);
    // Every node can wait in the heap at once.
    s->heap =
        (HeapItem *)checked_calloc_apart((size_t)scene->bvh.node_count + 1, sizeof(HeapItem), EXIT_FF_HITS_NO_MEMORY);
    s->heap_size = 0;

    const HemicubeLayout &h = scene->hemicube;
    int32_t res = h.hemicube_resolution, rows = res / 2;
    s->tiles = 0;
    for (int f = 0; f < 5; f++) {
        CullFace &face = s->faces[f];
        face.cells_i = res;
        face.cells_j = f == 0 ? res : rows;
        face.stride_i = face.cells_j;
        face.base = f == 0 ? 0 : res * res + (f - 1) * res * rows;
        face.tiles_i = (face.cells_i + TILE - 1) / TILE;
        face.tiles_j = (face.cells_j + TILE - 1) / TILE;
        face.first_tile = s->tiles;
        s->tiles += face.tiles_i * face.tiles_j;
    }
    size_t cells = (size_t)h.hemicube_cell_count;
    s->cell_rays = (Vec3 *)checked_calloc_apart(cells, sizeof(Vec3), EXIT_FF_HITS_NO_MEMORY);
    s->best_distance = (float *)checked_calloc_apart(cells, sizeof(float), EXIT_FF_HITS_NO_MEMORY);
    s->best_polygon = (int32_t *)checked_calloc_apart(cells, sizeof(int32_t), EXIT_FF_HITS_NO_MEMORY);
    s->best_point = (Vec3 *)checked_calloc_apart(cells, sizeof(Vec3), EXIT_FF_HITS_NO_MEMORY);
    s->tile_farthest = (float *)checked_calloc_apart((size_t)s->tiles, sizeof(float), EXIT_FF_HITS_NO_MEMORY);
    s->layout_placement = -1;
    s->counters = CellcastCounters{0, 0, 0, 0};
}

void cellcast_free(CullScratch *s) {
    release(s->candidates);
    release(s->heap);
    release(s->cell_rays);
    release(s->best_distance);
    release(s->best_polygon);
    release(s->best_point);
    release(s->tile_farthest);
}

void resolve_hemicube_cells(CullScratch *s, Hemicube *hemicube, const FormFactorScene *scene) {
    const Hemicube &h = *hemicube;
    int32_t cells = h.hemicube_cell_count;
    if (cells == 0) return;
    if (s->layout_placement != h.hemicube_placements) measure_placement(s, &h, scene);

    const Vec3 o = h.hemicube_centre;
    // Cell rays as cast_cell_ray forms them: (float)((double)cell - (double)o)
    // is the single-precision difference itself (one rounding of an exact
    // double difference), so the rays come from float arithmetic. The drift
    // from the placement rays is the one the settling measured, from the same
    // float differences.
    {
        const float *cell = &h.hemicube_cells[0].x;
        float *ray = &s->cell_rays[0].x;
        const float origin[3] = {o.x, o.y, o.z};
        for (int32_t k = 0; k < cells; k++)
            for (int a = 0; a < 3; a++) ray[3 * k + a] = cell[3 * k + a] - origin[a];
    }
    double drift = measured_drift(h.hemicube_drift);
    for (int32_t k = 0; k < cells; k++) {
        s->best_distance[k] = FLT_MAX;
        s->best_polygon[k] = -1;
    }
    for (int32_t t = 0; t < s->tiles; t++) s->tile_farthest[t] = FLT_MAX;
    for (int f = 0; f < 5; f++) s->face_farthest[f] = FLT_MAX;

    // The projection needs every ray in front of the patch and of its face,
    // with a drift far below a cell.
    bool project = drift <= MAX_DRIFT && s->lowest_height0 - 2 * drift > 0;
    for (int f = 0; f < 5 && project; f++)
        project = s->faces[f].cells_i * s->faces[f].cells_j == 0 ||
                  (s->faces[f].min_depth0 - 2 * drift > 0.5 && s->faces[f].deviation0 <= MAX_DRIFT);

    // The polygons nearest first, from the hierarchy: its nodes in a heap by
    // the lower bound of their polygons' hit distances. A node wholly
    // behind the patch, or seen from no face through a tile whose farthest
    // hit lies at or beyond its bound, is passed over with all its polygons:
    // each of them would be passed over alike, and the tiles only come
    // nearer as the search goes on.
    int32_t current = h.current_polygon;
    Probe probe = {s, scene, &h, o, {o.x, o.y, o.z}, project, drift, behind_slack(scene->scene_extent)};
    const PolygonBvh &bvh = scene->bvh;
    s->heap_size = 0;
    if (bvh.node_count > 0) push(s, distance_lower_bound(box_distance(probe.od, bvh.nodes[0].lo, bvh.nodes[0].hi)), -1);
    while (s->heap_size > 0) {
        HeapItem item = pop(s);
        const float *face_farthest = s->face_farthest;
        float farthest = std::max({face_farthest[0], face_farthest[1], face_farthest[2], face_farthest[3], face_farthest[4]});
        if (item.bound > (double)farthest) break; // every later item lies farther still
        {
            const BvhNode &node = bvh.nodes[-1 - item.index];
            s->counters.nodes++;
            if (project && (wholly_behind(probe, node.lo, node.hi) || !seen(probe, node.lo, node.hi, item.bound)))
                continue;
            if (node.count == 0) {
                for (int32_t child = node.first; child < node.first + 2; child++) {
                    const BvhNode &c = bvh.nodes[child];
                    push(s, distance_lower_bound(box_distance(probe.od, c.lo, c.hi)), -1 - child);
                }
                continue;
            }
            // A leaf's polygons are cast at once, nearest bound first: the
            // order among polygons changes no cell's outcome, only how soon
            // the tiles' farthest distances come down.
            int32_t leaf[BVH_LEAF_SIZE], taken = 0;
            for (int32_t k = node.first; k < node.first + node.count; k++) {
                int32_t q = bvh.order[k];
                if (q == current) continue;
                const CastPolygon *cp = &scene->cast[q];
                double numerator = cast_numerator(cp, &o);
                if (numerator == 0.0) continue; // t = 0 for every ray: never a hit
                if (project && wholly_behind(probe, cp->lo, cp->hi)) continue;
                CullCandidate *candidate = &s->candidates[q];
                candidate->distance = box_distance(probe.od, cp->lo, cp->hi);
                // The rounded distance of any hit is at least the distance to the
                // widened box less a few single-precision roundings.
                candidate->lower_bound = distance_lower_bound(candidate->distance);
                candidate->numerator = numerator;
                s->counters.candidates++;
                int32_t at = taken++;
                for (; at > 0 && s->candidates[leaf[at - 1]].lower_bound > candidate->lower_bound; at--) leaf[at] = leaf[at - 1];
                leaf[at] = q;
            }
            for (int32_t k = 0; k < taken; k++) {
                farthest = std::max({face_farthest[0], face_farthest[1], face_farthest[2], face_farthest[3], face_farthest[4]});
                if (s->candidates[leaf[k]].lower_bound > (double)farthest) break;
                cast_candidate(probe, leaf[k]);
            }
            continue;
        }
    }

    int32_t *items = hemicube->hemicube_item_buffer;
    const CastPolygon *own = &scene->cast[current];
    for (int32_t k = 0; k < cells; k++) {
        int32_t q = s->best_polygon[k];
        if (q == -1) continue;
        const CastPolygon *cp = &scene->cast[q];
        if (faces_alike(cp, own)) continue;
        items[k] = hit_patch(cp, &scene->polygons[q], scene->patch_grid[q], &s->best_point[k]);
    }
}
