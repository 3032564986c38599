// Decoding of hexadecimal text: the digit table that every field decoder uses, the
// record checksum's test, and the HEX reader's fast path, which reads data records
// of the common shape in place from the input block into the image: one record
// through the pair decoder of the kernels it is given, and the records after it in
// runs through their run kernel (hex_vector).
#pragma once

#include <cstring>

#include "hex_vector.h"
#include "line_reader.h"
#include "memory_image.h"

// Above every digit and every byte value, so that a pair of characters decoded as
// high * 16 + low is above 0xFF whenever either is no digit.
constexpr std::uint16_t NOT_HEX = 0x100;

struct HexDigitTable {
    std::uint16_t value[256];  // the digit's value, or NOT_HEX
};

constexpr HexDigitTable makeHexDigitTable()
{
    HexDigitTable table{};
    for (unsigned c = 0; c < 256; ++c) {
        table.value[c] = NOT_HEX;
    }
    for (unsigned c = 0; c < 10; ++c) {
        table.value['0' + c] = static_cast<std::uint16_t>(c);
    }
    for (unsigned c = 0; c < 6; ++c) {
        table.value['A' + c] = static_cast<std::uint16_t>(10 + c);
        table.value['a' + c] = static_cast<std::uint16_t>(10 + c);
    }
    return table;
}

inline constexpr HexDigitTable HEX_DIGITS = makeHexDigitTable();

// The two hexadecimal digits at text as a byte; above 0xFF when either is no digit.
inline unsigned pairValue(const unsigned char* text)
{
    return static_cast<unsigned>(HEX_DIGITS.value[text[0]]) << 4 | HEX_DIGITS.value[text[1]];
}

// Whether all count bytes are free; sixteen at a time, as records hold 16 or 32.
inline bool allFree(const unsigned char* bytes, unsigned count)
{
    std::uint64_t all = ~std::uint64_t{0};
    unsigned k = 0;
    for (; k + 16 <= count; k += 16) {
        std::uint64_t words[2];
        std::memcpy(words, bytes + k, sizeof words);
        all &= words[0] & words[1];
    }
    for (; k < count; ++k) {
        all &= 0xFFFFFFFFFFFFFF00U | bytes[k];
    }
    return all == ~std::uint64_t{0};
}

// Sets the bits of count bytes from byte `offset` of a page in its bitmap: for the
// common records, whole bytes of bits in one store.
inline void markRecord(unsigned char* written, std::size_t offset, unsigned count)
{
    const std::uint32_t ones = ~std::uint32_t{0};
    if ((offset | count) % 8 != 0) {
        setBits(written, offset, count);
    } else if (count == 16) {
        std::memcpy(written + offset / 8, &ones, 2);
    } else if (count == 32) {
        std::memcpy(written + offset / 8, &ones, 4);
    } else {
        std::memset(written + offset / 8, 0xFF, count / 8);
    }
}

// Result of storeRegularRecord for a line it leaves to the field-by-field path.
constexpr int LINE_NOT_REGULAR = 8;

// Stores the line at blockStart in place when it is a data record of the common
// shape: a colon, then only hexadecimal digits up to exactly the length its count
// gives, then a line end, with every byte landing on a free address of one page of
// the window that is already allocated. Such a record passes every check of the
// field-by-field path, so storing it here has the same effect. Returns RESULT_OK,
// RESULT_READ_FAILED for a checksum mismatch with strict records (message printed),
// or LINE_NOT_REGULAR with nothing changed for any other line.
int storeRegularRecord(InputState& input, MemoryImage& image, const KernelSet& kernels);

// Stores the line at blockStart and the lines after it while they are data records
// of the common shape, each with the same effect as storeRegularRecord: runs of
// records in one page through the run kernel, the record that ends a run
// through storeRegularRecord. Stops at the first line that is neither, or that is not
// whole in the block, and leaves it to the caller as beginLine would find it (a line
// end's carriage return may be pending). Returns as storeRegularRecord for the first
// line, and RESULT_OK or RESULT_READ_FAILED after it.
int storeRegularRecords(InputState& input, MemoryImage& image, const KernelSet& kernels);

// Prints the checksum message for the current line; returns RESULT_READ_FAILED
// when records are strict, else RESULT_OK. For compareChecksum.
int reportChecksum(const InputState& input, unsigned read, unsigned calculated);

// Warns when the checksum read does not complete the record's byte sum to 0.
// Returns RESULT_READ_FAILED for such a record when records are strict, else RESULT_OK.
inline int compareChecksum(const InputState& input, unsigned read, unsigned sum)
{
    unsigned calculated = (0x100 - (sum & 0xFF)) & 0xFF;
    return read == calculated ? RESULT_OK : reportChecksum(input, read, calculated);
}
