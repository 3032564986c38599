// Reading of an input: opens it as bytes, reads it in blocks with reads that return
// what the host has (so a pipe is never waited on for more than a line), and splits
// a HEX input into lines of at most 1,023 characters; a binary input or a read-back
// is taken in raw blocks. Owns the HexInput, the record of the input being read: its
// descriptor, block and current line.
#pragma once

#include "hex_vector.h"
#include "results.h"

struct ImagePage;

constexpr std::size_t LINE_BUFFER_SIZE = 1024;     // a line is read in pieces of at most 1,023 characters
constexpr std::size_t INPUT_BLOCK_SIZE = 0x10000;  // the input is read in blocks of up to this size
constexpr std::size_t MAX_PIECE = LINE_BUFFER_SIZE - 1;  // characters of one piece, line end included

// One input while it is read, a HEX file or a binary one. Reused for each input;
// openInput starts it afresh.
struct HexInput {
    const char* name = nullptr;   // the path, or "(standard input)": what messages show
    bool standardInput = false;   // the HEX data comes from standard input, not from name
    bool nameInMessages = false;  // each line message begins with the name: several inputs, or quiet
    bool strictRecords = false;   // a checksum mismatch, a character that is no digit or a
                                  // missing end record fails the read
    Messages messages;            // where the messages about the input go, and whether a failed
                                  // open or read gives the system's reason and a window fault a hint

    char lineBuffer[LINE_BUFFER_SIZE];   // the current line without its line end, for the field-by-field
                                         // path; a regular data record is read in place in inputBlock
    std::size_t lineLength = 0;          // characters of the current line in lineBuffer, 0 to 1,023
    std::uint32_t lineCount = 0;         // lines of this input read so far, the end record and a failing
                                         // line included
    std::uint32_t addressBase = 0;       // added to every load address; set by records of type 02 and 04
    unsigned startType = 0;              // 3 or 5 after a start address record, else 0
    std::uint32_t startAddress = 0;      // its value: CS * 65,536 + IP, or the linear address
    std::uint64_t dataBefore = 0;        // data bytes the image had seen, stored or skipped, before
                                         // this input: what it saw beyond that is its own
    std::uint64_t storedBefore = 0;      // data bytes the image had stored before this input
    ImagePage* recordPage = nullptr;     // the page of the last record read in place, which this
                                         // input took; null after openInput
    std::uint64_t recordPageNumber = 0;  // its number
    bool endRecordSeen = false;          // the read ended at the end-of-file record
    bool binary = false;                 // a binary input, its first byte at file address binaryAddress;
                                         // set by the reader of each kind
    std::uint32_t binaryAddress = 0;     // for the --map run that a window fault suggests
    bool skippedAny = false;             // the window skipped a data byte of this input
    std::uint64_t firstSkipped = 0;      // the file address of the first, once skippedAny
    int error = 0;                       // errno of the open, read or close that failed

    int descriptor = NO_DESCRIPTOR;  // the HEX data's descriptor while it is being read
    // Input bytes not yet split into lines live in inputBlock[blockStart, blockEnd). A
    // 0x1A ends the input like the end of the file: findEndOfText cuts the block there.
    char inputBlock[INPUT_BLOCK_SIZE];
    std::size_t blockStart = 0;
    std::size_t blockEnd = 0;
    std::size_t searchedEnd = 0;         // the block before it holds no 0x1A, or was taken
                                         // by the fast path
    bool inputEnded = false;             // end of file or a 0x1A byte found; nothing more is read
    bool carriageReturnPending = false;  // the last line ended at a carriage return whose run
                                         // (and optional line feed) is still to be skipped
    std::size_t lineEndRoom = 0;         // further carriage returns that still fit in that line's piece

    // The kernels of the fast path, the fastest this processor runs: chosen when the
    // record is made, which the driver does once per run.
    KernelSet kernels = chooseKernels();
};

// Line results of parseHexLine beyond the shared codes; they never leave the reader.
constexpr int LINE_END_OF_INPUT = 6;  // no line could be read
constexpr int LINE_INPUT_ERROR = 7;   // reading the input failed

