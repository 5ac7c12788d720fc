// halvora-bake's form-factor workers: the stage at 1 and 2 threads side by
// side (wall seconds, best of the turns, the rows' bytes compared through a
// hash of every row in order), and beyond this machine a model of the split
// at 4 to 64 workers from the measured cost of every row at one thread and of
// the relays' replays.
//
// The model (modelled_makespan) follows the workers event by event: blocks
// carved in row order by the worker that comes free, relays made by the
// block before and replayed by their maker and by the workers that wait,
// replays shared by all who work on them. Makespan against the one worker's
// total over the workers is the efficiency. The rows held for the sink are
// not modelled: they are kept sparsely up to a bound that these scenes stay
// far below.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bake/workers.h"
#include "bench_formfactor.h"
#include "formfactor/formfactor.h"
#include "formfactor/hemicube.h"
#include "formfactor/settle.h"
#include "formfactor/worksplit.h"
#include "geometry/environment.h"
#include "geometry/patches.h"
#include "scenes.h"

namespace {

double wall_seconds() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

// A hash of the rows in the order taken, with each row's start and end time.
struct RowLog {
    uint64_t hash = 1469598103934665603ull;
    int32_t patches = 0;
    int64_t next = 0;
    bool in_order = true;
    std::vector<double> begun, cost;
};

void log_begin(int64_t row, void *context) {
    RowLog *log = (RowLog *)context;
    log->begun[(size_t)row] = wall_seconds();
}

bool log_take(const FormFactorRow *row, int64_t index, void *context) {
    RowLog *log = (RowLog *)context;
    log->cost[(size_t)index] = wall_seconds() - log->begun[(size_t)index];
    log->in_order = log->in_order && index == log->next++;
    // Hashed in a local: the log sits beside the first worker's record, and
    // a store per byte to it would take that cache line from the worker.
    const unsigned char *bytes = (const unsigned char *)row->values;
    uint64_t hash = log->hash;
    for (size_t k = 0; k < (size_t)log->patches * sizeof(float); k++) hash = (hash ^ bytes[k]) * 1099511628211ull;
    log->hash = hash;
    return true;
}

struct Stage {
    double seconds;
    RowLog log;
};

Stage run_stage(const FormFactorScene *scene, int32_t threads) {
    Stage stage;
    stage.log.patches = scene->patch_count;
    stage.log.begun.assign((size_t)scene->patch_count, 0);
    stage.log.cost.assign((size_t)scene->patch_count, 0);
    FormFactorRowSink sink = {log_begin, log_take, &stage.log};
    double t0 = wall_seconds();
    FormFactorWorker first;
    form_factor_worker_init(&first, scene);
    form_factor_rows_threaded(scene, &first, threads, &sink, nullptr);
    form_factor_worker_free(&first);
    stage.seconds = wall_seconds() - t0;
    return stage;
}

// Seconds per move of a relay's replay, per polygon: one replay over all its patches.
std::vector<double> replay_costs(const FormFactorScene *scene) {
    std::vector<double> per_move((size_t)scene->polygon_count, 0);
    Hemicube h, relay = {};
    hemicube_init(&h, &scene->hemicube);
    relay.hemicube_cells = hemicube_relay_cells(&scene->hemicube);
    for (int32_t i = 0; i < scene->polygon_count; i++) {
        const Polygon &p = scene->polygons[i];
        hemicube_place(&h, scene->polygons, i);
        double t0 = wall_seconds();
        std::vector<Vec3> centres, offsets((size_t)(p.patches_u * p.patches_v));
        for (int32_t j = 0; j < p.patches_u; j++)
            for (int32_t k = 0; k < p.patches_v; k++) {
                Vec3 centre;
                patch_center(scene->polygons, i, j, k, &centre);
                centres.push_back(centre);
            }
        hemicube_relay_from(&relay, &h);
        hemicube_relay_moves(&relay, centres.data(), (int32_t)centres.size(), offsets.data());
        SettleScan scan = {0.0f, false};
        hemicube_relay_replay(&relay, offsets.data(), (int32_t)offsets.size(), 0, relay.hemicube_cell_count, &scan);
        hemicube_relay_finish(&relay, &scan);
        per_move[(size_t)i] = (wall_seconds() - t0) / (double)(p.patches_u * p.patches_v);
    }
    free(relay.hemicube_cells);
    hemicube_free(&h);
    return per_move;
}

// The makespan of the split at `workers`, from the rows' costs and the
// replays', simulated event by event. A worker takes the next block in row
// order when it comes free. A block that is relayed in waits for its relay;
// a block that relays out first makes a replay job of its moves and works on
// it. A waiting worker works on the oldest unfinished job meanwhile. A job's
// work is shared by all who work on it (its slices of cells are small), and
// its relay is ready when the work is done; its maker then goes on to its
// rows.
double modelled_makespan(const FormFactorScene *scene, int32_t workers, const std::vector<double> &cost,
                         const std::vector<double> &per_move, bool helping) {
    const double DONE_BELOW = 1e-12;
    struct Job {
        double left;     // seconds of one worker's replay still to do
        int64_t for_row; // the block its relay is for
    };
    enum State { FREE, WAITING, MAKING, ROWS, DONE };
    struct Worker {
        State state = FREE;
        RowBlock block;
        double rows_left = 0;
        size_t job = 0; // MAKING: the job it made
    };
    RowSplit split;
    row_split_start(&split, scene->polygons, scene->polygon_count, workers);
    std::vector<Worker> w((size_t)workers);
    std::vector<Job> jobs;
    std::vector<int64_t> ready;       // rows whose relay is ready
    double now = 0;
    auto rows_of = [&](const RowBlock &b) {
        double rows = 0;
        for (int64_t r = b.first_row; r < b.first_row + (b.end - b.first); r++) rows += cost[(size_t)r];
        return rows;
    };
    // A worker with its block's relay in hand (or none needed) makes its job or starts its rows.
    auto begin = [&](Worker &x) {
        x.rows_left = rows_of(x.block);
        if (x.block.relays_out) {
            jobs.push_back({per_move[(size_t)x.block.polygon] * (double)(x.block.end - x.block.first),
                            x.block.first_row + (x.block.end - x.block.first)});
            x.job = jobs.size() - 1;
            x.state = MAKING;
        } else {
            x.state = ROWS;
        }
    };
    for (;;) {
        bool changed = true;
        while (changed) {
            changed = false;
            for (Worker &x : w) {
                if (x.state == FREE) {
                    if (!row_split_next(&split, &x.block)) {
                        x.state = DONE;
                        continue;
                    }
                    x.state = WAITING;
                    changed = true;
                }
                if (x.state == WAITING && (!x.block.relayed_in ||
                                           std::find(ready.begin(), ready.end(), x.block.first_row) != ready.end())) {
                    begin(x);
                    changed = true;
                }
                if (x.state == MAKING && jobs[x.job].left <= DONE_BELOW) {
                    ready.push_back(jobs[x.job].for_row);
                    x.state = ROWS;
                    changed = true;
                }
            }
        }
        // Who works on which job: makers on their own, waiting workers on the oldest unfinished one.
        size_t oldest = jobs.size();
        for (size_t j = 0; j < jobs.size(); j++)
            if (jobs[j].left > DONE_BELOW) {
                oldest = j;
                break;
            }
        std::vector<int32_t> on(jobs.size(), 0);
        bool busy = false;
        for (Worker &x : w) {
            if (x.state == MAKING) on[x.job]++;
            if (x.state == WAITING && helping && oldest < jobs.size()) on[oldest]++;
            busy = busy || x.state != DONE;
        }
        if (!busy) return now;
        double step = 1e30;
        for (size_t j = 0; j < jobs.size(); j++)
            if (on[j] > 0 && jobs[j].left > DONE_BELOW) step = std::min(step, jobs[j].left / on[j]);
        for (Worker &x : w)
            if (x.state == ROWS) step = std::min(step, x.rows_left);
        if (step >= 1e30) return -1; // nothing can move: the split would stall
        now += step;
        for (size_t j = 0; j < jobs.size(); j++)
            if (on[j] > 0 && jobs[j].left > DONE_BELOW) jobs[j].left -= step * on[j];
        for (Worker &x : w)
            if (x.state == ROWS && (x.rows_left -= step) <= 1e-15) x.state = FREE;
    }
}

// Settling: the pending moves added to every cell of a hemicube of
// `pixel_size`, in groups of four and of eight side by side (the cells
// start alike, the bytes are compared), seconds per move.
void settle_bench(FILE *table, float pixel_size, int turns) {
    int64_t count = hemicube_cells_for(pixel_size);
    std::vector<Vec3> start((size_t)count), ray0((size_t)count), offsets(HEMICUBE_PENDING_MOVES);
    for (int64_t k = 0; k < count; k++) {
        start[(size_t)k] = {(float)(k % 97) * 0.01f, (float)(k % 89) * 0.02f, 1.0f + (float)(k % 83) * 0.03f};
        ray0[(size_t)k] = start[(size_t)k];
    }
    for (int32_t p = 0; p < HEMICUBE_PENDING_MOVES; p++) offsets[(size_t)p] = {0.0125f, 0.003f * (float)p, -0.0007f};
    bool eight = settle_has_eight();
    double best[2] = {1e30, 1e30};
    std::vector<Vec3> cells[2];
    for (int width = 0; width < (eight ? 2 : 1); width++) {
        for (int turn = 0; turn < turns; turn++) {
            cells[width] = start;
            SettleCells c = {&cells[width][0].x, &cells[width][0].x, &ray0[0].x, (int32_t)count, offsets.data(),
                             HEMICUBE_PENDING_MOVES, Vec3{0, 0, 0}};
            SettleScan scan = {0.0f, false};
            double t0 = wall_seconds();
            int32_t k = width == 1 ? settle_by_eight(&c, 0, &scan) : 0;
            k = settle_by_four(&c, k, &scan);
            settle_one_by_one(&c, k, &scan);
            best[width] = std::min(best[width], wall_seconds() - t0);
        }
    }
    bool same = !eight || memcmp(cells[0].data(), cells[1].data(), cells[0].size() * sizeof(Vec3)) == 0;
    char by_eight[32] = "no AVX2";
    if (eight) snprintf(by_eight, sizeof by_eight, "%.1f", 1e6 * best[1] / HEMICUBE_PENDING_MOVES);
    fprintf(table, "| %g | %lld | %.1f | %s | %s |\n", (double)pixel_size, (long long)count,
            1e6 * best[0] / HEMICUBE_PENDING_MOVES, by_eight, same ? "yes" : "NO");
}

struct ThreadScene {
    std::string name;
    std::string text;
    float pixel_size;
    bool model; // the modelled split at 4 to 64 workers
};

} // namespace

