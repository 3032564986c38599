// Intel HEX reader: record checks, the image store and the map's runs.
#include "hex_reader.h"

#include <cstdio>
#include <cstring>

#include "data_store.h"
#include "record_decoder.h"

namespace {

unsigned digitAt(const InputState& input, std::size_t position)
{
    if (position >= input.lineLength) {
        return NOT_HEX;
    }
    return HEX_DIGITS.value[static_cast<unsigned char>(input.lineBuffer[position])];
}

// Whether a record of type 02 to 05 has the count its type needs; any other type
// above 01 is unknown.
bool validAddressRecord(unsigned type, unsigned count)
{
    switch (type) {
    case 2:  // extended segment address: base = value * 16
    case 4:  // extended linear address: base = value * 65,536
        return count == 2;
    case 3:  // start segment address (CS:IP)
    case 5:  // start linear address (EIP)
        return count == 4;
    default:
        return false;
    }
}

// Handles an address record whose count was checked: the base records set the base
// for the data records after them; a start address is kept for the map.
int readAddressRecord(InputState& input, unsigned type, unsigned count, unsigned sum)
{
    std::uint32_t value = 0;
    for (unsigned k = 0; k < count; ++k) {
        unsigned byte = decodeHexPair(input, 9 + 2 * k);
        sum += byte;
        value = value << 8 | byte;  // the fields are big-endian
    }
    if (type == 2) {
        input.addressBase = value << 4;
    } else if (type == 4) {
        input.addressBase = value << 16;
    } else {
        input.startType = type;
        input.startAddress = value;
    }
    return compareChecksum(input, decodeHexPair(input, 9 + 2 * count), sum);
}

// Stores the record's data bytes from file address `first`, each with every check of
// the store, and then compares the checksum. A byte outside the window fails the
// read, or is skipped (and only summed) when the window crops; the bytes before a
// failing one stay stored. While mapping, the bytes go to the runs.
int storeDataBytes(InputState& input, MemoryImage& image, std::uint64_t first, unsigned count, unsigned sum)
{
    unsigned char bytes[255];
    for (unsigned k = 0; k < count; ++k) {
        bytes[k] = static_cast<unsigned char>(decodeHexPair(input, 9 + 2 * k));
        sum += bytes[k];
    }
    int rc =
        reportStoreFault(input, image, storeData(input, image, first, bytes, count, true), first, "HEX-Line");
    return rc != RESULT_OK ? rc : compareChecksum(input, decodeHexPair(input, 9 + 2 * count), sum);
}

// With strict records every character after the colon, up to the comment that a
// blank starts, belongs to a field and must be a hexadecimal digit.
int requireDigits(const InputState& input)
{
    for (std::size_t i = 1; i < input.lineLength; ++i) {
        if (HEX_DIGITS.value[static_cast<unsigned char>(input.lineBuffer[i])] == NOT_HEX) {
            beginLineFault(input);
            static_cast<void>(
                std::fprintf(input.messages.stream, "Character %lu of HEX-Line %lu is not a hex digit !\n",
                             static_cast<unsigned long>(i + 1), static_cast<unsigned long>(input.lineCount)));
            return RESULT_READ_FAILED;
        }
    }
    return RESULT_OK;
}

// Checks and stores the record in lineBuffer, whose start mark was found.
int parseRecord(InputState& input, MemoryImage& image)
{
    // Count and type are decoded before the line is cut at a blank.
    unsigned count = decodeHexPair(input, 1);
    unsigned type = decodeHexPair(input, 7);
    bool endRecord = type == 1 && count == 0;
    if (endRecord && !input.strictRecords) {
        return RESULT_END_RECORD;  // address, length and checksum are not examined
    }

    // A blank ends the record; what follows it is a comment. A tab is not cut.
    const void* blank = std::memchr(input.lineBuffer, ' ', input.lineLength);
    if (blank != nullptr) {
        input.lineLength = static_cast<std::size_t>(static_cast<const char*>(blank) - input.lineBuffer);
    }
    if (input.strictRecords) {
        int rc = requireDigits(input);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    std::size_t expected = 2 * static_cast<std::size_t>(count) + 11;
    if (input.lineLength != expected) {
        beginLineFault(input);
        static_cast<void>(std::fprintf(
            input.messages.stream, "Length of line %lu is not correct\nRead: %lu    Calculated: %lu\n",
            static_cast<unsigned long>(input.lineCount), static_cast<unsigned long>(input.lineLength),
            static_cast<unsigned long>(expected)));
        return RESULT_READ_FAILED;
    }
    if (type > 1 && !validAddressRecord(type, count)) {
        beginLineFault(input);
        static_cast<void>(std::fprintf(input.messages.stream,
                                       "Invalid record type 0x%02X in HEX-Line %lu !\n", type,
                                       static_cast<unsigned long>(input.lineCount)));
        return RESULT_READ_FAILED;
    }

    unsigned loadAddress = decodeHexWord(input, 3);
    unsigned sum = count + type + (loadAddress & 0xFF) + (loadAddress >> 8);
    if (type > 1) {
        return readAddressRecord(input, type, count,
                                 sum);  // even before any data: toolchains put these first
    }
    // The base is at most 0xFFFF0000, so the first byte's address does not wrap.
    std::uint64_t first = std::uint64_t{input.addressBase} + loadAddress;
    int rc = RESULT_OK;
    if (count > 0 && type == 0) {
        rc = storeDataBytes(input, image, first, count, sum);
    } else if (input.strictRecords) {
        rc = compareChecksum(input, decodeHexPair(input, 9 + 2 * count), sum);  // strict: every record
    }
    if (rc != RESULT_OK || endRecord) {
        return rc == RESULT_OK ? RESULT_END_RECORD : rc;
    }
    // A line that stores nothing fails the read while no data byte has been seen.
    return dataSeen(input, image) ? RESULT_OK : RESULT_READ_FAILED;
}

}  // namespace

int requireDataInWindow(const InputState& input, const MemoryImage& image)
{
    if (image.cropWindow && !image.readBack && image.byteCount == input.storedBefore &&
        dataSeen(input, image)) {
        std::uint64_t last = image.windowStart + image.windowSize - 1;
        unsigned long long skipped = image.byteCount + image.skippedCount - input.dataBefore;
        beginLineFault(input);
        static_cast<void>(std::fprintf(
            input.messages.stream, "No data in the window 0x%08lX-0x%08lX: %llu data bytes skipped !\n",
            static_cast<unsigned long>(image.windowStart), static_cast<unsigned long>(last), skipped));
        printWindowHint(input, image, input.firstSkipped);
        return RESULT_READ_FAILED;
    }
    return RESULT_OK;
}

int reportStoreFault(const InputState& input, const MemoryImage& image, const StoreResult& stored,
                     std::uint64_t first, const char* line)
{
    unsigned long long fileAddress = first + stored.failed;  // shown as it is, past 32 bits too
    switch (stored.outcome) {
    case STORE_OUTSIDE:
        beginLineFault(input);
        static_cast<void>(std::fprintf(input.messages.stream, "Address %llu in %s %lu beyond buffer !\n",
                                       fileAddress, line, static_cast<unsigned long>(input.lineCount)));
        if (!image.mapping) {
            printWindowHint(input, image, fileAddress);
        }
        return RESULT_READ_FAILED;
    case STORE_OVERLAP:
        beginLineFault(input);
        if (input.nameInMessages) {
            static_cast<void>(std::fprintf(input.messages.stream, "Double databyte at 0x%08llX in %s %lu !\n",
                                           fileAddress, line, static_cast<unsigned long>(input.lineCount)));
        } else {
            static_cast<void>(std::fprintf(input.messages.stream, "Double databyte in %s %lu !\n", line,
                                           static_cast<unsigned long>(input.lineCount)));
        }
        return RESULT_READ_FAILED;
    case STORE_NO_MEMORY:
        return RESULT_NO_MEMORY;
    default:
        return RESULT_OK;
    }
}

void printWindowHint(const InputState& input, const MemoryImage& image, unsigned long long fileAddress)
{
    if (!input.messages.explain) {
        return;
    }
    if (fileAddress > MAX_FILE_ADDRESS) {
        static_cast<void>(std::fprintf(
            input.messages.stream,
            "Data at 0x%llX lies past 0xFFFFFFFF, the top of the address space: no window holds it\n",
            fileAddress));
        return;
    }
    std::uint64_t last = image.windowStart + image.windowSize - 1;
    const char* name = input.standardInput ? "-" : input.name;
    char operand[32] = "";
    if (input.kind == INPUT_BINARY) {
        static_cast<void>(std::snprintf(operand, sizeof operand, "@0x%08lX",
                                        static_cast<unsigned long>(input.binaryAddress)));
    }
    static_cast<void>(
        std::fprintf(input.messages.stream,
                     "Data at 0x%08llX lies %s the window 0x%08lX-0x%08lX: 'romcast --map %s%s%s' gives the "
                     "--offset and --size that hold it all\n",
                     fileAddress, fileAddress < image.windowStart ? "below" : "above",
                     static_cast<unsigned long>(image.windowStart), static_cast<unsigned long>(last),
                     input.kind == INPUT_BINARY ? "--binary=" : "", name, operand));
}

unsigned decodeHexPair(const InputState& input, std::size_t position)
{
    unsigned high = digitAt(input, position);
    if (high == NOT_HEX) {
        return 0;
    }
    unsigned low = digitAt(input, position + 1);
    return low == NOT_HEX ? high : high * 16 + low;
}

unsigned decodeHexWord(const InputState& input, std::size_t position)
{
    unsigned value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        unsigned digit = digitAt(input, position + i);
        value = value * 16 + (digit == NOT_HEX ? 0 : digit);
    }
    return value;
}

