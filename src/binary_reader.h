// Binary input: reads a file of raw bytes into the image from a file address, every
// byte data, 0xFF included, through the same window, crop and overlap rules as a HEX
// file's data; or into the address map's runs. Owns nothing: the InputState and the
// image are the caller's, as for the HEX reader.
#pragma once

#include "line_reader.h"
#include "memory_image.h"

// Reads the whole input at path (only shown with standard input) into the image,
// its first byte at file address `address`. Returns RESULT_OK; RESULT_READ_FAILED
// with a message that names the file when it cannot be read, is empty, or holds a
// byte outside the window (without crop) or on a byte an earlier input wrote; or
// RESULT_NO_MEMORY. The input is closed on every way out. input.name,
// standardInput and nameInMessages are the caller's to set.
int readBinaryFile(InputState& input, MemoryImage& image, const char* path, std::uint32_t address);
