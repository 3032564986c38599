// Motorola S-record writer: the records, their text and the write.
#include "srec_writer.h"

#include <cerrno>
#include <cstring>

#include "binary_writer.h"
#include "file_replace.h"
#include "hex_writer.h"
#include "image_layout.h"

namespace {

constexpr std::size_t MAX_S_RECORD_TEXT = 4 + 2 * 255 + 1;  // "S", type, count, the rest, line feed
constexpr std::size_t MAX_NAME = 40;                        // bytes of the name in the S0 record
constexpr std::uint64_t MAX_S5_COUNT = 0xFFFF;              // the most data records S5 counts; S6 then
constexpr std::uint64_t MAX_S6_COUNT = 0xFFFFFF;

// What writeSRecordText writes, and what it found.
struct SRecordText {
    const MemoryImage* image;  // its written bytes are the records' data
    const char* name;          // the file's name, for the S0 record
    unsigned recordSize;       // data bytes per record
    unsigned addressBytes;     // 2, 3 or 4: S1, S2 or S3 records; 0 for the narrowest that holds the data
    bool count;                // an S5 or S6 record after the data
    std::uint32_t start;       // the termination record's address
    char* buffer;              // TEXT_BUFFER_SIZE bytes
    std::uint64_t* saved;      // data bytes written
};

// What fillSRecordParts writes: each part of a split image in turn.
struct SRecordParts {
    const ConversionState* state;
    const Options* options;
    char* const* paths;  // each part's path, for its S0 record
    SRecordText text;    // its image and name are each part's in turn
};

// Writes the record of type ('0' to '9') with the address in addressBytes bytes and
// count data bytes to out; returns the end of what it wrote.
char* formatSRecord(char* out, char type, std::uint32_t address, unsigned addressBytes,
                    const unsigned char* data, unsigned count)
{
    unsigned char head[5];
    head[0] = static_cast<unsigned char>(addressBytes + count + 1);
    for (unsigned k = 0; k < addressBytes; ++k) {
        head[1 + k] = static_cast<unsigned char>(address >> (8 * (addressBytes - 1 - k)));
    }
    unsigned sum = 0;
    *out++ = 'S';
    *out++ = type;
    out = putHexBytes(out, head, 1 + addressBytes, &sum);
    out = putHexBytes(out, data, count, &sum);
    unsigned char checksum = static_cast<unsigned char>(~sum);
    out = putHexBytes(out, &checksum, 1, &sum);
    *out++ = '\n';
    return out;
}

// The narrowest address width, in bytes, that holds every file address written.
unsigned narrowestWidth(const MemoryImage& image)
{
    std::uint64_t end = writtenEnd(image);
    std::uint64_t highest = end == 0 ? 0 : image.windowStart + end - 1;
    return highest <= 0xFFFF ? 2 : highest <= 0xFFFFFF ? 3 : 4;
}

// The name of a path without its directory, at most MAX_NAME bytes of it.
void baseName(const char* path, const char** name, std::size_t* length)
{
    const char* slash = std::strrchr(path, '/');
    const char* backslash = std::strrchr(path, '\\');
    const char* last = slash > backslash ? slash : backslash;
    *name = last != nullptr ? last + 1 : path;
    *length = std::strlen(*name);
    *length = *length < MAX_NAME ? *length : MAX_NAME;
}

// Writes the S0 record, every run of written bytes as data records, the count record
// if asked for, and the termination record; false when a write failed, with errno set.
bool writeSRecordText(std::FILE* stream, const SRecordText& text)
{
    const MemoryImage& image = *text.image;
    unsigned width = text.addressBytes != 0 ? text.addressBytes : narrowestWidth(image);
    char* out = text.buffer;
    const char* limit = text.buffer + TEXT_BUFFER_SIZE - 2 * MAX_S_RECORD_TEXT;
    const char* name = nullptr;
    std::size_t nameLength = 0;
    baseName(text.name, &name, &nameLength);
    out = formatSRecord(out, '0', 0, 2, reinterpret_cast<const unsigned char*>(name),
                        static_cast<unsigned>(nameLength));
    const char dataType = static_cast<char>('0' + width - 1);  // S1, S2 or S3
    unsigned char scratch[256];
    PageCursor cursor;
    std::uint64_t records = 0;
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    for (std::uint64_t from = 0; nextWrittenRun(image, from, &first, &end); from = end) {
        // File addresses lie below 2^32: the window ends there at the latest.
        std::uint64_t address = image.windowStart + first;
        std::uint64_t fileEnd = image.windowStart + end;
        while (address < fileEnd) {
            std::uint64_t multiple = (address / text.recordSize + 1) * text.recordSize;
            std::uint64_t stop = fileEnd < multiple ? fileEnd : multiple;
            auto count = static_cast<unsigned>(stop - address);
            const unsigned char* data =
                recordData(image, cursor, address - image.windowStart, count, scratch);
            out = formatSRecord(out, dataType, static_cast<std::uint32_t>(address), width, data, count);
            *text.saved += count;
            ++records;
            address = stop;
            if (out > limit) {
                if (!writeText(stream, text.buffer, out)) {
                    return false;
                }
                out = text.buffer;
            }
        }
    }
    if (text.count) {
        if (records > MAX_S6_COUNT) {
            errno = EOVERFLOW;  // no count record holds so many
            return false;
        }
        bool s5 = records <= MAX_S5_COUNT;
        out = formatSRecord(out, s5 ? '5' : '6', static_cast<std::uint32_t>(records), s5 ? 2 : 3, nullptr, 0);
    }
    // S7 ends S3 records, S8 S2 records, S9 S1 records.
    out = formatSRecord(out, static_cast<char>('0' + 11 - width), text.start, width, nullptr, 0);
    return writeText(stream, text.buffer, out);
}

bool fillSRecord(std::FILE* const* streams, std::size_t /*count*/, const void* contents)
{
    return writeSRecordText(streams[0], *static_cast<const SRecordText*>(contents));
}

// Writes each part of a split image to its stream as an S-record file of its own,
// its bytes from address 0 and its name in its S0 record.
bool fillSRecordParts(std::FILE* const* streams, std::size_t count, const void* contents)
{
    const auto& parts = *static_cast<const SRecordParts*>(contents);
    return writeEachPart(*parts.state, *parts.options, streams, count,
                         [&](std::FILE* stream, const MemoryImage& part, std::size_t k) {
                             SRecordText text = parts.text;
                             text.image = &part;
                             text.name = parts.paths[k];
                             return writeSRecordText(stream, text);
                         });
}

}  // namespace