// Opens the file at path, or a descriptor of its own for standard input when
// input.standardInput is set, and starts reading at its first line with no line
// read and no address base. Returns RESULT_OK, or RESULT_READ_FAILED with the
// descriptor left as none.
int openInput(HexInput& input, const char* path);

// Takes the open descriptor (NO_DESCRIPTOR for none) and starts reading it from
// its first line, with no part of a line end pending.
void startInput(HexInput& input, int descriptor);

// Closes the descriptor if it is open and sets it back to none; false when the host
// reported a failure.
bool closeInput(HexInput& input);

// Reads the next bytes of the input as they are, up to a block, into inputBlock from
// its start; *got is their number, 0 at the end of the input. Returns RESULT_OK or
// LINE_INPUT_ERROR.
int readRawBlock(HexInput& input, std::size_t* got);

// Starts a message about the input on its message stream, which the caller's
// fprintf finishes: a line feed, then the input's name and ": " when it names itself.
void beginLineFault(const HexInput& input);

// Prints "Can't open file" (opening) or "Can't read file" with the input's name on
// the message stream, and with messages.explain the system's reason on the next line.
void reportInputFault(const HexInput& input, bool opening);

// Reads the input at path to its end in raw blocks and hands each, in order, to
// take(bytes, count, offset), offset being the block's place in the input; stops at
// the first result of take other than RESULT_OK and returns it. *size is what was
// read. A failed open, read or close prints "Can't open file" or "Can't read file"
// and returns RESULT_READ_FAILED.
template <typename TakeBlock>
int readRawInput(HexInput& input, const char* path, std::uint64_t* size, TakeBlock take)
{
    *size = 0;
    if (openInput(input, path) != RESULT_OK) {
        reportInputFault(input, true);
        return RESULT_READ_FAILED;
    }
    int rc = RESULT_OK;
    std::size_t got = 0;
    while (rc == RESULT_OK && (rc = readRawBlock(input, &got)) == RESULT_OK && got > 0) {
        rc = take(reinterpret_cast<const unsigned char*>(input.inputBlock), got, *size);
        *size += got;
    }
    bool closed = closeInput(input);
    if (rc == LINE_INPUT_ERROR || (rc == RESULT_OK && !closed)) {
        reportInputFault(input, false);
        return RESULT_READ_FAILED;
    }
    return rc;
}

// Skips the rest of the last line end and reads until the next line lies whole in
// the block: up to its line end, a piece of 1,023 characters, or the end of the
// input; no more is read than that line needs. For beginLine.
int finishLineStart(HexInput& input, bool* emptyPiece);

// Skips the rest of the last line's end and makes the next line available whole in
// the block, reading no more than it needs. *emptyPiece tells that the rest of the
// last line end is a piece of its own. Returns RESULT_OK or LINE_INPUT_ERROR; an
// empty block after RESULT_OK is the end of the input.
inline int beginLine(HexInput& input, bool* emptyPiece)
{
    // Most lines: more than a full piece is at hand, and the last line ended in a
    // line feed or in a carriage return and line feed.
    if (input.blockEnd - input.blockStart > MAX_PIECE) {
        if (input.carriageReturnPending && input.inputBlock[input.blockStart] == '\n') {
            input.carriageReturnPending = false;
            ++input.blockStart;
        }
        if (!input.carriageReturnPending) {
            *emptyPiece = false;
            return RESULT_OK;
        }
    }
    return finishLineStart(input, emptyPiece);
}

// Cuts the block at a 0x1A in the next piece, which ends the input: nothing more is
// read. The block is searched for it no further than a piece, when a line is looked
// for: the fast path takes only digits, colons and line ends, and so may take the
// lines before it unsearched. beginLine calls this when it reads; copyLine needs it.
void findEndOfText(HexInput& input);

// Copies the line that beginLine made available into lineBuffer, without its line end.
void copyLine(HexInput& input);

// Steps over the first character of the line end after a line of `length`
// characters, now at blockStart, when it fits in the line's piece; `available`
// is what the block held from the line's start.
inline void takeLineEnd(HexInput& input, std::size_t length, std::size_t available)
{
    if (length < MAX_PIECE && length < available) {
        input.carriageReturnPending = input.inputBlock[input.blockStart] == '\r';
        input.lineEndRoom = MAX_PIECE - length - 1;
        ++input.blockStart;
    }
}
