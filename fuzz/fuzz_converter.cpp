// libFuzzer target: one whole conversion with the fuzzer's bytes as the input file
// (read as Intel HEX, S-records or ELF by its content), or split into two files
// merged into one image (the second read by its content, or as a binary), in
// a private directory, and the converter's invariants checked after each run: a
// binary output's size and trimming, a HEX output read back into the same image as
// the inputs give, the parts of a split image, and the statuses of a compare. Before
// that, every kernel set of the processor is compared with the portable one on the
// bytes.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "conversion_state.h"
#include "hex_vector.h"
#include "record_decoder.h"

namespace {

std::string workDirectory;  // created once; each run leaves only the inputs in it
// The files a run may leave besides the inputs in.hex and in2.hex.
const char* const OUTPUT_NAMES[] = {"in.bin",    "out.hex",   "ref.bin",   "in.0.bin",  "in.1.bin",
                                    "out.0.hex", "out.1.hex", "out.2.hex", "out.3.hex", "out.srec"};
constexpr std::size_t MAX_OUTPUT = 0x100000;  // the largest window of the option sets

void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Names in the work directory other than the inputs, the outputs and the dot entries.
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
        bool output = false;
        for (const char* outputName : OUTPUT_NAMES) {
            output = output || std::strcmp(name, outputName) == 0;
        }
        if (output) {
            *outputExists = true;
        } else if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
                   std::strcmp(name, "in.hex") != 0 && std::strcmp(name, "in2.hex") != 0) {
            ++stray;
        }
    }
    closedir(directory);
    return stray;
}

void removeOutputs()
{
    for (const char* name : OUTPUT_NAMES) {
        unlink((workDirectory + "/" + name).c_str());
    }
}

std::string readFile(const std::string& path)
{
    std::string bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        fail("an output is missing after success");
    }
    char block[4096];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
        bytes.append(block, got);
    }
    std::fclose(file);
    return bytes;
}

