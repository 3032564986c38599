// Intel HEX reader (8-bit variant): turns the named file into bytes of the image.
// While it runs it owns the input stream, the line buffer and the counters of the
// ConversionState; each fault is reported on standard output where it is found.
#pragma once

#include "conversion_state.h"

// Line results of parseHexLine beyond the shared codes; they never leave the reader.
constexpr int LINE_END_OF_INPUT = 6;  // no line could be read
constexpr int LINE_INPUT_ERROR = 7;   // reading the input failed

// Reads the whole file into state.image. Returns RESULT_OK after the end-of-file
// record, or at the end of the input once a data byte was stored; else
// RESULT_READ_FAILED. The input is closed on every way out.
int readHexFile(ConversionState& state, const char* path);

// Takes the open stream as state.input (null for none) and starts reading it from
// its first line, with no part of a line end pending.
void startInput(ConversionState& state, std::FILE* input);

// Reads and handles one line of state.input: RESULT_OK to go on, RESULT_END_RECORD,
// RESULT_READ_FAILED (message printed), LINE_END_OF_INPUT or LINE_INPUT_ERROR.
int parseHexLine(ConversionState& state);

// The value of the leading hexadecimal digits (at most two) at the position of the
// current line: "1G" gives 0x01, "G1" gives 0. Positions past the line read as its end.
unsigned decodeHexPair(const ConversionState& state, std::size_t position);

// The four characters at the position weigh 4096, 256, 16 and 1; a character that is
// not a hexadecimal digit adds nothing ("12G4" gives 0x1204).
unsigned decodeHexWord(const ConversionState& state, std::size_t position);
