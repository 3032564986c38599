// Command-line options: the getopt_long walk, the number parser, help and version.
#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_replace.h"
#include "record_decoder.h"
#include "results.h"
#include "srec_writer.h"

#ifndef ROMCAST_VERSION
#define ROMCAST_VERSION "unknown"
#endif

namespace {

// Long-only options, above every character an option letter can be.
enum LongOption {
    OPTION_OFFSET = 0x100,
    OPTION_SIZE,
    OPTION_TRIM,
    OPTION_CROP,
    OPTION_STRICT,
    OPTION_MAP,
    OPTION_CHECKSUM,
    OPTION_SWAP,
    OPTION_SPLIT,
    OPTION_FORMAT,
    OPTION_RECORD_SIZE,
    OPTION_START,
    OPTION_BINARY,
    OPTION_ALIGN,
    OPTION_COMPARE,
    OPTION_FILL,
    OPTION_SET,
    OPTION_EXCLUDE,
    OPTION_SREC_ADDRESS,
    OPTION_SREC_COUNT,
};

constexpr option LONG_OPTIONS[] = {
    {"output", required_argument, nullptr, 'o'},
    {"offset", required_argument, nullptr, OPTION_OFFSET},
    {"size", required_argument, nullptr, OPTION_SIZE},
    {"trim", no_argument, nullptr, OPTION_TRIM},
    {"crop", no_argument, nullptr, OPTION_CROP},
    {"strict", no_argument, nullptr, OPTION_STRICT},
    {"map", no_argument, nullptr, OPTION_MAP},
    {"checksum", required_argument, nullptr, OPTION_CHECKSUM},
    {"swap", required_argument, nullptr, OPTION_SWAP},
    {"split", required_argument, nullptr, OPTION_SPLIT},
    {"format", required_argument, nullptr, OPTION_FORMAT},
    {"record-size", required_argument, nullptr, OPTION_RECORD_SIZE},
    {"start", required_argument, nullptr, OPTION_START},
    {"binary", required_argument, nullptr, OPTION_BINARY},
    {"align", required_argument, nullptr, OPTION_ALIGN},
    {"compare", required_argument, nullptr, OPTION_COMPARE},
    {"fill", required_argument, nullptr, OPTION_FILL},
    {"set", required_argument, nullptr, OPTION_SET},
    {"exclude", required_argument, nullptr, OPTION_EXCLUDE},
    {"srec-address", required_argument, nullptr, OPTION_SREC_ADDRESS},
    {"srec-count", no_argument, nullptr, OPTION_SREC_COUNT},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// "-": operands come back in order as option 1, so FILE may stand before or after
// options whatever POSIXLY_CORRECT says. ":": a missing value is told apart from an
// unknown option, and getopt prints nothing itself.
constexpr char SHORT_OPTIONS[] = "-:o:qhV";

constexpr std::uint64_t MAX_OFFSET = 0xFFFFFFFF;
constexpr std::uint64_t MAX_SIZE = std::uint64_t{1} << 32;
constexpr unsigned SUFFIX_SHIFT_K = 10;
constexpr std::uint64_t MAX_RECORD_SIZE = 0xFF;  // a record's count field is one byte
constexpr std::uint64_t MAX_ALIGN = std::uint64_t{1} << 20;

// What a number option takes, for its messages.
constexpr char OFFSET_RANGE[] = "0 to 0xFFFFFFFF";
constexpr char SIZE_RANGE[] = "1 to 4G";
constexpr char CHECKSUM_SYNTAX[] = "ALGORITHM[:FIRST-LAST]@DEST, LAST and DEST an address or end";
constexpr char BINARY_SYNTAX[] = "FILE@ADDR, ADDR from 0 to 0xFFFFFFFF";
constexpr char ALIGN_RANGE[] = "a power of two from 1 to 1M";
constexpr char FILL_SYNTAX[] = "0xPATTERN[-be][@FIRST-LAST], PATTERN 1 to 8 bytes in hexadecimal digit pairs";
constexpr char FIELD_SYNTAX[] =
    "ADDR:TYPE=VALUE, TYPE u8, u16, u32 or u64 (each also -be), str, strz or bytes";
constexpr char RANGE_SYNTAX[] = "FIRST-LAST, image addresses";
constexpr std::size_t NAME_ROOM = 32;  // longer than every algorithm's name with "-be"

// The words of the command line that a later check names.
struct Given {
    const char* offset;  // --offset's value as typed, or null
    const char* size;    // --size's value as typed, or null
};

int usageError(const char* fault, const char* word)
{
    static_cast<void>(std::fprintf(stderr, "romcast: %s '%s'; see 'romcast --help'\n", fault, word));
    return RESULT_USAGE;
}

// The option as the user wrote it: the whole argument for a long option, or "-c".
const char* optionWord(const char* element, int letter, char (&shortForm)[3])
{
    if (std::strncmp(element, "--", 2) == 0) {
        return element;
    }
    shortForm[0] = '-';
    shortForm[1] = static_cast<char>(letter);
    shortForm[2] = '\0';
    return shortForm;
}

int badValue(const char* name, const char* value, const char* range)
{
    static_cast<void>(std::fprintf(stderr, "romcast: invalid value '%s' for %s (%s); see 'romcast --help'\n",
                                   value, name, range));
    return RESULT_USAGE;
}

// Parses the number text, part of the value of option `name`, into *number, or
// reports the value. A decimal number with a leading 0 is most often a hexadecimal
// one without its prefix ("08000000").
int takeNumber(const char* name, const char* value, const char* text, std::uint64_t maximum, bool allowSuffix,
               const char* range, std::uint64_t* number)
{
    NumberResult result = parseNumber(text, maximum, allowSuffix, number);
    if (result == NUMBER_LEADING_ZERO) {
        static_cast<void>(
            std::fprintf(stderr,
                         "romcast: invalid value '%s' for %s (decimal numbers have no leading 0; "
                         "did you mean 0x%s?); see 'romcast --help'\n",
                         value, name, text));
        return RESULT_USAGE;
    }
    return result == NUMBER_OK ? RESULT_OK : badValue(name, value, range);
}

// Parses an image address of --checksum into *address, or reports the value.
int takeAddress(const char* text, const char* value, std::uint32_t* address)
{
    std::uint64_t number = 0;
    int rc = takeNumber("--checksum", value, text, MAX_OFFSET, false, CHECKSUM_SYNTAX, &number);
    *address = static_cast<std::uint32_t>(number);
    return rc;
}

// Parses FIRST-LAST, the text part of the value of option `name`, into *first and
// *last: numbers, since no hexadecimal number holds a dash. With lastAtEnd, LAST may
// be "end", which *lastAtEnd tells, and *last is then left as it is.
int takeRange(const char* name, const char* value, const char* text, const char* syntax, std::uint32_t* first,
              std::uint32_t* last, bool* lastAtEnd)
{
    const char* dash = std::strchr(text, '-');
    char firstText[2 * NAME_ROOM];
    if (dash == nullptr || static_cast<std::size_t>(dash - text) >= sizeof firstText) {
        return badValue(name, value, syntax);
    }
    auto length = static_cast<std::size_t>(dash - text);
    std::memcpy(firstText, text, length);
    firstText[length] = '\0';
    bool atEnd = lastAtEnd != nullptr && std::strcmp(dash + 1, "end") == 0;
    if (lastAtEnd != nullptr) {
        *lastAtEnd = atEnd;
    }
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    int rc = takeNumber(name, value, firstText, MAX_OFFSET, false, syntax, &low);
    if (rc == RESULT_OK && !atEnd) {
        rc = takeNumber(name, value, dash + 1, MAX_OFFSET, false, syntax, &high);
    }
    if (rc == RESULT_OK && !atEnd && low > high) {
        return badValue(name, value, "FIRST is above LAST");
    }
    *first = static_cast<std::uint32_t>(low);
    if (!atEnd) {
        *last = static_cast<std::uint32_t>(high);
    }
    return rc;
}

// Parses ALGORITHM[:FIRST-LAST]@DEST into *request. The window is checked once the
// whole command line is known.
int takeChecksum(const char* value, ChecksumRequest* request)
{
    *request = ChecksumRequest{};
    request->text = value;
    const char* at = std::strrchr(value, '@');
    const char* colon = std::strchr(value, ':');
    const char* nameEnd = colon != nullptr && colon < at ? colon : at;
    if (at == nullptr || static_cast<std::size_t>(nameEnd - value) >= NAME_ROOM) {
        return badValue("--checksum", value, at == nullptr ? CHECKSUM_SYNTAX : "unknown algorithm");
    }
    char name[NAME_ROOM];
    std::memcpy(name, value, static_cast<std::size_t>(nameEnd - value));
    name[nameEnd - value] = '\0';
    request->algorithm = findChecksum(name, &request->bigEndian);
    if (request->algorithm == nullptr) {
        char known[sizeof CHECKSUM_NAMES + 64];
        static_cast<void>(std::snprintf(known, sizeof known,
                                        "unknown algorithm; one of %s, each also with -be", CHECKSUM_NAMES));
        return badValue("--checksum", value, known);
    }
    int rc = RESULT_OK;
    if (nameEnd == colon) {
        char range[2 * NAME_ROOM];
        auto length = static_cast<std::size_t>(at - colon - 1);
        if (length >= sizeof range) {
            return badValue("--checksum", value, CHECKSUM_SYNTAX);
        }
        std::memcpy(range, colon + 1, length);
        range[length] = '\0';
        request->rangeGiven = true;
        rc = takeRange("--checksum", value, range, CHECKSUM_SYNTAX, &request->first, &request->last,
                       &request->lastAtEnd);
    }
    if (rc == RESULT_OK) {
        request->atEnd = std::strcmp(at + 1, "end") == 0;
        if (!request->atEnd) {
            rc = takeAddress(at + 1, value, &request->destination);
        }
    }
    return rc;
}

// Parses --fill's 0xPATTERN[-be][@FIRST-LAST] into *request. The pattern's width is
// the digit pairs as typed, so that 0x00FF is two bytes; it is stored as a number,
// least significant byte first unless -be.
int takeFill(const char* value, FillRequest* request)
{
    *request = FillRequest{};
    request->text = value;
    if (value[0] != '0' || (value[1] != 'x' && value[1] != 'X')) {
        return badValue("--fill", value, "the pattern is hexadecimal behind 0x: 0xFF, 0x3FFF, 0xDE00DE00");
    }
    const char* digits = value + 2;
    std::size_t count = 0;
    while (HEX_DIGITS.value[static_cast<unsigned char>(digits[count])] != NOT_HEX) {
        ++count;
    }
    if (count == 0 || count % 2 != 0 || count > std::size_t{2} * MAX_PATTERN) {
        return badValue("--fill", value, "1 to 8 bytes of the pattern, two hexadecimal digits each");
    }
    const char* rest = digits + count;
    bool bigEndian = std::strncmp(rest, "-be", 3) == 0;
    rest += bigEndian ? 3 : 0;
    if (*rest != '\0' && *rest != '@') {
        return badValue("--fill", value, FILL_SYNTAX);
    }
    request->width = static_cast<unsigned>(count / 2);
    const auto* pairs = reinterpret_cast<const unsigned char*>(digits);
    for (unsigned k = 0; k < request->width; ++k) {
        unsigned byte = pairValue(pairs + std::size_t{2} * k);  // every character is a digit
        request->pattern[bigEndian ? k : request->width - 1 - k] = static_cast<unsigned char>(byte);
    }
    if (*rest == '@') {
        request->rangeGiven = true;
        return takeRange("--fill", value, rest + 1, FILL_SYNTAX, &request->first, &request->last, nullptr);
    }
    return RESULT_OK;
}

// The types of --set: the name as typed, how the bytes are made, the width of a number.
struct FieldTypeName {
    const char* name;
    FieldType type;
    unsigned width;
    bool bigEndian;
};

constexpr FieldTypeName FIELD_TYPES[] = {
    {"u8", FIELD_NUMBER, 1, false},    {"u8-be", FIELD_NUMBER, 1, true},  {"u16", FIELD_NUMBER, 2, false},
    {"u16-be", FIELD_NUMBER, 2, true}, {"u32", FIELD_NUMBER, 4, false},   {"u32-be", FIELD_NUMBER, 4, true},
    {"u64", FIELD_NUMBER, 8, false},   {"u64-be", FIELD_NUMBER, 8, true}, {"str", FIELD_TEXT, 0, false},
    {"strz", FIELD_TEXT_Z, 0, false},  {"bytes", FIELD_BYTES, 0, false},
};

// Parses the VALUE of a number field: a number that fits its width, or a value
// measured on the data.
int takeFieldNumber(const char* value, const char* data, FieldRequest* request)
{
    static const char* const MEASURED[] = {"length", "first", "end"};
    for (int k = 0; k < 3; ++k) {
        if (std::strcmp(data, MEASURED[k]) == 0) {
            request->value = static_cast<FieldValue>(VALUE_LENGTH + k);
            return RESULT_OK;
        }
    }
    char range[96];
    static_cast<void>(std::snprintf(range, sizeof range,
                                    "a number of %u bits, decimal or 0x hexadecimal, or length, first or end",
                                    8 * request->width));
    std::uint64_t maximum =
        request->width == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * request->width)) - 1;
    return takeNumber("--set", value, data, maximum, false, range, &request->number);
}

