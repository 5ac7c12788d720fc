// halvora-bake's form-factor workers: std::thread workers over the blocks of
// a RowSplit, one mutex over everything they share.
//
// What the workers share, all under `lock`:
// - the split, from which a worker carves its next block (blocks are carved
//   in row order, so the block before a relayed one already has its worker);
// - the relays: the hemicube position at the start of a block inside a
//   polygon, made by the worker of the block before as soon as it has its
//   block, keyed by the row it is for, and the free relays;
// - the replays: relays whose moves are made and whose cells are still to
//   be moved, a slice at a time, by any worker that takes a slice: their
//   maker before its own rows, and every worker that would otherwise wait
//   (for a relay, for a free relay, or to place its hemicube anew). The
//   last slice done publishes the relay;
// - the rows that are done and not yet taken, keyed by row, each kept as its
//   touched entries (a row sees at most as many patches as it has cells, and
//   mostly far fewer than the scene has); a row that is the sink's next
//   when no worker writes goes to the sink as it stands, with no copy; the
//   storage of written held rows is kept (SPARE_HELD_ROWS, SPARE_HELD_BYTES)
//   for the next rows to be held;
// - `next_row`, the row the sink takes next, and `writing`, true while one
//   worker hands rows to the sink (outside the lock, so the others go on).
//
// Why no worker waits forever: a worker waits only for a relay (made by a
// worker that already holds the block before, before its first row; its
// slices are taken by workers that replay them without waiting on anything),
// for its own relays to be finished (the same), or, with the held rows
// beyond their bound, for the sink to
// catch up; but never when the row it computes next is `next_row`. That row
// is always in a block carved (or next to carve) whose worker is at it: the
// rows before it are taken. When that worker hands it in, it becomes the
// writer (or the writer takes it) and the rows that follow and are done go
// to the sink.
//
// The bytes are those of one worker: each row is computed from the cells of
// the hemicube after the same moves since the same placement (the relays
// replay them, each cell the same offsets in the same order whoever replays
// its slice, hemicube.h), by the same row functions, and the sink sees the
// rows in row order.
#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <mutex>
#include <thread>
#include <vector>

#include "bake/workers.h"
#include "base/errors.h"
#include "formfactor/hemicube.h"
#include "formfactor/worksplit.h"
#include "geometry/patches.h"

