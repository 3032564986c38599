// Decoding of hexadecimal text: the digit table that every field decoder uses, the
// record checksum's test, and the reader's fast path, which reads a data record of
// the common shape in place from the input block into the image, its data field
// through the input's pair decoder (hex_vector).
#pragma once

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

// Result of storeRegularRecord for a line it leaves to the field-by-field path.
constexpr int LINE_NOT_REGULAR = 8;

// Stores the line at blockStart in place when it is a data record of the common
// shape: a colon, then only hexadecimal digits up to exactly the length its count
// gives, then a line end, with every byte landing on a free address of one page of
// the window that is already allocated. Such a record passes every check of the
// field-by-field path, so storing it here has the same effect. Returns RESULT_OK,
// RESULT_READ_FAILED for a checksum mismatch with strict records (message printed),
// or LINE_NOT_REGULAR with nothing changed for any other line.
int storeRegularRecord(HexInput& input, MemoryImage& image);

// Prints the checksum message for the current line; returns RESULT_READ_FAILED
// when records are strict, else RESULT_OK. For compareChecksum.
int reportChecksum(const HexInput& input, unsigned read, unsigned calculated);

// Warns when the checksum read does not complete the record's byte sum to 0.
// Returns RESULT_READ_FAILED for such a record when records are strict, else RESULT_OK.
inline int compareChecksum(const HexInput& input, unsigned read, unsigned sum)
{
    unsigned calculated = (0x100 - (sum & 0xFF)) & 0xFF;
    return read == calculated ? RESULT_OK : reportChecksum(input, read, calculated);
}
