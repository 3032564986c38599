// Decoding of the data field of a record: pairs of hexadecimal digits checked, turned
// into bytes and summed for the checksum. One kernel per instruction set, each with
// the portable kernel's contract; choosePairDecoder picks, once, the fastest that the
// processor has. Owns no state.
#pragma once

#include <cstddef>

// Decodes `count` pairs of hexadecimal digits (either case) from the 2 * count
// characters at text into bytes[0, count), and adds every byte to *sum. Reads no
// character beyond them. Returns 0 when every character was a digit; else a value
// above 0xFF, with what bytes and *sum then hold unspecified.
using PairDecoder = unsigned (*)(const unsigned char* text, unsigned count, unsigned char* bytes,
                                 unsigned* sum);

// Any processor: one pair at a time through the digit table.
unsigned decodePairsPortable(const unsigned char* text, unsigned count, unsigned char* bytes, unsigned* sum);

#if defined(__GNUC__) && defined(__x86_64__)
#define ROMCAST_X86_KERNELS 1
// Every x86-64 processor: eight pairs per step.
unsigned decodePairsSse2(const unsigned char* text, unsigned count, unsigned char* bytes, unsigned* sum);
// Sixteen pairs per step; only for a processor that has AVX2.
unsigned decodePairsAvx2(const unsigned char* text, unsigned count, unsigned char* bytes, unsigned* sum);
#endif

// The fastest decoder that this processor runs; the portable one in a build
// configured with ROMCAST_SCALAR_DECODE.
PairDecoder choosePairDecoder();

struct NamedPairDecoder {
    const char* name;  // "portable", "sse2", "avx2"
    PairDecoder decode;
};

// Fills list with the decoders that this processor runs, the portable one first, and
// returns how many there are: at most room.
std::size_t availablePairDecoders(NamedPairDecoder* list, std::size_t room);
