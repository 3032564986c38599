// Intel HEX reader: text reading, record checks and the image store.
#include "hex_reader.h"

#include <cstring>

namespace {

constexpr unsigned char NOT_HEX = 0xFF;
constexpr std::size_t MAX_PIECE = LINE_BUFFER_SIZE - 1;  // characters of one piece, line end included
constexpr char END_OF_TEXT = 0x1A;                       // ends the input like the end of the file

struct HexDigitTable {
    unsigned char value[256];
};

constexpr HexDigitTable makeHexDigitTable()
{
    HexDigitTable table{};
    for (unsigned c = 0; c < 256; ++c) {
        table.value[c] = NOT_HEX;
    }
    for (unsigned c = 0; c < 10; ++c) {
        table.value['0' + c] = static_cast<unsigned char>(c);
    }
    for (unsigned c = 0; c < 6; ++c) {
        table.value['A' + c] = static_cast<unsigned char>(10 + c);
        table.value['a' + c] = static_cast<unsigned char>(10 + c);
    }
    return table;
}

constexpr HexDigitTable HEX_DIGITS = makeHexDigitTable();

unsigned digitAt(const ConversionState& state, std::size_t position)
{
    if (position >= state.lineLength) {
        return NOT_HEX;
    }
    return HEX_DIGITS.value[static_cast<unsigned char>(state.lineBuffer[position])];
}

// Makes at least `wanted` unsplit bytes available unless the input ends first.
int fillBlock(ConversionState& state, std::size_t wanted)
{
    std::size_t kept = state.blockEnd - state.blockStart;
    if (kept >= wanted || state.inputEnded) {
        return RESULT_OK;
    }
    std::memmove(state.inputBlock, state.inputBlock + state.blockStart, kept);
    state.blockStart = 0;
    state.blockEnd = kept;

    char* fresh = state.inputBlock + kept;
    std::size_t room = INPUT_BLOCK_SIZE - kept;
    // fread returns less than asked only at the end of the file or on an error.
    std::size_t got = std::fread(fresh, 1, room, state.input);
    if (got < room) {
        if (std::ferror(state.input) != 0) {
            return LINE_INPUT_ERROR;
        }
        state.inputEnded = true;
    }
    const void* endOfText = std::memchr(fresh, END_OF_TEXT, got);
    if (endOfText != nullptr) {
        got = static_cast<std::size_t>(static_cast<const char*>(endOfText) - fresh);
        state.inputEnded = true;
    }
    state.blockEnd += got;
    return RESULT_OK;
}

// Skips the rest of a line end that began with a carriage return: further carriage
// returns and one optional line feed, however they fall across blocks. A carriage
// return before a line feed is dropped as by a text stream, so the line end takes
// one character of the piece per carriage return; *overflow tells whether it took
// more than the piece had room for.
int finishLineEnd(ConversionState& state, bool* overflow)
{
    std::size_t extra = 0;
    while (state.carriageReturnPending) {
        int rc = fillBlock(state, 1);
        if (rc != RESULT_OK) {
            return rc;
        }
        while (state.blockStart < state.blockEnd && state.inputBlock[state.blockStart] == '\r') {
            ++state.blockStart;
            ++extra;
        }
        if (state.blockStart == state.blockEnd && !state.inputEnded) {
            continue;
        }
        if (state.blockStart < state.blockEnd && state.inputBlock[state.blockStart] == '\n') {
            ++state.blockStart;
        }
        state.carriageReturnPending = false;
    }
    *overflow = extra > state.lineEndRoom;
    return RESULT_OK;
}

// Copies the next piece of the input into lineBuffer, without its line end. A line
// ends at a line feed or at a run of carriage returns with an optional line feed;
// a line longer than a piece (its line end included) is split into pieces of
// MAX_PIECE characters, each handled as a line of its own.
int readLine(ConversionState& state)
{
    bool overflow = false;
    int rc = finishLineEnd(state, &overflow);
    if (rc == RESULT_OK) {
        rc = fillBlock(state, LINE_BUFFER_SIZE);
    }
    if (rc != RESULT_OK) {
        return rc;
    }
    if (overflow) {
        state.lineLength = 0;  // the rest of the line end is a piece of its own: an empty line
        return RESULT_OK;
    }
    std::size_t available = state.blockEnd - state.blockStart;
    if (available == 0) {
        return LINE_END_OF_INPUT;
    }
    const char* start = state.inputBlock + state.blockStart;
    std::size_t scan = available < MAX_PIECE ? available : MAX_PIECE;
    const void* lineFeed = std::memchr(start, '\n', scan);
    std::size_t length =
        lineFeed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start) : scan;
    const void* carriageReturn = std::memchr(start, '\r', length);
    if (carriageReturn != nullptr) {
        length = static_cast<std::size_t>(static_cast<const char*>(carriageReturn) - start);
    }
    std::memcpy(state.lineBuffer, start, length);
    state.lineLength = length;
    state.blockStart += length;

    // The line end belongs to this piece only if its first character fits.
    if (length < MAX_PIECE && length < available) {
        state.carriageReturnPending = start[length] == '\r';
        state.lineEndRoom = MAX_PIECE - length - 1;
        ++state.blockStart;
    }
    return RESULT_OK;
}

