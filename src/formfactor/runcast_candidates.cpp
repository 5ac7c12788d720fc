// A candidate polygon of runs of cells: its per-patch constants and the
// lines of each hemicube face where it can be hit.
//
// Invariant: a candidate's lines on a face hold every line on which it
// possibly passes its box test. The lines come from the face's rectangle of
// (i, j) clipped by the candidate's possible forms as half-planes, each moved
// out by the clipper's relaxation (clip_relaxation), widened by one line on
// each side; a candidate is left off a face only when its front form surely
// fails over the whole face. The per-patch constants are the bounds (b), (d)
// and (e) of runcast.cpp's argument: den_floor, kappa, R_c, E, and the
// errors of the mapping offsets au, av.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "formfactor/formfactor.h"
#include "formfactor/rounding.h"
#include "formfactor/runcast_forms.h"
#include "formfactor/runcast_ranges.h"

// The faces' shortest and longest nominal rays, once per placement.
void prepare_placement(RunScratch *s, const Hemicube *h) {
    for (int f = 0; f < 5; f++) {
        const HemicubeFace &face = h->hemicube_faces[f];
        if (face.lines * face.length == 0) {
            s->face_min_depth[f] = DBL_MAX;
            s->face_max_length[f] = 0;
            continue;
        }
        face_lengths(face, &s->face_min_depth[f], &s->face_max_length[f]);
    }
    s->placement = h->hemicube_placements;
}

// Sets c's per-patch constants; false when c is never hit (num = 0).
bool prepare_candidate(const RunRow *r, RunCandidate *c, int32_t q) {
    const RunPolygon &rp = r->tables->polygons[q];
    const CastPolygon &cp = r->scene->cast[q];
    const Polygon *polygon = &r->scene->polygons[q];
    double d_min = r->d_min, d_max = r->d_max;
    c->q = q;
    c->num = plane_numerator(polygon, &r->origin);
    if (c->num == 0.0) return false; // t = 0 for every ray
    c->sign = c->num > 0 ? 1.0 : -1.0;
    c->size = fabs(c->num);
    const double o[3] = {r->origin.x, r->origin.y, r->origin.z};
    double w = 0;
    for (int a = 0; a < 3; a++) w = std::max(w, rp.reach[a] + fabs(o[a]));
    c->den_floor = den_floor(c->size, d_min, w, d_max);
    c->loose = !(c->den_floor >= DEN_FLOOR_MIN);
    if (rp.flat_axis >= 0) {
        double z = cp.box.low[rp.flat_axis], oz = fabs(o[rp.flat_axis]);
        bool exact = flat_plane_exact(z, oz);
        if (!exact) c->loose = true;
    }
    if (c->loose) {
        for (int a = 0; a < 3; a++) c->R[a] = HUGE_VAL;
        c->E = HUGE_VAL;
    } else {
        double kappa = t_relative_error(d_max, c->den_floor);
        double squares = 0;
        for (int a = 0; a < 3; a++) {
            c->R[a] = hit_point_error(rp.reach[a], fabs(o[a]), kappa);
            squares += c->R[a] * c->R[a];
        }
        c->E = distance_error(squares, w);
    }
    const PlaneMapping &m = cp.mapping;
    c->au = 0;
    c->av = 0;
    c->error_u = 0;
    c->error_v = 0;
    for (int a = 0; a < 3; a++) {
        double offset = o[a] - m.p0[a];
        c->au += offset * m.e1[a];
        c->av += offset * m.e3[a];
        c->error_u += (fabs(o[a]) + fabs(m.p0[a])) * fabs(m.e1[a]);
        c->error_v += (fabs(o[a]) + fabs(m.p0[a])) * fabs(m.e3[a]);
    }
    c->error_u = mapping_offset_error(c->error_u, c->au);
    c->error_v = mapping_offset_error(c->error_v, c->av);

    for (int f = 0; f < 5; f++) {
        const HemicubeFace &face = r->hemicube->hemicube_faces[f];
        const double *vectors[3] = {face.origin, face.step_i, face.step_j};
        for (int v = 0; v < 3; v++) {
            const double *x = vectors[v];
            c->den[f][v] = rp.normal[0] * x[0] + rp.normal[1] * x[1] + rp.normal[2] * x[2];
            c->eu[f][v] = m.e1[0] * x[0] + m.e1[1] * x[1] + m.e1[2] * x[2];
            c->ev[f][v] = m.e3[0] * x[0] + m.e3[1] * x[1] + m.e3[2] * x[2];
        }
    }
    return true;
}

// The possible forms of candidate c over face f as half-planes
// a + b i + e j >= 0, relaxed a little for the clipping's own arithmetic.
struct HalfPlane {
    double a, b, e;
};