// Parses --set's ADDR:TYPE=VALUE into *request. VALUE is all after the first "=" that
// follows TYPE, so that a text may hold ":" and "=".
int takeField(const char* value, FieldRequest* request)
{
    *request = FieldRequest{};
    request->text = value;
    const char* colon = std::strchr(value, ':');
    const char* equals = colon != nullptr ? std::strchr(colon, '=') : nullptr;
    char word[NAME_ROOM];
    if (equals == nullptr || static_cast<std::size_t>(colon - value) >= sizeof word ||
        static_cast<std::size_t>(equals - colon - 1) >= sizeof word) {
        return badValue("--set", value, FIELD_SYNTAX);
    }
    std::memcpy(word, value, static_cast<std::size_t>(colon - value));
    word[colon - value] = '\0';
    std::uint64_t address = 0;
    int rc = takeNumber("--set", value, word, MAX_OFFSET, false, FIELD_SYNTAX, &address);
    if (rc != RESULT_OK) {
        return rc;
    }
    request->address = static_cast<std::uint32_t>(address);
    std::memcpy(word, colon + 1, static_cast<std::size_t>(equals - colon - 1));
    word[equals - colon - 1] = '\0';
    const FieldTypeName* type = nullptr;
    for (const FieldTypeName& known : FIELD_TYPES) {
        type = std::strcmp(word, known.name) == 0 ? &known : type;
    }
    if (type == nullptr) {
        return badValue("--set", value, FIELD_SYNTAX);
    }
    request->type = type->type;
    request->typeName = type->name;
    request->width = type->width;
    request->bigEndian = type->bigEndian;
    const char* data = equals + 1;
    request->data = data;
    switch (type->type) {
    case FIELD_NUMBER:
        request->size = type->width;
        return takeFieldNumber(value, data, request);
    case FIELD_BYTES: {
        data += data[0] == '0' && (data[1] == 'x' || data[1] == 'X') ? 2 : 0;
        std::size_t count = 0;
        while (HEX_DIGITS.value[static_cast<unsigned char>(data[count])] != NOT_HEX) {
            ++count;
        }
        if (count == 0 || count % 2 != 0 || data[count] != '\0') {
            return badValue("--set", value, "bytes takes hexadecimal digit pairs, in memory order");
        }
        request->data = data;
        request->size = count / 2;
        return RESULT_OK;
    }
    default:  // FIELD_TEXT, FIELD_TEXT_Z
        request->size = std::strlen(data) + (type->type == FIELD_TEXT_Z ? 1 : 0);
        return data[0] == '\0' ? badValue("--set", value, "the text is empty") : RESULT_OK;
    }
}

