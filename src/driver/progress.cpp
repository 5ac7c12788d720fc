// The progress report of a long stage on standard error: the stage, rows done
// of all, rows per second and the time left at that rate.
//
// On a terminal it is a bar redrawn at most ten times a second on the line
// below the cursor: the cursor is saved (ESC 7), moved down one line in its
// column (ESC D), the line is redrawn, and the cursor is restored (ESC 8), so
// the counter that standard output overwrites in place on the same terminal
// stays where it is. The line is reserved once at the start (ESC D then ESC M,
// which scrolls the screen if the cursor is on its last line) and cleared at
// the end. Anywhere else (a file, a pipe) it is one plain line per tenth of
// the rows, and one when the stage ends.
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "driver/progress.h"

bool progress_enabled = false;

namespace {

// Characters of the bar between its brackets.
constexpr int BAR_WIDTH = 30;
// Seconds between two redraws of a terminal's bar.
constexpr double REDRAW_SECONDS = 0.1;

struct Progress {
    const char *stage;
    int64_t total;
    int64_t done;
    bool terminal;
    double started;      // seconds, monotonic clock
    double last_drawn;   // seconds of the last redraw (terminal)
    int64_t last_tenth;  // tenths of the rows reported (plain lines)
};

Progress progress;

// The stage of progress_stage, and when it was first reported; null when none.
const char *told_stage = nullptr;
double told_since = 0.0;

double now_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

// "1234/20000 rows, 310 rows/s, 54 s left"; the rate and time left only once
// a row is done and some time has passed.
void format_counts(char *text, size_t size, double elapsed) {
    int used = snprintf(text, size, "%lld/%lld rows", (long long)progress.done, (long long)progress.total);
    if (progress.done > 0 && elapsed > 0.0 && used > 0 && (size_t)used < size) {
        double rate = (double)progress.done / elapsed;
        double left = (double)(progress.total - progress.done) / rate;
        snprintf(text + used, size - (size_t)used, ", %.1f rows/s, %.0f s left", rate, left);
    }
}

void draw_bar(double elapsed) {
    char counts[128];
    format_counts(counts, sizeof counts, elapsed);
    char bar[BAR_WIDTH + 1];
    int filled = progress.total > 0 ? (int)(progress.done * BAR_WIDTH / progress.total) : BAR_WIDTH;
    for (int k = 0; k < BAR_WIDTH; k++) bar[k] = k < filled ? '#' : '.';
    bar[BAR_WIDTH] = '\0';
    fprintf(stderr, "\0337\033D\r%s [%s] %s\033[K\0338", progress.stage, bar, counts);
    fflush(stderr);
}

void plain_line(double elapsed) {
    char counts[128];
    format_counts(counts, sizeof counts, elapsed);
    fprintf(stderr, "%s: %s\n", progress.stage, counts);
    fflush(stderr);
}

} // namespace

void progress_start(const char *stage, int64_t total) {
    if (!progress_enabled) return;
    progress = Progress{stage, total, 0, isatty(2) == 1, now_seconds(), 0.0, 0};
    if (progress.terminal) {
        fputs("\033D\033M", stderr);
        draw_bar(0.0);
        progress.last_drawn = progress.started;
    }
}

void progress_row(int64_t done) {
    if (!progress_enabled) return;
    progress.done = done;
    double now = now_seconds();
    if (progress.terminal) {
        if (now - progress.last_drawn < REDRAW_SECONDS && done < progress.total) return;
        progress.last_drawn = now;
        draw_bar(now - progress.started);
    } else if (progress.total > 0) {
        int64_t tenth = done * 10 / progress.total;
        if (tenth > progress.last_tenth && done < progress.total) {
            progress.last_tenth = tenth;
            plain_line(now - progress.started);
        }
    }
}

void progress_finish() {
    if (!progress_enabled) return;
    if (progress.terminal) {
        fputs("\0337\033D\r\033[K\0338", stderr);
        fflush(stderr);
    } else {
        plain_line(now_seconds() - progress.started);
    }
}

void progress_stage(const char *stage, const char *format, ...) {
    if (!progress_enabled) return;
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (told_stage != stage) {
        told_stage = stage;
        told_since = now_seconds();
    }
    if (isatty(2) == 1) fprintf(stderr, "\033D\033M\0337\033D\r%s: %s\033[K\0338", stage, text);
    else fprintf(stderr, "%s: %s\n", stage, text);
    fflush(stderr);
}

void progress_end_stage() {
    if (!progress_enabled || told_stage == nullptr) return;
    if (isatty(2) == 1) fputs("\0337\033D\r\033[K\0338", stderr);
    else fprintf(stderr, "%s: done in %.1f s\n", told_stage, now_seconds() - told_since);
    fflush(stderr);
    told_stage = nullptr;
}
