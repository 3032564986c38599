// Binary image writer: saves the image from address 0 up to its last byte that is
// not 0xFF, or the whole window when its size is fixed, to state.outputPath or else
// the input's path with the extension replaced by ".bin". Owns the derived output
// path and, through file_replace, the output stream while it writes.
#pragma once

#include "conversion_state.h"

// Writes the image for the input path. Returns RESULT_OK with the saved length
// (1 to 65,536) in state.address, or RESULT_WRITE_FAILED with a message printed.
int writeBinaryFile(ConversionState& state, const char* path);

// The output path for an input path: drive, directory and base name kept, the
// extension (from the last dot after the directory) replaced by ".bin". The path is
// walked by characters of the current LC_CTYPE, so the second byte of a double-byte
// character is never taken for a separator or a dot. Returns a heap string to
// release with std::free, or null when no memory is left.
char* composeOutputPath(const ConversionState& state, const char* path);
