// What romcast itself writes into the image once the inputs are read, in this order:
// excluded ranges dropped, fields stamped, checksum destinations reserved, fill
// patterns put into the free bytes, then the checksums computed and stored. The
// requests come from the command line; each step is a function the driver runs in
// turn. Owns nothing: the image and the requests are the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "checksum.h"
#include "memory_image.h"

constexpr unsigned MAX_PATTERN = 8;  // the widest fill pattern, in bytes

// A checksum to place in the image, as --checksum asks for it, and what placing it gave.
struct ChecksumRequest {
    const char* text = nullptr;  // the option's value as typed
    const ChecksumAlgorithm* algorithm = nullptr;
    bool bigEndian = false;   // the value is stored most significant byte first
    bool rangeGiven = false;  // FIRST-LAST given; else image address 0 up to the
                              // checksum's own
    std::uint32_t first = 0;  // the range's first and last image address
    std::uint32_t last = 0;
    bool lastAtEnd = false;         // LAST is "end": the byte before the checksum placed at end, or
                                    // else the last byte that the inputs wrote
    bool atEnd = false;             // placed after the data, at a multiple of its width
    std::uint32_t destination = 0;  // image address of its first byte, unless atEnd
    std::uint32_t value = 0;        // placed: the checksum
    std::uint32_t placedAt = 0;     // reserved: its image address
};

// A fill pattern, as --fill asks for it: the bytes no input wrote, in its range or,
// without one, everywhere a binary output holds them.
struct FillRequest {
    const char* text = nullptr;               // the option's value as typed
    unsigned char pattern[MAX_PATTERN] = {};  // in memory order: byte A of the range is
                                              // pattern[(A - first) % width]
    unsigned width = 1;                       // bytes of the pattern, 1 to MAX_PATTERN
    bool rangeGiven = false;                  // FIRST-LAST given: the bytes filled count as written
    std::uint32_t first = 0;                  // the range's first and last image address; 0 and
    std::uint32_t last = 0;                   // unused without a range
};

enum FieldType {
    FIELD_NUMBER,  // an unsigned number of `width` bytes
    FIELD_TEXT,    // the text's bytes, no terminator
    FIELD_TEXT_Z,  // the text's bytes and a NUL
    FIELD_BYTES,   // hexadecimal digit pairs, in memory order
};

enum FieldValue {
    VALUE_GIVEN,   // the number typed
    VALUE_LENGTH,  // the last image address the inputs wrote + 1 - the first
    VALUE_FIRST,   // the first image address the inputs wrote
    VALUE_END,     // the last image address the inputs wrote + 1
};

// A field to stamp into the image, as --set asks for it.
struct FieldRequest {
    const char* text = nullptr;      // the option's value as typed
    std::uint32_t address = 0;       // image address of its first byte
    FieldType type = FIELD_NUMBER;   // how its bytes are made
    const char* typeName = "";       // "u32-be", "str": for the messages
    unsigned width = 1;              // FIELD_NUMBER: 1, 2, 4 or 8 bytes
    bool bigEndian = false;          // FIELD_NUMBER: most significant byte first
    FieldValue value = VALUE_GIVEN;  // FIELD_NUMBER: where the number comes from
    std::uint64_t number = 0;        // FIELD_NUMBER: the number; once placed, the value stored
    const char* data = nullptr;      // the other types: the text or the digit pairs, as typed
    std::size_t size = 0;            // bytes the field takes, 1 or more
};

// A range of image addresses whose input bytes --exclude drops.
struct ExcludeRequest {
    const char* text = nullptr;  // the option's value as typed
    std::uint32_t first = 0;     // the range's first and last image address
    std::uint32_t last = 0;
};

// What the inputs wrote, measured after the exclusions for the fields' values.
struct DataExtent {
    bool any;             // a byte was written
    std::uint64_t first;  // the first image address written
    std::uint64_t end;    // the last image address written + 1
};

// Drops the bytes that the inputs wrote in each range: they read 0xFF and are free
// again, and the image's byte count and highest address follow. A range that held
// none gets a warning on standard error that names it.
void excludeRanges(MemoryImage& image, const ExcludeRequest* requests, int count);

// The first and last image address written, as they stand.
DataExtent measureData(const MemoryImage& image);

// Stores each field, its value from the extent where it is measured, and marks its
// bytes written. A field may go only where no byte other than 0xFF stands, as a
// checksum may; *keptLength rises to the end of each, which trimming must keep.
// Returns RESULT_OK; RESULT_READ_FAILED with a message on `messages` when a field
// would overwrite data or its measured value does not fit, before anything is
// written; or RESULT_NO_MEMORY.
int placeFields(MemoryImage& image, FieldRequest* requests, int count, const DataExtent& extent,
                std::uint64_t* keptLength, std::FILE* messages);

// Finds each checksum's destination, in the order given, checks that it holds no
// byte other than 0xFF and no earlier checksum, and marks it written, so that no
// fill takes it. A destination of end lies after the last byte written, rounded up
// to a multiple of the checksum's width. *keptLength rises to the end of each.
// Returns RESULT_OK; RESULT_READ_FAILED with a message on `messages`; or
// RESULT_NO_MEMORY.
int reserveChecksums(MemoryImage& image, ChecksumRequest* requests, int count, std::uint64_t* keptLength,
                     std::FILE* messages);

// Puts each fill with a range into the bytes of its range that nothing wrote, which
// then count as written, and *keptLength rises to the range's end; then makes the
// fill without a range, if any, what every byte no one wrote reads as, in pages
// written and not. Returns RESULT_OK or RESULT_NO_MEMORY.
int fillImage(MemoryImage& image, const FillRequest* requests, int count, std::uint64_t* keptLength);

// Computes each checksum over its range of the image as it will be saved, a byte no
// one wrote reading as the fill, and stores it at its reserved destination, in the
// order given, so that a later range may cover an earlier checksum. inputsEnd is
// the address after the last byte the inputs and fields wrote. Returns RESULT_OK,
// or RESULT_READ_FAILED with a message on `messages` for a range that ends at "end"
// and holds no byte, or is not whole words for stm32.
int computeChecksums(MemoryImage& image, ChecksumRequest* requests, int count, std::uint64_t inputsEnd,
                     std::FILE* messages);

// The image addresses that a checksum placed at `destination` covers: from *first
// up to, not including, *end. inputsEnd is the address after the last byte that the
// inputs wrote, for a range that ends at "end".
void checksumRange(const ChecksumRequest& request, std::uint64_t destination, std::uint64_t inputsEnd,
                   std::uint64_t* first, std::uint64_t* end);
