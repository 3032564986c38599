// ELF input: the segments' data into the image or the map.
#include "elf_reader.h"

#include <cstdio>

#include "data_store.h"
#include "elf_format.h"
#include "hex_reader.h"

namespace {

int readAt(void* source, std::uint64_t offset, void* buffer, std::size_t size)
{
    return readInputAt(*static_cast<InputState*>(source), offset, buffer, size);
}

// Prints a fault of the file's headers: a read error as "Can't read file", with the
// system's reason in a run with options; anything else in elf_format's words.
void reportElfFault(const InputState& input, const ElfFault& fault)
{
    if (fault.kind == ELF_FAULT_READ) {
        reportInputFault(input, false);
        return;
    }
    char text[ELF_FAULT_TEXT];
    formatElfFault(fault, text, sizeof text);
    static_cast<void>(std::fprintf(input.messages.stream, "\n%s: %s\n", input.name, text));
}

// The line that follows a segment outside the window, in a run with options: its
// address range against the window, and the --map run that shows them all.
void printSegmentHint(const InputState& input, const MemoryImage& image, const ElfSegment& segment)
{
    if (!input.messages.explain) {
        return;
    }
    std::uint64_t last = image.windowStart + image.windowSize - 1;
    static_cast<void>(std::fprintf(
        input.messages.stream,
        "Segment %u at 0x%08lX-0x%08llX lies %s the window 0x%08lX-0x%08llX: 'romcast --map %s' lists every "
        "segment and gives the --offset and --size that hold them all\n",
        segment.index, static_cast<unsigned long>(segment.address),
        static_cast<unsigned long long>(segment.address + segment.size - 1),
        segment.address < image.windowStart ? "below" : "above",
        static_cast<unsigned long>(image.windowStart), static_cast<unsigned long long>(last),
        input.standardInput ? "-" : input.name));
}

// Stores one segment's bytes, read a block at a time.
int storeSegment(InputState& input, MemoryImage& image, const ElfSegment& segment)
{
    auto* block = reinterpret_cast<unsigned char*>(input.inputBlock);
    for (std::uint64_t done = 0; done < segment.size;) {
        std::uint64_t here = segment.size - done < INPUT_BLOCK_SIZE ? segment.size - done : INPUT_BLOCK_SIZE;
        if (readInputAt(input, segment.offset + done, block, static_cast<std::size_t>(here)) != RESULT_OK) {
            reportInputFault(input, false);
            return RESULT_READ_FAILED;
        }
        // A file's segments may overlap: a 0xFF of an earlier one may be written over.
        StoreResult stored =
            storeData(input, image, std::uint64_t{segment.address} + done, block, here, true);
        unsigned long long address = segment.address + done + stored.failed;
        unsigned long long byte = segment.offset + done + stored.failed;
        switch (stored.outcome) {
        case STORE_OUTSIDE:
            static_cast<void>(
                std::fprintf(input.messages.stream,
                             "\n%s: Address 0x%08llX (segment %u, byte %llu of the file) beyond "
                             "buffer !\n",
                             input.name, address, segment.index, byte));
            if (!image.mapping) {
                printSegmentHint(input, image, segment);
            }
            return RESULT_READ_FAILED;
        case STORE_OVERLAP:
            static_cast<void>(
                std::fprintf(input.messages.stream,
                             "\n%s: Double databyte at 0x%08llX (segment %u, byte %llu of the file) "
                             "!\n",
                             input.name, address, segment.index, byte));
            return RESULT_READ_FAILED;
        case STORE_NO_MEMORY:
            return RESULT_NO_MEMORY;
        default:
            break;
        }
        done += here;
    }
    return RESULT_OK;
}

// Reads the segments of the open input; the caller closes it.
int readSegments(InputState& input, MemoryImage& image)
{
    if (readWholeInput(input) != RESULT_OK) {
        reportInputFault(input, false);
        return RESULT_READ_FAILED;
    }
    ElfFile elf;
    ElfFault fault;
    if (openElfFile(&elf, input.fileSize, readAt, &input, &fault) != RESULT_OK) {
        reportElfFault(input, fault);
        return RESULT_READ_FAILED;
    }
    unsigned index = 0;
    ElfSegment segment;
    int rc = RESULT_OK;
    while ((rc = nextElfSegment(elf, readAt, &input, &index, &segment, &fault)) == RESULT_OK) {
        rc = storeSegment(input, image, segment);
        if (rc != RESULT_OK) {
            return rc;
        }
        ++input.lineCount;
    }
    if (rc != ELF_NO_MORE_SEGMENTS) {
        reportElfFault(input, fault);
        return RESULT_READ_FAILED;
    }
    // An entry point of 0 is none, as objcopy takes it; one past 2^32 is a virtual
    // address that no 32-bit start address record holds.
    std::uint32_t start = 0;
    if (elfStartAddress(elf, &start, &fault) == RESULT_OK && start != 0) {
        input.startType = 5;
        input.startAddress = start;
    }
    return RESULT_OK;
}

}  // namespace

int readElfInput(InputState& input, MemoryImage& image)
{
    startInputData(input, image, INPUT_ELF);

    int rc = readSegments(input, image);
    bool closed = closeInput(input);
    if (rc == RESULT_OK && !closed) {
        reportInputFault(input, false);
        return RESULT_READ_FAILED;
    }
    return rc == RESULT_OK ? requireDataInWindow(input, image) : rc;
}
