// Command-line driver: the steps of one conversion, their messages and exit status.
#include <algorithm>
#include <cstring>

#include "address_map.h"
#include "binary_reader.h"
#include "binary_writer.h"
#include "conversion_state.h"
#include "hex_reader.h"
#include "hex_writer.h"
#include "image_compare.h"
#include "image_content.h"
#include "image_layout.h"
#include "input_files.h"
#include "line_reader.h"
#include "options.h"
#include "srec_writer.h"

namespace {

// Console output is best effort: a closed or full console must not turn a correct
// conversion into a failure, and there is nowhere left to report it. Standard output
// is flushed first so that a log of both streams keeps the messages in order.
void printError(const char* text)
{
    static_cast<void>(std::fflush(stdout));
    static_cast<void>(std::fputs(text, stderr));
}

// A HEX or S-record input read whole without an end or termination record converts,
// but a file cut short at a line boundary reads the same way, so the user is told.
void warnWithoutEndRecord(const InputState& input)
{
    if (input.endRecordSeen || (input.kind != INPUT_HEX && input.kind != INPUT_SRECORD)) {
        return;
    }
    bool hex = input.kind == INPUT_HEX;
    static_cast<void>(std::fflush(stdout));
    static_cast<void>(std::fprintf(stderr,
                                   "romcast: warning: %s ends after %s %lu without %s record: it may have "
                                   "been cut short (--strict refuses it)\n",
                                   input.name, hex ? "HEX-Line" : "S-record line",
                                   static_cast<unsigned long>(input.lineCount),
                                   hex ? "an end" : "a termination"));
}

// Without -o only the first operand is converted; the others are named, so that a
// file meant to be merged is not dropped unseen.
void warnIgnoredOperands(const Options& options)
{
    if (options.ignoredCount == 0) {
        return;
    }
    static_cast<void>(std::fflush(stdout));
    static_cast<void>(std::fprintf(
        stderr, "romcast: warning: without -o only %s is converted; ignored:", options.inputs[0].path));
    for (int i = 1; i <= options.ignoredCount; ++i) {
        static_cast<void>(std::fprintf(stderr, " %s", options.inputs[i].path));
    }
    static_cast<void>(std::fputs(" (-o FILE reads them all into one image)\n", stderr));
}

void printBanner()
{
    std::printf("\n**********************************\n");
    std::printf("* Intel8-HEX to Binary Converter *\n");
    std::printf("*         Windows Version        *\n");
    std::printf("*                                *\n");
    std::printf("*  romcast: HEX to flat binary   *\n");
    std::printf("* Last change: 13.03.2004        *\n");
    std::printf("**********************************\n\n");
}

// The digits of a number in a base.
int digitCount(std::uint64_t value, unsigned base)
{
    int count = 1;
    for (; value >= base; value /= base) {
        ++count;
    }
    return count;
}

// Prints how full the window is: what the inputs, fields, fills, checksums and
// padding wrote in it.
void printImageUse(const MemoryImage& image)
{
    WindowUse use;
    startWindowUse(use, image.windowStart, image.windowSize);
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    for (std::uint64_t from = 0; nextWrittenRun(image, from, &first, &end); from = end) {
        addWrittenRun(use, image.windowStart + first, image.windowStart + end);
    }
    printWindowUse(use);
}

// What each kind of input holds: the lines of HEX and S-record files, the segments of
// ELF files. HEX-Lines stands where any HEX or binary input was read, as ever, and
// where no input of another kind was.
void printInputCounts(const ConversionState& state, int decimal)
{
    bool others = state.kindsRead[INPUT_SRECORD] || state.kindsRead[INPUT_ELF];
    if (state.kindsRead[INPUT_HEX] || state.kindsRead[INPUT_BINARY] || !others) {
        std::printf("HEX-Lines       %*llu\n", decimal,
                    static_cast<unsigned long long>(state.counts[INPUT_HEX]));
    }
    if (state.kindsRead[INPUT_SRECORD]) {
        std::printf("S-record lines  %*llu\n", decimal,
                    static_cast<unsigned long long>(state.counts[INPUT_SRECORD]));
    }
    if (state.kindsRead[INPUT_ELF]) {
        std::printf("ELF segments    %*llu\n", decimal,
                    static_cast<unsigned long long>(state.counts[INPUT_ELF]));
    }
}

// The fields' numbers and the checksums that the options wrote into the image.
void printAdditions(const Options& options, int decimal)
{
    for (int i = 0; i < options.fieldCount; ++i) {
        const FieldRequest& field = options.fields[i];
        if (field.type == FIELD_NUMBER) {
            std::printf("Field           %*s 0x%0*llX at 0x%08lX\n", decimal, field.typeName,
                        static_cast<int>(2 * field.width), static_cast<unsigned long long>(field.number),
                        static_cast<unsigned long>(field.address));
        }
    }
    // The algorithm and the start address stand in the decimal column, so that a
    // checksum's value starts in the hexadecimal one.
    for (int i = 0; i < options.checksumCount; ++i) {
        const ChecksumRequest& checksum = options.checksums[i];
        char name[40];
        static_cast<void>(std::snprintf(name, sizeof name, "%s%s", checksumName(checksum.algorithm),
                                        checksum.bigEndian ? "-be" : ""));
        std::printf("Checksum        %*s 0x%0*lX at 0x%08lX\n", decimal, name,
                    static_cast<int>(2 * checksumWidth(checksum.algorithm)),
                    static_cast<unsigned long>(checksum.value),
                    static_cast<unsigned long>(checksum.placedAt));
    }
}

void printReport(const ConversionState& state, const Options& options)
{
    const MemoryImage& image = state.image;
    std::uint64_t skipped = image.cropWindow ? image.skippedCount : 0;
    bool recordOutput = options.format != FORMAT_BINARY;  // Intel HEX or S-records
    std::uint64_t part = state.address / options.splitCount;
    // A run without options keeps the widths it always had, 5 decimal and 4 hexadecimal
    // digits, which a wider number pushes out of line; with options each column takes
    // the width of its widest number.
    int decimal = 5;
    int hex = 4;
    if (options.optionsGiven) {
        const std::uint64_t counts[] = {image.byteCount, image.highestAddress, state.address, skipped, part};
        for (std::uint64_t count : counts) {
            decimal = std::max(decimal, digitCount(count, 10));
            hex = std::max(hex, digitCount(count, 16));
        }
        for (std::uint64_t count : state.counts) {
            decimal = std::max(decimal, digitCount(count, 10));
        }
        decimal = std::max(decimal, digitCount(options.splitCount, 10));
    }
    std::printf("\n");
    printInputCounts(state, decimal);
    std::printf(
        "Number of bytes %*llu 0x%0*llX\nHighest address %*lu 0x%0*lX\n"
        "Saved bytes     %*llu 0x%0*llX including 0xFF fillbytes\n",
        decimal, static_cast<unsigned long long>(image.byteCount), hex,
        static_cast<unsigned long long>(image.byteCount), decimal,
        static_cast<unsigned long>(image.highestAddress), hex,
        static_cast<unsigned long>(image.highestAddress), decimal,
        static_cast<unsigned long long>(state.address), hex, static_cast<unsigned long long>(state.address));
    if (image.cropWindow) {
        std::printf("Skipped bytes   %*llu 0x%0*llX outside the window\n", decimal,
                    static_cast<unsigned long long>(skipped), hex, static_cast<unsigned long long>(skipped));
    }
    printAdditions(options, decimal);
    // An S-record holds a linear start address: CS:IP as CS * 16 + IP.
    char start[START_ADDRESS_TEXT];
    unsigned startType = recordOutput && options.splitCount == 1 ? state.startType : 0;
    std::uint32_t startAddress = state.startAddress;
    if (options.format == FORMAT_SREC && startType == 3) {
        startType = 5;
        startAddress = (startAddress >> 16) * 16 + (startAddress & 0xFFFF);
    }
    formatStartAddress(start, startType, startAddress);
    if (start[0] != '\0') {
        std::printf("Start address   %*s\n", decimal, start);
    }
    if (options.splitCount > 1 && recordOutput) {
        std::printf("Split into      %*u files, %s to %s\n", decimal, options.splitCount, state.firstPart,
                    state.lastPart);
    } else if (options.splitCount > 1) {
        std::printf("Split into      %*u files of %llu 0x%0*llX bytes, %s to %s\n", decimal,
                    options.splitCount, static_cast<unsigned long long>(part), hex,
                    static_cast<unsigned long long>(part), state.firstPart, state.lastPart);
    }
    if (options.fixedSize) {
        printImageUse(image);
    }
}

// Where the messages about faults go: with -q to standard error, so that standard
// output stays empty, for an image written there among others.
Messages messagesFor(const Options& options)
{
    Messages messages;
    messages.stream = options.quiet ? stderr : stdout;
    messages.explain = options.optionsGiven;
    return messages;
}

// Sets up the input record for the file at path ("-" for standard input) as the
// options ask.
void nameInput(InputState& input, const Options& options, const char* path, bool nameInMessages)
{
    input.standardInput = std::strcmp(path, "-") == 0;
    input.name = input.standardInput ? "(standard input)" : path;
    input.nameInMessages = nameInMessages;
    input.strictRecords = options.strict;
    input.messages = messagesFor(options);
}

// Reads one input into an image, after its "Reading" line where one is due: a file
// of the kind its content tells, or a binary one at its address.
int readInput(ConversionState& state, const Options& options, const InputFile& file, MemoryImage& image)
{
    InputState& input = state.input;
    // A binary has no lines to point to; its messages give the file and the address.
    nameInput(input, options, file.path,
              options.inputCount > 1 || options.quiet || file.binary || options.action == ACTION_COMPARE);
    if (!options.quiet && options.action == ACTION_CONVERT) {
        std::printf("Reading %s\n", input.name);
    }
    int rc = file.binary ? readBinaryFile(input, image, file.path, file.address)
                         : readInputFile(input, image, file.path, state.kernels);
    state.counts[input.kind] += input.lineCount;
    state.kindsRead[input.kind] = true;
    if (rc == RESULT_OK) {
        warnWithoutEndRecord(input);
    }
    return rc;
}

// The general message for a failed read, which names the input where its line
// messages do; returns the exit status.
int readFailed(const InputState& input, int rc)
{
    static const char* const WHAT[] = {"HEX-Data", "S-record data", "ELF data", "binary data"};
    if (rc == RESULT_NO_MEMORY) {
        printError("\nNot enough memory !\n");
        return RESULT_NO_MEMORY;
    }
    static_cast<void>(std::fflush(stdout));
    static_cast<void>(std::fprintf(stderr, "\n%s%sCan't read %s !\n", input.nameInMessages ? input.name : "",
                                   input.nameInMessages ? ": " : "", WHAT[input.kind]));
    return RESULT_READ_FAILED;
}

// The HEX output's start address: that of the first input that has one. A later
// input's other start address is not written, and the user is told.
void takeStartAddress(ConversionState& state, const InputState& input, const char** from)
{
    if (input.startType == 0) {
        return;
    }
    if (*from == nullptr) {
        state.startType = input.startType;
        state.startAddress = input.startAddress;
        *from = input.name;
    } else if (input.startType != state.startType || input.startAddress != state.startAddress) {
        char kept[START_ADDRESS_TEXT];
        char other[START_ADDRESS_TEXT];
        formatStartAddress(kept, state.startType, state.startAddress);
        formatStartAddress(other, input.startType, input.startAddress);
        static_cast<void>(std::fflush(stdout));
        static_cast<void>(std::fprintf(stderr,
                                       "romcast: warning: %s has the start address %s, %s has %s; the output "
                                       "keeps %s's\n",
                                       *from, kept, input.name, other, *from));
    }
}

// Compares the image with the read-back that --compare names: a HEX, S-record or ELF
// file read into an image of the same window, or a binary dump. Returns the exit status.
int compareReadBack(ConversionState& state, const Options& options)
{
    InputState& input = state.input;
    nameInput(input, options, options.comparePath, true);
    int rc = RESULT_OK;
    if (options.format == FORMAT_BINARY) {
        input.kind = INPUT_BINARY;
        rc = compareWithDump(input, state.image, options.comparePath);
    } else {
        MemoryImage& readBack = state.readBack;
        readBack.allocate = state.allocate;
        readBack.readBack = true;  // what lies outside the window is not compared
        rc = prepareImage(readBack, options.offset, options.size, true);
        if (rc == RESULT_OK) {
            rc = readInputFile(input, readBack, options.comparePath, state.kernels);
        }
        if (rc == RESULT_OK) {
            warnWithoutEndRecord(input);
            rc = compareWithImage(state.image, readBack);
        }
    }
    return rc == RESULT_READ_FAILED || rc == RESULT_NO_MEMORY ? readFailed(input, rc) : rc;
}

// Writes into the image what the options ask for once the inputs are read, in this
// order: exclusions, fields, checksum destinations, fills, checksums, then for an
// Intel HEX output the padding of its runs. Returns RESULT_OK or the exit status,
// after the general message.
int shapeImage(ConversionState& state, const Options& options)
{
    MemoryImage& image = state.image;
    std::FILE* messages = state.messages.stream;
    excludeRanges(image, options.excludes, options.excludeCount);
    // The extent is measured only for fields: it walks the bitmaps of every run.
    DataExtent extent{false, 0, 0};
    if (options.fieldCount > 0) {
        extent = measureData(image);
    }
    int rc = placeFields(image, options.fields, options.fieldCount, extent, &state.keptLength, messages);
    if (rc == RESULT_READ_FAILED) {
        printError("\nCan't place field !\n");
        return rc;
    }
    // A checksum's range that ends at "end" ends with the inputs' and the fields' bytes.
    std::uint64_t inputsEnd = options.checksumCount > 0 ? writtenEnd(image) : 0;
    if (rc == RESULT_OK) {
        rc = reserveChecksums(image, options.checksums, options.checksumCount, &state.keptLength, messages);
    }
    if (rc == RESULT_OK) {
        rc = fillImage(image, options.fills, options.fillCount, &state.keptLength);
    }
    if (rc == RESULT_OK) {
        rc = computeChecksums(image, options.checksums, options.checksumCount, inputsEnd, messages);
    }
    if (rc == RESULT_OK && options.action == ACTION_CONVERT && options.format != FORMAT_BINARY) {
        rc = alignRuns(image, options.align);
    }
    if (rc != RESULT_OK) {
        printError(rc == RESULT_NO_MEMORY ? "\nNot enough memory !\n" : "\nCan't place checksum !\n");
    }
    return rc;
}

// Runs one conversion, or a compare: the inputs into the image, then what romcast
// writes into it and its padding, then the output or the compare.
int convert(ConversionState& state, const Options& options)
{
    state.image.allocate = state.allocate;
    if (prepareImage(state.image, options.offset, options.size, options.crop) != RESULT_OK) {
        printError("\nNot enough memory !\n");
        return RESULT_NO_MEMORY;
    }
    bool recordOutput = options.action == ACTION_CONVERT && options.format != FORMAT_BINARY;
    state.address = 0;
    state.startType = options.startGiven && !options.noStart ? 5 : 0;
    state.startAddress = options.startAddress;
    state.keptLength = 0;
    state.messages = messagesFor(options);
    const char* startFrom = nullptr;
    for (int i = 0; i < options.inputCount; ++i) {
        int rc = readInput(state, options, options.inputs[i], state.image);
        if (rc != RESULT_OK) {
            return readFailed(state.input, rc);
        }
        if (recordOutput && !options.startGiven) {
            takeStartAddress(state, state.input, &startFrom);
        }
    }
    int rc = shapeImage(state, options);
    if (rc != RESULT_OK) {
        return rc;
    }
    if (options.action == ACTION_COMPARE) {
        return compareReadBack(state, options);
    }
    if (recordOutput) {
        bool hex = options.format == FORMAT_HEX;
        if ((hex ? writeHexFile(state, options) : writeSRecordFile(state, options)) != RESULT_OK) {
            printError(hex ? "\nCan't write HEX file\n" : "\nCan't write S-record file\n");
            return RESULT_WRITE_FAILED;
        }
    } else if (writeBinaryFile(state, options, options.inputs[0].path) != RESULT_OK) {
        // Standard input always has an output path of its own, so this name is only shown.
        printError("\nCan't write binary data file\n");
        return RESULT_WRITE_FAILED;
    }
    if (!options.quiet) {
        printReport(state, options);
    }
    return RESULT_OK;
}

// Sorts the runs and prints them, and the addresses written more than once.
int printMap(MemoryImage& image, RunList& runs)
{
    int rc = sortRuns(runs, &image.overlaps, image.allocate);
    if (rc == RESULT_OK) {
        printRuns(runs);
        printOverlaps(image.overlaps);
    }
    releaseRuns(image.overlaps);
    return rc;
}

// Prints where the data of the inputs lies: with several inputs, each one's runs
// under its name and then those of all together; then the window that holds it all.
int mapInputs(ConversionState& state, const Options& options)
{
    MemoryImage& image = state.image;
    image.allocate = state.allocate;
    prepareMap(image);
    bool several = options.inputCount > 1;
    for (int i = 0; i < options.inputCount; ++i) {
        int rc = readInput(state, options, options.inputs[i], image);
        if (rc != RESULT_OK) {
            return readFailed(state.input, rc);
        }
        if (several) {
            std::printf("%s:\n", state.input.name);
        }
        rc = printMap(image, image.runs);
        if (rc == RESULT_OK && options.fixedSize) {
            printRunsUse(image.runs, options.offset, options.size);
        }
        printStartAddress(state.input.startType, state.input.startAddress);
        if (rc == RESULT_OK) {
            rc = appendRuns(image.allRuns, image.runs, image.allocate);
        }
        releaseRuns(image.runs);
        if (rc != RESULT_OK) {
            printError("\nNot enough memory !\n");
            return rc;
        }
    }
    if (several) {
        std::printf("All files:\n");
        if (printMap(image, image.allRuns) != RESULT_OK) {
            printError("\nNot enough memory !\n");
            return RESULT_NO_MEMORY;
        }
        if (options.fixedSize) {
            printRunsUse(image.allRuns, options.offset, options.size);
        }
    }
    printWindow(image.allRuns);
    return RESULT_OK;
}

}  // namespace

