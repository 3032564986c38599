// Replacing files whole: the new contents of each go to a temporary file in its
// directory, and every temporary file is renamed over its target only once all of
// them were written and closed without error. Owns the host's calls for this, and
// the output streams while they are open.
#pragma once

#include <cstdio>

#include "results.h"

constexpr std::size_t MAX_OUTPUTS = 8;  // the most files one image is written to

// Fills the open output streams, in one pass over the contents; false when a write failed.
using OutputFiller = bool (*)(std::FILE* const* streams, std::size_t count, const void* contents);

// Replaces the files at paths[0] to paths[count - 1] (count 1 to MAX_OUTPUTS), or the
// files they link to, with what fill writes to streams[0] to streams[count - 1].
// An existing file that is not a regular one (a FIFO, a device, a pipe) is written
// directly. On POSIX, a link to a file not there yet creates that file, and a file
// replaced keeps its mode and, where the process may, its owner. Returns RESULT_OK,
// or RESULT_WRITE_FAILED after printing "Can't open file" or "Can't write file" with
// the path. A failure before the first rename leaves no temporary file and every
// existing regular file unchanged; a failed rename leaves the files renamed before
// it replaced and the others unchanged. The streams are back to null on every way out.
int replaceFiles(MemoryAllocator allocate, std::FILE** streams, const char* const* paths, std::size_t count,
                 OutputFiller fill, const void* contents);

// Flushes and closes the stream, setting it back to null; true when it was written
// and closed without error. For the hosts' replaceFiles.
inline bool closeOutput(std::FILE*& stream)
{
    bool written = std::ferror(stream) == 0;
    bool closed = std::fclose(stream) == 0;  // flushes, and reports a failed flush
    stream = nullptr;
    return written && closed;
}