// Checks a checksum's range and destination against the window.
int checkChecksum(const ChecksumRequest& request, std::uint64_t window)
{
    unsigned width = checksumWidth(request.algorithm);
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    // A range that ends at "end" ends in the window; where is known once the inputs are read.
    checksumRange(request, request.destination, std::uint64_t{request.first} + 1, &first, &end);
    if ((request.rangeGiven && end > window) ||
        (!request.atEnd && std::uint64_t{request.destination} + width > window)) {
        char fault[128];
        static_cast<void>(std::snprintf(fault, sizeof fault,
                                        "the range and the checksum must lie in the window, "
                                        "image addresses 0 to 0x%llX",
                                        static_cast<unsigned long long>(window - 1)));
        return badValue("--checksum", request.text, fault);
    }
    if (!request.rangeGiven && !request.atEnd && end == 0) {
        return badValue("--checksum", request.text, "the range before address 0 is empty; give FIRST-LAST");
    }
    // After the data, the default range ends at a multiple of the width, 4.
    bool wholeWords = (request.atEnd && !request.rangeGiven) || request.lastAtEnd || (end - first) % 4 == 0;
    if (checksumTakesWords(request.algorithm) && !wholeWords) {
        return badValue("--checksum", request.text, "stm32 takes whole 32-bit words: a multiple of 4 bytes");
    }
    return RESULT_OK;
}

// Remembers the first option given of a kind, for a later refusal that names it.
void firstOf(const char** first, const char* option)
{
    if (*first == nullptr) {
        *first = option;
    }
}

// Parses --split's N or N:W.
int takeSplit(const char* value, Options* options)
{
    unsigned count =
        value[0] == '2' || value[0] == '4' || value[0] == '8' ? static_cast<unsigned>(value[0] - '0') : 0;
    unsigned width = 1;
    const char* rest = value + (count != 0 ? 1 : 0);
    if (rest[0] == ':' && (rest[1] == '1' || rest[1] == '2' || rest[1] == '4')) {
        width = static_cast<unsigned>(rest[1] - '0');
        rest += 2;
    }
    if (count == 0 || rest[0] != '\0') {
        return badValue("--split", value, "2, 4 or 8 files, and :1, :2 or :4 bytes per unit");
    }
    options->splitCount = count;
    options->splitWidth = width;
    options->imageOption = "--split";
    firstOf(&options->outputOption, "--split");
    return RESULT_OK;
}

// Parses --binary's FILE@ADDR into a new input; the last "@" separates the address,
// so that a name may hold "@".
int takeBinary(const char* value, Options* options)
{
    const char* at = std::strrchr(value, '@');
    std::uint64_t address = 0;
    if (at == nullptr || at == value) {
        return badValue("--binary", value, BINARY_SYNTAX);
    }
    int rc = takeNumber("--binary", value, at + 1, MAX_OFFSET, false, BINARY_SYNTAX, &address);
    if (rc != RESULT_OK) {
        return rc;
    }
    auto length = static_cast<std::size_t>(at - value);
    auto* path = static_cast<char*>(std::malloc(length + 1));
    if (path == nullptr) {
        static_cast<void>(std::fputs("\nNot enough memory !\n", stderr));
        return RESULT_NO_MEMORY;
    }
    std::memcpy(path, value, length);
    path[length] = '\0';
    InputFile& input = options->inputs[options->inputCount++];
    input.path = path;
    input.ownedPath = path;
    input.binary = true;
    input.address = static_cast<std::uint32_t>(address);
    ++options->binaryCount;
    return RESULT_OK;
}

