// Reading of an input: opens it as bytes, reads it in blocks with reads that return
// what the host has (so a pipe is never waited on for more than a line), and splits
// a text input (Intel HEX, S-records) into lines of at most 1,023 characters; a
// binary input or a read-back is taken in raw blocks, and an ELF file at offsets.
// Owns the InputState, the record of the input being read: its descriptor, block,
// current line and, for an ELF file from a pipe, its bytes.
#pragma once

#include "results.h"

struct ImagePage;

constexpr std::size_t LINE_BUFFER_SIZE = 1024;     // a line is read in pieces of at most 1,023 characters
constexpr std::size_t INPUT_BLOCK_SIZE = 0x10000;  // the input is read in blocks of up to this size
constexpr std::size_t MAX_PIECE = LINE_BUFFER_SIZE - 1;  // characters of one piece, line end included

// What an input holds, as its content, or --binary, tells.
enum InputKind {
    INPUT_HEX,      // Intel HEX: anything that is neither of the others
    INPUT_SRECORD,  // Motorola S-records: the first line is an S0, S1, S2 or S3 record
    INPUT_ELF,      // an ELF file: it begins with 0x7F 'E' 'L' 'F'
    INPUT_BINARY,   // --binary: raw bytes from a file address
};

// One input while it is read, of any kind. Reused for each input; openInput starts
// it afresh.
struct InputState {
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
                                         // line included; of an ELF file, its segments of data
    std::uint32_t addressBase = 0;       // added to every load address; set by records of type 02 and 04
    unsigned startType = 0;              // 3 or 5 after a start address record (5 for an S-record
                                         // termination or an ELF entry point), else 0
    std::uint32_t startAddress = 0;      // its value: CS * 65,536 + IP, or the linear address
    std::uint64_t dataBefore = 0;        // data bytes the image had seen, stored or skipped, before
                                         // this input: what it saw beyond that is its own
    std::uint64_t storedBefore = 0;      // data bytes the image had stored before this input
    ImagePage* recordPage = nullptr;     // the page of the last record read in place, which this
                                         // input took; null after openInput
    std::uint64_t recordPageNumber = 0;  // its number
    bool endRecordSeen = false;          // the read ended at the end-of-file or termination record
    InputKind kind = INPUT_HEX;          // set by the reader of each kind
    std::uint32_t binaryAddress = 0;     // a binary input's first file address, for the --map run
                                         // that a window fault suggests
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

    // An input read at offsets (an ELF file): its size, and where it cannot be read at
    // an offset (a pipe), all its bytes, read once. The bytes a file holds are never
    // more than it is long.
    std::uint64_t fileSize = 0;      // bytes of a regular file, from fstat; of a pipe, read
    unsigned char* whole = nullptr;  // a pipe's bytes, a heap block freed by closeInput; else null
};

// Line results of parseHexLine beyond the shared codes; they never leave the reader.
constexpr int LINE_END_OF_INPUT = 6;  // no line could be read
constexpr int LINE_INPUT_ERROR = 7;   // reading the input failed

// Opens the file at path, or a descriptor of its own for standard input when
// input.standardInput is set, and starts reading at its first line with no line
// read and no address base. Returns RESULT_OK, or RESULT_READ_FAILED with the
// descriptor left as none.
int openInput(InputState& input, const char* path);

// Takes the open descriptor (NO_DESCRIPTOR for none) and starts reading it from
// its first line, with no part of a line end pending.
void startInput(InputState& input, int descriptor);

// Closes the descriptor if it is open and sets it back to none, and frees the bytes
// readWholeInput kept; false when the host reported a failure.
bool closeInput(InputState& input);

// Reads the next bytes of the input as they are, up to a block, into inputBlock from
// its start; *got is their number, 0 at the end of the input. Returns RESULT_OK or
// LINE_INPUT_ERROR.
int readRawBlock(InputState& input, std::size_t* got);

