// The conversion state and the driver that runs one conversion on it.
// The driver owns the ConversionState for the whole run: the image, the input being
// read and the output streams. It reads each input into the image, then writes it,
// prints the report and releases everything.
#pragma once

#include <cstdio>

#include "file_replace.h"
#include "hex_vector.h"
#include "line_reader.h"
#include "memory_image.h"
#include "results.h"

struct ConversionState {
    MemoryImage image;                    // the window the inputs are read into
    MemoryImage readBack;                 // --compare with a HEX file: the read-back, in the same window
    InputState input;                     // the input being read
    KernelSet kernels = chooseKernels();  // the HEX reader's fast path, the fastest this processor runs
    std::uint64_t counts[4] = {};         // by InputKind: the lines of the HEX and S-record inputs (end
                                          // records and a failing line included), the segments of ELF ones
    bool kindsRead[4] = {};               // by InputKind: an input of the kind was read
    std::uint64_t address = 0;            // after writing: the bytes saved, 0xFF padding included (HEX:
                                          // the data bytes of its records)

    unsigned startType = 0;          // HEX output: the start address record written, 3 or 5; 0 for none
    std::uint32_t startAddress = 0;  // its value: CS * 65,536 + IP, or the linear address
    std::uint64_t keptLength = 0;    // trimming never cuts below this: the end of the last field,
                                     // fill range or checksum
    Messages messages;               // where the messages about faults go, and how much they say
    char* firstPart = nullptr;       // --split, once written: the names of the first and last part,
    char* lastPart = nullptr;        // heap strings for the report

    std::FILE* output[MAX_OUTPUTS] = {};     // the files being written, null when closed
    MemoryAllocator allocate = std::malloc;  // source of all heap memory; released with std::free
};

// Runs one whole conversion for the command line and returns the exit status.
// Prints the banner, usage, report and the general failure messages, or the help,
// the version, the address map or a command-line fault.
int runConverter(ConversionState& state, int argc, char* argv[]);

// Frees the image and closes any file still open, setting each back to none.
// Safe to call with nothing held, and to call twice.
void releaseResources(ConversionState& state);