// Takes an option of the output's form, its padding, a binary input or the compare.
int takeHandOverOption(int letter, const char* value, Options* options)
{
    std::uint64_t number = 0;
    int rc = RESULT_OK;
    switch (letter) {
    case OPTION_FORMAT:
        if (std::strcmp(value, "hex") != 0 && std::strcmp(value, "binary") != 0 &&
            std::strcmp(value, "srec") != 0) {
            return badValue("--format", value, "hex, srec or binary");
        }
        options->format = value[0] == 'h' ? FORMAT_HEX : value[0] == 's' ? FORMAT_SREC : FORMAT_BINARY;
        options->formatGiven = true;
        options->imageOption = "--format";
        return RESULT_OK;
    case OPTION_RECORD_SIZE:
        rc = takeNumber("--record-size", value, value, MAX_RECORD_SIZE, false, "1 to 255", &number);
        if (rc == RESULT_OK && number == 0) {
            rc = badValue("--record-size", value, "1 to 255");
        }
        options->recordSize = static_cast<unsigned>(number);
        options->imageOption = "--record-size";
        firstOf(&options->hexOption, "--record-size");
        firstOf(&options->outputOption, "--record-size");
        return rc;
    case OPTION_START:
        options->startGiven = true;
        options->noStart = std::strcmp(value, "none") == 0;
        if (!options->noStart) {
            rc = takeNumber("--start", value, value, MAX_OFFSET, false,
                            "an address from 0 to 0xFFFFFFFF, or none", &number);
            options->startAddress = static_cast<std::uint32_t>(number);
        }
        options->imageOption = "--start";
        firstOf(&options->hexOption, "--start");
        firstOf(&options->outputOption, "--start");
        return rc;
    case OPTION_BINARY:
        return takeBinary(value, options);
    case OPTION_ALIGN:
        rc = takeNumber("--align", value, value, MAX_ALIGN, true, ALIGN_RANGE, &number);
        if (rc == RESULT_OK && (number == 0 || (number & (number - 1)) != 0)) {
            rc = badValue("--align", value, ALIGN_RANGE);
        }
        options->align = number;
        options->imageOption = "--align";
        firstOf(&options->outputOption, "--align");
        return rc;
    default:  // OPTION_COMPARE
        if (value[0] == '\0') {
            return badValue("--compare", value, "a file name");
        }
        options->comparePath = value;
        options->imageOption = "--compare";
        return RESULT_OK;
    }
}

// Takes one option that getopt_long returned, with its value in optarg.
int takeOption(int letter, const char* value, Options* options, Given* given)
{
    std::uint64_t number = 0;
    int rc = RESULT_OK;
    switch (letter) {
    case 1:
        options->inputs[options->inputCount++].path = value;
        return RESULT_OK;
    case 'o':
        if (value[0] == '\0' || std::strcmp(value, "-") == 0) {
            return badValue("-o", value, "a file name; standard output carries the messages");
        }
        options->outputPath = value;
        options->imageOption = "-o";
        firstOf(&options->outputOption, "-o");
        return RESULT_OK;
    case OPTION_OFFSET:
        rc = takeNumber("--offset", value, value, MAX_OFFSET, false, OFFSET_RANGE, &number);
        options->offset = static_cast<std::uint32_t>(number);
        given->offset = value;
        return rc;
    case OPTION_SIZE:
        rc = takeNumber("--size", value, value, MAX_SIZE, true, SIZE_RANGE, &number);
        if (rc == RESULT_OK && number == 0) {
            rc = badValue("--size", value, SIZE_RANGE);
        }
        options->size = number;
        options->fixedSize = true;
        given->size = value;
        return rc;
    case OPTION_TRIM:
        options->trim = true;
        options->imageOption = "--trim";
        firstOf(&options->binaryOption, "--trim");
        return RESULT_OK;
    case OPTION_CROP:
        options->crop = true;
        options->imageOption = "--crop";
        return RESULT_OK;
    case OPTION_STRICT:
        options->strict = true;
        return RESULT_OK;
    case OPTION_CHECKSUM:
        options->imageOption = "--checksum";
        return takeChecksum(value, &options->checksums[options->checksumCount++]);
    case OPTION_FILL:
        options->imageOption = "--fill";
        return takeFill(value, &options->fills[options->fillCount++]);
    case OPTION_SET:
        options->imageOption = "--set";
        return takeField(value, &options->fields[options->fieldCount++]);
    case OPTION_SREC_ADDRESS:
        if (std::strcmp(value, "16") != 0 && std::strcmp(value, "24") != 0 && std::strcmp(value, "32") != 0) {
            return badValue("--srec-address", value, "16, 24 or 32 bits: S1, S2 or S3 records");
        }
        options->srecAddressBits = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        options->imageOption = "--srec-address";
        firstOf(&options->srecOption, "--srec-address");
        firstOf(&options->outputOption, "--srec-address");
        return RESULT_OK;
    case OPTION_SREC_COUNT:
        options->srecCount = true;
        options->imageOption = "--srec-count";
        firstOf(&options->srecOption, "--srec-count");
        firstOf(&options->outputOption, "--srec-count");
        return RESULT_OK;
    case OPTION_EXCLUDE: {
        options->imageOption = "--exclude";
        ExcludeRequest& request = options->excludes[options->excludeCount++];
        request.text = value;
        return takeRange("--exclude", value, value, RANGE_SYNTAX, &request.first, &request.last, nullptr);
    }
    case OPTION_SWAP:
        if (std::strcmp(value, "2") != 0 && std::strcmp(value, "4") != 0) {
            return badValue("--swap", value, "2 or 4 bytes per word");
        }
        options->swapWidth = static_cast<unsigned>(value[0] - '0');
        options->imageOption = "--swap";
        firstOf(&options->binaryOption, "--swap");
        firstOf(&options->outputOption, "--swap");
        return RESULT_OK;
    case OPTION_SPLIT:
        return takeSplit(value, options);
    case OPTION_FORMAT:
    case OPTION_RECORD_SIZE:
    case OPTION_START:
    case OPTION_BINARY:
    case OPTION_ALIGN:
    case OPTION_COMPARE:
        return takeHandOverOption(letter, value, options);
    case OPTION_MAP:
        options->action = options->action == ACTION_CONVERT ? ACTION_MAP : options->action;
        return RESULT_OK;
    case 'q':
        options->quiet = true;
        return RESULT_OK;
    case 'h':
        options->action = ACTION_HELP;
        return RESULT_OK;
    default:  // 'V'
        options->action = ACTION_VERSION;
        return RESULT_OK;
    }
}

int commandLineFault(const char* text)
{
    static_cast<void>(std::fprintf(stderr, "romcast: %s; see 'romcast --help'\n", text));
    return RESULT_USAGE;
}

