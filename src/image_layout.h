// The image as the chips take it, between the reader and the writer: checksums
// placed in the image as the CPU reads it, then each word's bytes reversed
// (--swap), then the units dealt out to one file per chip (--split). Owns nothing.
#pragma once

#include <cstddef>
#include <cstdint>

// The length that the saved image is padded to a multiple of, for words of
// swapWidth bytes and parts of splitWidth-byte units: 1 when neither is asked for.
std::uint64_t layoutUnit(unsigned swapWidth, unsigned splitCount, unsigned splitWidth);

// Copies count bytes (a multiple of width) to out with the bytes of each width-byte
// word in reverse order.
void swapWords(const unsigned char* bytes, std::size_t count, unsigned width, unsigned char* out);

// Deals count bytes (a multiple of parts * width) out in units of width bytes: unit
// i goes to part i % parts, and part k's count / parts bytes go to out + k * (count / parts).
void splitUnits(const unsigned char* bytes, std::size_t count, unsigned parts, unsigned width,
                unsigned char* out);
