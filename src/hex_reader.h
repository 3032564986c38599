// Intel HEX reader (8-bit variant): turns the HEX data into bytes of the image.
// While it runs it owns the counters of the ConversionState and checks each record
// in a fixed order; each fault is reported on standard output where it is found.
// Text reading lives in line_reader, the in-place fast path in record_decoder.
#pragma once

#include "conversion_state.h"

// Reads the whole input into state.image. Returns RESULT_OK after the end-of-file
// record, or at the end of the input once a data byte was seen; else
// RESULT_READ_FAILED. Nothing is read after the end-of-file record, and the input
// is closed on every way out. path is opened, or only shown with standard input.
int readHexFile(ConversionState& state, const char* path);

// Reads and handles one line of state.input: RESULT_OK to go on, RESULT_END_RECORD,
// RESULT_READ_FAILED (message printed), LINE_END_OF_INPUT or LINE_INPUT_ERROR.
int parseHexLine(ConversionState& state);

// The value of the leading hexadecimal digits (at most two) at the position of the
// current line: "1G" gives 0x01, "G1" gives 0. Positions past the line read as its end.
unsigned decodeHexPair(const ConversionState& state, std::size_t position);

// The four characters at the position weigh 4096, 256, 16 and 1; a character that is
// not a hexadecimal digit adds nothing ("12G4" gives 0x1204).
unsigned decodeHexWord(const ConversionState& state, std::size_t position);

// Marks a file address that lies outside the window.
constexpr std::uint64_t OUTSIDE_WINDOW = ~std::uint64_t{0};

// The highest file address: a record that runs past it has no place in any window.
constexpr std::uint64_t MAX_FILE_ADDRESS = 0xFFFFFFFF;

// The image address of a data byte at a file address (base plus load address plus
// its place in the record), or OUTSIDE_WINDOW. The one window test of the reader.
inline std::uint64_t imageAddress(const ConversionState& state, std::uint64_t fileAddress)
{
    std::uint64_t relative = fileAddress - state.windowStart;  // below the window it wraps far above
    return relative < state.windowSize && fileAddress <= MAX_FILE_ADDRESS ? relative : OUTSIDE_WINDOW;
}

// Prints the checksum message for the current line; returns RESULT_READ_FAILED
// when records are strict, else RESULT_OK. For compareChecksum.
int reportChecksum(const ConversionState& state, unsigned read, unsigned calculated);

// Warns when the checksum read does not complete the record's byte sum to 0.
// Returns RESULT_READ_FAILED for such a record when records are strict, else RESULT_OK.
inline int compareChecksum(const ConversionState& state, unsigned read, unsigned sum)
{
    unsigned calculated = (0x100 - (sum & 0xFF)) & 0xFF;
    return read == calculated ? RESULT_OK : reportChecksum(state, read, calculated);
}