namespace {

// A finished row as it waits for its turn: the patches its worker touched and
// what they hold, every other entry +0.
struct HeldEntry {
    int32_t patch;
    float value;
};
typedef std::vector<HeldEntry> HeldRow;

// Written rows' storage kept for the next rows to be held, so that holding
// a row seldom allocates: at most this many rows' and this many bytes.
const size_t SPARE_HELD_ROWS = 256;
const uint64_t SPARE_HELD_BYTES = 8ull << 20;

// A relay being replayed: its moves are made, and its cells are replayed a
// slice at a time by whoever takes a slice: its maker, and workers that
// would otherwise wait. One record per worker, obtained before the threads
// start: a worker makes its next relay, places its hemicube anew, or moves
// it on, only once the one it made is finished (it replays from the
// hemicube's cells and shares its placement rays till then).
struct Replay {
    Hemicube *relay;
    int64_t for_row;              // the first row of the block it is for
    Vec3 *centres, *offsets;      // its moves' patch centres and offsets, room for the largest block
    int32_t count;                // moves
    int32_t slices, taken, done;
    SettleScan scan;
    bool in_flight;               // made and not yet finished
};

// Cells of a replay's slice: a few tens of microseconds of replaying.
const int32_t REPLAY_SLICE_CELLS = 8192;

struct Workers {
    const FormFactorScene *scene;
    const FormFactorRowSink *sink;
    std::mutex lock;
    std::condition_variable changed; // a relay published, rows taken, a block carved
    RowSplit split;
    std::map<int64_t, Hemicube *> relays;  // published, by the first row of the block they are for
    std::vector<Hemicube *> free_relays;
    std::vector<Replay> own;               // each worker's replay record, by worker
    std::vector<Replay *> replays;         // being replayed, oldest first (room for one a worker)
    std::map<int64_t, HeldRow> held;       // finished rows not yet taken, by row
    std::vector<HeldRow> spare;            // emptied held rows, their storage kept
    uint64_t spare_bytes = 0;              // that storage
    uint64_t held_bytes = 0;
    int64_t next_row = 0;                  // the row the sink takes next
    bool writing = false;                  // a worker is handing rows to the sink
    FormFactorRow out;                     // the writer's dense row, +0 but where a held row is put
    bool refused = false;                  // the sink refused a row: every worker stops
    bool out_of_memory = false;            // a held row could not be kept
};

uint64_t held_size(const HeldRow &row) { return row.size() * sizeof(HeldEntry); }

Vec3 centre_of(const Polygon *polys, int32_t polygon, int32_t patch) {
    Vec3 centre;
    int32_t v = polys[polygon].patches_v;
    patch_center(polys, polygon, patch / v, patch % v, &centre);
    return centre;
}

// Replays one slice of the oldest replay that has one left; false when none
// has. With `guard` held, released while the cells are replayed. The last
// slice done finishes the relay and publishes it.
bool replay_a_slice(Workers *s, std::unique_lock<std::mutex> &guard) {
    Replay *r = nullptr;
    for (Replay *q : s->replays)
        if (q->taken < q->slices) {
            r = q;
            break;
        }
    if (r == nullptr) return false;
    int32_t slice = r->taken++;
    int32_t cells = r->relay->hemicube_cell_count;
    int32_t from = slice * REPLAY_SLICE_CELLS, to = std::min(cells, from + REPLAY_SLICE_CELLS);
    guard.unlock();
    SettleScan part = {0.0f, false};
    hemicube_relay_replay(r->relay, r->offsets, r->count, from, to, &part);
    guard.lock();
    settle_scan_join(&r->scan, part);
    if (++r->done == r->slices) {
        hemicube_relay_finish(r->relay, &r->scan);
        s->relays[r->for_row] = r->relay;
        s->replays.erase(std::find(s->replays.begin(), s->replays.end(), r));
        r->in_flight = false;
        s->changed.notify_all();
    }
    return true;
}

// Waits, with `guard` held, until `ready` holds, replaying slices meanwhile.
template <typename Ready> void wait_helping(Workers *s, std::unique_lock<std::mutex> &guard, Ready ready) {
    while (!ready())
        if (!replay_a_slice(s, guard)) s->changed.wait(guard);
}

// Gives the sink's next row to the sink: `row` as it stands, or (with
// `kept`) the writer's row filled from the kept entries, whose storage then
// goes to the spares. Clears the row. With `guard` held (released
// meanwhile) and `writing` set.
void give_to_sink(Workers *s, FormFactorRow *row, HeldRow *kept, std::unique_lock<std::mutex> &guard) {
    int64_t index = s->next_row;
    guard.unlock();
    if (kept != nullptr) {
        row->touched_count = (int32_t)kept->size();
        for (size_t t = 0; t < kept->size(); t++) {
            row->touched[t] = (*kept)[t].patch;
            row->values[(*kept)[t].patch] = (*kept)[t].value;
        }
    }
    s->sink->begin(index, s->sink->context);
    bool accepted = s->sink->take(row, index, s->sink->context);
    row_clear(row);
    guard.lock();
    uint64_t storage = kept != nullptr ? kept->capacity() * sizeof(HeldEntry) : 0;
    if (storage > 0 && s->spare.size() < SPARE_HELD_ROWS && s->spare_bytes + storage <= SPARE_HELD_BYTES) {
        kept->clear();
        s->spare.push_back(std::move(*kept));
        s->spare_bytes += storage;
    }
    if (!accepted) s->refused = true;
    s->next_row++;
    s->changed.notify_all();
}

// Gives the sink every held row that is next, then stops being the writer.
// With `guard` held and `writing` set.
void write_held(Workers *s, std::unique_lock<std::mutex> &guard) {
    for (auto at = s->held.find(s->next_row); at != s->held.end() && !s->refused; at = s->held.find(s->next_row)) {
        HeldRow taken = std::move(at->second);
        s->held.erase(at);
        s->held_bytes -= held_size(taken);
        give_to_sink(s, &s->out, &taken, guard); // only the writer touches `out`
    }
    s->writing = false;
}

// Hands the worker's finished row in and, while no other worker does, gives
// the sink every row that is next. The row goes to the sink as it stands
// when it is the next one and nobody writes; otherwise its touched entries
// are kept, copied with the lock let go (a writer that stops meanwhile
// leaves this row to this worker, which then finds no writer). Either way
// the row is cleared. `next` is the row this worker computes after this
// one. With `guard` held. Waits while the held rows are beyond
// HELD_ROW_BYTES, unless this worker's next row is the one the sink needs.
void hand_in(Workers *s, FormFactorRow *row, int64_t index, int64_t next, std::unique_lock<std::mutex> &guard) {
    bool direct = !s->writing && index == s->next_row && !s->refused;
    if (!direct) {
        HeldRow kept;
        if (!s->spare.empty()) {
            kept = std::move(s->spare.back());
            s->spare.pop_back();
            s->spare_bytes -= kept.capacity() * sizeof(HeldEntry);
        }
        guard.unlock();
        bool copied = true;
        try {
            kept.resize((size_t)row->touched_count);
            for (size_t t = 0; t < kept.size(); t++) kept[t] = {row->touched[t], row->values[row->touched[t]]};
        } catch (const std::bad_alloc &) {
            copied = false;
        }
        row_clear(row);
        guard.lock();
        uint64_t bytes = held_size(kept);
        try {
            if (copied) s->held.emplace(index, std::move(kept));
        } catch (const std::bad_alloc &) {
            copied = false;
        }
        if (copied) {
            s->held_bytes += bytes;
        } else {
            s->out_of_memory = s->refused = true;
            s->changed.notify_all();
        }
    }
    if (!s->writing) {
        s->writing = true;
        if (direct) give_to_sink(s, row, nullptr, guard);
        write_held(s, guard);
    }
    s->changed.wait(guard, [&] { return s->held_bytes <= HELD_ROW_BYTES || next == s->next_row || s->refused; });
}

void work(Workers *s, FormFactorWorker *w, size_t index) {
    const Polygon *polys = s->scene->polygons;
    Replay *mine = &s->own[index];
    Hemicube *h = &w->hemicube;
    int32_t placed_on = -1; // the polygon h was last placed on
    std::unique_lock<std::mutex> guard(s->lock);
    RowBlock block;
    while (!s->refused && row_split_next(&s->split, &block)) {
        Hemicube *relay_out = nullptr;
        if (block.relays_out) {
            wait_helping(s, guard, [&] { return !s->free_relays.empty(); });
            relay_out = s->free_relays.back();
            s->free_relays.pop_back();
        }
        guard.unlock();

        // A relayed block on the polygon h already stands on needs no placing:
        // the relay brings the cells, and the placement rays (and the fast
        // paths' data made from them) are this polygon's already.
        if (!block.relayed_in || placed_on != block.polygon) {
            // The relay this worker made shares the placement rays till it is finished.
            guard.lock();
            wait_helping(s, guard, [&] { return !mine->in_flight; });
            guard.unlock();
            hemicube_place(h, polys, block.polygon);
            placed_on = block.polygon;
        }
        if (block.relayed_in) {
            guard.lock();
            wait_helping(s, guard, [&] { return s->relays.count(block.first_row) != 0; });
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
            // The relay for the next block: its moves made here, its cells
            // replayed in slices from h's, by this worker and any that would
            // wait; h's cells stay as they are till the last slice is done.
            guard.lock();
            wait_helping(s, guard, [&] { return !mine->in_flight; });
            guard.unlock();
            mine->relay = relay_out;
            mine->for_row = block.first_row + (block.end - block.first);
            mine->count = block.end - block.first;
            for (int32_t patch = block.first; patch < block.end; patch++)
                mine->centres[patch - block.first] = centre_of(polys, block.polygon, patch);
            hemicube_relay_from(relay_out, h);
            hemicube_relay_moves(relay_out, mine->centres, mine->count, mine->offsets);
            int32_t cells = relay_out->hemicube_cell_count;
            mine->slices = std::max(1, (cells + REPLAY_SLICE_CELLS - 1) / REPLAY_SLICE_CELLS);
            mine->taken = mine->done = 0;
            mine->scan = SettleScan{0.0f, false};
            guard.lock();
            mine->in_flight = true;
            s->replays.push_back(mine);
            s->changed.notify_all();
            wait_helping(s, guard, [&] { return !mine->in_flight; });
            guard.unlock();
        }

        for (int32_t patch = block.first; patch < block.end; patch++) {
            Vec3 centre = centre_of(polys, block.polygon, patch);
            hemicube_move(h, &centre);
            form_factor_row(w, s->scene);
            int64_t row = block.first_row + (patch - block.first);
            guard.lock();
            // After the block's last row, this worker's next row is the next block's.
            hand_in(s, &w->row, row, patch + 1 < block.end ? row + 1 : s->split.row, guard);
            bool stop = s->refused;
            guard.unlock();
            if (stop) break;
        }
        guard.lock();
    }
}

} // namespace

