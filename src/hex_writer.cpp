// Intel HEX writer: the records, their text and the write.
#include "hex_writer.h"

#include <cerrno>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "binary_writer.h"
#include "file_replace.h"
#include "image_layout.h"

namespace {

constexpr std::uint64_t SEGMENT_SIZE = 0x10000;  // what a 16-bit load address reaches
constexpr unsigned RECORD_DATA = 0;
constexpr unsigned RECORD_END = 1;
constexpr unsigned RECORD_LINEAR_BASE = 4;

struct HexPairTable {
    char pair[256][2];  // each byte value in two upper-case hexadecimal digits
};

constexpr HexPairTable makeHexPairTable()
{
    HexPairTable table{};
    constexpr char DIGITS[] = "0123456789ABCDEF";
    for (unsigned value = 0; value < 256; ++value) {
        table.pair[value][0] = DIGITS[value >> 4];
        table.pair[value][1] = DIGITS[value & 0xF];
    }
    return table;
}

constexpr HexPairTable HEX_PAIRS = makeHexPairTable();

char* putPair(char* out, unsigned value)
{
    std::memcpy(out, HEX_PAIRS.pair[value & 0xFF], 2);
    return out + 2;
}

#if defined(__SSE2__)
// The 16 nibbles of a register, one per byte, as the characters '0' to '9' and 'A' to 'F'.
__m128i digitCharacters(__m128i nibbles)
{
    __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('A' - '0' - 10));
    return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
}

// Writes the 16 bytes at data as 32 characters to out; returns the sum of the bytes.
unsigned putSixteenPairs(char* out, const unsigned char* data)
{
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
    __m128i low = _mm_and_si128(bytes, _mm_set1_epi8(0x0F));
    __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), _mm_set1_epi8(0x0F));
    // Each byte's high nibble comes first in the text.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), digitCharacters(_mm_unpacklo_epi8(high, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), digitCharacters(_mm_unpackhi_epi8(high, low)));
    __m128i halves = _mm_sad_epu8(bytes, _mm_setzero_si128());  // the sum of each 8 bytes
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_add_epi32(halves, _mm_srli_si128(halves, 8))));
}
#endif

// Writes count bytes as digit pairs to out and adds them to *sum; returns the end. The
// sum is kept in a register of its own, as the records are the writer's hot loop.
inline char* putBytes(char* out, const unsigned char* data, unsigned count, unsigned* sum)
{
    unsigned total = *sum;
    unsigned k = 0;
#if defined(__SSE2__)
    for (; k + 16 <= count; k += 16) {
        total += putSixteenPairs(out, data + k);
        out += 32;
    }
#endif
    for (; k < count; ++k) {
        total += data[k];
        out = putPair(out, data[k]);
    }
    *sum = total;
    return out;
}

// What writeHexText writes, and what it found.
struct HexText {
    const MemoryImage* image;  // its written bytes are the records' data
    unsigned recordSize;       // data bytes per record, 1 to 255
    unsigned startType;        // the start address record written, 3 or 5; 0 for none
    std::uint32_t startAddress;
    char* buffer;          // TEXT_BUFFER_SIZE bytes
    std::uint64_t* saved;  // data bytes written
};

// What fillHexParts writes: each part of a split image in turn, as a HEX file of its own.
struct HexParts {
    const ConversionState* state;
    const Options* options;
    HexText text;  // its image is each part's in turn
};

// Multiples of n among the addresses first + 1 to end - 1: the places inside a run
// where a record must end.
std::uint64_t multiplesInside(std::uint64_t first, std::uint64_t end, std::uint64_t n)
{
    return (end - 1) / n - first / n;
}

// The length of the text that fillHex writes, to reserve the file's room before it
// is written: the records that cut each run at multiples of the record size and at
// 64 KiB, a type 04 record wherever the upper address bits change, the start
// address and the end record.
std::uint64_t hexTextLength(const HexText& text)
{
    const MemoryImage& image = *text.image;
    // Record size and segment meet at multiples of both: a power of two times the
    // record size's odd part.
    std::uint64_t n = text.recordSize;
    std::uint64_t both = (n / (n & (~n + 1))) * SEGMENT_SIZE;
    std::uint64_t length = 0;
    std::uint64_t upper = 0;
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    for (std::uint64_t from = 0; nextWrittenRun(image, from, &first, &end); from = end) {
        std::uint64_t fileFirst = image.windowStart + first;
        std::uint64_t fileEnd = image.windowStart + end;
        std::uint64_t segments = multiplesInside(fileFirst, fileEnd, SEGMENT_SIZE);
        std::uint64_t records =
            1 + multiplesInside(fileFirst, fileEnd, n) + segments - multiplesInside(fileFirst, fileEnd, both);
        std::uint64_t bases = segments + (fileFirst >> 16 != upper ? 1 : 0);
        upper = (fileEnd - 1) >> 16;
        // ":LLAAAATT" and "CC\n" around each record's data, ":02000004UUUUCC\n" for each base.
        length += 12 * records + 2 * (end - first) + 16 * bases;
    }
    return length + (text.startType != 0 ? 20 : 0) + 12;
}

