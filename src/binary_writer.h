// Binary image writer: saves the image to state.outputPath, or else to the first
// input's path with its extension replaced by ".bin". The image is trimmed after its
// last byte that is not 0xFF, or is the whole window when its size is fixed; it is
// padded with 0xFF for --swap and --split, and with --split goes to one file per
// part. Owns the output names and, through file_replace, the output streams while
// it writes.
#pragma once

#include <cerrno>
#include <cstdio>

#include "conversion_state.h"
#include "file_replace.h"
#include "image_layout.h"
#include "options.h"

// Writes the image for the input path as the options ask. Returns RESULT_OK with the
// saved length (1 to 2^32, padding included) in state.address, and for a split image
// the names of its first and last part in state.firstPart and state.lastPart; or
// RESULT_WRITE_FAILED with a message printed.
int writeBinaryFile(ConversionState& state, const Options& options, const char* path);

// Writes the output at outputPath through fill, or with options.splitCount above 1
// its parts, each to the output path with ".k" put before its extension (streams 0
// to splitCount - 1 in the order of the parts). Returns RESULT_OK, for a split image
// with the names of its first and last part in state.firstPart and state.lastPart;
// or RESULT_WRITE_FAILED with a message printed.
int writeOutputFiles(ConversionState& state, const Options& options, const char* outputPath,
                     OutputFiller fill, const void* contents);

// Writes each part of a split image to its stream through write(stream, part, k),
// the part made into an image of its own from address 0 (takePart), one part at a
// time so that memory holds one. False when a part could not be made or written;
// when memory ran out, after "Not enough memory" and with errno 0.
template <typename WritePart>
bool writeEachPart(const ConversionState& state, const Options& options, std::FILE* const* streams,
                   std::size_t count, WritePart write)
{
    for (std::size_t k = 0; k < count; ++k) {
        MemoryImage part;
        part.allocate = state.allocate;
        int rc =
            takePart(state.image, options.splitCount, options.splitWidth, static_cast<unsigned>(k), part);
        bool written = rc == RESULT_OK && write(streams[k], static_cast<const MemoryImage&>(part), k);
        releaseImage(part);
        if (!written) {
            if (rc == RESULT_NO_MEMORY) {
                static_cast<void>(std::fputs("\nNot enough memory !\n", state.messages.stream));
                errno = 0;
            }
            return false;
        }
    }
    return true;
}

// The output path for an input path: drive, directory and base name kept, the
// extension (from the last dot after the directory) replaced by ".bin". The path is
// walked by characters of the current LC_CTYPE, so the second byte of a double-byte
// character is never taken for a separator or a dot. Returns a heap string to
// release with std::free, or null when no memory is left.
char* composeOutputPath(MemoryAllocator allocate, const char* path);

// The path of part k of a split image: the output path with ".k" put before its
// extension ("prog.bin" gives "prog.0.bin", "rom" gives "rom.0"). Walked as
// composeOutputPath walks; a heap string, or null when no memory is left.
char* composePartPath(MemoryAllocator allocate, const char* outputPath, unsigned part);
