// Command-line options: the getopt_long walk, the number parser, help and version.
#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>

#include "conversion_state.h"
#include "record_decoder.h"

#ifndef ROMCAST_VERSION
#define ROMCAST_VERSION "unknown"
#endif

namespace {

// Long-only options, above every character an option letter can be.
enum LongOption {
    OPTION_OFFSET = 0x100,
    OPTION_SIZE,
    OPTION_CROP,
    OPTION_STRICT,
};

constexpr option LONG_OPTIONS[] = {
    {"output", required_argument, nullptr, 'o'},
    {"offset", required_argument, nullptr, OPTION_OFFSET},
    {"size", required_argument, nullptr, OPTION_SIZE},
    {"crop", no_argument, nullptr, OPTION_CROP},
    {"strict", no_argument, nullptr, OPTION_STRICT},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// "-": operands come back in order as option 1, so FILE may stand before or after
// options whatever POSIXLY_CORRECT says. ":": a missing value is told apart from an
// unknown option, and getopt prints nothing itself.
constexpr char SHORT_OPTIONS[] = "-:o:qhV";

constexpr std::uint32_t MAX_OFFSET = 0xFFFFFFFF;
constexpr std::uint32_t KILO = 1024;

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

// Takes one option that getopt_long returned, with its value in optarg.
int takeOption(int letter, const char* value, Options* options)
{
    switch (letter) {
    case 1:
        if (options->inputPath == nullptr) {
            options->inputPath = value;  // further operands are ignored
        }
        return RESULT_OK;
    case 'o':
        if (value[0] == '\0' || std::strcmp(value, "-") == 0) {
            return badValue("-o", value, "a file name; standard output carries the messages");
        }
        options->outputPath = value;
        return RESULT_OK;
    case OPTION_OFFSET:
        return parseNumber(value, MAX_OFFSET, false, &options->offset)
                   ? RESULT_OK
                   : badValue("--offset", value, "0 to 0xFFFFFFFF");
    case OPTION_SIZE:
        if (!parseNumber(value, IMAGE_SIZE, true, &options->size) || options->size == 0) {
            return badValue("--size", value, "1 to 65536, or 1K to 64K");
        }
        options->fixedSize = true;
        return RESULT_OK;
    case OPTION_CROP:
        options->crop = true;
        return RESULT_OK;
    case OPTION_STRICT:
        options->strict = true;
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

}  // namespace

bool parseNumber(const char* text, std::uint32_t maximum, bool allowKilo, std::uint32_t* value)
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
        number = number * base + d;
        if (number > maximum) {
            return false;  // also keeps number far from overflowing
        }
    }
    if (digit == text) {
        return false;
    }
    if (allowKilo && (*digit == 'K' || *digit == 'k')) {
        number *= KILO;
        ++digit;
    }
    if (*digit != '\0' || number > maximum) {
        return false;
    }
    *value = static_cast<std::uint32_t>(number);
    return true;
}

int parseOptions(int argc, char* argv[], Options* options)
{
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
        int rc = takeOption(letter, optarg, options);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    if (options->inputPath == nullptr && optind < argc) {
        options->inputPath = argv[optind];  // the first argument after "--"
    }
    options->standardInput = options->inputPath != nullptr && std::strcmp(options->inputPath, "-") == 0;
    if (options->action == ACTION_CONVERT && options->standardInput && options->outputPath == nullptr) {
        static_cast<void>(std::fputs(
            "romcast: standard input (-) needs -o FILE for the image; see 'romcast --help'\n", stderr));
        return RESULT_USAGE;
    }
    return RESULT_OK;
}

// Console output is best effort here as everywhere in romcast.
void printHelp()
{
    static_cast<void>(
        std::fputs("Usage: romcast [OPTION]... FILE\n"
                   "Convert an Intel HEX file (8-bit variant, 16-bit load addresses) into a flat\n"
                   "binary image. The image goes to FILE with its extension replaced by .bin,\n"
                   "unless -o names another file. FILE - reads standard input and needs -o.\n"
                   "\n"
                   "  -o, --output=FILE  write the image to FILE\n"
                   "      --offset=ADDR  file address ADDR becomes image address 0 (default 0);\n"
                   "                     extended address records count\n"
                   "      --size=N       the image is exactly N bytes, 1 to 65536 (8K is 8192);\n"
                   "                     unwritten bytes are 0xFF. Default: 65536 bytes, saved up\n"
                   "                     to the last byte that is not 0xFF\n"
                   "      --crop         skip data outside the image instead of failing, and\n"
                   "                     report how many bytes were skipped\n"
                   "      --strict       fail on a checksum mismatch or a character that is not\n"
                   "                     a hex digit, instead of warning or reading on\n"
                   "  -q, --quiet        print no banner, progress line or report; warnings and\n"
                   "                     errors still appear\n"
                   "  -h, --help         print this help and exit\n"
                   "  -V, --version      print the version and exit\n"
                   "\n"
                   "ADDR and N are decimal, or hexadecimal behind 0x.\n"
                   "Exit status: 0 image written, 1 command-line fault, 2 image not written,\n"
                   "3 input unreadable or faulty (no image written), 5 out of memory.\n",
                   stdout));
}

void printVersion()
{
    static_cast<void>(std::fputs("romcast " ROMCAST_VERSION "\n", stdout));
}
