// halvora-bake's form-factor workers: std::thread workers over the blocks of
// a RowSplit, one mutex over everything they share.
//
// What the workers share, all under `lock`:
// - the split, from which a worker carves its next block (blocks are carved
//   in row order, so the block before a relayed one already has its worker);
// - the relays: the hemicube position at the start of a block inside a
//   polygon, published by the worker of the block before as soon as it has
//   its block (it replays its moves on a relay before its own rows), keyed
//   by the row it is for, and the free relays;
// - the rows that are done, keyed by row, and each worker's free rows;
// - `next_row`, the row the sink takes next, and `writing`, true while one
//   worker hands rows to the sink (outside the lock, so the others go on).
//
// Why no worker waits forever: a worker waits only for a relay (published by
// a worker that already holds the block before and publishes before its
// first row), or, its rows all done and not yet taken, for a row of its own
// to come back. The row `next_row` is then always being computed by a
// worker that does not wait: the rows before it are taken, so the block
// holding it has been carved, its relay published, and its worker is at that
// row. When that worker hands it in, it becomes the writer and takes every
// row that follows and is done.
//
// The bytes are those of one worker: each row is computed from the cells of
// the hemicube after the same moves since the same placement (the relays
// replay them, hemicube.h), by the same row functions, and the sink sees the
// rows in row order.
#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "bake/workers.h"
#include "base/errors.h"
#include "formfactor/hemicube.h"
#include "formfactor/worksplit.h"
#include "geometry/patches.h"

namespace {

struct Worker {
    FormFactorWorker rows;                // hemicube, the row being filled, tables
    std::vector<FormFactorRow> free_rows; // its own rows, taken and cleared
};

struct Workers {
    const FormFactorScene *scene;
    const FormFactorRowSink *sink;
    std::mutex lock;
    std::condition_variable changed; // a relay published, a row taken, the writer done
    RowSplit split;
    std::map<int64_t, Hemicube *> relays;  // published, by the first row of the block they are for
    std::vector<Hemicube *> free_relays;
    std::map<int64_t, std::pair<FormFactorRow, Worker *>> done; // rows not yet taken, by row
    int64_t next_row = 0;
    bool writing = false;
    bool refused = false; // the sink refused a row: every worker stops
};

FormFactorRow new_row(const FormFactorScene *scene) {
    FormFactorRow row;
    row.values = (float *)checked_calloc((size_t)scene->patch_count, sizeof(float), EXIT_FF_ROW_NO_MEMORY);
    row.touched = (int32_t *)checked_calloc((size_t)scene->hemicube.hemicube_cell_count + 1, sizeof(int32_t),
                                            EXIT_FF_ROW_NO_MEMORY);
    row.touched_count = 0;
    return row;
}

Vec3 centre_of(const Polygon *polys, int32_t polygon, int32_t patch) {
    Vec3 centre;
    int32_t v = polys[polygon].patches_v;
    patch_center(polys, polygon, patch / v, patch % v, &centre);
    return centre;
}

// Hands the worker's filled row in and gives it a free one; while no other
// worker does, takes every row that is next to the sink. With `guard` held.
void hand_in(Workers *s, Worker *w, int64_t row, std::unique_lock<std::mutex> &guard) {
    s->done.emplace(row, std::make_pair(w->rows.row, w));
    w->rows.row = FormFactorRow{}; // the worker holds no row until one comes back
    if (!s->writing) {
        s->writing = true;
        for (auto next = s->done.find(s->next_row); next != s->done.end() && !s->refused;
             next = s->done.find(s->next_row)) {
            FormFactorRow values = next->second.first;
            Worker *owner = next->second.second;
            s->done.erase(next);
            guard.unlock();
            s->sink->begin(s->next_row, s->sink->context);
            bool taken = s->sink->take(&values, s->next_row, s->sink->context);
            row_clear(&values);
            guard.lock();
            if (!taken) s->refused = true;
            owner->free_rows.push_back(values);
            s->next_row++;
            s->changed.notify_all();
        }
        s->writing = false;
    }
    s->changed.wait(guard, [&] { return !w->free_rows.empty() || s->refused; });
    if (!w->free_rows.empty()) {
        w->rows.row = w->free_rows.back();
        w->free_rows.pop_back();
    }
}

void work(Workers *s, Worker *w) {
    const Polygon *polys = s->scene->polygons;
    Hemicube *h = &w->rows.hemicube;
    std::unique_lock<std::mutex> guard(s->lock);
    RowBlock block;
    while (!s->refused && row_split_next(&s->split, &block)) {
        Hemicube *relay_out = nullptr;
        if (block.relays_out) {
            s->changed.wait(guard, [&] { return !s->free_relays.empty(); });
            relay_out = s->free_relays.back();
            s->free_relays.pop_back();
        }
        guard.unlock();

        hemicube_place(h, polys, block.polygon);
        if (block.relayed_in) {
            guard.lock();
            s->changed.wait(guard, [&] { return s->relays.count(block.first_row) != 0; });
            Hemicube *relay = s->relays[block.first_row];
            s->relays.erase(block.first_row);
            guard.unlock();
            hemicube_take_relay(h, relay);
            guard.lock();
            s->free_relays.push_back(relay); // it holds h's old cells now
            s->changed.notify_all();
            guard.unlock();
        }
        if (relay_out != nullptr) {
            hemicube_relay_from(relay_out, h);
            for (int32_t patch = block.first; patch < block.end; patch++) {
                Vec3 centre = centre_of(polys, block.polygon, patch);
                hemicube_move(relay_out, &centre);
            }
            hemicube_relay_end(relay_out);
            guard.lock();
            s->relays[block.first_row + (block.end - block.first)] = relay_out;
            s->changed.notify_all();
            guard.unlock();
        }

        for (int32_t patch = block.first; patch < block.end; patch++) {
            Vec3 centre = centre_of(polys, block.polygon, patch);
            hemicube_move(h, &centre);
            form_factor_row(&w->rows, s->scene);
            guard.lock();
            hand_in(s, w, block.first_row + (patch - block.first), guard);
            bool stop = s->refused;
            guard.unlock();
            if (stop) break;
        }
        guard.lock();
    }
}

} // namespace

