// Micro-benchmark of the line parser: parseHexLine on data records of 16 and of 255
// bytes, read from a file that the page cache holds. One iteration is one call, which
// reads a line or a run of records; items are lines, so items_per_second is lines per
// second. Beside it, the checksums over a whole 64 KiB image, one iteration per image.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

#include "checksum.h"
#include "conversion_state.h"
#include "hex_reader.h"
#include "line_reader.h"

namespace {

// Data records with varied bytes, none of them 0xFF, covering the image once.
std::string recordsCoveringImage(unsigned width)
{
    std::string text;
    char field[16];
    for (unsigned address = 0; address + width <= IMAGE_SIZE; address += width) {
        unsigned sum = width + (address >> 8) + (address & 0xFF);
        std::snprintf(field, sizeof field, ":%02X%04X00", width, address);
        text += field;
        for (unsigned k = 0; k < width; ++k) {
            unsigned value = (address * 7 + k * 13) % 0xFF;
            sum += value;
            std::snprintf(field, sizeof field, "%02X", value);
            text += field;
        }
        std::snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += field;
    }
    return text;
}

// A fresh image and the text read again from its start; false when the input did
// not open.
bool restart(ConversionState& state, const char* path)
{
    static_cast<void>(closeInput(state.input));
    std::memset(state.image.chunks[0]->pages[0].bytes, FREE_BYTE, IMAGE_SIZE);
    std::memset(state.image.chunks[0]->pages[0].written, 0, BITMAP_SIZE);
    state.image.byteCount = 0;
    state.image.highestAddress = 0;
    return openInput(state.input, path) == RESULT_OK;
}

// Writes the text to a file of its own in the temporary directory; false on failure.
bool writeInput(const std::string& text, std::string* path)
{
    const char* directory = std::getenv("TMPDIR");
    *path = std::string(directory != nullptr ? directory : "/tmp") + "/romcast-parser-bench-XXXXXX";
    int fd = mkstemp(path->data());
    if (fd < 0) {
        return false;
    }
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written;
}

void parseDataLines(benchmark::State& run)
{
    auto width = static_cast<unsigned>(run.range(0));
    std::string path;
    if (!writeInput(recordsCoveringImage(width), &path)) {
        run.SkipWithError("the input file could not be written");
        return;
    }
    auto state = std::make_unique<ConversionState>();
    if (prepareImage(state->image, 0, IMAGE_SIZE, false) != RESULT_OK || !restart(*state, path.c_str())) {
        run.SkipWithError("no memory for the image, or the input did not open");
        releaseResources(*state);
        std::remove(path.c_str());
        return;
    }
    std::int64_t lines = 0;
    for (auto _ : run) {
        std::uint32_t before = state->input.lineCount;
        int rc = parseHexLine(state->input, state->image, state->kernels);
        if (rc == LINE_END_OF_INPUT) {
            run.PauseTiming();
            rc = restart(*state, path.c_str()) ? parseHexLine(state->input, state->image, state->kernels)
                                               : LINE_INPUT_ERROR;
            before = 0;  // the count starts again with the input
            run.ResumeTiming();
        }
        if (rc != RESULT_OK) {
            run.SkipWithError("a line failed");
            break;
        }
        lines += state->input.lineCount - before;
    }
    run.SetItemsProcessed(lines);
    run.SetBytesProcessed(lines * static_cast<std::int64_t>(2 * width + 12));
    releaseResources(*state);
    std::remove(path.c_str());
}

// A reflected and an unreflected CRC-32, the word-reversed feed, a CRC-16 and a sum.
const char* const BENCHMARKED_CHECKSUMS[] = {"crc32", "crc32-mpeg2", "stm32", "crc16-ccitt", "sum16"};

void checksumImage(benchmark::State& run)
{
    const char* name = BENCHMARKED_CHECKSUMS[run.range(0)];
    bool bigEndian = false;
    const ChecksumAlgorithm* algorithm = findChecksum(name, &bigEndian);
    std::unique_ptr<unsigned char[]> image(new unsigned char[IMAGE_SIZE]);
    for (std::size_t k = 0; k < IMAGE_SIZE; ++k) {
        image[k] = static_cast<unsigned char>(k * 7 + (k >> 8));
    }
    auto checksum = std::make_unique<ChecksumRun>();
    for (auto _ : run) {
        startChecksum(checksum.get(), algorithm);
        feedChecksum(checksum.get(), image.get(), IMAGE_SIZE);
        benchmark::DoNotOptimize(finishChecksum(checksum.get()));
    }
    run.SetLabel(name);
    run.SetBytesProcessed(run.iterations() * static_cast<std::int64_t>(IMAGE_SIZE));
}

}  // namespace

BENCHMARK(parseDataLines)->Arg(16)->Arg(255);
BENCHMARK(checksumImage)->DenseRange(0, 4);
