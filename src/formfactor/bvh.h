// A bounding-volume hierarchy over the polygons' widened boxes
// (CastPolygon's lo and hi), built once with the run's fixed tables. It
// gives a row the polygons that can be hit without a pass over all of them:
// a node whose box lies wholly behind the patch, beyond everything the
// hemicube already sees, or outside every face's view is passed over with
// all its polygons.
//
// Invariant: a node's box holds the widened box of every polygon below it,
// so any bound that holds for the node (a distance, a side of a plane, a
// projection) holds for each of its polygons.
#pragma once

#include <cmath>
#include <cstdint>

#include "formfactor/raycast.h"

struct BvhNode {
    double lo[3], hi[3];  // union of its polygons' widened boxes
    int32_t first;        // inner node: index of its first child (the second follows); leaf: first in `order`
    int32_t count;        // leaf: its polygons; 0 for an inner node
};

struct PolygonBvh {
    BvhNode *nodes;       // root first
    int32_t node_count;
    int32_t *order;       // polygon indices, each leaf's a consecutive range
};

// Polygons per leaf at most.
const int32_t BVH_LEAF_SIZE = 4;

// Builds the hierarchy over `count` polygons: each node split at the median
// of its polygons' box centres along the axis where they spread most. Ends
// the process with code 10 when memory runs out.
void bvh_build(PolygonBvh *bvh, const CastPolygon *cast, int32_t count);

void bvh_free(PolygonBvh *bvh);

// Distance from point o to a box, 0 inside it.
inline double box_distance(const double o[3], const double lo[3], const double hi[3]) {
    double squared = 0;
    for (int a = 0; a < 3; a++) {
        double below = lo[a] - o[a], above = o[a] - hi[a];
        double gap = below > 0 ? below : above > 0 ? above : 0.0;
        squared += gap * gap;
    }
    return sqrt(squared);
}
