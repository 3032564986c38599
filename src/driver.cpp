// Command-line driver: the steps of one conversion, their messages and exit status.
#include <cstring>

#include "address_map.h"
#include "binary_writer.h"
#include "conversion_state.h"
#include "hex_reader.h"
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
    if (state.splitCount > 1) {
        std::uint64_t part = state.address / state.splitCount;
        std::printf("Split into      %5u files of %llu 0x%04llX bytes\n", state.splitCount,
                    static_cast<unsigned long long>(part), static_cast<unsigned long long>(part));
    }
}

// Reads the input at path into the image, after its "Reading" line where one is due.
int readInput(ConversionState& state, const Options& options, const char* path)
{
    HexInput& input = state.input;
    input.standardInput = std::strcmp(path, "-") == 0;
    input.name = input.standardInput ? "(standard input)" : path;
    input.nameInMessages = options.inputCount > 1 || options.quiet;
    input.strictRecords = options.strict;
    if (!options.quiet && options.action == ACTION_CONVERT) {
        std::printf("Reading %s\n", input.name);
    }
    int rc = readHexFile(input, state.image, path);
    state.lineCount += input.lineCount;
    return rc;
}

// The general message for a failed read, which names the input where its line
// messages do; returns the exit status.
int readFailed(const HexInput& input, int rc)
{
    if (rc == RESULT_NO_MEMORY) {
        printError("\nNot enough memory !\n");
        return RESULT_NO_MEMORY;
    }
    if (input.nameInMessages) {
        static_cast<void>(std::fflush(stdout));
        static_cast<void>(std::fprintf(stderr, "\n%s: Can't read HEX-Data !\n", input.name));
    } else {
        printError("\nCan't read HEX-Data !\n");
    }
    return RESULT_READ_FAILED;
}

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
    state.fixedSize = options.fixedSize && !options.trim;
    state.keptLength = 0;
    state.swapWidth = options.swapWidth;
    state.splitCount = options.splitCount;
    state.splitWidth = options.splitWidth;
    for (int i = 0; i < options.inputCount; ++i) {
        int rc = readInput(state, options, options.inputs[i]);
        if (rc != RESULT_OK) {
            return readFailed(state.input, rc);
        }
    }
    // Checksums go in the image as the CPU reads it, before the writer swaps and splits it.
    int rc = placeChecksums(state.image, options.checksums, options.checksumCount, &state.keptLength);
    if (rc != RESULT_OK) {
        printError(rc == RESULT_NO_MEMORY ? "\nNot enough memory !\n" : "\nCan't place checksum !\n");
        return rc;
    }
    // Standard input always has an output path of its own, so this name is only shown.
    if (writeBinaryFile(state, options.inputs[0]) != RESULT_OK) {
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
        int rc = readInput(state, options, options.inputs[i]);
        if (rc != RESULT_OK) {
            return readFailed(state.input, rc);
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
