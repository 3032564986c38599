// Intel HEX writer: saves the bytes of the image that were written, 0xFF included,
// at their file addresses, as data records in address order with a type 04 record
// where the upper 16 address bits change, then the start address and the end
// record; gaps stay gaps. Owns its text buffer and, through file_replace, the output
// stream while it writes.
#pragma once

#include "conversion_state.h"
#include "options.h"

// The most characters a record takes: colon, count, address, type, 255 data bytes,
// checksum and line feed.
constexpr std::size_t MAX_RECORD_TEXT = 1 + 2 + 4 + 2 + 2 * 255 + 2 + 1;

constexpr std::size_t TEXT_BUFFER_SIZE = std::size_t{1} << 18;  // text handed to the stream at a time

// Hands the text from buffer to end to the stream; false when the write failed.
bool writeText(std::FILE* stream, const char* buffer, const char* end);

// A record's count bytes (up to 256) from an image address: where they lie side by
// side, else gathered into scratch. For a record that crosses a page.
const unsigned char* recordBytes(const MemoryImage& image, std::uint64_t address, unsigned count,
                                 unsigned char* scratch);

// The page that the records of a run are taken from, kept between records.
struct PageCursor {
    std::uint64_t number = ~std::uint64_t{0};  // the page's number; ~0 before the first
    const unsigned char* bytes = nullptr;      // its bytes
};

// The count data bytes of a record at an image address, all of them written: in
// their page where they lie in one, else gathered into scratch.
inline const unsigned char* recordData(const MemoryImage& image, PageCursor& cursor, std::uint64_t address,
                                       unsigned count, unsigned char* scratch)
{
    std::uint64_t offset = address & PAGE_MASK;
    if (offset + count > PAGE_SIZE) {
        return recordBytes(image, address, count, scratch);
    }
    if (address >> PAGE_SHIFT != cursor.number) {
        cursor.number = address >> PAGE_SHIFT;
        cursor.bytes = findPage(image, static_cast<std::size_t>(cursor.number))->bytes;  // written: allocated
    }
    return cursor.bytes + offset;
}

// Writes count bytes (up to 255) to out as upper-case hexadecimal digit pairs, adds
// each byte to *sum, and returns the end of what it wrote.
char* putHexBytes(char* out, const unsigned char* data, unsigned count, unsigned* sum);

// Writes the record of `type` with count data bytes at the 16-bit load address to
// out, upper-case with a line feed, and returns the end of what it wrote.
char* formatRecord(char* out, unsigned type, unsigned loadAddress, const unsigned char* data, unsigned count);

// Writes the image to options.outputPath as Intel HEX, data records of
// options.recordSize bytes, each starting at a multiple of it, at the first byte of
// a run or at a 64 KiB boundary and never crossing one, with the start address of
// state; with options.splitCount above 1, one such file per part, each from address
// 0 and without a start address. Returns RESULT_OK with the data bytes written in
// state.address, or RESULT_WRITE_FAILED with a message printed.
int writeHexFile(ConversionState& state, const Options& options);
