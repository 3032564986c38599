// Intel HEX reader: text reading, record checks and the image store.
#include "hex_reader.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Above every digit and every byte value, so that a pair of characters decoded as
// high * 16 + low is above 0xFF whenever either is no digit.
constexpr std::uint16_t NOT_HEX = 0x100;
constexpr std::size_t MAX_PIECE = LINE_BUFFER_SIZE - 1;  // characters of one piece, line end included
constexpr char END_OF_TEXT = 0x1A;                       // ends the input like the end of the file

struct HexDigitTable {
    std::uint16_t value[256];
};

constexpr HexDigitTable makeHexDigitTable()
{
    HexDigitTable table{};
    for (unsigned c = 0; c < 256; ++c) {
        table.value[c] = NOT_HEX;
    }
    for (unsigned c = 0; c < 10; ++c) {
        table.value['0' + c] = static_cast<std::uint16_t>(c);
    }
    for (unsigned c = 0; c < 6; ++c) {
        table.value['A' + c] = static_cast<std::uint16_t>(10 + c);
        table.value['a' + c] = static_cast<std::uint16_t>(10 + c);
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

// Takes the first character of the line end after a line of `length` characters,
// now at blockStart, when it fits in the line's piece.
void takeLineEnd(ConversionState& state, std::size_t length, std::size_t available)
{
    if (length < MAX_PIECE && length < available) {
        state.carriageReturnPending = state.inputBlock[state.blockStart] == '\r';
        state.lineEndRoom = MAX_PIECE - length - 1;
        ++state.blockStart;
    }
}

// Skips the rest of the last line end and makes the next piece available in the
// block. *emptyPiece tells that the rest of that line end is a piece of its own.
int beginLine(ConversionState& state, bool* emptyPiece)
{
    int rc = finishLineEnd(state, emptyPiece);
    if (rc == RESULT_OK) {
        rc = fillBlock(state, LINE_BUFFER_SIZE);
    }
    return rc;
}

// Copies the next piece of the input into lineBuffer, without its line end. A line
// ends at a line feed or at a run of carriage returns with an optional line feed;
// a line longer than a piece (its line end included) is split into pieces of
// MAX_PIECE characters, each handled as a line of its own.
void copyLine(ConversionState& state)
{
    std::size_t available = state.blockEnd - state.blockStart;
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
    takeLineEnd(state, length, available);
}

// Warns when the checksum read does not complete the record's byte sum to 0.
void compareChecksum(const ConversionState& state, unsigned read, unsigned sum)
{
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
    compareChecksum(state, decodeHexPair(state, 9 + 2 * count), sum);
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
    compareChecksum(state, decodeHexPair(state, 9 + 2 * count), sum);
    return RESULT_OK;
}

// The two hexadecimal digits at text as a byte; above 0xFF when either is no digit.
unsigned pairValue(const unsigned char* text)
{
    return static_cast<unsigned>(HEX_DIGITS.value[text[0]]) << 4 | HEX_DIGITS.value[text[1]];
}

#if defined(__SSE2__)
// The bytes spelled by the 16 characters at text, one in the low half of each 16-bit
// lane; *valid gets 0xFFFF when every character was a digit. Digits are '0' to '9'
// and, after setting the lower-case bit, 'a' to 'f'; each range is one unsigned compare.
__m128i pairsOfSixteen(const unsigned char* text, int* valid)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i characters = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    __m128i digit = _mm_sub_epi8(characters, _mm_set1_epi8('0'));
    __m128i letter = _mm_sub_epi8(_mm_or_si128(characters, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    __m128i isDigit = _mm_cmpeq_epi8(_mm_subs_epu8(digit, _mm_set1_epi8(9)), zero);
    __m128i isLetter = _mm_cmpeq_epi8(_mm_subs_epu8(letter, _mm_set1_epi8(5)), zero);
    __m128i nibbles = _mm_or_si128(_mm_and_si128(isDigit, digit),
                                   _mm_and_si128(isLetter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
    *valid = _mm_movemask_epi8(_mm_or_si128(isDigit, isLetter));
    // Each 16-bit lane holds a pair, its first character in the low byte.
    return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0xFF)), 4),
                        _mm_srli_epi16(nibbles, 8));
}

// Decodes 32 characters from text into 16 bytes and adds them to *sum; returns
// NOT_HEX when a character was no digit, else 0.
unsigned decodeSixteenPairs(const unsigned char* text, unsigned char* bytes, unsigned* sum)
{
    int validLow = 0;
    int validHigh = 0;
    __m128i low = pairsOfSixteen(text, &validLow);
    __m128i high = pairsOfSixteen(text + 16, &validHigh);
    __m128i packed = _mm_packus_epi16(low, high);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), packed);
    __m128i halves = _mm_sad_epu8(packed, _mm_setzero_si128());  // the sum of each 8 bytes
    *sum += static_cast<unsigned>(_mm_cvtsi128_si32(_mm_add_epi32(halves, _mm_srli_si128(halves, 8))));
    return (validLow & validHigh) == 0xFFFF ? 0 : NOT_HEX;
}
#endif

