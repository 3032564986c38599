// The conversion state and the driver that runs one conversion on it.
// The driver owns the ConversionState for the whole run: it prepares the image,
// runs the reader and then the writer, prints the report and releases everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// One numbering for step results and the process exit status.
enum ResultCode {
    RESULT_OK = 0,            // step or conversion succeeded
    RESULT_USAGE = 1,         // no input file named
    RESULT_WRITE_FAILED = 2,  // the output file could not be opened or written
    RESULT_READ_FAILED = 3,   // the input could not be read, a line failed, or no data was found
    RESULT_END_RECORD = 4,    // the reader saw the end-of-file record; never leaves the reader
    RESULT_NO_MEMORY = 5,     // allocating the image failed
};

constexpr std::size_t IMAGE_SIZE = 0x10000;        // 16-bit load addresses
constexpr unsigned char FREE_BYTE = 0xFF;          // fill value, and the mark of a free byte
constexpr std::size_t LINE_BUFFER_SIZE = 1024;     // a line is read in pieces of at most 1,023 characters
constexpr std::size_t INPUT_BLOCK_SIZE = 0x10000;  // the input is read in blocks of up to this size
constexpr int NO_DESCRIPTOR = -1;                  // no file is open

// Returns a block of the given size, or null. Tests put a failing one in place.
using MemoryAllocator = void* (*)(std::size_t size);

struct ConversionState {
    unsigned char* image = nullptr;     // IMAGE_SIZE bytes, byte n for load address n; 0xFF means free
    char lineBuffer[LINE_BUFFER_SIZE];  // the current line without its line end, for the field-by-field
                                        // path; a regular data record is read in place in inputBlock
    std::size_t lineLength = 0;         // characters of the current line in lineBuffer, 0 to 1,023
    std::uint32_t lineCount = 0;        // lines read so far, the end record and a failing line included
    std::uint32_t byteCount = 0;        // data bytes stored into image
    std::uint32_t address = 0;          // reading: address of the next data byte; after writing: bytes saved
    std::uint32_t highestAddress = 0;   // highest address that received a data byte, at most 0xFFFF
    std::uint32_t addressBase = 0;      // added to every load address; set by records of type 02 and 04
    std::uint32_t skippedCount = 0;     // data bytes outside the window that cropWindow skipped

    // The window of file addresses that the image holds: file address windowStart
    // + n is image address n, for n below windowSize (1 to 65,536). File addresses
    // count the bases of address records.
    std::uint32_t windowStart = 0;
    std::uint32_t windowSize = IMAGE_SIZE;
    bool cropWindow = false;           // data outside the window is skipped; else it fails the read
    bool strictRecords = false;        // a checksum mismatch or a character that is no digit fails the read
    bool fixedSize = false;            // the output is the whole window, not trimmed after its last byte
    bool standardInput = false;        // the HEX data comes from standard input, not from the path
    const char* outputPath = nullptr;  // the image's path; null to derive it from the input's

    int input = NO_DESCRIPTOR;    // the HEX data's descriptor while it is being read
    std::FILE* output = nullptr;  // the temporary image file while it is being written

    // Input bytes not yet split into lines live in inputBlock[blockStart, blockEnd).
    char inputBlock[INPUT_BLOCK_SIZE];
    std::size_t blockStart = 0;
    std::size_t blockEnd = 0;
    bool inputEnded = false;             // end of file or a 0x1A byte reached; nothing more is read
    bool carriageReturnPending = false;  // the last line ended at a carriage return whose run
                                         // (and optional line feed) is still to be skipped
    std::size_t lineEndRoom = 0;         // further carriage returns that still fit in that line's piece

    MemoryAllocator allocate = std::malloc;  // source of all heap memory; released with std::free
};

// Runs one whole conversion for the command line and returns the exit status.
// Prints the banner, usage, report and the general failure messages, or the help,
// the version or a command-line fault.
int runConverter(ConversionState& state, int argc, char* argv[]);

// Frees the image and closes any file still open, setting each back to none.
// Safe to call with nothing held, and to call twice.
void releaseResources(ConversionState& state);