// Runs the converter quietly on the words, with the work directory's names made whole.
int run(std::vector<std::string> words, std::unique_ptr<ConversionState>* state)
{
    words.insert(words.begin(), {"romcast", "-q"});
    std::vector<char*> argv;
    for (std::string& word : words) {
        if (word.rfind("in", 0) == 0 || word.rfind("out", 0) == 0 || word.rfind("ref", 0) == 0) {
            word = workDirectory + "/" + word;
        } else if (word.rfind("--binary=", 0) == 0 || word.rfind("--compare=", 0) == 0) {
            std::size_t equals = word.find('=');
            word = word.substr(0, equals + 1) + workDirectory + "/" + word.substr(equals + 1);
        }
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    *state = std::make_unique<ConversionState>();
    return runConverter(**state, static_cast<int>(words.size()), argv.data());
}

// A HEX or S-record output holds what the inputs wrote in the window: read back with
// the same window it gives the same binary as they do.
void checkReadBack(const std::vector<std::string>& window, const std::vector<std::string>& sources,
                   const char* output)
{
    std::unique_ptr<ConversionState> state;
    std::vector<std::string> direct = window;
    direct.insert(direct.end(), {"-o", "ref.bin"});
    direct.insert(direct.end(), sources.begin(), sources.end());
    std::vector<std::string> back = window;
    back.insert(back.end(), {"-o", "in.bin", output});
    int directStatus = run(direct, &state);
    if (run(back, &state) != directStatus) {
        fail("the HEX or S-record output read back ends otherwise than the inputs");
    }
    if (directStatus == RESULT_OK &&
        readFile(workDirectory + "/ref.bin") != readFile(workDirectory + "/in.bin")) {
        fail("the HEX or S-record output read back differs from the inputs");
    }
    unlink((workDirectory + "/ref.bin").c_str());
    unlink((workDirectory + "/in.bin").c_str());
}

void checkOutput(const std::string& outputPath, const ConversionState& state, bool fixedSize)
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
    if (fixedSize) {
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
    removeOutputs();
    rmdir(workDirectory.c_str());
}

// Every pair decoder that this processor runs must give what the portable one gives,
// on the bytes where a first record's data field begins: for 16 and 32 pairs, the
// common records, and for as many as the rest holds, up to 255.
void comparePairDecoders(const KernelSet* kernels, std::size_t kernelCount, const std::uint8_t* data,
                         std::size_t size)
{
    constexpr std::size_t DATA_START = 9;
    if (size <= DATA_START) {
        return;
    }
    std::size_t pairs = (size - DATA_START) / 2;
    for (std::size_t count : {std::size_t{16}, std::size_t{32}, pairs < 255 ? pairs : 255}) {
        if (count > pairs) {
            continue;
        }
        unsigned char expected[255];
        unsigned expectedSum = 0;
        unsigned expectedRc =
            decodePairsPortable(data + DATA_START, static_cast<unsigned>(count), expected, &expectedSum);
        for (std::size_t d = 1; d < kernelCount; ++d) {
            unsigned char bytes[255];
            unsigned sum = 0;
            unsigned rc =
                kernels[d].decodePairs(data + DATA_START, static_cast<unsigned>(count), bytes, &sum);
            if ((rc == 0) != (expectedRc == 0) ||
                (rc == 0 && (sum != expectedSum || std::memcmp(bytes, expected, count) != 0))) {
                fail("a pair decoder differs from the portable one");
            }
        }
    }
}

// A run kernel's page and bitmap after a run over the fuzzer's bytes.
struct RunPage {
    unsigned char bytes[PAGE_SIZE];
    unsigned char written[BITMAP_SIZE];
};

// Runs the kernel over the bytes as the block, with the count of their first line, on
// a page whose bytes 0x40 to 0x4F were stored before; returns the records stored.
std::size_t runOver(RunStore storeRun, const std::uint8_t* data, std::size_t size, unsigned count,
                    RunPage* page, RecordRun* run)
{
    std::memset(page->bytes, FREE_BYTE, sizeof page->bytes);
    std::memset(page->bytes + 0x40, 0, 0x10);
    std::memset(page->written, 0, sizeof page->written);
    *run = RecordRun{};
    run->line = data;
    run->end = data + size;
    run->count = count;
    run->bytes = page->bytes;
    run->written = page->written;
    run->lastOffset = PAGE_SIZE - count;
    return storeRun(*run);
}

// Every run kernel must store what the portable one stores and stop where it stops,
// with the bytes from the first line that begins as a data record does as the block,
// and that line's count.
void compareRunKernels(const KernelSet* kernels, std::size_t kernelCount, const std::uint8_t* data,
                       std::size_t size)
{
    static RunPage expected;
    static RunPage got;
    if (kernelCount < 2) {
        return;
    }
    std::size_t start = 0;
    unsigned count = 0;
    for (; start + 9 <= size; ++start) {
        if ((start == 0 || data[start - 1] == '\n') && data[start] == ':' && data[start + 7] == '0' &&
            data[start + 8] == '0') {
            count = pairValue(data + start + 1);
            if (count != 0 && count <= 0xFF) {
                break;
            }
        }
    }
    if (start + 9 > size) {
        return;
    }
    RecordRun expectedRun{};
    std::size_t expectedStored =
        runOver(kernels[0].storeRun, data + start, size - start, count, &expected, &expectedRun);
    for (std::size_t k = 1; k < kernelCount; ++k) {
        RecordRun run{};
        std::size_t stored = runOver(kernels[k].storeRun, data + start, size - start, count, &got, &run);
        if (stored != expectedStored || run.line != expectedRun.line ||
            (stored > 0 && run.highestOffset != expectedRun.highestOffset) ||
            std::memcmp(&got, &expected, sizeof got) != 0) {
            fail("a run kernel differs from the portable one");
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
    KernelSet kernels[4];
    std::size_t kernelCount = availableKernels(kernels, 4);
    comparePairDecoders(kernels, kernelCount, data, size);
    compareRunKernels(kernels, kernelCount, data, size);
    std::string inputPath = workDirectory + "/in.hex";
    std::string secondPath = workDirectory + "/in2.hex";
    removeOutputs();

    // The input's length picks the options, a third of the time none: the window,
    // crop, strict, merge, map, HEX output, binary input, padding, checksum, ROM set,
    // compare, fill, field and exclusion paths get their share of inputs, and a crash
    // reproduces from the input. Every window is bounded where a set needs no more, so
    // that no input costs more than a few milliseconds. Two inputs are the bytes split at a line feed near
    // the middle; the second is read as a HEX file, or as a binary where the option set names in2.hex so.
    enum Inputs { ONE, TWO, BINARY };
    enum Output { IMAGE, PADDED, HEX, PARTS, SHAPED, HEX_PARTS, SREC, NONE };
    struct OptionSet {
        Inputs inputs;
        Output output;
        const char* words[9];
    };
    static const OptionSet OPTION_SETS[] = {
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {nullptr}},
        {ONE, IMAGE, {"--crop", nullptr}},
        {ONE, IMAGE, {"--strict", nullptr}},
        {ONE, IMAGE, {"--offset=0x10", "--size=0x100", "--crop", nullptr}},
        {ONE, IMAGE, {"--offset=0xFFF0", "--size=0x1000", nullptr}},
        {ONE, IMAGE, {"--offset=0x8000", "--size=1M", "--trim", nullptr}},
        {ONE, NONE, {"--map", nullptr}},
        {TWO, IMAGE, {"-o", "in.bin", nullptr}},
        {TWO, IMAGE, {"-o", "in.bin", "--size=256K", "--crop"}},
        {TWO, NONE, {"--map", "--strict", nullptr}},
        {TWO, IMAGE, {"-o", "in.bin", "--offset=0xFFFF8000", nullptr}},
        {ONE, HEX, {"-o", "out.hex", nullptr}},
        {TWO, HEX, {"--crop", "--offset=0x100", "--size=1M", "-o", "out.hex", nullptr}},
        {BINARY, HEX, {"--binary=in2.hex@0x1000", "--record-size=7", "-o", "out.hex", nullptr}},
        {BINARY, IMAGE, {"-o", "in.bin", "--crop", "--binary=in2.hex@0xFFFFFFF0", nullptr}},
        {ONE, HEX, {"--align=64", "--checksum=crc32@end", "-o", "out.hex", nullptr}},
        {ONE, PADDED, {"--align=16", "--checksum=sum8:0-0xFF@0x100", "--swap=4", "-o", "in.bin", nullptr}},
        {ONE, PARTS, {"--split=2:2", "--checksum=crc16-ccitt@end", "-o", "in.bin", nullptr}},
        {TWO, NONE, {"--compare=in2.hex", "--crop", nullptr}},
        {TWO, NONE, {"--compare=in2.hex", "--format=binary", nullptr}},
        {ONE,
         SHAPED,
         {"--fill=0xA5C3@0x10-0x8F", "--set=0x90:u32=length", "--checksum=crc32@end", "--size=4K", "-o",
          "in.bin", nullptr}},
        {ONE,
         SHAPED,
         {"--exclude=0x20-0x3F", "--fill=0x5A5A5A", "--set=0x40:strz=romcast", "--offset=0x100", "--size=2K",
          "--trim", "-o", "in.bin", nullptr}},
        {TWO,
         SHAPED,
         {"--exclude=0-0xFF", "--fill=0x00@0x100-0x1FF", "--set=0x200:u16-be=end",
          "--checksum=stm32:0x100-end@end", "--size=64K", "-o", "out.hex", nullptr}},
        {ONE, HEX_PARTS, {"--split=4:2", "--checksum=sum16:0-end@end", "-o", "out.hex", nullptr}},
        {TWO, NONE, {"--map", "--offset=0x100", "--size=0x1000", nullptr}},
        {ONE, SREC, {"--srec-count", "--record-size=7", "-o", "out.srec", nullptr}},
        {TWO, SREC, {"--crop", "--size=64K", "--srec-address=24", "-o", "out.srec", nullptr}},
    };
    const OptionSet& chosen = OPTION_SETS[size % (sizeof OPTION_SETS / sizeof OPTION_SETS[0])];
    std::size_t first = size;
    if (chosen.inputs != ONE) {
        const void* lineFeed = std::memchr(data + size / 2, '\n', size - size / 2);
        first = lineFeed != nullptr
                    ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lineFeed) - data) + 1
                    : size / 2;
        writeFile(secondPath, data + first, size - first);
    }
    writeFile(inputPath, data, first);

    std::vector<std::string> words;
    std::vector<std::string> window;   // the options that place the image
    std::vector<std::string> sources;  // the options and operands that name inputs
    for (const char* word : chosen.words) {
        if (word == nullptr) {
            break;
        }
        words.emplace_back(word);
        if (std::strncmp(word, "--offset", 8) == 0 || std::strncmp(word, "--size", 6) == 0 ||
            std::strcmp(word, "--crop") == 0) {
            window.emplace_back(word);
        } else if (std::strncmp(word, "--binary=", 9) == 0) {
            sources.emplace_back(word);
        }
    }
    sources.emplace_back("in.hex");
    words.emplace_back("in.hex");
    if (chosen.inputs == TWO && chosen.output != NONE) {
        sources.emplace_back("in2.hex");
        words.emplace_back("in2.hex");
    }

    std::unique_ptr<ConversionState> state;
    int status = run(words, &state);

    bool outputExists = false;
    if (strayFiles(&outputExists) != 0) {
        fail("a temporary or stray file was left");
    }
    if (state->image.chunks != nullptr || state->readBack.chunks != nullptr ||
        state->image.runs.runs != nullptr || state->input.descriptor != NO_DESCRIPTOR ||
        state->output[0] != nullptr) {
        fail("a resource was not released");
    }
    bool compare = chosen.output == NONE && chosen.inputs == TWO && words[0] != "--map";
    if (status != RESULT_OK && status != RESULT_READ_FAILED && !(compare && status == RESULT_IMAGE_DIFFERS)) {
        fail("status is neither 0 nor 3, nor 4 for a compare");
    }
    if (status != RESULT_OK || chosen.output == NONE) {
        if (outputExists) {
            fail("output written although the read failed, or by the map or a compare");
        }
    } else if (chosen.output == IMAGE) {
        bool fixedSize = std::find(words.begin(), words.end(), "--trim") == words.end() &&
                         std::find_if(words.begin(), words.end(), [](const std::string& word) {
                             return word.rfind("--size", 0) == 0;
                         }) != words.end();
        checkOutput(workDirectory + "/in.bin", *state, fixedSize);
    } else if (chosen.output == SHAPED) {
        // A fill, a field or a checksum may end the image in 0xFF bytes, which it keeps.
        bool hex = std::find(words.begin(), words.end(), "out.hex") != words.end();
        std::size_t saved = readFile(workDirectory + (hex ? "/out.hex" : "/in.bin")).size();
        if (!hex && saved != state->address) {
            fail("a shaped image is not the saved length");
        }
    } else if (chosen.output == HEX_PARTS) {
        for (const char* part : {"/out.0.hex", "/out.1.hex", "/out.2.hex", "/out.3.hex"}) {
            if (readFile(workDirectory + part).size() < 12) {
                fail("a HEX part lacks its end record");
            }
        }
    } else if (chosen.output == PADDED) {
        std::size_t saved = readFile(workDirectory + "/in.bin").size();
        if (saved != state->address || saved % 16 != 0) {
            fail("a padded image is not the saved length, or not whole blocks");
        }
    } else if (chosen.output == PARTS) {
        std::string even = readFile(workDirectory + "/in.0.bin");
        if (even.size() != readFile(workDirectory + "/in.1.bin").size() ||
            2 * even.size() != state->address) {
            fail("the parts of a split image differ in size from the saved length");
        }
    } else if (chosen.output == SREC) {
        checkReadBack(window, sources, "out.srec");
    } else if (std::find(words.begin(), words.end(), "--align=64") == words.end()) {
        checkReadBack(window, sources, "out.hex");  // padding and checksums are not in the inputs
    }
    unlink(secondPath.c_str());
    return 0;
}