// Decodes count pairs of digits from text into bytes and adds them to *sum; returns
// a value above 0xFF when a character was no digit.
unsigned decodePairs(const unsigned char* text, unsigned count, unsigned char* bytes, unsigned* sum)
{
    unsigned decoded = 0;
    std::size_t k = 0;
#if defined(__SSE2__)
    for (; k + 16 <= count; k += 16) {
        decoded |= decodeSixteenPairs(text + 2 * k, bytes + k, sum);
    }
#endif
    unsigned total = *sum;
    for (; k < count; ++k) {
        unsigned value = pairValue(text + 2 * k);
        decoded |= value;
        total += value;
        bytes[k] = static_cast<unsigned char>(value);
    }
    *sum = total;
    return decoded;
}

// Whether all count bytes are free; sixteen at a time, as records hold 16 or 32.
bool allFree(const unsigned char* bytes, unsigned count)
{
    std::uint64_t all = ~std::uint64_t{0};
    unsigned k = 0;
    for (; k + 16 <= count; k += 16) {
        std::uint64_t words[2];
        std::memcpy(words, bytes + k, sizeof words);
        all &= words[0] & words[1];
    }
    for (; k < count; ++k) {
        all &= 0xFFFFFFFFFFFFFF00U | bytes[k];
    }
    return all == ~std::uint64_t{0};
}

// A data record of the common shape, read in place: a colon, then only hexadecimal
// digits up to exactly the length its count gives, then a line end, with every
// byte landing on a free address below 64 KiB. Such a record passes every check of
// the field-by-field path, so storing it here has the same effect. Returns false
// with nothing changed for any other line, which then takes that path.
bool storedAsRegularRecord(ConversionState& state)
{
    const auto* line = reinterpret_cast<const unsigned char*>(state.inputBlock + state.blockStart);
    std::size_t available = state.blockEnd - state.blockStart;
    if (available < 12 || line[0] != ':') {  // 12: the shortest record and its line end
        return false;
    }
    unsigned count = pairValue(line + 1);
    std::size_t length = 2 * static_cast<std::size_t>(count) + 11;
    // The longest record (521 characters) and the first character of its line end
    // fit in one piece, so such a line is never split.
    if (count > 0xFF || length >= available || (line[length] != '\n' && line[length] != '\r')) {
        return false;
    }
    unsigned addressHigh = pairValue(line + 3);
    unsigned addressLow = pairValue(line + 5);
    unsigned type = pairValue(line + 7);
    std::uint64_t address = static_cast<std::uint64_t>(state.addressBase) + std::uint64_t{addressHigh} * 256 + addressLow;
    // Only data records, and only when the address is all digits.
    if ((type | ((addressHigh | addressLow) & ~0xFFU)) != 0 || count == 0 || address + count > IMAGE_SIZE) {
        return false;
    }

    unsigned char* target = state.image + address;
    if (!allFree(target, count)) {
        return false;
    }
    const unsigned char* data = line + 9;
    unsigned checksum = pairValue(data + std::size_t{2} * count);
    unsigned sum = count + addressHigh + addressLow;
    if ((decodePairs(data, count, target, &sum) | checksum) > 0xFF) {
        std::memset(target, FREE_BYTE, count);  // every byte there was free
        return false;
    }
    ++state.lineCount;
    state.blockStart += length;
    takeLineEnd(state, length, available);
    state.address = static_cast<std::uint32_t>(address) + count;
    if (state.address - 1 > state.highestAddress) {
        state.highestAddress = state.address - 1;
    }
    state.byteCount += count;
    compareChecksum(state, checksum, sum);
    return true;
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
    bool emptyPiece = false;
    int rc = beginLine(state, &emptyPiece);
    if (rc != RESULT_OK) {
        return rc;
    }
    if (emptyPiece) {
        state.lineLength = 0;
    } else if (state.blockStart == state.blockEnd) {
        return LINE_END_OF_INPUT;
    } else if (storedAsRegularRecord(state)) {
        return RESULT_OK;
    } else {
        copyLine(state);
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