bool form_factor_rows_threaded(const FormFactorScene *scene, FormFactorWorker *first, int32_t threads,
                               const FormFactorRowSink *sink, FormFactorWork *work_done) {
    if (threads <= 1) return form_factor_rows(scene, first, sink, work_done);
    Workers s;
    s.scene = scene;
    s.sink = sink;
    row_split_start(&s.split, scene->polygons, scene->polygon_count, threads);
    // Everything the workers use but the held rows, before any starts.
    std::vector<FormFactorWorker> more((size_t)threads - 1);
    std::vector<FormFactorWorker *> workers = {first};
    for (FormFactorWorker &w : more) {
        form_factor_worker_init(&w, scene);
        workers.push_back(&w);
    }
    for (FormFactorWorker *w : workers) form_factor_worker_tables(w, scene);
    s.out.values = (float *)checked_calloc_apart((size_t)scene->patch_count, sizeof(float), EXIT_FF_ROW_NO_MEMORY);
    s.out.touched = (int32_t *)checked_calloc_apart((size_t)scene->hemicube.hemicube_cell_count + 1,
                                                    sizeof(int32_t), EXIT_FF_ROW_NO_MEMORY);
    s.out.touched_count = 0;
    int64_t largest_block = row_split_largest_relayed(&s.split);
    s.own.assign((size_t)threads, Replay{});
    for (Replay &r : s.own) {
        r.centres = (Vec3 *)checked_calloc_apart((size_t)largest_block, sizeof(Vec3), EXIT_FF_ROW_NO_MEMORY);
        r.offsets = (Vec3 *)checked_calloc_apart((size_t)largest_block, sizeof(Vec3), EXIT_FF_ROW_NO_MEMORY);
    }
    s.replays.reserve((size_t)threads);
    s.spare.reserve(SPARE_HELD_ROWS); // so that keeping a spare never allocates
    std::vector<Hemicube> relays((size_t)threads + 1);
    for (Hemicube &relay : relays) {
        relay = Hemicube{};
        relay.hemicube_cells = hemicube_relay_cells(&scene->hemicube);
        s.free_relays.push_back(&relay);
    }

    std::vector<std::thread> running;
    for (size_t k = 0; k < workers.size(); k++) running.emplace_back(work, &s, workers[k], k);
    for (std::thread &t : running) t.join();

    if (work_done != nullptr) *work_done = FormFactorWork{};
    for (FormFactorWorker *w : workers) {
        if (work_done != nullptr) {
            const CellcastCounters &c = w->cull.counters;
            const RuncastCounters &r = w->runs.counters;
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
    }
    for (FormFactorWorker &w : more) form_factor_worker_free(&w);
    free(s.out.values);
    free(s.out.touched);
    for (Hemicube &relay : relays) free(relay.hemicube_cells);
    for (Replay &r : s.own) {
        free(r.centres);
        free(r.offsets);
    }
    if (s.out_of_memory) fatal_out_of_memory(EXIT_FF_ROW_NO_MEMORY);
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

namespace {

// The solver's second thread: one task at a time, from start to finish.
struct SweepThread {
    std::mutex lock;
    std::condition_variable changed;
    void (*task)(void *) = nullptr;
    void *arg = nullptr;
    bool busy = false; // a task is given and not yet done
    bool quit = false;
    std::thread thread;
};

void sweep_thread_loop(SweepThread *t) {
    std::unique_lock<std::mutex> guard(t->lock);
    for (;;) {
        t->changed.wait(guard, [&] { return t->busy || t->quit; });
        if (!t->busy) return;
        guard.unlock();
        t->task(t->arg);
        guard.lock();
        t->busy = false;
        t->changed.notify_all();
    }
}

void sweep_thread_start(void (*task)(void *), void *arg, void *context) {
    SweepThread *t = (SweepThread *)context;
    std::lock_guard<std::mutex> guard(t->lock);
    t->task = task;
    t->arg = arg;
    t->busy = true;
    t->changed.notify_all();
}

void sweep_thread_finish(void *context) {
    SweepThread *t = (SweepThread *)context;
    std::unique_lock<std::mutex> guard(t->lock);
    t->changed.wait(guard, [&] { return !t->busy; });
}

} // namespace

void sweep_helper_begin(SweepHelper *helper) {
    SweepThread *t = new SweepThread;
    t->thread = std::thread(sweep_thread_loop, t);
    *helper = SweepHelper{sweep_thread_start, sweep_thread_finish, t};
}

void sweep_helper_end(SweepHelper *helper) {
    SweepThread *t = (SweepThread *)helper->context;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        t->quit = true;
        t->changed.notify_all();
    }
    t->thread.join();
    delete t;
    *helper = SweepHelper{};
}