// Writes the records of every run of written bytes to the stream, then the start
// address and the end record; false when a write failed.
bool writeHexText(std::FILE* stream, const HexText& text)
{
    const MemoryImage& image = *text.image;
    const unsigned recordSize = text.recordSize;
    reserveFileSpace(stream, hexTextLength(text));
    char* out = text.buffer;
    const char* limit = text.buffer + TEXT_BUFFER_SIZE - 2 * MAX_RECORD_TEXT;
    unsigned char scratch[256];
    PageCursor cursor{~std::uint64_t{0}, nullptr};
    std::uint64_t upper = 0;  // the upper 16 address bits in force: 0 until a type 04 record
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    for (std::uint64_t from = 0; nextWrittenRun(image, from, &first, &end); from = end) {
        // File addresses lie below 2^32: the window ends there at the latest.
        std::uint64_t fileAddress = image.windowStart + first;
        std::uint64_t fileEnd = image.windowStart + end;
        std::uint64_t multiple = (fileAddress / recordSize + 1) * recordSize;
        while (fileAddress < fileEnd) {
            std::uint64_t segmentEnd = (fileAddress | (SEGMENT_SIZE - 1)) + 1;
            std::uint64_t stop = fileEnd < multiple ? fileEnd : multiple;
            stop = stop < segmentEnd ? stop : segmentEnd;
            if (stop == multiple) {
                multiple += recordSize;
            }
            if (fileAddress >> 16 != upper) {
                upper = fileAddress >> 16;
                unsigned char base[2] = {static_cast<unsigned char>(upper >> 8),
                                         static_cast<unsigned char>(upper)};
                out = formatRecord(out, RECORD_LINEAR_BASE, 0, base, 2);
            }
            auto count = static_cast<unsigned>(stop - fileAddress);
            const unsigned char* data =
                recordData(image, cursor, fileAddress - image.windowStart, count, scratch);
            out = formatRecord(out, RECORD_DATA, static_cast<unsigned>(fileAddress & 0xFFFF), data, count);
            *text.saved += count;
            fileAddress = stop;
            if (out > limit) {
                if (!writeText(stream, text.buffer, out)) {
                    return false;
                }
                out = text.buffer;
            }
        }
    }
    if (text.startType != 0) {
        unsigned char start[4] = {static_cast<unsigned char>(text.startAddress >> 24),
                                  static_cast<unsigned char>(text.startAddress >> 16),
                                  static_cast<unsigned char>(text.startAddress >> 8),
                                  static_cast<unsigned char>(text.startAddress)};
        out = formatRecord(out, text.startType, 0, start, 4);
    }
    const unsigned char none[1] = {0};
    out = formatRecord(out, RECORD_END, 0, none, 0);
    return writeText(stream, text.buffer, out);
}

bool fillHex(std::FILE* const* streams, std::size_t /*count*/, const void* contents)
{
    return writeHexText(streams[0], *static_cast<const HexText*>(contents));
}

// Writes each part of a split image to its stream as a HEX file of its own, its
// bytes from address 0.
bool fillHexParts(std::FILE* const* streams, std::size_t count, const void* contents)
{
    const auto& parts = *static_cast<const HexParts*>(contents);
    return writeEachPart(*parts.state, *parts.options, streams, count,
                         [&](std::FILE* stream, const MemoryImage& part, std::size_t /*k*/) {
                             HexText text = parts.text;
                             text.image = &part;
                             return writeHexText(stream, text);
                         });
}

}  // namespace

char* formatRecord(char* out, unsigned type, unsigned loadAddress, const unsigned char* data, unsigned count)
{
    unsigned sum = count + type + (loadAddress >> 8) + (loadAddress & 0xFF);
    *out++ = ':';
    out = putPair(out, count);
    out = putPair(out, loadAddress >> 8);
    out = putPair(out, loadAddress);
    out = putPair(out, type);
    out = putBytes(out, data, count, &sum);
    out = putPair(out, 0x100 - (sum & 0xFF));
    *out++ = '\n';
    return out;
}

char* putHexBytes(char* out, const unsigned char* data, unsigned count, unsigned* sum)
{
    return putBytes(out, data, count, sum);
}

bool writeText(std::FILE* stream, const char* buffer, const char* end)
{
    auto length = static_cast<std::size_t>(end - buffer);
    return std::fwrite(buffer, 1, length, stream) == length;
}

const unsigned char* recordBytes(const MemoryImage& image, std::uint64_t address, unsigned count,
                                 unsigned char* scratch)
{
    std::uint64_t available = count;
    const unsigned char* bytes = imageBytes(image, address, &available);
    if (available == count) {
        return bytes;
    }
    std::memcpy(scratch, bytes, static_cast<std::size_t>(available));
    std::uint64_t rest = count - available;
    std::memcpy(scratch + available, imageBytes(image, address + available, &rest),
                static_cast<std::size_t>(rest));
    return scratch;
}

int writeHexFile(ConversionState& state, const Options& options)
{
    state.address = 0;
    HexText text{&state.image,
                 options.recordSize,
                 state.startType,
                 state.startAddress,
                 static_cast<char*>(state.allocate(TEXT_BUFFER_SIZE)),
                 &state.address};
    if (text.buffer == nullptr) {
        static_cast<void>(std::fputs("\nNot enough memory !\n", state.messages.stream));
        return RESULT_WRITE_FAILED;
    }
    int rc = RESULT_OK;
    if (options.splitCount == 1) {
        const char* paths[1] = {options.outputPath};
        rc = replaceFiles(state.allocate, state.output, paths, 1, fillHex, &text, state.messages);
    } else {
        // A part holds ROM addresses from 0: the CPU's start address has no place in it.
        text.startType = 0;
        HexParts parts{&state, &options, text};
        rc = writeOutputFiles(state, options, options.outputPath, fillHexParts, &parts);
    }
    std::free(text.buffer);
    return rc;
}