// Refuses the options that the output's form has no use for, and a record size that
// its S-records cannot hold.
int checkOutputForm(const Options& options)
{
    char fault[256];
    bool hex = options.format == FORMAT_HEX;
    if (options.format != FORMAT_BINARY && options.outputPath == nullptr) {
        static_cast<void>(std::snprintf(fault, sizeof fault,
                                        "--format=%s needs -o FILE: the output named after the input is a "
                                        "binary .bin",
                                        hex ? "hex" : "srec"));
        return commandLineFault(fault);
    }
    if (options.format != FORMAT_BINARY && options.binaryOption != nullptr) {
        static_cast<void>(std::snprintf(fault, sizeof fault,
                                        "'%s' shapes a binary image, and the output '%s' is written as %s "
                                        "(--format=binary writes a binary)",
                                        options.binaryOption, options.outputPath,
                                        hex ? "Intel HEX" : "S-records"));
        return commandLineFault(fault);
    }
    if (options.format != FORMAT_SREC && options.srecOption != nullptr) {
        static_cast<void>(std::snprintf(fault, sizeof fault,
                                        "'%s' has no use with %s output (an output named .srec, .s19, .s28, "
                                        ".s37 or .mot, or --format=srec, writes S-records)",
                                        options.srecOption, hex ? "an Intel HEX" : "a binary"));
        return commandLineFault(fault);
    }
    unsigned most = maxSRecordData(options.srecAddressBits != 0 ? options.srecAddressBits / 8 : 4);
    if (options.format == FORMAT_SREC && options.recordSize > most) {
        static_cast<void>(std::snprintf(
            fault, sizeof fault,
            "--record-size %u is more than the %u data bytes of an S-record of %u-bit "
            "addresses",
            options.recordSize, most, options.srecAddressBits != 0 ? options.srecAddressBits : 32));
        return commandLineFault(fault);
    }
    if (options.format == FORMAT_BINARY && options.hexOption != nullptr) {
        static_cast<void>(std::snprintf(fault, sizeof fault,
                                        "'%s' has no use with a binary output (an output named .hex, or "
                                        "--format=hex, writes Intel HEX)",
                                        options.hexOption));
        return commandLineFault(fault);
    }
    return RESULT_OK;
}

// Settles the action and the form of the output, or of the read-back with --compare,
// and refuses the options that have no use with them.
int checkAction(Options* options, const Given& given)
{
    char fault[256];
    if (options->comparePath != nullptr) {
        if (options->action == ACTION_MAP) {
            return commandLineFault("--map and --compare cannot be given together");
        }
        options->action = ACTION_COMPARE;
        if (options->outputOption != nullptr) {
            static_cast<void>(std::snprintf(fault, sizeof fault,
                                            "--compare writes no image, so '%s' has no use with it",
                                            options->outputOption));
            return commandLineFault(fault);
        }
    }
    if (options->action == ACTION_MAP && options->imageOption != nullptr) {
        static_cast<void>(std::snprintf(
            fault, sizeof fault, "--map writes no image, so '%s' has no use with it", options->imageOption));
        return commandLineFault(fault);
    }
    if (options->action == ACTION_MAP && given.offset != nullptr && given.size == nullptr) {
        return commandLineFault("--map takes --offset with --size, the window whose use it prints");
    }
    if (options->action == ACTION_MAP) {
        return RESULT_OK;
    }
    const char* named = options->action == ACTION_COMPARE ? options->comparePath : options->outputPath;
    if (!options->formatGiven) {
        options->format = outputFormat(named);
    }
    if (options->action == ACTION_COMPARE) {
        return RESULT_OK;
    }
    int rc = checkOutputForm(*options);
    if (rc != RESULT_OK) {
        return rc;
    }
    if (options->binaryCount > 0 && options->outputPath == nullptr) {
        return commandLineFault("--binary needs -o FILE for the image");
    }
    return RESULT_OK;
}

// Checks that standard input is named once at most among the inputs and the
// read-back, and that its image has a name.
int checkStandardInput(const Options& options)
{
    int named = options.comparePath != nullptr && std::strcmp(options.comparePath, "-") == 0 ? 1 : 0;
    for (int i = 0; i < options.inputCount; ++i) {
        if (options.inputs[i].path != nullptr && std::strcmp(options.inputs[i].path, "-") == 0) {
            ++named;
        }
    }
    if (named > 1) {
        return commandLineFault("standard input (-) may be named only once");
    }
    if (options.action == ACTION_CONVERT && named > 0 && options.outputPath == nullptr) {
        return commandLineFault("standard input (-) needs -o FILE for the image");
    }
    return RESULT_OK;
}

// The name of a descriptor for a message.
void describeDescriptor(int descriptor, char (&text)[48])
{
    if (descriptor == 1 || descriptor == 2) {
        static_cast<void>(
            std::snprintf(text, sizeof text, "standard %s", descriptor == 1 ? "output" : "error"));
    } else {
        static_cast<void>(std::snprintf(text, sizeof text, "the open descriptor %d", descriptor));
    }
}

// Checks what the output names: the parts of a split image must be files named
// after it, which a FIFO, a device or a descriptor (or a link to one) is not; and an
// image written through a descriptor must not share its file with the messages
// (standard error, and standard output without -q), which would end up in it.
int checkOutputTarget(const Options& options)
{
    if (options.outputPath == nullptr || options.action != ACTION_CONVERT) {
        return RESULT_OK;
    }
    int descriptor = -1;
    OutputKind kind = outputKind(options.outputPath, &descriptor);
    if (options.splitCount > 1 && kind != OUTPUT_FILE) {
        char what[48] = "";
        if (kind == OUTPUT_DESCRIPTOR) {
            describeDescriptor(descriptor, what);
        }
        static_cast<void>(
            std::fprintf(stderr,
                         "romcast: --split writes its parts to files named after -o, and '%s' is "
                         "%s, not a file; see 'romcast --help'\n",
                         options.outputPath,
                         kind == OUTPUT_FIFO     ? "a FIFO or a pipe"
                         : kind == OUTPUT_DEVICE ? "a device"
                                                 : what));
        return RESULT_USAGE;
    }
    if (kind != OUTPUT_DESCRIPTOR) {
        return RESULT_OK;
    }
    if (sharedDescriptorFile(descriptor, 2)) {
        static_cast<void>(std::fprintf(stderr,
                                       "romcast: -o '%s' writes the image where standard error goes, which "
                                       "carries the warnings; see 'romcast --help'\n",
                                       options.outputPath));
        return RESULT_USAGE;
    }
    if (!options.quiet && sharedDescriptorFile(descriptor, 1)) {
        static_cast<void>(std::fprintf(stderr,
                                       "romcast: -o '%s' writes the image where standard output goes, which "
                                       "carries the messages (-q sends them to standard error); see 'romcast "
                                       "--help'\n",
                                       options.outputPath));
        return RESULT_USAGE;
    }
    return RESULT_OK;
}

