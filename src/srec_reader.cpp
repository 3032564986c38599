// Motorola S-record reader: record checks, the store and the count and termination records.
#include "srec_reader.h"

#include <cstdio>
#include <cstring>

#include "data_store.h"
#include "hex_reader.h"
#include "record_decoder.h"

namespace {

constexpr std::size_t RECORD_HEAD = 4;  // "S", the type and the two digits of the count

// The bytes of a record's address, by its type; 0 for a type that is not one.
unsigned addressBytes(char type)
{
    switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
        return 2;
    case '2':
    case '6':
    case '8':
        return 3;
    case '3':
    case '7':
        return 4;
    default:
        return 0;  // '4' and anything else
    }
}

// The byte of the two digits at text, which the caller has checked.
unsigned byteAt(const char* text)
{
    return pairValue(reinterpret_cast<const unsigned char*>(text));
}

// The big-endian value of the `bytes` digit pairs at text, which the caller has checked.
std::uint32_t valueAt(const char* text, unsigned bytes)
{
    std::uint32_t value = 0;
    for (const char* end = text + 2 * static_cast<std::size_t>(bytes); text < end; text += 2) {
        value = value << 8 | byteAt(text);
    }
    return value;
}

// Result of storeInPlace for a line it leaves to the record-by-record path.
constexpr int LINE_NOT_PLAIN = 8;

// Stores count bytes from file address first when they all land, free, in the page
// of the record before, or in a page that this input took and no earlier one wrote
// into: the common case, which storeData would store alike. False, with nothing
// changed, for any other.
bool storeInPage(InputState& input, MemoryImage& image, std::uint64_t first, const unsigned char* bytes,
                 unsigned count)
{
    std::uint64_t at = imageAddress(image, first);
    std::uint64_t offset = at & PAGE_MASK;
    if (image.mapping || at == OUTSIDE_WINDOW || image.windowSize - at < count ||
        offset + count > PAGE_SIZE) {
        return false;
    }
    if (input.recordPage == nullptr || at >> PAGE_SHIFT != input.recordPageNumber) {
        ImagePage* page = inputPageAt(image, at);
        if (page == nullptr) {
            return false;  // storeData finds no memory either, and says so
        }
        input.recordPage = page;
        input.recordPageNumber = at >> PAGE_SHIFT;
    }
    ImagePage& page = *input.recordPage;
    unsigned char* target = page.bytes + offset;
    if (page.earlier != nullptr || !allFree(target, count)) {
        return false;
    }
    std::memcpy(target, bytes, count);
    markRecord(page.written, static_cast<std::size_t>(offset), count);
    image.byteCount += count;
    auto last = static_cast<std::uint32_t>(at + count - 1);
    image.highestAddress = last > image.highestAddress ? last : image.highestAddress;
    return true;
}

// Stores the line at blockStart in place when it is a data record of the plain
// shape: S1, S2 or S3, hexadecimal digits only up to exactly the length its count
// gives, a checksum that matches, then a line end in the block. Such a record passes
// every check of the record-by-record path, so storing it here has the same effect;
// the line is taken. Returns RESULT_OK, the store's fault, or LINE_NOT_PLAIN with
// nothing changed for any other line.
int storeInPlace(InputState& input, MemoryImage& image, const KernelSet& kernels, std::uint64_t* dataRecords)
{
    const auto* line = reinterpret_cast<const unsigned char*>(input.inputBlock + input.blockStart);
    std::size_t available = input.blockEnd - input.blockStart;
    if (available < RECORD_HEAD || line[0] != 'S' || line[1] < '1' || line[1] > '3') {
        return LINE_NOT_PLAIN;
    }
    unsigned count = pairValue(line + 2);
    unsigned width = static_cast<unsigned>(line[1] - '0') + 1;
    std::size_t length = RECORD_HEAD + 2 * std::size_t{count};
    if (count > 0xFF || count < width + 1 || length >= available ||
        (line[length] != '\n' && line[length] != '\r')) {
        return LINE_NOT_PLAIN;
    }
    // The count, the address, the data and the checksum: their sum's low byte is 0xFF.
    // The data, most of the record, goes through the kernel on its own, so that the
    // common 16 or 32 bytes take its whole steps.
    unsigned char bytes[256];
    unsigned sum = count;
    unsigned digits = 0;
    bytes[0] = static_cast<unsigned char>(count);
    for (unsigned k = 1; k <= width; ++k) {
        unsigned value = pairValue(line + 2 + 2 * static_cast<std::size_t>(k));
        digits |= value;
        bytes[k] = static_cast<unsigned char>(value);
        sum += value;
    }
    unsigned dataCount = count - width - 1;
    unsigned checksum = pairValue(line + 2 + 2 * std::size_t{count});
    digits |= checksum | kernels.decodePairs(line + 4 + 2 * static_cast<std::size_t>(width), dataCount,
                                             bytes + 1 + width, &sum);
    if (digits > 0xFF || ((sum + checksum) & 0xFF) != 0xFF) {
        return LINE_NOT_PLAIN;
    }
    ++input.lineCount;
    input.blockStart += length;
    takeLineEnd(input, length, available);
    ++*dataRecords;
    std::uint64_t first = 0;
    for (unsigned k = 1; k <= width; ++k) {
        first = first << 8 | bytes[k];
    }
    if (dataCount == 0 || storeInPage(input, image, first, bytes + 1 + width, dataCount)) {
        return RESULT_OK;
    }
    return reportStoreFault(input, image, storeData(input, image, first, bytes + 1 + width, dataCount, true),
                            first, "S-record line");
}