// Starts a message about the input on its message stream, which the caller's
// fprintf finishes: a line feed, then the input's name and ": " when it names itself.
void beginLineFault(const InputState& input);

// Prints "Can't open file" (opening) or "Can't read file" with the input's name on
// the message stream, and with messages.explain the system's reason on the next line.
void reportInputFault(const InputState& input, bool opening);

// Reads the input at path to its end in raw blocks and hands each, in order, to
// take(bytes, count, offset), offset being the block's place in the input; stops at
// the first result of take other than RESULT_OK and returns it. *size is what was
// read. A failed open, read or close prints "Can't open file" or "Can't read file"
// and returns RESULT_READ_FAILED.
template <typename TakeBlock>
int readRawInput(InputState& input, const char* path, std::uint64_t* size, TakeBlock take)
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

// Reads until the block holds count bytes from blockStart, a line end among them,
// or the whole input, whichever comes first; no more than that is read, and nothing
// is taken. Returns RESULT_OK or LINE_INPUT_ERROR.
int peekInput(InputState& input, std::size_t count);

// The length of the line at blockStart, without its line end, up to a piece: what
// copyLine would take. Nothing is taken.
std::size_t peekLineLength(const InputState& input);

// Reads size bytes at offset of an input read at offsets, within fileSize, into
// buffer: from the file, or from the bytes readWholeInput kept. Returns RESULT_OK,
// or RESULT_READ_FAILED with input.error set.
int readInputAt(InputState& input, std::uint64_t offset, void* buffer, std::size_t size);

// Makes an input that is not a regular file (a pipe, standard input) readable at
// offsets: reads it to its end into a heap block that input.whole holds, from the
// bytes the block holds from blockStart on, and sets fileSize. A regular file is
// left as it is. Returns RESULT_OK, or RESULT_READ_FAILED with input.error set.
int readWholeInput(InputState& input);

// Skips the rest of the last line end and reads until the next line lies whole in
// the block: up to its line end, a piece of 1,023 characters, or the end of the
// input; no more is read than that line needs. For beginLine.
int finishLineStart(InputState& input, bool* emptyPiece);

// Skips the rest of the last line's end and makes the next line available whole in
// the block, reading no more than it needs. *emptyPiece tells that the rest of the
// last line end is a piece of its own. Returns RESULT_OK or LINE_INPUT_ERROR; an
// empty block after RESULT_OK is the end of the input.
inline int beginLine(InputState& input, bool* emptyPiece)
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
void findEndOfText(InputState& input);

// Copies the line that beginLine made available into lineBuffer, without its line end.
void copyLine(InputState& input);

// Steps over the first character of the line end after a line of `length`
// characters, now at blockStart, when it fits in the line's piece; `available`
// is what the block held from the line's start.
inline void takeLineEnd(InputState& input, std::size_t length, std::size_t available)
{
    if (length < MAX_PIECE && length < available) {
        input.carriageReturnPending = input.inputBlock[input.blockStart] == '\r';
        input.lineEndRoom = MAX_PIECE - length - 1;
        ++input.blockStart;
    }
}

// Makes the next line available and offers it first to inPlace(), which may take it
// whole from the block and return its own result, or leave it and return notTaken;
// a line left is copied into lineBuffer (the rest of a line end that is a piece of
// its own as an empty line) and notTaken returned. Returns LINE_END_OF_INPUT at the
// end of the input, or LINE_INPUT_ERROR. For the readers of text.
template <typename InPlace>
int nextLine(InputState& input, InPlace inPlace, int notTaken)
{
    bool emptyPiece = false;
    int rc = beginLine(input, &emptyPiece);
    if (rc != RESULT_OK) {
        return rc;
    }
    if (emptyPiece) {
        input.lineLength = 0;
        return notTaken;
    }
    rc = inPlace();
    if (rc != notTaken) {
        return rc;
    }
    findEndOfText(input);
    if (input.blockStart == input.blockEnd) {
        return LINE_END_OF_INPUT;
    }
    copyLine(input);
    return notTaken;
}