void threads_bench(FILE *table, int turns) {
    std::vector<ThreadScene> scenes = {
        {"furnished room", furnished_room(), 0.0078125f, true},
        {"furnished room", furnished_room(), 0.05f, false},
        {"cube room 1500", cube_room_of(1500), 0.0078125f, false},
        {"cube room 1500", cube_room_of(1500), 0.05f, false},
        {"cluttered hall", cluttered_hall(7), 0.1f, true},
    };
    fprintf(table, "\nForm-factor stage on halvora-bake's workers (wall s, best of %d turns each, in turn)\n\n", turns);
    fprintf(table, "| scene | pixel size | patches | 1 thread | 2 threads | speed-up | same bytes |\n");
    fprintf(table, "|---|---|---|---|---|---|---|\n");
    std::vector<std::string> model_rows;
    for (const ThreadScene &s : scenes) {
        load_scene(s.text);
        FormFactorScene scene;
        form_factor_scene_init(&scene, polygons, polygon_count, patch_grid, s.pixel_size);
        double best[2] = {1e30, 1e30};
        Stage one;
        bool same = true;
        for (int turn = 0; turn < turns; turn++) {
            for (int32_t threads : {1, 2}) {
                Stage stage = run_stage(&scene, threads);
                best[threads - 1] = std::min(best[threads - 1], stage.seconds);
                if (threads == 1 && turn == 0) one = stage;
                same = same && stage.log.in_order && stage.log.hash == one.log.hash;
            }
        }
        fprintf(table, "| %s | %g | %d | %.3f | %.3f | %.2fx | %s |\n", s.name.c_str(), (double)s.pixel_size,
                (int)patch_count, best[0], best[1], best[0] / best[1], same ? "yes" : "NO");
        if (s.model) {
            std::vector<double> per_move = replay_costs(&scene);
            double total = 0;
            for (double c : one.log.cost) total += c;
            // As the workers run, and with each replay left to its maker alone.
            for (bool helping : {true, false}) {
                char line[256];
                int at = snprintf(line, sizeof line, "| %s%s | %g | %d | %.3f |", s.name.c_str(),
                                  helping ? "" : " (replays by their maker alone)", (double)s.pixel_size,
                                  (int)patch_count, total);
                for (int32_t workers : {4, 8, 16, 32, 64}) {
                    double makespan = modelled_makespan(&scene, workers, one.log.cost, per_move, helping);
                    at += snprintf(line + at, sizeof line - (size_t)at, " %.1f %% |", 100.0 * total / workers / makespan);
                }
                model_rows.push_back(line);
            }
        }
        form_factor_scene_free(&scene);
        free_patch_grid(polygons, polygon_count);
        free(polygons);
        polygons = nullptr;
    }
    fprintf(table, "\nSettling a hemicube's cells (the relays' replays and every row's move), microseconds "
                   "per move, best of %d\n\n| pixel size | cells | groups of four | groups of eight | same bytes |\n"
                   "|---|---|---|---|---|\n", turns * 3);
    for (float pixel_size : {0.05f, 0.0078125f}) settle_bench(table, pixel_size, turns * 3);
    fprintf(table, "\nThe split modelled at more workers: efficiency = (one worker's rows / workers) / makespan, replays "
                   "included\n\n");
    fprintf(table, "| scene | pixel size | patches | rows at 1 thread (s) | 4 | 8 | 16 | 32 | 64 |\n");
    fprintf(table, "|---|---|---|---|---|---|---|---|---|\n");
    for (const std::string &line : model_rows) fprintf(table, "%s\n", line.c_str());
}