// Warns of a value that does not match, or fails with strict records.
int mismatch(const InputState& input)
{
    return input.strictRecords ? RESULT_READ_FAILED : RESULT_OK;
}

// Checks the record in lineBuffer whose start mark was found: its type, its digits,
// its count against its length, and its checksum. *count is its count field.
int checkRecord(InputState& input, unsigned* count)
{
    char type = input.lineLength > 1 ? input.lineBuffer[1] : '\0';
    if (addressBytes(type) == 0) {
        beginLineFault(input);
        static_cast<void>(std::fprintf(
            input.messages.stream, "Invalid record type S%c in S-record line %lu !\n",
            type >= ' ' && type <= '~' ? type : '?', static_cast<unsigned long>(input.lineCount)));
        return RESULT_READ_FAILED;
    }
    for (std::size_t i = 2; i < input.lineLength; ++i) {
        if (HEX_DIGITS.value[static_cast<unsigned char>(input.lineBuffer[i])] == NOT_HEX) {
            beginLineFault(input);
            static_cast<void>(std::fprintf(
                input.messages.stream, "Character %lu of S-record line %lu is not a hex digit !\n",
                static_cast<unsigned long>(i + 1), static_cast<unsigned long>(input.lineCount)));
            return RESULT_READ_FAILED;
        }
    }
    *count = input.lineLength >= RECORD_HEAD ? byteAt(input.lineBuffer + 2) : 0;
    std::size_t expected = RECORD_HEAD + 2 * std::size_t{*count};
    if (input.lineLength != expected) {
        beginLineFault(input);
        static_cast<void>(std::fprintf(
            input.messages.stream, "Length of line %lu is not correct\nRead: %lu    Calculated: %lu\n",
            static_cast<unsigned long>(input.lineCount), static_cast<unsigned long>(input.lineLength),
            static_cast<unsigned long>(expected)));
        return RESULT_READ_FAILED;
    }
    if (*count < addressBytes(type) + 1) {
        beginLineFault(input);
        static_cast<void>(
            std::fprintf(input.messages.stream,
                         "Count %u of S-record line %lu leaves no room for the address of an S%c "
                         "record !\n",
                         *count, static_cast<unsigned long>(input.lineCount), type));
        return RESULT_READ_FAILED;
    }
    // The checksum is the one's complement of the low byte of the sum of the count,
    // the address and the data.
    unsigned sum = 0;
    for (unsigned k = 0; k < *count; ++k) {
        sum += byteAt(input.lineBuffer + 2 + 2 * static_cast<std::size_t>(k));
    }
    unsigned read = byteAt(input.lineBuffer + 2 + 2 * std::size_t{*count});
    unsigned calculated = ~sum & 0xFF;
    if (read != calculated) {
        beginLineFault(input);
        static_cast<void>(std::fprintf(
            input.messages.stream, "Checksum error in S-record line %lu ! Read: 0x%02X  Calculated: 0x%02X\n",
            static_cast<unsigned long>(input.lineCount), read, calculated));
        return mismatch(input);
    }
    return RESULT_OK;
}

