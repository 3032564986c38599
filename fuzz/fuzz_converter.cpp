// libFuzzer target: one whole conversion with the fuzzer's bytes as the HEX file, or
// split into two HEX files merged into one image, in a private directory, and the
// converter's invariants checked after each run.
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
#include "hex_vector.h"

namespace {

std::string workDirectory;                    // created once; each run leaves only the inputs in it
constexpr std::size_t MAX_OUTPUT = 0x100000;  // the largest window of the option sets

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
                   std::strcmp(name, "in.hex") != 0 && std::strcmp(name, "in2.hex") != 0) {
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
    static unsigned char bytes[MAX_OUTPUT + 1];
    std::size_t size = std::fread(bytes, 1, sizeof bytes, output);
    std::fclose(output);
    const MemoryImage& image = state.image;
    if (size < 1 || size > MAX_OUTPUT || size != state.address) {
        fail("output size is not the saved length");
    }
    if (state.fixedSize) {
        if (size != image.windowSize) {
            fail("a fixed size was not kept");
        }
    } else if (size > 1 && bytes[size - 1] == FREE_BYTE) {
        // The image is cut after its last byte that is not 0xFF; one with none saves one byte.
        fail("output ends in a free byte");
    } else if (image.byteCount > 0 && size > image.highestAddress + std::size_t{1}) {
        fail("bytes saved past the highest address");
    }
    if (image.highestAddress >= image.windowSize) {
        fail("highest address out of the window");
    }
    if (!image.cropWindow && image.skippedCount != 0) {
        fail("bytes skipped without --crop");
    }
}

void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
        fail("cannot write an input");
    }
}

void removeWorkDirectory()
{
    unlink((workDirectory + "/in.hex").c_str());
    unlink((workDirectory + "/in2.hex").c_str());
    unlink((workDirectory + "/in.bin").c_str());
    rmdir(workDirectory.c_str());
}

// Every pair decoder that this processor runs must give what the portable one gives,
// on the bytes where a first record's data field begins: for 16 and 32 pairs, the
// common records, and for as many as the rest holds, up to 255.
void comparePairDecoders(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t DATA_START = 9;
    if (size <= DATA_START) {
        return;
    }
    NamedPairDecoder decoders[4];
    std::size_t decoderCount = availablePairDecoders(decoders, 4);
    std::size_t pairs = (size - DATA_START) / 2;
    for (std::size_t count : {std::size_t{16}, std::size_t{32}, pairs < 255 ? pairs : 255}) {
        if (count > pairs) {
            continue;
        }
        unsigned char expected[255];
        unsigned expectedSum = 0;
        unsigned expectedRc =
            decodePairsPortable(data + DATA_START, static_cast<unsigned>(count), expected, &expectedSum);
        for (std::size_t d = 1; d < decoderCount; ++d) {
            unsigned char bytes[255];
            unsigned sum = 0;
            unsigned rc = decoders[d].decode(data + DATA_START, static_cast<unsigned>(count), bytes, &sum);
            if ((rc == 0) != (expectedRc == 0) ||
                (rc == 0 && (sum != expectedSum || std::memcmp(bytes, expected, count) != 0))) {
                fail("a pair decoder differs from the portable one");
            }
        }
    }
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
    comparePairDecoders(data, size);
    std::string inputPath = workDirectory + "/in.hex";
    std::string secondPath = workDirectory + "/in2.hex";
    std::string outputPath = workDirectory + "/in.bin";
    unlink(outputPath.c_str());

    // The input's length picks the options, half of the time none: the window, crop,
    // strict, merge and map paths get their share of inputs, and a crash reproduces
    // from the input. Two inputs are the bytes split at a line feed near the middle.
    enum Inputs { ONE, TWO };
    struct OptionSet {
        Inputs inputs;
        const char* words[4];
    };
    static const OptionSet OPTION_SETS[] = {
        {ONE, {nullptr}},
        {ONE, {nullptr}},
        {ONE, {nullptr}},
        {ONE, {nullptr}},
        {ONE, {nullptr}},
        {ONE, {nullptr}},
        {ONE, {"--crop", nullptr}},
        {ONE, {"--strict", nullptr}},
        {ONE, {"--offset=0x10", "--size=0x100", "--crop", nullptr}},
        {ONE, {"--offset=0xFFF0", "--size=0x1000", nullptr}},
        {ONE, {"--offset=0x8000", "--size=1M", "--trim", nullptr}},
        {ONE, {"--map", nullptr}},
        {TWO, {"-o", "in.bin", nullptr}},
        {TWO, {"-o", "in.bin", "--size=256K", "--crop"}},
        {TWO, {"--map", "--strict", nullptr}},
        {TWO, {"-o", "in.bin", "--offset=0xFFFF8000", nullptr}},
    };
    const OptionSet& chosen = OPTION_SETS[size % (sizeof OPTION_SETS / sizeof OPTION_SETS[0])];
    std::size_t first = size;
    if (chosen.inputs == TWO) {
        const void* lineFeed = std::memchr(data + size / 2, '\n', size - size / 2);
        first = lineFeed != nullptr
                    ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lineFeed) - data) + 1
                    : size / 2;
        writeFile(secondPath, data + first, size - first);
    }
    writeFile(inputPath, data, first);

    bool mapping = false;
    std::vector<std::string> words = {"romcast", "-q"};
    for (const char* word : chosen.words) {
        if (word == nullptr) {
            break;
        }
        words.emplace_back(std::strcmp(word, "in.bin") == 0 ? outputPath : word);
        mapping = mapping || std::strcmp(word, "--map") == 0;
    }
    words.push_back(inputPath);
    if (chosen.inputs == TWO) {
        words.push_back(secondPath);
    }
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
    if (state->image.pages != nullptr || state->image.runs.runs != nullptr ||
        state->input.descriptor != NO_DESCRIPTOR || state->output[0] != nullptr) {
        fail("a resource was not released");
    }
    if (status == RESULT_OK && !mapping) {
        checkOutput(outputPath, *state);
    } else if (status != RESULT_OK && status != RESULT_READ_FAILED) {
        fail("status is neither 0 nor 3");
    } else if (outputExists) {
        fail("output written although the read failed, or by the map");
    }
    unlink(secondPath.c_str());
    return 0;
}
