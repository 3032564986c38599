// Command-line options: walks argv once with getopt_long into an Options record that
// the driver owns, and prints the help and version texts. Knows nothing of records; a
// fault in the command line is reported here, in one line on standard error.
#pragma once

#include <cstdint>

enum OptionsAction {
    ACTION_CONVERT,  // convert inputPath (none given: the driver prints its usage lines)
    ACTION_HELP,     // -h, --help
    ACTION_VERSION,  // -V, --version
};

struct Options {
    OptionsAction action = ACTION_CONVERT;
    const char* inputPath = nullptr;   // the first operand; null when none
    bool standardInput = false;        // the operand is "-": the HEX data comes from standard input
    const char* outputPath = nullptr;  // -o: the image's path; null to derive it from inputPath
    std::uint32_t offset = 0;          // --offset: the file address that becomes image address 0
    std::uint32_t size = 0x10000;      // --size: bytes in the window, 1 to 65,536
    bool fixedSize = false;            // --size given: the output is exactly `size` bytes
    bool crop = false;                 // --crop: skip data outside the window instead of failing
    bool strict = false;               // --strict: a checksum mismatch or a non-digit is fatal
    bool quiet = false;                // -q: no banner, progress line or report
};

// Fills *options from the command line. Returns RESULT_OK, or RESULT_USAGE after
// printing one line that names the fault. Nothing is read or written.
int parseOptions(int argc, char* argv[], Options* options);

// Parses a whole number: decimal, or hexadecimal behind "0x" or "0X"; with
// allowKilo, a trailing "K" or "k" multiplies it by 1,024. No sign, blank or
// other suffix. Returns false when text is no such number or exceeds maximum.
bool parseNumber(const char* text, std::uint32_t maximum, bool allowKilo, std::uint32_t* value);

void printHelp();
void printVersion();