// Stores a data record's bytes.
int storeRecord(InputState& input, MemoryImage& image, const KernelSet& kernels, unsigned width,
                unsigned count)
{
    const char* field = input.lineBuffer + RECORD_HEAD;
    std::uint64_t first = valueAt(field, width);
    unsigned dataCount = count - width - 1;
    if (dataCount == 0) {
        return RESULT_OK;
    }
    unsigned char bytes[255];
    unsigned sum = 0;
    static_cast<void>(kernels.decodePairs(
        reinterpret_cast<const unsigned char*>(field + 2 * static_cast<std::size_t>(width)), dataCount, bytes,
        &sum));  // every character is a digit
    return reportStoreFault(input, image, storeData(input, image, first, bytes, dataCount, true), first,
                            "S-record line");
}

// Reads and handles one line: RESULT_OK to go on, RESULT_END_RECORD after a
// termination record, RESULT_READ_FAILED, RESULT_NO_MEMORY, LINE_END_OF_INPUT or
// LINE_INPUT_ERROR.
int parseSRecordLine(InputState& input, MemoryImage& image, const KernelSet& kernels,
                     std::uint64_t* dataRecords)
{
    int rc = nextLine(
        input, [&] { return storeInPlace(input, image, kernels, dataRecords); }, LINE_NOT_PLAIN);
    if (rc != LINE_NOT_PLAIN) {
        return rc;
    }
    ++input.lineCount;
    if (input.lineLength == 0 || input.lineBuffer[0] != 'S') {
        beginLineFault(input);
        static_cast<void>(std::fprintf(input.messages.stream, "Beginning of S-record line %lu not found\n",
                                       static_cast<unsigned long>(input.lineCount)));
        return RESULT_READ_FAILED;
    }
    // A blank ends the record; what follows it is a comment.
    const void* blank = std::memchr(input.lineBuffer, ' ', input.lineLength);
    if (blank != nullptr) {
        input.lineLength = static_cast<std::size_t>(static_cast<const char*>(blank) - input.lineBuffer);
    }
    unsigned count = 0;
    rc = checkRecord(input, &count);
    if (rc != RESULT_OK) {
        return rc;
    }
    char type = input.lineBuffer[1];
    unsigned width = addressBytes(type);
    std::uint32_t address = valueAt(input.lineBuffer + RECORD_HEAD, width);
    switch (type) {
    case '1':
    case '2':
    case '3':
        ++*dataRecords;
        return storeRecord(input, image, kernels, width, count);
    case '5':
    case '6':
        if (address != *dataRecords) {
            beginLineFault(input);
            static_cast<void>(
                std::fprintf(input.messages.stream,
                             "Record count %lu in S-record line %lu, but %llu data records were "
                             "read !\n",
                             static_cast<unsigned long>(address), static_cast<unsigned long>(input.lineCount),
                             static_cast<unsigned long long>(*dataRecords)));
            return mismatch(input);
        }
        return RESULT_OK;
    case '7':
    case '8':
    case '9':
        // A start address of 0 is how most writers say that there is none.
        input.startType = address != 0 ? 5 : 0;
        input.startAddress = address;
        return RESULT_END_RECORD;
    default:  // '0': the header, whose data is a name or a text
        return RESULT_OK;
    }
}

}  // namespace

bool looksLikeSRecord(const char* text, std::size_t length)
{
    if (length < RECORD_HEAD || text[0] != 'S' || text[1] < '0' || text[1] > '3') {
        return false;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (HEX_DIGITS.value[static_cast<unsigned char>(text[i])] == NOT_HEX) {
            return false;
        }
    }
    unsigned count = byteAt(text + 2);
    return length == RECORD_HEAD + 2 * std::size_t{count} && count >= addressBytes(text[1]) + 1;
}

int readSRecordInput(InputState& input, MemoryImage& image, const KernelSet& kernels)
{
    startInputData(input, image, INPUT_SRECORD);

    std::uint64_t dataRecords = 0;
    int rc = RESULT_OK;
    while (rc == RESULT_OK) {
        rc = parseSRecordLine(input, image, kernels, &dataRecords);
    }
    return finishTextInput(input, image, rc, "Termination record", "S-record line");
}
