// libFuzzer target: one whole conversion with the fuzzer's bytes as the HEX file,
// in a private directory, and the converter's invariants checked after each run.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "conversion_state.h"

namespace {

std::string workDirectory;  // created once; each run leaves only the input in it

void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Names in the work directory other than the input, the output and the dot entries.
int strayFiles(bool* outputExists)
{
    DIR* directory = opendir(workDirectory.c_str());
    if (directory == nullptr) {
        fail("work directory unreadable");
    }
    int stray = 0;
    *outputExists = false;
    while (const dirent* entry = readdir(directory)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, "in.bin") == 0) {
            *outputExists = true;
        } else if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
                   std::strcmp(name, "in.hex") != 0) {
            ++stray;
        }
    }
    closedir(directory);
    return stray;
}

void checkOutput(const std::string& outputPath, const ConversionState& state)
{
    std::FILE* output = std::fopen(outputPath.c_str(), "rb");
    if (output == nullptr) {
        fail("output missing after success");
    }
    static unsigned char bytes[IMAGE_SIZE + 1];
    std::size_t size = std::fread(bytes, 1, sizeof bytes, output);
    std::fclose(output);
    if (size < 1 || size > IMAGE_SIZE || size != state.address) {
        fail("output size is not the saved length");
    }
    if (state.fixedSize) {
        if (size != state.windowSize) {
            fail("a fixed size was not kept");
        }
    } else if (size > 1 && bytes[size - 1] == FREE_BYTE) {
        // The image is cut after its last byte that is not 0xFF; one with none saves one byte.
        fail("output ends in a free byte");
    } else if (state.byteCount > 0 && size > state.highestAddress + 1) {
        fail("bytes saved past the highest address");
    }
    if (state.highestAddress >= state.windowSize) {
        fail("highest address out of the window");
    }
    if (!state.cropWindow && state.skippedCount != 0) {
        fail("bytes skipped without --crop");
    }
}

void removeWorkDirectory()
{
    unlink((workDirectory + "/in.hex").c_str());
    unlink((workDirectory + "/in.bin").c_str());
    rmdir(workDirectory.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    const char* parent = std::getenv("TMPDIR");
    std::string pattern = std::string(parent != nullptr ? parent : "/tmp") + "/romcast-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    workDirectory = pattern;
    std::atexit(removeWorkDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string inputPath = workDirectory + "/in.hex";
    std::string outputPath = workDirectory + "/in.bin";
    std::FILE* input = std::fopen(inputPath.c_str(), "wb");
    if (input == nullptr || std::fwrite(data, 1, size, input) != size || std::fclose(input) != 0) {
        fail("cannot write the input");
    }
    unlink(outputPath.c_str());

    // The input's length picks the options, half of the time none: the window, crop
    // and strict paths get their share of inputs, and a crash reproduces from the input.
    static const char* const OPTION_SETS[][3] = {
        {nullptr},
        {nullptr},
        {nullptr},
        {nullptr},
        {"--crop", nullptr},
        {"--strict", nullptr},
        {"--offset=0x10", "--size=0x100", "--crop"},
        {"--offset=0xFFF0", "--size=0x1000", nullptr},
    };
    const char* const* chosen = OPTION_SETS[size % (sizeof OPTION_SETS / sizeof OPTION_SETS[0])];
    std::vector<std::string> words = {"romcast", "-q"};
    for (int i = 0; i < 3 && chosen[i] != nullptr; ++i) {
        words.emplace_back(chosen[i]);
    }
    words.push_back(inputPath);
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    auto state = std::make_unique<ConversionState>();
    int status = runConverter(*state, static_cast<int>(words.size()), argv.data());

    bool outputExists = false;
    if (strayFiles(&outputExists) != 0) {
        fail("a temporary or stray file was left");
    }
    if (state->image != nullptr || state->input != NO_DESCRIPTOR || state->output != nullptr) {
        fail("a resource was not released");
    }
    if (status == RESULT_OK) {
        checkOutput(outputPath, *state);
    } else if (status != RESULT_READ_FAILED) {
        fail("status is neither 0 nor 3");
    } else if (outputExists) {
        fail("output written although the read failed");
    }
    return 0;
}