// Reports an option's value that has no room in the window.
int outsideWindow(const char* name, const char* value, const char* what, std::uint64_t window)
{
    char fault[128];
    static_cast<void>(std::snprintf(fault, sizeof fault,
                                    "%s must lie in the window, image addresses 0 to 0x%llX", what,
                                    static_cast<unsigned long long>(window - 1)));
    return badValue(name, value, fault);
}

// Whether [first, first + size) and [other, other + otherSize) share a byte.
bool overlap(std::uint64_t first, std::uint64_t size, std::uint64_t other, std::uint64_t otherSize)
{
    return first < other + otherSize && other < first + size;
}

// Reports two values of options that take the same bytes.
int clash(const char* first, const char* firstValue, const char* second, const char* secondValue)
{
    static_cast<void>(std::fprintf(stderr,
                                   "romcast: %s=%s and %s=%s take the same bytes; see 'romcast --help'\n",
                                   first, firstValue, second, secondValue));
    return RESULT_USAGE;
}

// Checks the fills against the window, each other and the output.
int checkFills(const Options& options, std::uint64_t window)
{
    const FillRequest* everywhere = nullptr;
    for (int i = 0; i < options.fillCount; ++i) {
        const FillRequest& fill = options.fills[i];
        if (!fill.rangeGiven) {
            if (everywhere != nullptr) {
                return clash("--fill", everywhere->text, "--fill", fill.text);
            }
            everywhere = &fill;
            continue;
        }
        if (fill.last >= window) {
            return outsideWindow("--fill", fill.text, "the range", window);
        }
        for (int k = 0; k < i; ++k) {
            const FillRequest& other = options.fills[k];
            if (other.rangeGiven && overlap(fill.first, std::uint64_t{fill.last} - fill.first + 1,
                                            other.first, std::uint64_t{other.last} - other.first + 1)) {
                return clash("--fill", other.text, "--fill", fill.text);
            }
        }
    }
    if (everywhere != nullptr && options.action == ACTION_COMPARE) {
        return badValue("--fill", everywhere->text,
                        "--compare compares the bytes written: give the fill a range, whose bytes count as "
                        "written");
    }
    if (everywhere != nullptr && options.format != FORMAT_BINARY) {
        return badValue(
            "--fill", everywhere->text,
            options.format == FORMAT_HEX
                ? "an Intel HEX output holds the bytes written: give the fill a range, FIRST-LAST"
                : "an S-record output holds the bytes written: give the fill a range, FIRST-LAST");
    }
    return RESULT_OK;
}

// Checks the fields and the exclusions against the window, and the fields against
// each other and the checksums placed at an address.
int checkFieldsAndExclusions(const Options& options, std::uint64_t window)
{
    for (int i = 0; i < options.fieldCount; ++i) {
        const FieldRequest& field = options.fields[i];
        if (field.address + field.size > window) {
            return outsideWindow("--set", field.text, "the field", window);
        }
        for (int k = 0; k < i; ++k) {
            const FieldRequest& other = options.fields[k];
            if (overlap(field.address, field.size, other.address, other.size)) {
                return clash("--set", other.text, "--set", field.text);
            }
        }
        for (int k = 0; k < options.checksumCount; ++k) {
            const ChecksumRequest& checksum = options.checksums[k];
            if (!checksum.atEnd &&
                overlap(field.address, field.size, checksum.destination, checksumWidth(checksum.algorithm))) {
                return clash("--checksum", checksum.text, "--set", field.text);
            }
        }
    }
    for (int i = 0; i < options.excludeCount; ++i) {
        if (options.excludes[i].last >= window) {
            return outsideWindow("--exclude", options.excludes[i].text, "the range", window);
        }
    }
    return RESULT_OK;
}

// Checks what the options write into the image against the window and each other.
int checkContent(const Options& options)
{
    std::uint64_t window =
        options.size < MAX_SIZE - options.offset ? options.size : MAX_SIZE - options.offset;
    for (int i = 0; i < options.checksumCount; ++i) {
        int rc = checkChecksum(options.checksums[i], window);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    int rc = checkFills(options, window);
    return rc == RESULT_OK ? checkFieldsAndExclusions(options, window) : rc;
}

// Checks the window that --offset and --size give against the address space, and
// against the S-records' addresses, and settles the size of a window they leave open.
int settleWindow(Options* options, const Given& given)
{
    if (given.size != nullptr && std::uint64_t{options->offset} + options->size > MAX_SIZE) {
        static_cast<void>(std::fprintf(stderr,
                                       "romcast: the window of --offset %s and --size %s ends past "
                                       "0xFFFFFFFF; see 'romcast --help'\n",
                                       given.offset != nullptr ? given.offset : "0", given.size));
        return RESULT_USAGE;
    }
    // A HEX or S-record file keeps its addresses: without --size its window reaches the
    // top of the address space, or of the S-records' addresses. A binary's window is
    // cut at 2^32.
    std::uint64_t top =
        options->srecAddressBits != 0 ? std::uint64_t{1} << options->srecAddressBits : MAX_SIZE;
    if (options->format != FORMAT_BINARY && !options->fixedSize) {
        options->size = top > options->offset ? top - options->offset : 0;
    }
    if (options->format == FORMAT_SREC &&
        (options->offset >= top || std::uint64_t{options->offset} + options->size > top)) {
        static_cast<void>(
            std::fprintf(stderr,
                         "romcast: the window of --offset %s%s%s reaches past 0x%llX, the top of "
                         "--srec-address=%u; see 'romcast --help'\n",
                         given.offset != nullptr ? given.offset : "0",
                         given.size != nullptr ? " and --size " : "", given.size != nullptr ? given.size : "",
                         static_cast<unsigned long long>(top - 1), options->srecAddressBits));
        return RESULT_USAGE;
    }
    return RESULT_OK;
}

// Checks what only the whole command line tells, and settles which inputs are read
// and the window.
int checkCombination(Options* options, const Given& given)
{
    if (options->action == ACTION_HELP || options->action == ACTION_VERSION) {
        return RESULT_OK;
    }
    int rc = checkAction(options, given);
    if (rc != RESULT_OK) {
        return rc;
    }
    rc = settleWindow(options, given);
    if (rc != RESULT_OK) {
        return rc;
    }
    rc = checkContent(*options);
    if (rc != RESULT_OK) {
        return rc;
    }
    if (options->action == ACTION_CONVERT && options->outputPath == nullptr && options->inputCount > 1) {
        options->ignoredCount = options->inputCount - 1;  // further operands are ignored, with a warning
        options->inputCount = 1;
    }
    rc = checkStandardInput(*options);
    return rc == RESULT_OK ? checkOutputTarget(*options) : rc;
}

}  // namespace

