// Replacing a file whole: the new contents go to a temporary file in the target's
// directory, which is renamed over the target only once every byte was written and
// the file was closed without error. Owns the host's calls for this.
#pragma once

#include "conversion_state.h"

// Replaces the file at outputPath (or the file it links to) with the bytes, through
// state.output. Returns RESULT_OK, or RESULT_WRITE_FAILED after printing
// "Can't open file" or "Can't write file" with outputPath; then no temporary file
// is left and an existing file at outputPath is unchanged.
int replaceFile(ConversionState& state, const char* outputPath, const unsigned char* bytes,
                std::size_t length);
