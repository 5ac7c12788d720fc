// One form-factor row per patch. The row holds, for every patch j of the
// scene, the sum of the delta form factors of the cells whose rays resolve to
// j, added in cell order and rounded to single precision at every addition.
//
// A row is not normalised: it sums to at most the sum of all delta form
// factors, and less where cells see nothing (no hit, a nearest polygon facing
// the same way, a hit on a patch boundary). Patches of the row's own polygon
// always get 0, since a polygon's own hits are never tested.
//
// Both ways of resolving the cells (the culled search of cellcast.h and the
// reference loop over every polygon) fill the item buffer with the same
// patches; the summing pass and the console output are shared.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/errors.h"
#include "formfactor/cellcast.h"
#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "formfactor/runcast.h"

int32_t form_factor_row_number = 0;
PolygonHit *polygon_hits = nullptr;

namespace {

// Second pass: each cell's delta form factor added to the patch it sees, in
// cell order, rounded to single precision at every addition.
// Consecutive cells that see the same patch are added as one run.
void add_cells(float *row) {
    int32_t cells = hemicube.hemicube_cell_count;
    const int32_t *items = hemicube.hemicube_item_buffer;
    int32_t k = 0;
    while (k < cells) {
        int32_t j = items[k], end = k + 1;
        while (end < cells && items[end] == j) end++;
        if (j != -1) add_cell_run(row, j, k, end);
        k = end;
    }
}

void start_row(float *row, int32_t patches) {
    form_factor_row_number++;
    printf("%.7ld", (long)form_factor_row_number);
    fflush(stdout);
    if (patches > 0) memset(row, 0, (size_t)patches * sizeof(float));
}

} // namespace

void form_factor_rows_restart() { form_factor_row_number = 0; }

void form_factor_row(float *row, int32_t patches, const Polygon *polys, int32_t count) {
    start_row(row, patches);
    if (form_factor_row_number == 1) {
        runcast_init(polys, count);
        cellcast_init(polys, count);
    }
    if (!runcast_row(row, polys, count)) {
        hemicube.hemicube_items_clear = false;
        hemicube_settle();
        resolve_hemicube_cells(polys, count);
        add_cells(row);
    }
    if (form_factor_row_number == patches) {
        runcast_free();
        cellcast_free();
    }
    printf("\b\b\b\b\b\b\b");
}

void form_factor_row_reference(float *row, int32_t patches, const Polygon *polys, int32_t count) {
    start_row(row, patches);
    if (form_factor_row_number == 1)
        polygon_hits = (PolygonHit *)checked_calloc((size_t)count, sizeof(PolygonHit), EXIT_FF_HITS_NO_MEMORY);

    hemicube_settle();
    int32_t cells = hemicube.hemicube_cell_count;
    int32_t *items = hemicube.hemicube_item_buffer;
    hemicube.hemicube_items_clear = false;
    for (int32_t k = 0; k < cells; k++) {
        cast_cell_ray(k, polygon_hits, polys, count);
        int32_t q = nearest_polygon_hit(polygon_hits, polys, count);
        if (q != -1) items[k] = patch_at_hit(q, polygon_hits, polys);
    }
    add_cells(row);

    if (form_factor_row_number == patches) {
        release(polygon_hits);
    }
    printf("\b\b\b\b\b\b\b");
}
