// Motorola S-record reader: turns one S-record input into bytes of the image, or
// into runs of the address map. S0 is a header, S1, S2 and S3 hold data at 16-, 24-
// and 32-bit addresses (one file may mix them), S5 and S6 count the data records,
// S7, S8 and S9 end the file with a start address. Each record is checked as a HEX
// record is, and each fault reported on the input's message stream where it is
// found. While it runs it owns the InputState; lines come from line_reader, the
// bytes go through data_store.
#pragma once

#include "hex_vector.h"
#include "line_reader.h"
#include "memory_image.h"

// Whether the `length` characters at text are a well-formed S0, S1, S2 or S3 record:
// 'S', the type, hexadecimal digits only, and a count that matches the length. The
// checksum is not looked at: a file whose first record has a wrong one is still
// S-records, and gets the checksum's message.
bool looksLikeSRecord(const char* text, std::size_t length);

// Reads the input that openInput opened, to its end or its termination record, into
// the image, the data fields decoded by the kernels' pair decoder. Returns RESULT_OK
// after the termination record, or at the end of the input once a data byte was
// seen; else RESULT_READ_FAILED, or RESULT_NO_MEMORY. Nothing is read after the
// termination record, and the input is closed on every way out. A checksum that does
// not match, or a count record that disagrees with the data records read, is a
// warning, and with strictRecords a fault, as is an input without a termination
// record. The start address of S7, S8 or S9 other than 0 becomes the input's, as a
// linear start address (type 5).
int readSRecordInput(InputState& input, MemoryImage& image, const KernelSet& kernels);
