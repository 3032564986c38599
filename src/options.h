// Command-line options: walks argv once with getopt_long into an Options record that
// the driver owns, and prints the help and version texts. Knows nothing of records; a
// fault in the command line is reported here, in one line on standard error. Owns the
// lists of inputs, checksums, fills, fields and exclusions and the names of binary
// inputs, released with releaseOptions.
#pragma once

#include <cstdint>

#include "image_content.h"

enum OptionsAction {
    ACTION_CONVERT,  // convert the inputs (none given: the driver prints its usage lines)
    ACTION_MAP,      // --map: print where the inputs' data lies
    ACTION_COMPARE,  // --compare: compare the image with a chip's read-back
    ACTION_HELP,     // -h, --help
    ACTION_VERSION,  // -V, --version
};

enum FileFormat {
    FORMAT_BINARY,  // a flat binary image from image address 0
    FORMAT_HEX,     // Intel HEX: the bytes written, at their file addresses
    FORMAT_SREC,    // Motorola S-records: the bytes written, at their file addresses
};

// One input, in the order of the command line; all zero is no input.
struct InputFile {
    const char* path;       // the file; "-" is standard input
    bool binary;            // --binary: every byte is data; else Intel HEX
    std::uint32_t address;  // --binary: the file address of its first byte
    char* ownedPath;        // --binary: the heap copy that path points to, else null
};

struct Options {
    OptionsAction action = ACTION_CONVERT;
    InputFile* inputs = nullptr;           // the FILE operands and --binary inputs, in order
    int inputCount = 0;                    // inputs to read: all with -o, --map or --compare, else the
                                           // first operand alone
    int ignoredCount = 0;                  // without -o: the operands after the first, inputs[1] on,
                                           // which are not read
    int binaryCount = 0;                   // --binary inputs among them
    const char* outputPath = nullptr;      // -o: the image's path; null to derive it from the first input
    FileFormat format = FORMAT_BINARY;     // the output's form, or with --compare the read-back's
    bool formatGiven = false;              // --format given; else the name decides
    unsigned recordSize = 16;              // --record-size: data bytes per HEX record, 1 to 255, or per
                                           // S-record, 1 to 252, 251 or 250 by the address width
    unsigned srecAddressBits = 0;          // --srec-address: 16, 24 or 32; 0 for the narrowest that holds
                                           // the data
    bool srecCount = false;                // --srec-count: an S5 or S6 record counts the data records
    bool startGiven = false;               // --start given: startAddress, or none
    bool noStart = false;                  // --start=none: no start address record
    std::uint32_t startAddress = 0;        // --start=ADDR: written as a type 05 record
    std::uint64_t align = 1;               // --align: padded to blocks of this size, 1 to 1M
    const char* comparePath = nullptr;     // --compare: the read-back to compare with
    std::uint32_t offset = 0;              // --offset: the file address that becomes image address 0
    std::uint64_t size = 0x10000;          // the window's size, 1 to 2^32: --size, or the default of
                                           // the output's form
    bool fixedSize = false;                // --size given: the output is exactly `size` bytes
    bool trim = false;                     // --trim: the output ends after its last byte that is not 0xFF
    bool crop = false;                     // --crop: skip data outside the window instead of failing
    bool strict = false;                   // --strict: a mismatch, a non-digit or no end record is fatal
    bool quiet = false;                    // -q: no banner, progress line or report
    bool optionsGiven = false;             // an option or "--" was given; without, every message on
                                           // standard output is as it always was
    ChecksumRequest* checksums = nullptr;  // --checksum, in the order given
    FillRequest* fills = nullptr;          // --fill, in the order given; one at most without a range
    FieldRequest* fields = nullptr;        // --set, in the order given; apart from each other
    ExcludeRequest* excludes = nullptr;    // --exclude, in the order given
    int checksumCount = 0;                 // the entries of each list
    int fillCount = 0;
    int fieldCount = 0;
    int excludeCount = 0;
    unsigned swapWidth = 1;              // --swap: bytes per word reversed, 2 or 4; 1 for none
    unsigned splitCount = 1;             // --split: files, 2, 4 or 8; 1 for none
    unsigned splitWidth = 1;             // --split=N:W: bytes per unit, 1, 2 or 4
    const char* imageOption = nullptr;   // the first option given that shapes an image, which --map refuses
    const char* binaryOption = nullptr;  // the first option given that shapes a binary image only
    const char* hexOption = nullptr;     // the first option given that shapes a HEX output only
    const char* outputOption = nullptr;  // the first option given that only an output has use for
    const char* srecOption = nullptr;    // the first option given that shapes an S-record output only
};

// Fills *options from the command line. Returns RESULT_OK, RESULT_USAGE after
// printing one line that names the fault, or RESULT_NO_MEMORY after "Not enough
// memory". Nothing is read or written.
int parseOptions(int argc, char* argv[], Options* options);

// Whether a name ends in .hex, .ihx or .ihex, in any case: the name of an Intel HEX file.
bool hexFileName(const char* path);

// Whether a name ends in .srec, .s19, .s28, .s37 or .mot, in any case: the name of an
// S-record file.
bool sRecordFileName(const char* path);

// The form of an output, or of a read-back, that its name asks for: Intel HEX or
// S-records by the extensions above, else a binary; a binary for no name.
FileFormat outputFormat(const char* path);

// Frees the lists; safe to call twice.
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
