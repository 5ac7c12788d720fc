// Progress of the long stages on standard error, for halvora-bake: the
// form-factor rows counted, the other stages told as they go. The
// program's own console output (standard output, the seven-digit counter)
// is not touched: with `progress_enabled` false, as halvora leaves it, these
// calls print nothing at all.
#pragma once

#include <cstdint>

// Set by halvora-bake before the stages run; false in halvora.
extern bool progress_enabled;

// A stage of `total` rows begins (its name in lower case, "form factors").
void progress_start(const char *stage, int64_t total);
// `done` rows of the stage are complete.
void progress_row(int64_t done);
// The stage is complete: a terminal's bar is cleared, a plain log gets its
// last line.
void progress_finish();

// A stage without rows to count is at `format` (printf) now: "patches",
// "cutting 20007 polygons into patches". On a terminal it stands on the line
// below the cursor, as the bar does, until the next report; elsewhere it is
// one line.
void progress_stage(const char *stage, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The stage of progress_stage is complete: a terminal's line is cleared, a
// plain log gets "stage: done in 1.2 s".
void progress_end_stage();
