// Text reading of the HEX input: opens it as bytes, reads it in blocks with reads
// that return what the host has (so a pipe is never waited on for more than a
// line), and splits it into lines of at most 1,023 characters. Owns the input
// descriptor and the block of the ConversionState.
#pragma once

#include "conversion_state.h"

constexpr std::size_t MAX_PIECE = LINE_BUFFER_SIZE - 1;  // characters of one piece, line end included

// Line results of parseHexLine beyond the shared codes; they never leave the reader.
constexpr int LINE_END_OF_INPUT = 6;  // no line could be read
constexpr int LINE_INPUT_ERROR = 7;   // reading the input failed

// Opens the file at path, or a descriptor of its own for standard input when
// state.standardInput is set, and starts reading at its first line. Returns
// RESULT_OK, or RESULT_READ_FAILED with state.input left as none.
int openInput(ConversionState& state, const char* path);

// Takes the open descriptor as state.input (NO_DESCRIPTOR for none) and starts
// reading it from its first line, with no part of a line end pending.
void startInput(ConversionState& state, int input);

// Closes state.input if it is open and sets it back to none; false when the host
// reported a failure.
bool closeInput(ConversionState& state);

// Skips the rest of the last line end and reads until the next line lies whole in
// the block: up to its line end, a piece of 1,023 characters, or the end of the
// input; no more is read than that line needs. For beginLine.
int finishLineStart(ConversionState& state, bool* emptyPiece);

// Skips the rest of the last line's end and makes the next line available whole in
// the block, reading no more than it needs. *emptyPiece tells that the rest of the
// last line end is a piece of its own. Returns RESULT_OK or LINE_INPUT_ERROR; an
// empty block after RESULT_OK is the end of the input.
inline int beginLine(ConversionState& state, bool* emptyPiece)
{
    // Most lines: more than a full piece is at hand, and the last line ended in a
    // line feed or in a carriage return and line feed.
    if (state.blockEnd - state.blockStart > MAX_PIECE) {
        if (state.carriageReturnPending && state.inputBlock[state.blockStart] == '\n') {
            state.carriageReturnPending = false;
            ++state.blockStart;
        }
        if (!state.carriageReturnPending) {
            *emptyPiece = false;
            return RESULT_OK;
        }
    }
    return finishLineStart(state, emptyPiece);
}

// Copies the line that beginLine made available into lineBuffer, without its line end.
void copyLine(ConversionState& state);

// Steps over the first character of the line end after a line of `length`
// characters, now at blockStart, when it fits in the line's piece; `available`
// is what the block held from the line's start.
inline void takeLineEnd(ConversionState& state, std::size_t length, std::size_t available)
{
    if (length < MAX_PIECE && length < available) {
        state.carriageReturnPending = state.inputBlock[state.blockStart] == '\r';
        state.lineEndRoom = MAX_PIECE - length - 1;
        ++state.blockStart;
    }
}
