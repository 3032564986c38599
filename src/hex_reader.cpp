// Intel HEX reader: record checks and the image store.
#include "hex_reader.h"

#include <cstring>

#include "line_reader.h"
#include "record_decoder.h"

namespace {

unsigned digitAt(const ConversionState& state, std::size_t position)
{
    if (position >= state.lineLength) {
        return NOT_HEX;
    }
    return HEX_DIGITS.value[static_cast<unsigned char>(state.lineBuffer[position])];
}

// Whether a data byte was met, stored or skipped outside the window: before that, a
// line that stores nothing fails the read.
bool dataSeen(const ConversionState& state)
{
    return state.byteCount > 0 || state.skippedCount > 0;
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

// Handles an address record whose count was checked: start addresses are only
// checksummed; the base records set the base for the data records after them.
int readAddressRecord(ConversionState& state, unsigned type, unsigned count, unsigned sum)
{
    for (unsigned k = 0; k < count; ++k) {
        sum += decodeHexPair(state, 9 + 2 * k);
    }
    std::uint32_t value = (decodeHexPair(state, 9) << 8) | decodeHexPair(state, 11);
    if (type == 2) {
        state.addressBase = value << 4;
    } else if (type == 4) {
        state.addressBase = value << 16;
    }
    return compareChecksum(state, decodeHexPair(state, 9 + 2 * count), sum);
}

// Stores the record's data bytes one by one from file address `first`. A byte
// outside the window fails the read, or is skipped (and only summed) when the
// window crops.
int storeDataBytes(ConversionState& state, std::uint64_t first, unsigned count, unsigned sum)
{
    for (unsigned k = 0; k < count; ++k) {
        unsigned value = decodeHexPair(state, 9 + 2 * k);
        unsigned long long fileAddress = first + k;  // shown as it is, past 32 bits too
        std::uint64_t at = imageAddress(state, fileAddress);
        if (at == OUTSIDE_WINDOW) {
            if (!state.cropWindow) {
                std::printf("\nAddress %llu in HEX-Line %lu beyond buffer !\n", fileAddress,
                            static_cast<unsigned long>(state.lineCount));
                return RESULT_READ_FAILED;
            }
            sum += value;
            ++state.skippedCount;
            continue;
        }
        // 0xFF is both the fill and the free mark, so a stored 0xFF may be written again.
        if (state.image[at] != FREE_BYTE) {
            std::printf("\nDouble databyte in HEX-Line %lu !\n", static_cast<unsigned long>(state.lineCount));
            return RESULT_READ_FAILED;
        }
        state.image[at] = static_cast<unsigned char>(value);
        sum += value;
        if (at > state.highestAddress) {
            state.highestAddress = static_cast<std::uint32_t>(at);
        }
        ++state.byteCount;
    }
    state.address = static_cast<std::uint32_t>(first + count);
    return compareChecksum(state, decodeHexPair(state, 9 + 2 * count), sum);
}

// With strict records every character after the colon, up to the comment that a
// blank starts, belongs to a field and must be a hexadecimal digit.
int requireDigits(const ConversionState& state)
{
    for (std::size_t i = 1; i < state.lineLength; ++i) {
        if (HEX_DIGITS.value[static_cast<unsigned char>(state.lineBuffer[i])] == NOT_HEX) {
            std::printf("\nCharacter %lu of HEX-Line %lu is not a hex digit !\n",
                        static_cast<unsigned long>(i + 1), static_cast<unsigned long>(state.lineCount));
            return RESULT_READ_FAILED;
        }
    }
    return RESULT_OK;
}

// Checks and stores the record in lineBuffer, whose start mark was found.
int parseRecord(ConversionState& state)
{
    // Count and type are decoded before the line is cut at a blank.
    unsigned count = decodeHexPair(state, 1);
    unsigned type = decodeHexPair(state, 7);
    bool endRecord = type == 1 && count == 0;
    if (endRecord && !state.strictRecords) {
        return RESULT_END_RECORD;  // address, length and checksum are not examined
    }

    // A blank ends the record; what follows it is a comment. A tab is not cut.
    const void* blank = std::memchr(state.lineBuffer, ' ', state.lineLength);
    if (blank != nullptr) {
        state.lineLength = static_cast<std::size_t>(static_cast<const char*>(blank) - state.lineBuffer);
    }
    if (state.strictRecords) {
        int rc = requireDigits(state);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    std::size_t expected = 2 * static_cast<std::size_t>(count) + 11;
    if (state.lineLength != expected) {
        std::printf("\nLength of line %lu is not correct\nRead: %lu    Calculated: %lu\n",
                    static_cast<unsigned long>(state.lineCount), static_cast<unsigned long>(state.lineLength),
                    static_cast<unsigned long>(expected));
        return RESULT_READ_FAILED;
    }
    if (type > 1 && !validAddressRecord(type, count)) {
        std::printf("\nInvalid record type 0x%02X in HEX-Line %lu !\n", type,
                    static_cast<unsigned long>(state.lineCount));
        return RESULT_READ_FAILED;
    }

    unsigned loadAddress = decodeHexWord(state, 3);
    unsigned sum = count + type + (loadAddress & 0xFF) + (loadAddress >> 8);
    if (type > 1) {
        return readAddressRecord(state, type, count,
                                 sum);  // even before any data: toolchains put these first
    }
    // The base is at most 0xFFFF0000, so the first byte's address does not wrap.
    state.address = state.addressBase + loadAddress;
    int rc = RESULT_OK;
    if (count > 0 && type == 0) {
        rc = storeDataBytes(state, state.address, count, sum);
    } else if (state.strictRecords) {
        rc = compareChecksum(state, decodeHexPair(state, 9 + 2 * count), sum);  // strict: every record
    }
    if (rc != RESULT_OK || endRecord) {
        return rc == RESULT_OK ? RESULT_END_RECORD : rc;
    }
    // A line that stores nothing fails the read while no data byte has been seen.
    return dataSeen(state) ? RESULT_OK : RESULT_READ_FAILED;
}

}  // namespace

int reportChecksum(const ConversionState& state, unsigned read, unsigned calculated)
{
    std::printf("\nChecksum error in hex line %lu ! Read: 0x%02X  Calculated: 0x%02X\n",
                static_cast<unsigned long>(state.lineCount), read, calculated);
    return state.strictRecords ? RESULT_READ_FAILED : RESULT_OK;
}

unsigned decodeHexPair(const ConversionState& state, std::size_t position)
{
    unsigned high = digitAt(state, position);
    if (high == NOT_HEX) {
        return 0;
    }
    unsigned low = digitAt(state, position + 1);
    return low == NOT_HEX ? high : high * 16 + low;
}

unsigned decodeHexWord(const ConversionState& state, std::size_t position)
{
    unsigned value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        unsigned digit = digitAt(state, position + i);
        value = value * 16 + (digit == NOT_HEX ? 0 : digit);
    }
    return value;
}

int parseHexLine(ConversionState& state)
{
    bool emptyPiece = false;
    int rc = beginLine(state, &emptyPiece);
    if (rc != RESULT_OK) {
        return rc;
    }
    if (emptyPiece) {
        state.lineLength = 0;
    } else if (state.blockStart == state.blockEnd) {
        return LINE_END_OF_INPUT;
    } else {
        rc = storeRegularRecord(state);
        if (rc != LINE_NOT_REGULAR) {
            return rc;
        }
        copyLine(state);
    }
    ++state.lineCount;
    if (state.lineLength == 0 || state.lineBuffer[0] != ':') {
        std::printf("\nBeginning of HEX-Line %lu not found\n", static_cast<unsigned long>(state.lineCount));
        return RESULT_READ_FAILED;
    }
    return parseRecord(state);
}

int readHexFile(ConversionState& state, const char* path)
{
    if (openInput(state, path) != RESULT_OK) {
        std::printf("\nCan't open file %s\n", path);
        return RESULT_READ_FAILED;
    }

    int rc = RESULT_OK;
    while (rc == RESULT_OK) {
        rc = parseHexLine(state);
    }
    if (!closeInput(state) && rc != RESULT_READ_FAILED) {
        rc = LINE_INPUT_ERROR;
    }

    switch (rc) {
    case RESULT_END_RECORD:
        return RESULT_OK;
    case LINE_END_OF_INPUT:
        return dataSeen(state) ? RESULT_OK : RESULT_READ_FAILED;
    case LINE_INPUT_ERROR:
        std::printf("\nCan't read file %s\n", path);
        return RESULT_READ_FAILED;
    default:
        return RESULT_READ_FAILED;
    }
}