void releaseResources(ConversionState& state)
{
    releaseImage(state.image);
    releaseImage(state.readBack);
    std::free(state.firstPart);
    std::free(state.lastPart);
    state.firstPart = nullptr;
    state.lastPart = nullptr;
    // The reader and the writer close their own files and check the result; a file
    // still open here belongs to a step that already failed.
    static_cast<void>(closeInput(state.input));
    for (std::FILE*& output : state.output) {
        if (output != nullptr) {
            static_cast<void>(std::fclose(output));
            output = nullptr;
        }
    }
}

int runConverter(ConversionState& state, int argc, char* argv[])
{
    Options options;
    int rc = parseOptions(argc, argv, &options);
    if (rc == RESULT_OK && options.action == ACTION_HELP) {
        printHelp();
    } else if (rc == RESULT_OK && options.action == ACTION_VERSION) {
        printVersion();
    } else if (rc == RESULT_OK) {
        if (!options.quiet && options.action == ACTION_CONVERT) {
            printBanner();
        }
        warnIgnoredOperands(options);
        if (options.inputCount == 0) {
            printError("Name of HEX-File missing !!\n");
            printError("Usage:  romcast [name].ext  ext=hex,ihx or what ever ;)\n");
            printError("Output: [name].bin\n");
            rc = RESULT_USAGE;
        } else if (options.action == ACTION_MAP) {
            rc = mapInputs(state, options);
        } else {
            rc = convert(state, options);
        }
    }
    releaseOptions(&options);
    releaseResources(state);
    return rc;
}
