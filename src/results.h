// What every unit shares: the result codes, which are also the exit statuses, the
// fill value that marks a free byte, where the messages about a fault go, the
// allocator through which all heap memory is taken (tests put a failing one in
// place), and the advice that has memory at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// One numbering for step results and the process exit status.
enum ResultCode {
    RESULT_OK = 0,             // step or conversion succeeded
    RESULT_USAGE = 1,          // no input file named, or the command line is faulty
    RESULT_WRITE_FAILED = 2,   // the output file could not be opened or written
    RESULT_READ_FAILED = 3,    // the input could not be read, a line failed, or no data was found
    RESULT_END_RECORD = 4,     // the reader saw the end-of-file record; never leaves the reader
    RESULT_IMAGE_DIFFERS = 4,  // --compare found bytes that differ; the status of that run alone,
                               // so it never meets the reader's code
    RESULT_NO_MEMORY = 5,      // a page of the image, or the run list, could not be allocated
};

constexpr std::size_t IMAGE_SIZE = 0x10000;  // the default window: 16-bit load addresses
constexpr unsigned char FREE_BYTE = 0xFF;    // fill value, and the mark of a free byte
constexpr int NO_DESCRIPTOR = -1;            // no file is open

// Where the messages about faults go and how much they say: the driver's settings,
// handed to every step that reports.
struct Messages {
    std::FILE* stream = stdout;  // standard output, or standard error with -q, which keeps
                                 // standard output for an image written there
    bool explain = false;        // a run with options: a failed open, read or write is followed
                                 // by the system's reason, and a window fault by a hint
};

// Returns a block of the given size, or null. Released with std::free.
using MemoryAllocator = void* (*)(std::size_t size);

// Asks the host to back the whole pages of [start, start + size) with memory at once,
// in one call instead of a page fault per page, for memory that is about to be
// written whole; only advice, and only on Linux. A page fault costs several times
// more than a page of this call, the most in a virtual machine.
void populateMemory(void* start, std::size_t size);
