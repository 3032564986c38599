// The store that every reader hands its data bytes to: the window, --crop and the
// overlap rule for the image, or the runs for the address map. Prints nothing: it
// says what went wrong and at which byte, and the reader words the message for its
// kind of input. Owns nothing.
#pragma once

#include "line_reader.h"
#include "memory_image.h"

// What storeData found; StoreResult.failed is the byte of the range at fault.
enum StoreOutcome {
    STORE_OK,         // every byte stored, or skipped outside a cropping window
    STORE_OUTSIDE,    // a byte lies outside the window (or, mapping, past 0xFFFFFFFF)
    STORE_OVERLAP,    // a byte lands where an earlier one stands that may not be written over
    STORE_NO_MEMORY,  // a page or a run could not be had
};

struct StoreResult {
    StoreOutcome outcome;
    std::uint64_t failed;  // STORE_OUTSIDE, STORE_OVERLAP: the byte of the range at fault; the
                           // bytes before it were stored
};

// Starts an input of the kind in the image: what the image had seen and stored
// before it, and its number, which tells its pages from those of earlier inputs.
void startInputData(InputState& input, MemoryImage& image, InputKind kind);

// Whether this input has given a data byte, stored, recorded or skipped outside the
// window.
inline bool dataSeen(const InputState& input, const MemoryImage& image)
{
    return image.byteCount + image.skippedCount > input.dataBefore;
}

// Stores count bytes (1 or more) from file address fileAddress, as they come in the
// input: bytes outside the window fail, or are skipped and counted with crop; a byte
// that an earlier input wrote may not be written over, nor, with ownBytes, one of
// this input's that is not 0xFF (within a HEX or S-record file, or an ELF file's
// segments, a data byte 0xFF may be written again). The image's counters follow.
// While mapping, the bytes go to the input's runs instead, and must lie below 2^32.
StoreResult storeData(InputState& input, MemoryImage& image, std::uint64_t fileAddress,
                      const unsigned char* bytes, std::uint64_t count, bool ownBytes);