int parseHexLine(InputState& input, MemoryImage& image, const KernelSet& kernels)
{
    int rc = nextLine(
        input, [&] { return storeRegularRecords(input, image, kernels); }, LINE_NOT_REGULAR);
    if (rc != LINE_NOT_REGULAR) {
        return rc;
    }
    ++input.lineCount;
    if (input.lineLength == 0 || input.lineBuffer[0] != ':') {
        beginLineFault(input);
        static_cast<void>(std::fprintf(input.messages.stream, "Beginning of HEX-Line %lu not found\n",
                                       static_cast<unsigned long>(input.lineCount)));
        return RESULT_READ_FAILED;
    }
    return parseRecord(input, image);
}

int readHexInput(InputState& input, MemoryImage& image, const KernelSet& kernels)
{
    startInputData(input, image, INPUT_HEX);

    int rc = RESULT_OK;
    while (rc == RESULT_OK) {
        rc = parseHexLine(input, image, kernels);
    }
    return finishTextInput(input, image, rc, "End-of-file record", "HEX-Line");
}

int finishTextInput(InputState& input, const MemoryImage& image, int rc, const char* endRecord,
                    const char* line)
{
    if (!closeInput(input) && rc != RESULT_READ_FAILED && rc != RESULT_NO_MEMORY) {
        rc = LINE_INPUT_ERROR;
    }
    switch (rc) {
    case RESULT_END_RECORD:
        input.endRecordSeen = true;
        return requireDataInWindow(input, image);
    case LINE_END_OF_INPUT:
        if (!dataSeen(input, image)) {
            return RESULT_READ_FAILED;
        }
        if (input.strictRecords) {
            beginLineFault(input);
            static_cast<void>(std::fprintf(input.messages.stream, "%s missing after %s %lu !\n", endRecord,
                                           line, static_cast<unsigned long>(input.lineCount)));
            return RESULT_READ_FAILED;
        }
        return requireDataInWindow(input, image);
    case LINE_INPUT_ERROR:
        reportInputFault(input, false);
        return RESULT_READ_FAILED;
    case RESULT_NO_MEMORY:
        return RESULT_NO_MEMORY;
    default:
        return RESULT_READ_FAILED;
    }
}