int writeSRecordFile(ConversionState& state, const Options& options)
{
    state.address = 0;
    // A CS:IP start address is the linear address CS * 16 + IP.
    std::uint32_t start = state.startAddress;
    if (state.startType == 3) {
        start = (state.startAddress >> 16) * 16 + (state.startAddress & 0xFFFF);
    }
    SRecordText text{&state.image,
                     options.outputPath,
                     options.recordSize,
                     options.srecAddressBits / 8,
                     options.srecCount,
                     state.startType != 0 ? start : 0,
                     static_cast<char*>(state.allocate(TEXT_BUFFER_SIZE)),
                     &state.address};
    if (text.buffer == nullptr) {
        static_cast<void>(std::fputs("\nNot enough memory !\n", state.messages.stream));
        return RESULT_WRITE_FAILED;
    }
    int rc = RESULT_OK;
    if (options.splitCount == 1) {
        const char* paths[1] = {options.outputPath};
        rc = replaceFiles(state.allocate, state.output, paths, 1, fillSRecord, &text, state.messages);
    } else {
        // A part holds ROM addresses from 0: the CPU's start address has no place in it.
        text.start = 0;
        char* names[MAX_OUTPUTS] = {};
        for (unsigned k = 0; k < options.splitCount && rc == RESULT_OK; ++k) {
            names[k] = composePartPath(state.allocate, options.outputPath, k);
            if (names[k] == nullptr) {
                static_cast<void>(std::fputs("\nNot enough memory !\n", state.messages.stream));
                rc = RESULT_WRITE_FAILED;
            }
        }
        SRecordParts parts{&state, &options, names, text};
        if (rc == RESULT_OK) {
            rc = writeOutputFiles(state, options, options.outputPath, fillSRecordParts, &parts);
        }
        for (char* name : names) {
            std::free(name);
        }
    }
    std::free(text.buffer);
    return rc;
}
