// Reading and writing the intermediate binary files: flat arrays of
// little-endian 32-bit floats, no header.
//
// A write counts only when every float reached the file: a short fwrite, or a
// failing fflush or fclose (a full disk shows itself there), is a failed write.
// A read that comes back short is a failure only when the stream is not at its
// end; at the end it is accepted and the unread places keep what they held.
#pragma once

#include <cstddef>
#include <cstdio>

// The intermediate files, in the working directory. ENVRNMNT.BIN lives only
// through the environment stage; the other four from their stage until the
// viewer's exit handler erases them.
constexpr const char *ENVIRONMENT_BIN = "ENVRNMNT.BIN";
constexpr const char *PATCH_BIN = "PATCH.BIN";
constexpr const char *FF_BIN = "FF.BIN";
constexpr const char *PATCHRAD_BIN = "PATCHRAD.BIN";
constexpr const char *VERTRAD_BIN = "VERTRAD.BIN";

// Writes `count` floats; false when fewer reached the stream.
bool write_floats(FILE *file, const float *data, size_t count);

// Flushes and closes; false when either fails (the stream is gone either way).
bool close_written_file(FILE *file);

// Reads up to `count` floats; false only on a short read not at end of file.
bool read_floats(FILE *file, float *data, size_t count);

// Which binary files erase_binary_files erases: all four, or all but FF.BIN
// (halvora-bake, which writes FF.BIN only to keep it).
enum BinaryFiles { ALL_BINARY_FILES, ALL_BUT_FORM_FACTORS };

// Erases PATCH.BIN, FF.BIN, PATCHRAD.BIN and VERTRAD.BIN, in this order. A
// file that cannot be erased is reported (report_error) and the others are
// still tried: the caller is ending the run with its own code.
void erase_binary_files(BinaryFiles which = ALL_BINARY_FILES);
