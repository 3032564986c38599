// The choice of reader by what an input holds: an ELF file begins with 0x7F 'E' 'L'
// 'F', an S-record file's first line is a well-formed S0 to S3 record, and anything
// else is Intel HEX, read exactly as ever. The choice reads no more of the input
// than the reader it picks would, so a pipe is never waited on for more. Owns
// nothing.
#pragma once

#include "hex_vector.h"
#include "line_reader.h"
#include "memory_image.h"

// Opens the input at path (standard input when input.standardInput is set), tells
// its kind and reads it whole into the image with that kind's reader, HEX records
// with the kernels given. Returns as the reader does; a failed open or read prints
// "Can't open file" or "Can't read file" and returns RESULT_READ_FAILED. The input
// is closed on every way out; input.kind tells what it was.
int readInputFile(InputState& input, MemoryImage& image, const char* path, const KernelSet& kernels);
