// The polygons' hierarchy of boxes (bvh.h). Built top down: a node's
// polygons are ordered by their box centres along the axis of widest spread
// and cut at the median, until a node holds BVH_LEAF_SIZE or fewer. Nodes
// are stored with both children side by side, a subtree's nodes after its
// root.
#include <algorithm>

#include "base/errors.h"
#include "formfactor/bvh.h"

namespace {

struct Builder {
    const CastPolygon *cast;
    BvhNode *nodes;
    int32_t *order;
    int32_t used;

    void bound(BvhNode *node, int32_t first, int32_t count) {
        for (int a = 0; a < 3; a++) {
            node->lo[a] = cast[order[first]].lo[a];
            node->hi[a] = cast[order[first]].hi[a];
        }
        for (int32_t k = first + 1; k < first + count; k++)
            for (int a = 0; a < 3; a++) {
                node->lo[a] = std::min(node->lo[a], cast[order[k]].lo[a]);
                node->hi[a] = std::max(node->hi[a], cast[order[k]].hi[a]);
            }
    }

    // Fills node `at` with polygons order[first .. first + count).
    void build(int32_t at, int32_t first, int32_t count) {
        BvhNode *node = &nodes[at];
        bound(node, first, count);
        if (count <= BVH_LEAF_SIZE) {
            node->first = first;
            node->count = count;
            return;
        }
        double low[3], high[3];
        for (int a = 0; a < 3; a++) low[a] = high[a] = centre(order[first], a);
        for (int32_t k = first; k < first + count; k++)
            for (int a = 0; a < 3; a++) {
                low[a] = std::min(low[a], centre(order[k], a));
                high[a] = std::max(high[a], centre(order[k], a));
            }
        int axis = 0;
        for (int a = 1; a < 3; a++)
            if (high[a] - low[a] > high[axis] - low[axis]) axis = a;
        int32_t half = count / 2;
        const CastPolygon *c = cast;
        std::nth_element(order + first, order + first + half, order + first + count, [c, axis](int32_t x, int32_t y) {
            double cx = c[x].lo[axis] + c[x].hi[axis], cy = c[y].lo[axis] + c[y].hi[axis];
            return cx < cy || (cx == cy && x < y);
        });
        int32_t children = used;
        used += 2;
        node->first = children;
        node->count = 0;
        build(children, first, half);
        build(children + 1, first + half, count - half);
    }

    double centre(int32_t q, int a) const { return cast[q].lo[a] + cast[q].hi[a]; }
};

} // namespace

void bvh_build(PolygonBvh *bvh, const CastPolygon *cast, int32_t count) {
    *bvh = PolygonBvh{};
    if (count <= 0) return;
    // A binary tree whose leaves hold at least one polygon has fewer than 2 count nodes.
    size_t capacity = 2 * (size_t)count;
    bvh->nodes = (BvhNode *)checked_calloc(capacity, sizeof(BvhNode), EXIT_FF_HITS_NO_MEMORY);
    bvh->order = (int32_t *)checked_calloc((size_t)count, sizeof(int32_t), EXIT_FF_HITS_NO_MEMORY);
    for (int32_t q = 0; q < count; q++) bvh->order[q] = q;
    Builder builder = {cast, bvh->nodes, bvh->order, 1};
    builder.build(0, 0, count);
    bvh->node_count = builder.used;
}

void bvh_free(PolygonBvh *bvh) {
    release(bvh->nodes);
    release(bvh->order);
    bvh->node_count = 0;
}
