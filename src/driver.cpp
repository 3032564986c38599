// Command-line driver: the steps of one conversion, their messages and exit status.
#include <cstring>

#include "address_map.h"
#include "binary_reader.h"
#include "binary_writer.h"
#include "conversion_state.h"
#include "hex_reader.h"
#include "hex_writer.h"
#include "image_compare.h"
#include "image_layout.h"
#include "line_reader.h"
#include "options.h"

namespace {

// Console output is best effort: a closed or full console must not turn a correct
// conversion into a failure, and there is nowhere left to report it. Standard output
// is flushed first so that a log of both streams keeps the messages in order.
void printError(const char* text)
{
    static_cast<void>(std::fflush(stdout));
    static_cast<void>(std::fputs(text, stderr));
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

void printReport(const ConversionState& state, const Options& options)
{
    const MemoryImage& image = state.image;
    std::printf(
        "\nHEX-Lines       %5llu\nNumber of bytes %5llu 0x%04llX\nHighest address %5lu 0x%04lX\n"
        "Saved bytes     %5llu 0x%04llX including 0xFF fillbytes\n",
        static_cast<unsigned long long>(state.lineCount), static_cast<unsigned long long>(image.byteCount),
        static_cast<unsigned long long>(image.byteCount), static_cast<unsigned long>(image.highestAddress),
        static_cast<unsigned long>(image.highestAddress), static_cast<unsigned long long>(state.address),
        static_cast<unsigned long long>(state.address));
    if (image.cropWindow) {
        std::printf("Skipped bytes   %5llu 0x%04llX outside the window\n",
                    static_cast<unsigned long long>(image.skippedCount),
                    static_cast<unsigned long long>(image.skippedCount));
    }
    for (int i = 0; i < options.checksumCount; ++i) {
        const ChecksumRequest& checksum = options.checksums[i];
        std::printf("Checksum        %s%s 0x%0*lX at 0x%08lX\n", checksumName(checksum.algorithm),
                    checksum.bigEndian ? "-be" : "", static_cast<int>(2 * checksumWidth(checksum.algorithm)),
                    static_cast<unsigned long>(checksum.value),
                    static_cast<unsigned long>(checksum.placedAt));
    }
    char start[START_ADDRESS_TEXT];
    formatStartAddress(start, state.hexOutput ? state.startType : 0, state.startAddress);
    if (start[0] != '\0') {
        std::printf("Start address   %s\n", start);
    }
    if (state.splitCount > 1) {
        std::uint64_t part = state.address / state.splitCount;
        std::printf("Split into      %5u files of %llu 0x%04llX bytes\n", state.splitCount,
                    static_cast<unsigned long long>(part), static_cast<unsigned long long>(part));
    }
}

// Reads one input into an image, after its "Reading" line where one is due: a HEX
// file, or a binary one at its address.
int readInput(ConversionState& state, const Options& options, const InputFile& file, MemoryImage& image)
{
    HexInput& input = state.input;
    input.standardInput = std::strcmp(file.path, "-") == 0;
    input.name = input.standardInput ? "(standard input)" : file.path;
    // A binary has no lines to point to; its messages give the file and the address.
    input.nameInMessages =
        options.inputCount > 1 || options.quiet || file.binary || options.action == ACTION_COMPARE;
    input.strictRecords = options.strict;
    if (!options.quiet && options.action == ACTION_CONVERT) {
        std::printf("Reading %s\n", input.name);
    }
    int rc = file.binary ? readBinaryFile(input, image, file.path, file.address)
                         : readHexFile(input, image, file.path);
    state.lineCount += input.lineCount;
    return rc;
}

// The general message for a failed read, which names the input where its line
// messages do; returns the exit status.
int readFailed(const HexInput& input, int rc, bool binary)
{
    if (rc == RESULT_NO_MEMORY) {
        printError("\nNot enough memory !\n");
        return RESULT_NO_MEMORY;
    }
    const char* what = binary ? "binary data" : "HEX-Data";
    if (input.nameInMessages) {
        static_cast<void>(std::fflush(stdout));
        static_cast<void>(std::fprintf(stderr, "\n%s: Can't read %s !\n", input.name, what));
    } else {
        static_cast<void>(std::fflush(stdout));
        static_cast<void>(std::fprintf(stderr, "\nCan't read %s !\n", what));
    }
    return RESULT_READ_FAILED;
}

// The HEX output's start address: that of the first input that has one. A later
// input's other start address is not written, and the user is told.
void takeStartAddress(ConversionState& state, const HexInput& input, const char** from)
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

// Compares the image with the read-back that --compare names: a HEX file read into
// an image of the same window, or a binary dump. Returns the exit status.
int compareReadBack(ConversionState& state, const Options& options)
{
    HexInput& input = state.input;
    input.standardInput = std::strcmp(options.comparePath, "-") == 0;
    input.name = input.standardInput ? "(standard input)" : options.comparePath;
    input.nameInMessages = true;
    input.strictRecords = options.strict;
    bool binary = options.format == FORMAT_BINARY;
    int rc = RESULT_OK;
    if (binary) {
        rc = compareWithDump(input, state.image, options.comparePath);
    } else {
        MemoryImage& readBack = state.readBack;
        readBack.allocate = state.allocate;
        readBack.readBack = true;  // what lies outside the window is not compared
        rc = prepareImage(readBack, options.offset, options.size, true);
        if (rc == RESULT_OK) {
            rc = readHexFile(input, readBack, options.comparePath);
        }
        if (rc == RESULT_OK) {
            rc = compareWithImage(state.image, readBack);
        }
    }
    return rc == RESULT_READ_FAILED || rc == RESULT_NO_MEMORY ? readFailed(input, rc, binary) : rc;
}

// Runs one conversion, or a compare: the inputs into the image, then its layout
// (checksums and padding), then the output or the compare.
int convert(ConversionState& state, const Options& options)
{
    state.image.allocate = state.allocate;
    if (prepareImage(state.image, options.offset, options.size, options.crop) != RESULT_OK) {
        printError("\nNot enough memory !\n");
        return RESULT_NO_MEMORY;
    }
    state.lineCount = 0;
    state.address = 0;
    state.outputPath = options.outputPath;
    state.hexOutput = options.action == ACTION_CONVERT && options.format == FORMAT_HEX;
    state.recordSize = options.recordSize;
    state.startType = options.startGiven && !options.noStart ? 5 : 0;
    state.startAddress = options.startAddress;
    state.fixedSize = options.fixedSize && !options.trim;
    state.align = options.align;
    state.keptLength = 0;
    state.swapWidth = options.swapWidth;
    state.splitCount = options.splitCount;
    state.splitWidth = options.splitWidth;
    const char* startFrom = nullptr;
    for (int i = 0; i < options.inputCount; ++i) {
        int rc = readInput(state, options, options.inputs[i], state.image);
        if (rc != RESULT_OK) {
            return readFailed(state.input, rc, options.inputs[i].binary);
        }
        if (state.hexOutput && !options.startGiven) {
            takeStartAddress(state, state.input, &startFrom);
        }
    }
    // Checksums go in the image as the CPU reads it; padding follows, then the
    // binary writer swaps and splits it.
    int rc = placeChecksums(state.image, options.checksums, options.checksumCount, &state.keptLength);
    if (rc == RESULT_OK && state.hexOutput) {
        rc = alignRuns(state.image, options.align);
    }
    if (rc != RESULT_OK) {
        printError(rc == RESULT_NO_MEMORY ? "\nNot enough memory !\n" : "\nCan't place checksum !\n");
        return rc;
    }
    if (options.action == ACTION_COMPARE) {
        return compareReadBack(state, options);
    }
    if (state.hexOutput) {
        if (writeHexFile(state) != RESULT_OK) {
            printError("\nCan't write HEX file\n");
            return RESULT_WRITE_FAILED;
        }
    } else if (writeBinaryFile(state, options.inputs[0].path) != RESULT_OK) {
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
            return readFailed(state.input, rc, options.inputs[i].binary);
        }
        if (several) {
            std::printf("%s:\n", state.input.name);
        }
        rc = printMap(image, image.runs);
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
    }
    printWindow(image.allRuns);
    return RESULT_OK;
}

}  // namespace

void releaseResources(ConversionState& state)
{
    releaseImage(state.image);
    releaseImage(state.readBack);
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
