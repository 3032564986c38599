// The image as the chips and their programmers take it, between the readers and the
// writers: checksums placed in the image as the CPU reads it, then padding to whole
// blocks of the flash's write unit (--align), then each word's bytes reversed
// (--swap), then the units dealt out to one file per chip (--split). Owns nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "checksum.h"
#include "memory_image.h"

// A checksum to place in the image, as --checksum asks for it, and what placing it gave.
struct ChecksumRequest {
    const char* text = nullptr;  // the option's value as typed
    const ChecksumAlgorithm* algorithm = nullptr;
    bool bigEndian = false;   // the value is stored most significant byte first
    bool rangeGiven = false;  // FIRST-LAST given; else image address 0 up to the
                              // checksum's own
    std::uint32_t first = 0;  // the range's first and last image address
    std::uint32_t last = 0;
    bool lastAtEnd = false;         // LAST is "end": the byte before the checksum placed at end, or
                                    // else the last byte that the inputs wrote
    bool atEnd = false;             // placed after the data, at a multiple of its width
    std::uint32_t destination = 0;  // image address of its first byte, unless atEnd
    std::uint32_t value = 0;        // placed: the checksum
    std::uint32_t placedAt = 0;     // placed: its image address
};

// The image addresses that a checksum placed at `destination` covers: from *first
// up to, not including, *end. inputsEnd is the address after the last byte that the
// inputs wrote, for a range that ends at "end".
void checksumRange(const ChecksumRequest& request, std::uint64_t destination, std::uint64_t inputsEnd,
                   std::uint64_t* first, std::uint64_t* end);

// Computes each checksum over its range of the image as it will be saved (a byte
// never written reads as 0xFF) and stores it, in the order given, so that a later
// range may cover an earlier checksum. *keptLength rises to the end of each, which
// trimming must keep. Returns RESULT_OK; RESULT_READ_FAILED with a message on the
// messages stream when the destination holds a byte that is not 0xFF or a checksum
// placed after the data does not fit in the window; or RESULT_NO_MEMORY.
int placeChecksums(MemoryImage& image, ChecksumRequest* requests, int count, std::uint64_t* keptLength,
                   std::FILE* messages);

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
