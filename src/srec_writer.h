// Motorola S-record writer: saves the bytes of the image that were written, 0xFF
// included, at their file addresses, as S1, S2 or S3 records of one address width in
// address order, after an S0 record that names the file, then an S5 or S6 count
// record when asked for, and the S9, S8 or S7 record with the start address; gaps
// stay gaps. Owns its text buffer and, through file_replace, the output streams while
// it writes.
#pragma once

#include "conversion_state.h"
#include "options.h"

// The data bytes a record of an address width (2, 3 or 4 bytes) holds at most: its
// count field, one byte, takes the address, the data and the checksum.
constexpr unsigned maxSRecordData(unsigned addressBytes)
{
    return 255 - addressBytes - 1;
}

// Writes the image to options.outputPath as S-records of options.recordSize data
// bytes, each starting at a multiple of it or at the first byte of a run, with the
// narrowest address width that holds the highest address, or options.srecAddress
// bits; with options.splitCount above 1, one such file per part, each from address
// 0 and with the start address 0. Returns RESULT_OK with the data bytes written in
// state.address, or RESULT_WRITE_FAILED with a message printed.
int writeSRecordFile(ConversionState& state, const Options& options);