// Lines of face f where candidate c possibly passes: the face's rectangle of
// (i, j) clipped by the half-planes; the lines of the clipped polygon, one
// more on each side.
void candidate_lines(const RunRow *r, RunCandidate *c, int f) {
    const HemicubeFace &face = r->hemicube->hemicube_faces[f];
    const RunPolygon &rp = r->tables->polygons[c->q];
    const CastPolygon &cp = r->scene->cast[c->q];
    // The forms at i = 0 and their slopes along i: the box forms are linear
    // in (N.d0, d0), so their slope is the form of (N.step_i, step_i); the
    // front form's slope is s N.step_i.
    double zero[3] = {0, 0, 0};
    // A polygon surely behind the whole face (its front form's largest value
    // over the face, at a corner, surely fails, with the clipping's own
    // relaxation) has no lines there; its box forms are not needed.
    {
        Form front = front_form(r, *c, rp, c->den[f][0], c->den[f][2]);
        double b = c->sign * c->den[f][1], li = face.lines - 1, lj = face.length - 1;
        double largest = front.f0 + front.bound + std::max(0.0, b * li) + std::max(0.0, front.f1 * lj);
        double range = (double)face.lines + (double)face.length;
        largest += clip_relaxation(front.f0 + front.bound, b, front.f1, range);
        if (largest < 0) {
            c->first_line[f] = 1;
            c->last_line[f] = 0;
            return;
        }
    }
    Form at0[2][7], slope[2][7];
    int count = 1;
    for (int kind = 0; kind < 2; kind++) {
        bool certain = kind == 1;
        at0[kind][0] = front_form(r, *c, rp, c->den[f][0], c->den[f][2]);
        slope[kind][0] = {c->sign * c->den[f][1], 0, 0};
        count = 1;
        if (!c->loose) {
            box_forms(r, *c, rp, cp, face.origin, face.step_j, c->den[f][0], c->den[f][2], certain, &at0[kind][1]);
            count += box_forms(r, *c, rp, cp, face.step_i, zero, c->den[f][1], 0, certain, &slope[kind][1]);
        }
        for (int k = 0; k < count; k++) {
            auto &out = certain ? c->certain[f][k] : c->possible[f][k];
            out.a = at0[kind][k].f0;
            out.b = slope[kind][k].f0;
            out.e = at0[kind][k].f1;
            out.bound = at0[kind][k].bound;
            out.inverse = out.e != 0 ? 1 / out.e : 0;
        }
    }
    c->form_count = count;
    for (int kind = 0; kind < 2; kind++) {
        auto *list = kind == 0 ? c->possible[f] : c->certain[f];
        RunFaceForm sorted[7];
        int rising = 0, falling = 0;
        for (int k = 0; k < count; k++)
            if (list[k].e > 0) sorted[rising++] = list[k];
        for (int k = 0; k < count; k++)
            if (list[k].e < 0) sorted[rising + falling++] = list[k];
        int at = rising + falling;
        for (int k = 0; k < count; k++)
            if (!(list[k].e > 0) && !(list[k].e < 0)) sorted[at++] = list[k];
        std::copy(sorted, sorted + count, list);
        c->rising[kind][f] = rising;
        c->falling[kind][f] = falling;
    }
    HalfPlane planes[7];
    int n = 0;
    double range = (double)face.lines + (double)face.length;
    for (int k = 0; k < count; k++) {
        HalfPlane &p = planes[n++];
        p.a = c->possible[f][k].a + c->possible[f][k].bound;
        p.b = c->possible[f][k].b;
        p.e = c->possible[f][k].e;
        p.a += clip_relaxation(p.a, p.b, p.e, range);
    }
    double poly[2][24][2];
    int size = 4, cur = 0;
    double li = face.lines - 1, lj = face.length - 1;
    const double rect[4][2] = {{0, 0}, {li, 0}, {li, lj}, {0, lj}};
    for (int k = 0; k < 4; k++) {
        poly[0][k][0] = rect[k][0];
        poly[0][k][1] = rect[k][1];
    }
    for (int k = 0; k < n && size > 0; k++) {
        const HalfPlane &p = planes[k];
        int out = 0;
        for (int v = 0; v < size; v++) {
            const double *x = poly[cur][v], *y = poly[cur][(v + 1) % size];
            double fx = p.a + p.b * x[0] + p.e * x[1], fy = p.a + p.b * y[0] + p.e * y[1];
            if (fx >= 0 && out < 24) {
                poly[1 - cur][out][0] = x[0];
                poly[1 - cur][out][1] = x[1];
                out++;
            }
            if ((fx >= 0) != (fy >= 0) && out < 24) {
                double w = fx / (fx - fy);
                poly[1 - cur][out][0] = x[0] + w * (y[0] - x[0]);
                poly[1 - cur][out][1] = x[1] + w * (y[1] - x[1]);
                out++;
            }
        }
        size = out;
        cur = 1 - cur;
    }
    if (size == 0) {
        c->first_line[f] = 1;
        c->last_line[f] = 0;
        return;
    }
    double low = DBL_MAX, high = -DBL_MAX;
    for (int v = 0; v < size; v++) {
        low = std::min(low, poly[cur][v][0]);
        high = std::max(high, poly[cur][v][0]);
    }
    c->first_line[f] = std::max(0, floor_index(low, 0, face.lines - 1) - 1);
    c->last_line[f] = std::min(face.lines - 1, ceil_index(high, 0, face.lines - 1) + 1);
}