void compareChecksum(const ConversionState& state, unsigned count, unsigned sum)
{
    unsigned read = decodeHexPair(state, 9 + 2 * count);
    unsigned calculated = (0x100 - (sum & 0xFF)) & 0xFF;
    if (read != calculated) {
        std::printf("\nChecksum error in hex line %lu ! Read: 0x%02X  Calculated: 0x%02X\n",
                    static_cast<unsigned long>(state.lineCount), read, calculated);
    }
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
void readAddressRecord(ConversionState& state, unsigned type, unsigned count, unsigned sum)
{
    for (unsigned k = 0; k < count; ++k) {
        sum += decodeHexPair(state, 9 + 2 * k);
    }
    compareChecksum(state, count, sum);
    std::uint32_t value = (decodeHexPair(state, 9) << 8) | decodeHexPair(state, 11);
    if (type == 2) {
        state.addressBase = value << 4;
    } else if (type == 4) {
        state.addressBase = value << 16;
    }
}

int storeDataBytes(ConversionState& state, unsigned count, unsigned sum)
{
    for (unsigned k = 0; k < count; ++k) {
        if (state.address >= IMAGE_SIZE) {
            std::printf("\nAddress %lu in HEX-Line %lu beyond buffer !\n",
                        static_cast<unsigned long>(state.address),
                        static_cast<unsigned long>(state.lineCount));
            return RESULT_READ_FAILED;
        }
        // 0xFF is both the fill and the free mark, so a stored 0xFF may be written again.
        if (state.image[state.address] != FREE_BYTE) {
            std::printf("\nDouble databyte in HEX-Line %lu !\n", static_cast<unsigned long>(state.lineCount));
            return RESULT_READ_FAILED;
        }
        unsigned value = decodeHexPair(state, 9 + 2 * k);
        state.image[state.address] = static_cast<unsigned char>(value);
        sum += value;
        if (state.address > state.highestAddress) {
            state.highestAddress = state.address;
        }
        ++state.byteCount;
        ++state.address;
    }
    compareChecksum(state, count, sum);
    return RESULT_OK;
}

}  // namespace

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

void startInput(ConversionState& state, std::FILE* input)
{
    state.input = input;
    state.blockStart = 0;
    state.blockEnd = 0;
    state.inputEnded = false;
    state.carriageReturnPending = false;
}

int parseHexLine(ConversionState& state)
{
    int rc = readLine(state);
    if (rc != RESULT_OK) {
        return rc;
    }
    ++state.lineCount;
    if (state.lineLength == 0 || state.lineBuffer[0] != ':') {
        std::printf("\nBeginning of HEX-Line %lu not found\n", static_cast<unsigned long>(state.lineCount));
        return RESULT_READ_FAILED;
    }

    // Count and type are decoded before the line is cut at a blank.
    unsigned count = decodeHexPair(state, 1);
    unsigned type = decodeHexPair(state, 7);
    unsigned sum = count + type;
    if (type == 1 && count == 0) {
        return RESULT_END_RECORD;  // address, length and checksum are not examined
    }

    // A blank ends the record; what follows it is a comment. A tab is not cut.
    const void* blank = std::memchr(state.lineBuffer, ' ', state.lineLength);
    if (blank != nullptr) {
        state.lineLength = static_cast<std::size_t>(static_cast<const char*>(blank) - state.lineBuffer);
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
    sum += (loadAddress & 0xFF) + (loadAddress >> 8);
    if (type > 1) {
        readAddressRecord(state, type, count, sum);
        return RESULT_OK;  // even while no data byte is stored: toolchains put these first
    }
    // The base is at most 0xFFFF0000 and only a byte below 0x10000 advances the
    // address, so the sum never wraps.
    state.address = state.addressBase + loadAddress;
    if (count > 0 && type == 0) {
        rc = storeDataBytes(state, count, sum);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    // A line that stores nothing fails the read while no data byte has been stored.
    return state.byteCount > 0 ? RESULT_OK : RESULT_READ_FAILED;
}

int readHexFile(ConversionState& state, const char* path)
{
    // Opened as bytes: line ends and 0x1A are handled here, the same on every host.
    startInput(state, std::fopen(path, "rb"));
    if (state.input == nullptr) {
        std::printf("\nCan't open file %s\n", path);
        return RESULT_READ_FAILED;
    }

    int rc = RESULT_OK;
    while (rc == RESULT_OK) {
        rc = parseHexLine(state);
    }
    int closed = std::fclose(state.input);
    state.input = nullptr;
    if (closed != 0 && rc != RESULT_READ_FAILED) {
        rc = LINE_INPUT_ERROR;
    }

    switch (rc) {
    case RESULT_END_RECORD:
        return RESULT_OK;
    case LINE_END_OF_INPUT:
        return state.byteCount > 0 ? RESULT_OK : RESULT_READ_FAILED;
    case LINE_INPUT_ERROR:
        std::printf("\nCan't read file %s\n", path);
        return RESULT_READ_FAILED;
    default:
        return RESULT_READ_FAILED;
    }
}