NumberResult parseNumber(const char* text, std::uint64_t maximum, bool allowSuffix, std::uint64_t* value)
{
    unsigned base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    std::uint64_t number = 0;
    const char* digit = text;
    for (; *digit != '\0'; ++digit) {
        unsigned d = HEX_DIGITS.value[static_cast<unsigned char>(*digit)];
        if (d >= base) {
            break;  // not a digit of this base
        }
        if (d > maximum || number > (maximum - d) / base) {
            return NUMBER_INVALID;  // above the maximum, which the number never overflows to reach
        }
        number = number * base + d;
    }
    if (digit == text) {
        return NUMBER_INVALID;
    }
    bool leadingZero = base == 10 && text[0] == '0' && digit - text > 1;
    unsigned shift = 0;
    if (allowSuffix) {
        switch (*digit) {
        case 'K':
        case 'k':
            shift = SUFFIX_SHIFT_K;
            break;
        case 'M':
        case 'm':
            shift = 2 * SUFFIX_SHIFT_K;
            break;
        case 'G':
        case 'g':
            shift = 3 * SUFFIX_SHIFT_K;
            break;
        default:
            break;
        }
    }
    if (shift != 0) {
        number <<= shift;  // at most 2^32 << 30: no overflow
        ++digit;
    }
    if (*digit != '\0' || number > maximum) {
        return NUMBER_INVALID;
    }
    if (leadingZero) {
        return NUMBER_LEADING_ZERO;
    }
    *value = number;
    return NUMBER_OK;
}

int parseOptions(int argc, char* argv[], Options* options)
{
    // Every operand and every checksum is an argument of its own, so argc entries
    // always suffice.
    auto arguments = static_cast<std::size_t>(argc);
    options->inputs = static_cast<InputFile*>(std::calloc(arguments, sizeof(InputFile)));
    options->checksums = static_cast<ChecksumRequest*>(std::calloc(arguments, sizeof(ChecksumRequest)));
    options->fills = static_cast<FillRequest*>(std::calloc(arguments, sizeof(FillRequest)));
    options->fields = static_cast<FieldRequest*>(std::calloc(arguments, sizeof(FieldRequest)));
    options->excludes = static_cast<ExcludeRequest*>(std::calloc(arguments, sizeof(ExcludeRequest)));
    if (options->inputs == nullptr || options->checksums == nullptr || options->fills == nullptr ||
        options->fields == nullptr || options->excludes == nullptr) {
        static_cast<void>(std::fputs("\nNot enough memory !\n", stderr));
        return RESULT_NO_MEMORY;
    }
    Given given{nullptr, nullptr};
    opterr = 0;
    optind = 0;  // a fresh walk, also when a process parses more than one command line
    for (;;) {
        int element = optind > 0 ? optind : 1;  // the argument this call looks at
        int letter = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr);
        if (letter == -1) {
            break;
        }
        char shortForm[3];
        const char* word = optionWord(argv[element], optopt, shortForm);
        bool isLong = word == argv[element];
        // A long option given a value that it does not take: glibc reports '?' and
        // names the option in optopt, the BSD getopt of MinGW reports ':'.
        if (isLong && (letter == ':' || letter == '?') && std::strchr(word, '=') != nullptr &&
            (letter == ':' || optopt != 0)) {
            return usageError("no value allowed for option", word);
        }
        if (letter == ':') {
            return usageError("missing value for option", word);
        }
        if (letter == '?') {
            return usageError(isLong ? "unrecognized or ambiguous option" : "unrecognized option", word);
        }
        options->optionsGiven = options->optionsGiven || letter != 1;
        int rc = takeOption(letter, optarg, options, &given);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    // getopt stops just after "--", which counts as an option, or after the last argument.
    options->optionsGiven = options->optionsGiven || (optind > 1 && std::strcmp(argv[optind - 1], "--") == 0);
    while (optind < argc) {
        options->inputs[options->inputCount++].path = argv[optind++];  // the arguments after "--"
    }
    return checkCombination(options, given);
}

