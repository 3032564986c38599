// Checksums that romcast stores in the image: a constant catalogue of CRCs and byte
// sums, found by the names the user types, and a running record that takes a range's
// bytes in chunks of any length or as long runs of a repeated pattern. The caller owns
// the ChecksumRun; the catalogue is constant and every CRC runs through one
// parametrised, table-driven routine.
#pragma once

#include <cstddef>
#include <cstdint>

// An entry of the catalogue: name, width in the image, and how the value is computed.
struct ChecksumAlgorithm;

// The accepted names, as a usage message lists them; each also takes the suffix "-be".
inline constexpr char CHECKSUM_NAMES[] =
    "crc32, crc32c, crc32-mpeg2, stm32, crc16-ccitt, crc16-xmodem, crc16-modbus, sum8, sum16";

struct ChecksumRun {
    const ChecksumAlgorithm* algorithm;  // the catalogue entry being computed
    std::uint32_t value;                 // CRC register (reflected CRCs: in the low bits; the others:
                                         // in the high bits), or the byte sum modulo 2^32
    std::uint64_t byteCount;             // bytes fed since the start
    unsigned char pending[4];            // word-reversed feed: the first byteCount % 4 bytes of a word
                                         // still incomplete
    std::uint32_t table[4][256];         // CRCs: slice k is the register change of a byte that k zero
                                         // bytes follow
};

// Finds the algorithm for a name as the user typed it ("crc32", "crc16-xmodem-be"),
// in lower case only. Returns null when the name is unknown. *bigEndian tells
// whether it ended in "-be", which asks for the value stored most significant byte
// first (accepted, to no effect, on the one-byte sum8); false for an unknown name.
const ChecksumAlgorithm* findChecksum(const char* name, bool* bigEndian);

// The canonical name, without "-be": "crc32", "stm32", "sum8".
const char* checksumName(const ChecksumAlgorithm* algorithm);

// Bytes the value takes in the image: 4 for the 32-bit CRCs, 2 for the 16-bit CRCs
// and sum16, 1 for sum8.
unsigned checksumWidth(const ChecksumAlgorithm* algorithm);

// Whether the algorithm takes its range as 32-bit words, so that the range must be a
// multiple of 4 bytes (stm32).
bool checksumTakesWords(const ChecksumAlgorithm* algorithm);

// Prepares *run for a range of the algorithm, building its CRC table.
void startChecksum(ChecksumRun* run, const ChecksumAlgorithm* algorithm);

// Adds count bytes of the range, following those fed before. Any split of the range
// into chunks gives the same value. stm32 takes the range as 32-bit little-endian
// words and keeps up to 3 bytes of a word split between chunks.
void feedChecksum(ChecksumRun* run, const unsigned char* bytes, std::size_t count);

// Adds count bytes of the range that repeat the first `width` bytes of pattern (1 to
// 8) from its byte `phase` on: byte k of the run is pattern[(phase + k) % width]. The
// value is the one feedChecksum gives for the same bytes, and stm32 keeps a word split
// at either end of the run as it does. The time grows with the logarithm of count for
// the CRCs and not at all for the sums, so gigabytes of free bytes take microseconds.
void feedRepeated(ChecksumRun* run, const unsigned char* pattern, unsigned width, unsigned phase,
                  std::uint64_t count);

// The value for the bytes fed so far, in the low 8, 16 or 32 bits. For stm32 the
// range must be whole words: bytes of an incomplete last word are left out.
std::uint32_t finishChecksum(const ChecksumRun* run);

// Writes the low `width` bytes of value (1, 2 or 4) to out, least significant byte
// first or, with bigEndian, most significant first.
void storeChecksum(std::uint32_t value, unsigned width, bool bigEndian, unsigned char* out);
