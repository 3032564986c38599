// Command-line options: walks argv once with getopt_long into an Options record that
// the driver owns, and prints the help and version texts. Knows nothing of records; a
// fault in the command line is reported here, in one line on standard error. Owns the
// lists of input operands and checksums, released with releaseOptions.
#pragma once

#include <cstdint>

#include "image_layout.h"

enum OptionsAction {
    ACTION_CONVERT,  // convert the inputs (none given: the driver prints its usage lines)
    ACTION_MAP,      // --map: print where the inputs' data lies
    ACTION_HELP,     // -h, --help
    ACTION_VERSION,  // -V, --version
};

struct Options {
    OptionsAction action = ACTION_CONVERT;
    const char** inputs = nullptr;         // the FILE operands to read, in order; "-" is standard input
    int inputCount = 0;                    // operands to read: all with -o or --map, else the first alone
    const char* outputPath = nullptr;      // -o: the image's path; null to derive it from the first input
    std::uint32_t offset = 0;              // --offset: the file address that becomes image address 0
    std::uint64_t size = 0x10000;          // --size: bytes in the window, 1 to 2^32
    bool fixedSize = false;                // --size given: the output is exactly `size` bytes
    bool trim = false;                     // --trim: the output ends after its last byte that is not 0xFF
    bool crop = false;                     // --crop: skip data outside the window instead of failing
    bool strict = false;                   // --strict: a mismatch, a non-digit or no end record is fatal
    bool quiet = false;                    // -q: no banner, progress line or report
    ChecksumRequest* checksums = nullptr;  // --checksum, in the order given
    int checksumCount = 0;
    unsigned swapWidth = 1;             // --swap: bytes per word reversed, 2 or 4; 1 for none
    unsigned splitCount = 1;            // --split: files, 2, 4 or 8; 1 for none
    unsigned splitWidth = 1;            // --split=N:W: bytes per unit, 1, 2 or 4
    const char* imageOption = nullptr;  // the first option given that shapes an image, which --map refuses
};

// Fills *options from the command line. Returns RESULT_OK, RESULT_USAGE after
// printing one line that names the fault, or RESULT_NO_MEMORY after "Not enough
// memory". Nothing is read or written.
int parseOptions(int argc, char* argv[], Options* options);

// Frees the operand and checksum lists; safe to call twice.
void releaseOptions(Options* options);

// Outcomes of parseNumber.
enum NumberResult {
    NUMBER_OK,
    NUMBER_INVALID,       // not a number of this syntax, or above the maximum
    NUMBER_LEADING_ZERO,  // decimal digits after a leading 0: meant as hexadecimal, most likely
};

// Parses a whole number: decimal, or hexadecimal behind "0x" or "0X"; with
// allowSuffix, a trailing "K", "M" or "G" (either case) multiplies it by 1,024,
// 1,024^2 or 1,024^3. No sign, blank or other suffix, and no leading 0 before a
// decimal digit ("0" alone is a number). *value is set for NUMBER_OK only.
NumberResult parseNumber(const char* text, std::uint64_t maximum, bool allowSuffix, std::uint64_t* value);

void printHelp();
void printVersion();