namespace {

// Whether a name ends in one of the extensions, lower case, in any case.
bool endsInExtension(const char* path, const char* const* extensions, std::size_t count)
{
    std::size_t length = std::strlen(path);
    for (std::size_t i = 0; i < count; ++i) {
        const char* extension = extensions[i];
        std::size_t size = std::strlen(extension);
        if (length < size) {
            continue;
        }
        const char* tail = path + length - size;
        std::size_t k = 0;
        // ASCII letters only: a locale's case rules must not decide the output's form.
        while (k < size && (tail[k] == extension[k] ||
                            (tail[k] >= 'A' && tail[k] <= 'Z' && tail[k] - 'A' + 'a' == extension[k]))) {
            ++k;
        }
        if (k == size) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool hexFileName(const char* path)
{
    static const char* const EXTENSIONS[] = {".hex", ".ihx", ".ihex"};
    return endsInExtension(path, EXTENSIONS, sizeof EXTENSIONS / sizeof EXTENSIONS[0]);
}

bool sRecordFileName(const char* path)
{
    static const char* const EXTENSIONS[] = {".srec", ".s19", ".s28", ".s37", ".mot"};
    return endsInExtension(path, EXTENSIONS, sizeof EXTENSIONS / sizeof EXTENSIONS[0]);
}

FileFormat outputFormat(const char* path)
{
    if (path == nullptr) {
        return FORMAT_BINARY;
    }
    return hexFileName(path) ? FORMAT_HEX : sRecordFileName(path) ? FORMAT_SREC : FORMAT_BINARY;
}

void releaseOptions(Options* options)
{
    for (int i = 0; options->inputs != nullptr && i < options->inputCount + options->ignoredCount; ++i) {
        std::free(options->inputs[i].ownedPath);
    }
    std::free(static_cast<void*>(options->inputs));
    std::free(options->checksums);
    std::free(options->fills);
    std::free(options->fields);
    std::free(options->excludes);
    options->fills = nullptr;
    options->fields = nullptr;
    options->excludes = nullptr;
    options->fillCount = 0;
    options->fieldCount = 0;
    options->excludeCount = 0;
    options->inputs = nullptr;
    options->inputCount = 0;
    options->ignoredCount = 0;
    options->checksums = nullptr;
    options->checksumCount = 0;
}

// Console output is best effort here as everywhere in romcast.
void printHelp()
{
    static_cast<void>(
        std::fputs("Usage: romcast [OPTION]... FILE...\n"
                   "Convert Intel HEX files (8-bit variant, with extended address records) into\n"
                   "a flat binary image, or merge them into one Intel HEX file. A FILE that is an\n"
                   "ELF file or Motorola S-records, as its content tells, is read as that. The\n"
                   "image goes to FILE with its extension replaced by .bin, unless -o names\n"
                   "another file.\n"
                   "Without -o only the first FILE is converted, and a warning names the others;\n"
                   "with -o every FILE is read, in order, into the one image. FILE - reads\n"
                   "standard input and needs -o.\n"
                   "\n"
                   "  -o, --output=FILE  write the image to FILE: Intel HEX when its name ends in\n"
                   "                     .hex, .ihx or .ihex, S-records in .srec, .s19, .s28, .s37\n"
                   "                     or .mot (any case), else a binary. With -q, FILE may be\n"
                   "                     /dev/stdout\n"
                   "      --format=F     write the output as F, hex, srec or binary, whatever its\n"
                   "                     name\n"
                   "      --binary=FILE@ADDR\n"
                   "                     read FILE as raw bytes from file address ADDR, in its\n"
                   "                     place among the inputs; needs -o\n"
                   "      --offset=ADDR  file address ADDR becomes image address 0 (default 0);\n"
                   "                     extended address records count\n"
                   "      --size=N       the image is exactly N bytes, 1 to 4G (8K is 8192);\n"
                   "                     unwritten bytes are 0xFF. Default: 65536 bytes, saved up\n"
                   "                     to the last byte that is not 0xFF; for Intel HEX, up to\n"
                   "                     4G, and only the bytes written\n"
                   "      --trim         end the image after its last byte that is not 0xFF, as\n"
                   "                     without --size\n"
                   "      --crop         skip data outside the image instead of failing, and\n"
                   "                     report how many bytes were skipped\n"
                   "      --strict       fail on a checksum mismatch, a character that is not a\n"
                   "                     hex digit or a missing end record; for S-records also a\n"
                   "                     count record that disagrees\n"
                   "      --checksum=ALGORITHM[:FIRST-LAST]@DEST\n"
                   "                     store a checksum of image bytes FIRST to LAST (default 0\n"
                   "                     to DEST-1) at image address DEST, or at end: after the\n"
                   "                     last byte written. LAST may be end: the byte before a\n"
                   "                     DEST of end, else the last byte the inputs wrote.\n"
                   "                     ALGORITHM: crc32, crc32c, crc32-mpeg2,\n"
                   "                     stm32, crc16-ccitt, crc16-xmodem, crc16-modbus, sum8,\n"
                   "                     sum16; stored little-endian, or big-endian with -be\n"
                   "      --fill=PATTERN[@FIRST-LAST]\n"
                   "                     fill the bytes no input wrote with PATTERN, 1 to 8 bytes\n"
                   "                     behind 0x, little-endian or with -be big-endian: from\n"
                   "                     FIRST to LAST, where they count as written, or without a\n"
                   "                     range the gaps and the tail of a binary output\n"
                   "      --set=ADDR:TYPE=VALUE\n"
                   "                     store a field at image address ADDR: TYPE u8, u16, u32 or\n"
                   "                     u64 (-be for big-endian) of a number or of length, first\n"
                   "                     or end of the data; str or strz of a text; bytes of\n"
                   "                     hexadecimal digit pairs\n"
                   "      --exclude=FIRST-LAST\n"
                   "                     drop the bytes that the inputs wrote from image address\n"
                   "                     FIRST to LAST\n"
                   "      --align=N      pad with 0xFF, or the fill, to whole blocks of N bytes (a\n"
                   "                     power of two up to 1M): a binary's length, each run of a\n"
                   "                     HEX output\n"
                   "      --swap=W       reverse the bytes of each W-byte word (2 or 4)\n"
                   "      --split=N[:W]  write N files (2, 4 or 8), one per ROM: file k holds\n"
                   "                     the W-byte units k, k+N, k+2N... (W 1, 2 or 4; default 1),\n"
                   "                     as a binary or as Intel HEX from address 0\n"
                   "      --record-size=N  Intel HEX: N data bytes per record, 1 to 255 (16);\n"
                   "                     S-records: up to 250, 251 or 252 by the address width\n"
                   "      --start=ADDR   Intel HEX, S-records: write start address ADDR (type 05,\n"
                   "                     S7 to S9), or none; default: the first input's\n"
                   "      --srec-address=BITS\n"
                   "                     S-records: addresses of 16, 24 or 32 bits (S1, S2, S3);\n"
                   "                     default: the narrowest that holds the data\n"
                   "      --srec-count   S-records: an S5 or S6 record counts the data records\n"
                   "      --compare=FILE write no image; compare the bytes written with FILE, a\n"
                   "                     binary dump from image address 0 or an Intel HEX file,\n"
                   "                     and print each run of bytes that differ\n"
                   "      --map          write no image; print each run of data (first and last\n"
                   "                     address, byte count), the start address and the\n"
                   "                     --offset and --size that hold all the data; with --size,\n"
                   "                     how full that window is\n"
                   "  -q, --quiet        print no banner, progress line or report, and every\n"
                   "                     message on standard error, where a line's message names\n"
                   "                     its file\n"
                   "  -h, --help         print this help and exit\n"
                   "  -V, --version      print the version and exit\n"
                   "\n"
                   "ADDR and N are decimal, or hexadecimal behind 0x; N may end in K, M or G.\n"
                   "The image is made in this order: the inputs, --exclude, --set, the places of\n"
                   "the checksums, --fill, the checksums in the order given, --align, --swap,\n"
                   "--split.\n"
                   "\n"
                   "Exit status:\n"
                   "  0  the image was written (--compare: no byte differs)\n"
                   "  1  the command line is faulty or names no input: nothing read or written\n"
                   "  2  the output could not be opened or written\n"
                   "  3  an input, or the --compare file, could not be read or is faulty, or a\n"
                   "     checksum could not be placed: no image written\n"
                   "  4  --compare found bytes that differ\n"
                   "  5  not enough memory for the image or the map\n",
                   stdout));
}

void printVersion()
{
    static_cast<void>(std::fputs("romcast " ROMCAST_VERSION "\n", stdout));
}
