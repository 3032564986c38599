// Replacing a file whole: the new contents go to a temporary file in the target's
// directory, which is renamed over the target only once every byte was written and
// the file was closed without error. Owns the host's calls for this.
#pragma once

#include "conversion_state.h"

// Replaces the file at outputPath (or the file it links to) with the bytes, through
// state.output. An existing file that is not a regular one (a FIFO, a device, a
// pipe) is written directly. On POSIX, a link to a file not there yet creates that
// file, and a file replaced keeps its mode and, where the process may, its owner. Returns
// RESULT_OK, or RESULT_WRITE_FAILED after printing "Can't open file" or "Can't
// write file" with outputPath; then no temporary file is left and an existing
// regular file at outputPath is unchanged.
int replaceFile(ConversionState& state, const char* outputPath, const unsigned char* bytes,
                std::size_t length);

// Writes the bytes to state.output, then flushes and closes it, setting it back to
// none; true when every step succeeded. For the hosts' replaceFile.
inline bool writeAndClose(ConversionState& state, const unsigned char* bytes, std::size_t length)
{
    bool written = std::fwrite(bytes, 1, length, state.output) == length;
    bool closed = std::fclose(state.output) == 0;  // flushes, and reports a failed flush
    state.output = nullptr;
    return written && closed;
}
