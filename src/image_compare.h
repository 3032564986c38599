// Compare against a chip's read-back: the bytes that the inputs and the checksums
// wrote into the image, and only those, against a binary dump or the image read from
// a HEX file. Prints each run of differing bytes and the totals on standard output.
// Owns nothing: the image, the read-back and the InputState are the caller's.
#pragma once

#include "line_reader.h"
#include "memory_image.h"

// Compares the written bytes of the image with those of readBack, read in the same
// window: a byte that readBack did not write differs. Returns RESULT_OK when none
// differs, else RESULT_IMAGE_DIFFERS.
int compareWithImage(const MemoryImage& image, const MemoryImage& readBack);

// Compares the written bytes of the image with the binary dump at path, whose first
// byte is image address 0: a byte past the dump's end differs. Returns RESULT_OK,
// RESULT_IMAGE_DIFFERS, or RESULT_READ_FAILED after "Can't open file" or "Can't read
// file". input.name and standardInput are the caller's to set.
int compareWithDump(InputState& input, const MemoryImage& image, const char* path);
