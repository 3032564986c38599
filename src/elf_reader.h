// ELF input: reads the data of an ELF file's loadable segments into the image, or
// into runs of the address map, at their load addresses, through the same window,
// crop and overlap rules as a HEX file's data. The headers are checked by elf_format
// before a byte is stored; the file is read at offsets, from the file or, for a
// pipe, from its bytes read whole. Owns nothing: the InputState and the image are
// the caller's.
#pragma once

#include "line_reader.h"
#include "memory_image.h"

// Reads the ELF file that openInput opened and whose magic the caller has seen.
// Returns RESULT_OK; RESULT_READ_FAILED with a message that names the file when it
// cannot be read, a header or a segment is faulty, it holds no loadable data, or a
// segment's byte lies outside the window (without crop) or on a byte an earlier
// input wrote; or RESULT_NO_MEMORY. input.lineCount counts the segments of data;
// an entry point other than 0, below 2^32, becomes the input's start address (type
// 5). The input is closed on every way out.
int readElfInput(InputState& input, MemoryImage& image);