bool form_factor_rows_threaded(const FormFactorScene *scene, int32_t threads, const FormFactorRowSink *sink,
                               FormFactorWork *work_done) {
    if (threads <= 1) return form_factor_rows(scene, sink, work_done);
    Workers s;
    s.scene = scene;
    s.sink = sink;
    row_split_start(&s.split, scene->polygons, scene->polygon_count, threads);
    // Everything the workers use, before any starts.
    std::vector<Worker> workers((size_t)threads);
    for (Worker &w : workers) {
        form_factor_worker_init(&w.rows, scene);
        form_factor_worker_tables(&w.rows, scene);
        for (int32_t r = 0; r < ROWS_AHEAD; r++) w.free_rows.push_back(new_row(scene));
    }
    std::vector<Hemicube> relays((size_t)threads + 1);
    for (Hemicube &relay : relays) {
        relay = Hemicube{};
        relay.hemicube_cells = hemicube_relay_cells(&scene->hemicube);
        s.free_relays.push_back(&relay);
    }

    std::vector<std::thread> running;
    for (Worker &w : workers) running.emplace_back(work, &s, &w);
    for (std::thread &t : running) t.join();

    if (work_done != nullptr) *work_done = FormFactorWork{};
    for (Worker &w : workers) {
        if (work_done != nullptr) {
            const CellcastCounters &c = w.rows.cull.counters;
            const RuncastCounters &r = w.rows.runs.counters;
            work_done->cull.nodes += c.nodes;
            work_done->cull.candidates += c.candidates;
            work_done->cull.projections += c.projections;
            work_done->cull.ray_tests += c.ray_tests;
            work_done->runs.rows += r.rows;
            work_done->runs.cells += r.cells;
            work_done->runs.exact_cells += r.exact_cells;
            work_done->runs.runs += r.runs;
            work_done->runs.declined += r.declined;
        }
        for (FormFactorRow &row : w.free_rows) {
            free(row.values);
            free(row.touched);
        }
        form_factor_worker_free(&w.rows);
    }
    // Rows still held when the sink refused one.
    for (auto &entry : s.done) {
        free(entry.second.first.values);
        free(entry.second.first.touched);
    }
    for (Hemicube &relay : relays) free(relay.hemicube_cells);
    return !s.refused;
}

int32_t available_cpus() {
    cpu_set_t mask;
    int32_t cpus = 1;
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) cpus = std::max(1, CPU_COUNT(&mask));
    // cgroup v2: "QUOTA PERIOD", or "max PERIOD" for none.
    FILE *file = fopen("/sys/fs/cgroup/cpu.max", "r");
    if (file != nullptr) {
        char quota[32];
        long long period = 0;
        if (fscanf(file, "%31s %lld", quota, &period) == 2 && period > 0) {
            char *end = nullptr;
            long long q = strtoll(quota, &end, 10);
            if (end != quota && *end == '\0' && q > 0) {
                long long allowed = (q + period - 1) / period;
                if (allowed < cpus) cpus = (int32_t)allowed;
            }
        }
        fclose(file);
    }
    return std::min(std::max(cpus, (int32_t)1), MAX_THREADS);
}
