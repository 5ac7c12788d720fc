// The hemicube: a half cube of side 2 and height 1 standing on the patch whose
// form-factor row is computed, its five faces cut into square cells of edge
// hemicube_pixel_size. Each cell carries a delta form factor and, once the
// hemicube is placed, the world-space point its ray passes through.
//
// Cell numbering, shared by the three per-cell arrays: the top face's n*n
// cells row by row (index a*n + b), then side faces 1 to 4, each n positions
// of h = n/2 rows (index n*n + face*n*h + a*h + c). Only the first
// hemicube_cell_count = n*n + 4*n*h cells are used; the arrays hold 3*n*n.
//
// Moves are recorded, not applied at once: hemicube_cells holds the cells as
// of the last settling, and the moves since are replayed on a cell when it
// is read (hemicube_cell) or on all of them by hemicube_settle. Whoever reads
// hemicube_cells directly settles first.
//
// The delta form factors and the resolution are fixed for the run and shared
// (HemicubeLayout, in the form-factor stage's read-only tables); each worker
// of the stage moves a Hemicube of its own, in its worker record.
#pragma once

#include <cstdint>

#include "formfactor/settle.h"
#include "geometry/environment.h"

// Moves recorded before the cells are settled anyway: few enough that a
// replayed cell stays cheap, enough that settling costs a small part of a
// move's row.
const int32_t HEMICUBE_PENDING_MOVES = 32;

// One face of the hemicube as lines of cells: cell first_cell + i * length + j
// for line i = 0 .. lines - 1 and j = 0 .. length - 1 (the top face's rows a
// and columns b; a side face's positions a and rows c). As laid out by
// hemicube_place, before any rounding, the cell lies at
//   placement centre + origin + i * step_i + j * step_j
// (all in double; the stored cells are these points rounded to single
// precision, then shifted from patch to patch).
struct HemicubeFace {
    int32_t first_cell, lines, length;
    double origin[3], step_i[3], step_j[3];
};

// What every hemicube of a run shares, fixed once set up: the resolution and
// the delta form factors.
struct HemicubeLayout {
    float hemicube_pixel_size;   // cell edge s
    int32_t hemicube_resolution; // n = floor(2 / s), cells along each top-face edge
    int32_t hemicube_cell_count; // cells in use
    float *hemicube_delta_form_factors; // per cell: its share of the patch's view
};

// One hemicube, as one worker moves it from patch to patch: only that worker
// reads or writes it.
struct Hemicube {
    float hemicube_pixel_size;   // the layout's, copied for the arithmetic below
    int32_t hemicube_resolution;
    int32_t hemicube_cell_count;
    const float *hemicube_delta_form_factors; // the layout's
    int32_t *hemicube_item_buffer;        // per cell: patch seen, or -1
    Vec3 *hemicube_cells;                 // per cell: world-space centre point, as of the last settling
    const Vec3 *hemicube_relay_source;    // a relay being replayed: the cells it starts from (another's)
    Vec3 hemicube_pending_offsets[HEMICUBE_PENDING_MOVES]; // the moves' offsets since, in order
    int32_t hemicube_pending;             // how many

    int32_t current_polygon;        // polygon the hemicube stands on
    Vec3 hemicube_centre;           // origin of every cell ray
    Vec3 hemicube_base_corners[4];  // B0..B3, in the polygon's plane
    Vec3 hemicube_top_corners[4];   // T0..T3 = Bk + normal
    int32_t hemicube_placements;    // calls of hemicube_place so far: tells a new layout of the cells

    // For the fast paths, which classify cells by their nominal rays and need
    // to know how far the stored rays stray from them:
    HemicubeFace hemicube_faces[5];   // top, then side faces 1 to 4
    Vec3 *hemicube_placement_rays;    // per cell: cell - centre right after hemicube_place
    double hemicube_layout_deviation; // largest |placement ray - nominal ray| component
    float hemicube_drift;             // bound on |ray now - placement ray| per component after the last move
    bool hemicube_drift_measured;     // the bound was measured at the last settling, with no move since
    int32_t hemicube_moves;           // hemicube_move calls since hemicube_place
    // The item buffer holds -1 in every cell in use. hemicube_move sets it
    // and skips the clearing while it holds; whoever writes an item clears it
    // first (the reference rows and the culled search do; runs of cells add
    // to the row directly and leave the buffer alone).
    bool hemicube_items_clear;
};

