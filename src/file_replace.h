// Replacing files whole: the new contents of each go to a temporary file in its
// directory, and every temporary file is renamed over its target only once all of
// them were written and closed without error. Owns the host's calls for this, and
// the output streams while they are open.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "results.h"

constexpr std::size_t MAX_OUTPUTS = 8;  // the most files one image is written to

// What an output path names, as far as writing to it is concerned.
enum OutputKind {
    OUTPUT_FILE,        // a regular file, a directory, or nothing yet: replaced by a new file
    OUTPUT_FIFO,        // a FIFO, a socket or a pipe, or a link to one: written directly
    OUTPUT_DEVICE,      // a device (/dev/null, NUL, COM1), or a link to one: written directly
    OUTPUT_DESCRIPTOR,  // one of the process's open descriptors (/dev/stdout, /dev/fd/N,
                        // /proc/self/fd/N), or a link to one: written through it as it is
};

// What the output path names now; OUTPUT_FILE where that cannot be told, which
// the write itself then reports. *descriptor is the descriptor for
// OUTPUT_DESCRIPTOR, else -1.
OutputKind outputKind(const char* path, int* descriptor);

// Whether the open descriptors lead to the same file, unless it is a terminal:
// then what is written through one ends up among what is written through the other.
bool sharedDescriptorFile(int descriptor, int other);

// Fills the open output streams, in one pass over the contents; false when a write failed.
using OutputFiller = bool (*)(std::FILE* const* streams, std::size_t count, const void* contents);

// Replaces the files at paths[0] to paths[count - 1] (count 1 to MAX_OUTPUTS), or the
// files they link to, with what fill writes to streams[0] to streams[count - 1].
// An existing file that is not a regular one (a FIFO, a device, a pipe) is written
// directly, and a path that names one of the process's open descriptors is written
// through a duplicate of it, at its offset: nothing is renamed over what it leads
// to. On POSIX, a link to a file not there yet creates that file, and a file
// replaced keeps its mode and, where the process may, its owner. Returns RESULT_OK,
// or RESULT_WRITE_FAILED after printing "Can't open file" or "Can't write file" with
// the path on the message stream, with messages.explain followed by the system's
// reason on a line of its own. A failure before the first rename leaves no
// temporary file and every existing regular file unchanged; a failed rename leaves
// the files renamed before it replaced and the others unchanged. The streams are
// back to null on every way out.
int replaceFiles(MemoryAllocator allocate, std::FILE** streams, const char* const* paths, std::size_t count,
                 OutputFiller fill, const void* contents, const Messages& messages);

// Gives an output file that is being filled its room for `size` bytes from where it
// is, before they are written, where the host has a call for it; only advice, so
// nothing is reported. On Linux a file system that allocates blocks at writeback
// (ext4) writes a file back when it is renamed over an existing one, and the rename
// waits for that; a file whose blocks are allocated already is renamed at once. For
// the OutputFillers.
void reserveFileSpace(std::FILE* stream, std::uint64_t size);

// Prints "Can't write file" with the path and, with messages.explain, the C
// library's words for the errno value `error` (none for 0) on the next line.
inline void reportWriteFault(const Messages& messages, const char* path, int error)
{
    static_cast<void>(std::fprintf(messages.stream, "\nCan't write file %s\n", path));
    if (messages.explain && error != 0) {
        static_cast<void>(std::fprintf(messages.stream, "Reason: %s\n", std::strerror(error)));
    }
}

// Flushes and closes each of the first `opened` streams that is open, setting it
// back to null, and returns rc, or RESULT_WRITE_FAILED after "Can't write file" for
// the first that was not written and closed without error. filled is what the
// OutputFiller returned, and fillError errno as it left it. For the hosts'
// replaceFiles.
inline int closeOutputs(std::FILE** streams, std::size_t opened, const char* const* paths, bool filled,
                        int fillError, int rc, const Messages& messages)
{
    for (std::size_t k = 0; k < opened; ++k) {
        if (streams[k] == nullptr) {
            continue;
        }
        bool written = std::ferror(streams[k]) == 0;
        errno = 0;
        bool closed = std::fclose(streams[k]) == 0;  // flushes, and reports a failed flush
        int closeError = errno;
        streams[k] = nullptr;
        if ((!written || !closed) && rc == RESULT_OK) {
            // A write that failed stopped the filler at once, with its reason in errno.
            reportWriteFault(messages, paths[k], written ? closeError : fillError);
            rc = RESULT_WRITE_FAILED;
        }
    }
    if (rc == RESULT_OK && !filled) {
        reportWriteFault(messages, paths[0], fillError);  // a failed write shows in its stream: never here
        rc = RESULT_WRITE_FAILED;
    }
    return rc;
}
