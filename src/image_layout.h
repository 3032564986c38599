// The image as the chips and their programmers take it, between what romcast writes
// into it (image_content) and the writers: padding to whole blocks of the flash's
// write unit (--align), then each word's bytes reversed (--swap), then the units
// dealt out to one file per chip (--split). Owns nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "memory_image.h"

// Widens every run of written bytes to whole blocks of `align` bytes (a power of two)
// at multiples of it, never past the window: the padding reads 0xFF and counts as
// written, so that a HEX output holds every block whole. Returns RESULT_OK or
// RESULT_NO_MEMORY.
int alignRuns(MemoryImage& image, std::uint64_t align);

// A binary's saved length rounded up to a multiple of `align`, never past the window.
std::uint64_t alignedLength(const MemoryImage& image, std::uint64_t length, std::uint64_t align);

// The length that the saved image is padded to a multiple of, for words of
// swapWidth bytes and parts of splitWidth-byte units: 1 when neither is asked for.
std::uint64_t layoutUnit(unsigned swapWidth, unsigned splitCount, unsigned splitWidth);

// Copies count bytes (a multiple of width) to out with the bytes of each width-byte
// word in reverse order.
void swapWords(const unsigned char* bytes, std::size_t count, unsigned width, unsigned char* out);

// Makes `out`, which the caller has given its allocator and nothing else, the image
// of part `part` of the split into `parts` parts of width-byte units: image address
// a of unit u = a / width goes to part u % parts at address
// (u / parts) * width + a % width. Its written bytes are those of the image that go
// to the part, and its window starts at 0. Returns RESULT_OK or RESULT_NO_MEMORY.
int takePart(const MemoryImage& image, unsigned parts, unsigned width, unsigned part, MemoryImage& out);

// Deals count bytes (a multiple of parts * width) out in units of width bytes: unit
// i goes to part i % parts, and part k's count / parts bytes go to out + k * (count / parts).
void splitUnits(const unsigned char* bytes, std::size_t count, unsigned parts, unsigned width,
                unsigned char* out);
