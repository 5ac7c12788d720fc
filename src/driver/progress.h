// Progress of the form-factor rows on standard error, for halvora-bake. The
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
