// Command-line driver: the steps of one conversion, their messages and exit status.
#include <cstring>

#include "binary_writer.h"
#include "conversion_state.h"
#include "hex_reader.h"
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

void printReport(const ConversionState& state)
{
    std::printf(
        "\nHEX-Lines       %5lu\nNumber of bytes %5lu 0x%04lX\nHighest address %5lu 0x%04lX\n"
        "Saved bytes     %5lu 0x%04X including 0xFF fillbytes\n",
        static_cast<unsigned long>(state.lineCount), static_cast<unsigned long>(state.byteCount),
        static_cast<unsigned long>(state.byteCount), static_cast<unsigned long>(state.highestAddress),
        static_cast<unsigned long>(state.highestAddress), static_cast<unsigned long>(state.address),
        static_cast<unsigned>(state.address));
    if (state.cropWindow) {
        std::printf("Skipped bytes   %5lu 0x%04lX outside the window\n",
                    static_cast<unsigned long>(state.skippedCount),
                    static_cast<unsigned long>(state.skippedCount));
    }
}

// Allocates the image filled with 0xFF, zeroes the counters and takes the options
// that the reader and the writer work by.
int prepareState(ConversionState& state, const Options& options)
{
    state.image = static_cast<unsigned char*>(state.allocate(IMAGE_SIZE));
    if (state.image == nullptr) {
        printError("\nNot enough memory !\n");
        return RESULT_NO_MEMORY;
    }
    std::memset(state.image, FREE_BYTE, IMAGE_SIZE);
    state.lineCount = 0;
    state.byteCount = 0;
    state.address = 0;
    state.highestAddress = 0;
    state.addressBase = 0;
    state.skippedCount = 0;
    state.windowStart = options.offset;
    state.windowSize = options.size;
    state.cropWindow = options.crop;
    state.strictRecords = options.strict;
    state.fixedSize = options.fixedSize;
    state.standardInput = options.standardInput;
    state.outputPath = options.outputPath;
    return RESULT_OK;
}

int convert(ConversionState& state, const Options& options)
{
    int rc = prepareState(state, options);
    if (rc != RESULT_OK) {
        return rc;
    }
    // Standard input always has an output path of its own, so this name is only shown.
    const char* path = state.standardInput ? "(standard input)" : options.inputPath;
    if (!options.quiet) {
        std::printf("Reading %s\n", path);
    }
    if (readHexFile(state, path) != RESULT_OK) {
        printError("\nCan't read HEX-Data !\n");
        return RESULT_READ_FAILED;
    }
    if (writeBinaryFile(state, path) != RESULT_OK) {
        printError("\nCan't write binary data file\n");
        return RESULT_WRITE_FAILED;
    }
    if (!options.quiet) {
        printReport(state);
    }
    return RESULT_OK;
}

}  // namespace

void releaseResources(ConversionState& state)
{
    std::free(state.image);
    state.image = nullptr;
    // The reader and the writer close their own files and check the result; a file
    // still open here belongs to a step that already failed.
    static_cast<void>(closeInput(state));
    if (state.output != nullptr) {
        static_cast<void>(std::fclose(state.output));
        state.output = nullptr;
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
        if (!options.quiet) {
            printBanner();
        }
        if (options.inputPath == nullptr) {
            printError("Name of HEX-File missing !!\n");
            printError("Usage:  romcast [name].ext  ext=hex,ihx or what ever ;)\n");
            printError("Output: [name].bin\n");
            rc = RESULT_USAGE;
        } else {
            rc = convert(state, options);
        }
    }
    releaseResources(state);
    return rc;
}
