// One form-factor row per patch, and the stage's two records. The row holds,
// for every patch j of the scene, the sum of the delta form factors of the
// cells whose rays resolve to j, added in cell order and rounded to single
// precision at every addition.
//
// A row is not normalised: it sums to at most the sum of all delta form
// factors, and less where cells see nothing (no hit, a nearest polygon facing
// the same way, a hit on a patch boundary). Patches of the row's own polygon
// always get 0, since a polygon's own hits are never tested.
//
// Three ways of resolving the cells give the same bytes: runs of cells
// (runcast.h), which add to the row directly; the culled search (cellcast.h)
// and the reference loop over every polygon, which fill the item buffer for
// the summing pass here.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/errors.h"
#include "formfactor/cellcast.h"
#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "formfactor/runcast.h"

namespace {

// Second pass: each cell's delta form factor added to the patch it sees, in
// cell order, rounded to single precision at every addition.
// Consecutive cells that see the same patch are added as one run.
void add_cells(FormFactorWorker *w) {
    const Hemicube &h = w->hemicube;
    int32_t cells = h.hemicube_cell_count;
    const int32_t *items = h.hemicube_item_buffer;
    int32_t k = 0;
    while (k < cells) {
        int32_t j = items[k], end = k + 1;
        while (end < cells && items[end] == j) end++;
        if (j != -1) add_cell_run(&w->row, h.hemicube_delta_form_factors, j, k, end);
        k = end;
    }
}

} // namespace

void form_factor_worker_tables(FormFactorWorker *w, const FormFactorScene *scene) {
    if (w->tables_made) return;
    w->polygon_hits =
        (PolygonHit *)checked_calloc_apart((size_t)scene->polygon_count, sizeof(PolygonHit), EXIT_FF_HITS_NO_MEMORY);
    runcast_init(&w->runs, scene);
    cellcast_init(&w->cull, scene);
    w->tables_made = true;
}

void form_factor_scene_init(FormFactorScene *scene, const Polygon *polys, int32_t count, PatchUV *const *const *grid,
                            float pixel_size) {
    *scene = FormFactorScene{};
    scene->polygons = polys;
    scene->polygon_count = count;
    scene->patch_count = count_patches(polys, count);
    scene->patch_grid = grid;
    scene->cells_per_candidate = RUNS_CELLS_PER_CANDIDATE;
    hemicube_layout_init(&scene->hemicube, pixel_size);

    double extent = 0;
    for (int32_t q = 0; q < count; q++)
        for (int c = 0; c < 4; c++) {
            const Vec3 &v = polys[q].vertices[c];
            extent = std::max({extent, fabs((double)v.x), fabs((double)v.y), fabs((double)v.z)});
        }
    scene->scene_extent = extent;
    CastPolygon *cast = (CastPolygon *)checked_calloc((size_t)count, sizeof(CastPolygon), EXIT_FF_HITS_NO_MEMORY);
    int32_t first = 0;
    for (int32_t q = 0; q < count; q++) {
        cast[q] = cast_polygon(&polys[q], grid != nullptr ? grid[q] : nullptr, first, extent);
        first += polys[q].patches_u * polys[q].patches_v;
    }
    scene->cast = cast;
    bvh_build(&scene->bvh, cast, count);
    runcast_tables_init(&scene->runs, scene);
}

void form_factor_scene_free(FormFactorScene *scene) {
    hemicube_layout_free(&scene->hemicube);
    release(scene->cast);
    bvh_free(&scene->bvh);
    runcast_tables_free(&scene->runs);
}

void form_factor_worker_init(FormFactorWorker *w, const FormFactorScene *scene) {
    *w = FormFactorWorker{};
    size_t patches = scene->patch_count > 0 ? (size_t)scene->patch_count : 0;
    w->row.values = (float *)checked_calloc_apart(patches, sizeof(float), EXIT_FF_ROW_NO_MEMORY);
    // A row takes at most one run per cell, so at most that many patches join the list.
    size_t cells = (size_t)scene->hemicube.hemicube_cell_count;
    w->row.touched = (int32_t *)checked_calloc_apart(cells + 1, sizeof(int32_t), EXIT_FF_ROW_NO_MEMORY);
    w->row.touched_count = 0;
    hemicube_init(&w->hemicube, &scene->hemicube);
}

void form_factor_worker_free(FormFactorWorker *w) {
    release(w->row.values);
    release(w->row.touched);
    hemicube_free(&w->hemicube);
    release(w->polygon_hits);
    runcast_free(&w->runs);
    cellcast_free(&w->cull);
    w->tables_made = false;
}

void form_factor_row(FormFactorWorker *w, const FormFactorScene *scene) {
    form_factor_worker_tables(w, scene);
    Hemicube *h = &w->hemicube;
    if (!runcast_row(&w->runs, h, scene, &w->row)) {
        h->hemicube_items_clear = false;
        hemicube_settle(h);
        resolve_hemicube_cells(&w->cull, h, scene);
        add_cells(w);
    }
}

void form_factor_row_reference(FormFactorWorker *w, const FormFactorScene *scene) {
    form_factor_worker_tables(w, scene);
    Hemicube *h = &w->hemicube;
    hemicube_settle(h);
    int32_t cells = h->hemicube_cell_count;
    int32_t *items = h->hemicube_item_buffer;
    h->hemicube_items_clear = false;
    for (int32_t k = 0; k < cells; k++) {
        cast_cell_ray(h, k, w->polygon_hits, scene);
        int32_t q = nearest_polygon_hit(h, w->polygon_hits, scene);
        if (q != -1) items[k] = patch_at_hit(q, w->polygon_hits, scene);
    }
    add_cells(w);
}

bool form_factor_rows(const FormFactorScene *scene, FormFactorWorker *worker, const FormFactorRowSink *sink,
                      FormFactorWork *work) {
    const Polygon *polys = scene->polygons;
    int64_t row = 0;
    bool taken = true;
    for (int32_t i = 0; i < scene->polygon_count && taken; i++) {
        hemicube_place(&worker->hemicube, polys, i);
        for (int32_t j = 0; j < polys[i].patches_u && taken; j++) {
            for (int32_t k = 0; k < polys[i].patches_v && taken; k++) {
                Vec3 centre;
                patch_center(polys, i, j, k, &centre);
                hemicube_move(&worker->hemicube, &centre);
                sink->begin(row, sink->context);
                form_factor_row(worker, scene);
                taken = sink->take(&worker->row, row, sink->context);
                row_clear(&worker->row);
                row++;
            }
        }
    }
    if (work != nullptr) *work = FormFactorWork{worker->cull.counters, worker->runs.counters};
    return taken;
}