// Computes the resolution, allocates the delta form factors (code 11; a
// resolution whose 3*n*n cells do not fit in 32 bits is reported as code 10)
// and fills them.
void hemicube_layout_init(HemicubeLayout *layout, float pixel_size);

// Releases the delta form factors; does nothing when already released.
// The cells a hemicube of cell edge `pixel_size` uses (hemicube_cell_count
// of its layout), without making the layout; -1 for an edge too small for
// any layout.
int64_t hemicube_cells_for(float pixel_size);

void hemicube_layout_free(HemicubeLayout *layout);

// Allocates one hemicube's item buffer (code 10), cells and the placement
// rays beside them (code 12), for `layout`, which must outlive it.
void hemicube_init(Hemicube *h, const HemicubeLayout *layout);

// Releases the hemicube's arrays; does nothing when already released.
void hemicube_free(Hemicube *h);

// Orients the hemicube on polygon i at the polygon's centre and lays out all
// cell centres. Leaves the item buffer as it was.
void hemicube_place(Hemicube *h, const Polygon *polys, int32_t i);

// Shifts the whole hemicube so that its centre is `centre` and clears the
// item buffer to -1. The cells follow at the next settling; hemicube_drift
// bounds them as if they had moved.
void hemicube_move(Hemicube *h, const Vec3 *centre);

// Adds the recorded offsets to every cell, in order, and measures
// hemicube_drift. The cells get the bytes that moving them at every move
// would have given them.
void hemicube_settle(Hemicube *h);

// Relays: a hemicube's position handed from one worker to another, for a
// worker that starts inside a polygon (worksplit.h). A relay is a Hemicube
// of its own cells, without an item buffer, that shares the placement rays
// of the hemicube it was taken from while that one stays on its polygon.

// Cells for a relay of `layout`'s hemicubes; code 12 when memory runs out.
Vec3 *hemicube_relay_cells(const HemicubeLayout *layout);

// Starts `relay` (whose cells are its own, from hemicube_relay_cells) at h's
// position: h is settled and its centre, corners and drift copied; h's cells
// are the relay's source, read by the replay (below) as it writes the
// relay's own, so h's cells stay as they are till the relay is finished.
void hemicube_relay_from(Hemicube *relay, Hemicube *h);

// A relay's moves are made in three steps, so that several workers can
// share its cells: hemicube_relay_moves takes the relay (just started) to
// the `count` patch centres as hemicube_move would, but leaves the cells and
// writes each move's offset to `offsets`; hemicube_relay_replay then moves
// cells [from, to) from the source by all those offsets into the relay's
// own cells and measures their drift into `scan` (different ranges may be
// replayed at once); once every cell has been, hemicube_relay_finish takes
// the drift of all the scans (combined with settle_scan_join) and lets go
// of the source and the placement rays the relay shared, so that it can be
// handed to another worker. The relay is then as moving it patch to patch
// and settling it would leave it, bit for bit.
void hemicube_relay_moves(Hemicube *relay, const Vec3 *centres, int32_t count, Vec3 *offsets);
void hemicube_relay_replay(const Hemicube *relay, const Vec3 *offsets, int32_t count, int32_t from, int32_t to,
                           SettleScan *scan);
void hemicube_relay_finish(Hemicube *relay, const SettleScan *scan);

// h, just placed on the relay's polygon, takes the (ended) relay's position: the two
// swap their cells, and h gets the relay's centre, corners, drift and moves.
// The cells are then those h would have after the same moves, bit for bit.
void hemicube_take_relay(Hemicube *h, Hemicube *relay);

// Cell k as it stands after every move so far: the settled cell with the
// recorded offsets added one after another, each sum rounded to single
// precision as the settling rounds it.
inline Vec3 hemicube_cell(const Hemicube *h, int32_t k) {
    Vec3 c = h->hemicube_cells[k];
    for (int32_t p = 0; p < h->hemicube_pending; p++) {
        const Vec3 &o = h->hemicube_pending_offsets[p];
        c.x = c.x + o.x;
        c.y = c.y + o.y;
        c.z = c.z + o.z;
    }
    return c;
}
