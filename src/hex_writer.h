// Intel HEX writer: saves the bytes of the image that were written, 0xFF included,
// at their file addresses, as data records in address order with a type 04 record
// where the upper 16 address bits change, then the start address and the end
// record; gaps stay gaps. Owns its text buffer and, through file_replace, the output
// stream while it writes.
#pragma once

#include "conversion_state.h"
#include "options.h"

// The most characters a record takes: colon, count, address, type, 255 data bytes,
// checksum and line feed.
constexpr std::size_t MAX_RECORD_TEXT = 1 + 2 + 4 + 2 + 2 * 255 + 2 + 1;

// Writes count bytes (up to 255) to out as upper-case hexadecimal digit pairs, adds
// each byte to *sum, and returns the end of what it wrote.
char* putHexBytes(char* out, const unsigned char* data, unsigned count, unsigned* sum);

// Writes the record of `type` with count data bytes at the 16-bit load address to
// out, upper-case with a line feed, and returns the end of what it wrote.
char* formatRecord(char* out, unsigned type, unsigned loadAddress, const unsigned char* data, unsigned count);

// Writes the image to options.outputPath as Intel HEX, data records of
// options.recordSize bytes, each starting at a multiple of it, at the first byte of
// a run or at a 64 KiB boundary and never crossing one, with the start address of
// state; with options.splitCount above 1, one such file per part, each from address
// 0 and without a start address. Returns RESULT_OK with the data bytes written in
// state.address, or RESULT_WRITE_FAILED with a message printed.
int writeHexFile(ConversionState& state, const Options& options);
