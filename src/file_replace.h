// Replacing files whole: the new contents of each go to a temporary file in its
// directory, and every temporary file is renamed over its target only once all of
// them were written and closed without error. Owns the host's calls for this, and
// the output streams while they are open.
#pragma once

#include <cstdio>

#include "results.h"

constexpr std::size_t MAX_OUTPUTS = 8;  // the most files one image is written to

// What an output path names, as far as writing to it is concerned.
enum OutputKind {
    OUTPUT_FILE,    // a regular file, a directory, or nothing yet: replaced by a new file
    OUTPUT_FIFO,    // a FIFO, a socket or a pipe, or a link to one: written directly
    OUTPUT_DEVICE,  // a device (/dev/null, NUL, COM1), or a link to one: written directly
};

// What the output path names now; OUTPUT_FILE where that cannot be told, which
// the write itself then reports.
OutputKind outputKind(const char* path);

// Fills the open output streams, in one pass over the contents; false when a write failed.
using OutputFiller = bool (*)(std::FILE* const* streams, std::size_t count, const void* contents);

// Replaces the files at paths[0] to paths[count - 1] (count 1 to MAX_OUTPUTS), or the
// files they link to, with what fill writes to streams[0] to streams[count - 1].
// An existing file that is not a regular one (a FIFO, a device, a pipe) is written
// directly. On POSIX, a link to a file not there yet creates that file, and a file
// replaced keeps its mode and, where the process may, its owner. Returns RESULT_OK,
// or RESULT_WRITE_FAILED after printing "Can't open file" or "Can't write file" with
// the path; with explain, "Can't open file" is followed by the system's reason on a
// line of its own. A failure before the first rename leaves no temporary file and every
// existing regular file unchanged; a failed rename leaves the files renamed before
// it replaced and the others unchanged. The streams are back to null on every way out.
int replaceFiles(MemoryAllocator allocate, std::FILE** streams, const char* const* paths, std::size_t count,
                 OutputFiller fill, const void* contents, bool explain);

// Gives an output file that is being filled its room for `size` bytes before they are
// written, where the host has a call for it; only advice, so nothing is reported. On
// Linux a file system that allocates blocks at writeback (ext4) writes a file back
// when it is renamed over an existing one, and the rename waits for that; a file whose
// blocks are allocated already is renamed at once. For the OutputFillers.
void reserveFileSpace(std::FILE* stream, std::uint64_t size);

// Flushes and closes each of the first `opened` streams that is open, setting it
// back to null, and returns rc, or RESULT_WRITE_FAILED after "Can't write file" for
// the first that was not written and closed without error. filled is what the
// OutputFiller returned. For the hosts' replaceFiles.
inline int closeOutputs(std::FILE** streams, std::size_t opened, const char* const* paths, bool filled,
                        int rc)
{
    for (std::size_t k = 0; k < opened; ++k) {
        if (streams[k] == nullptr) {
            continue;
        }
        bool written = std::ferror(streams[k]) == 0;
        bool closed = std::fclose(streams[k]) == 0;  // flushes, and reports a failed flush
        streams[k] = nullptr;
        if ((!written || !closed) && rc == RESULT_OK) {
            std::printf("\nCan't write file %s\n", paths[k]);
            rc = RESULT_WRITE_FAILED;
        }
    }
    if (rc == RESULT_OK && !filled) {
        std::printf("\nCan't write file %s\n", paths[0]);  // a failed write shows in its stream: never here
        rc = RESULT_WRITE_FAILED;
    }
    return rc;
}
