// Compare against a read-back: the byte walk and the lines it prints.
#include "image_compare.h"

#include <cstdio>

namespace {

// The bytes compared so far, and the run of differing ones not yet printed.
struct Differences {
    std::uint32_t windowStart;  // added to an image address to give the file address shown
    std::uint64_t compared;     // written bytes compared
    std::uint64_t differing;    // of them, those that differ
    bool open;                  // a run of differing bytes is not yet printed
    std::uint64_t first;        // its first and last image address
    std::uint64_t last;
};

void printRun(Differences& found)
{
    if (found.open) {
        unsigned long long first = found.windowStart + found.first;
        unsigned long long last = found.windowStart + found.last;
        unsigned long long count = found.last - found.first + 1;
        std::printf("0x%08llX-0x%08llX %llu\n", first, last, count);
        found.open = false;
    }
}

// Takes the outcome for the written byte at an image address; addresses come in
// ascending order, so that a run ends at the first byte that is not next to it.
void noteByte(Differences& found, std::uint64_t address, bool differs)
{
    ++found.compared;
    if (found.open && (!differs || address != found.last + 1)) {
        printRun(found);
    }
    if (differs) {
        ++found.differing;
        if (!found.open) {
            found.open = true;
            found.first = address;
        }
        found.last = address;
    }
}

int finish(Differences& found)
{
    printRun(found);
    std::printf("Compared %llu bytes: %llu differ\n", static_cast<unsigned long long>(found.compared),
                static_cast<unsigned long long>(found.differing));
    return found.differing == 0 ? RESULT_OK : RESULT_IMAGE_DIFFERS;
}

// The page's byte at an address, when it was written.
bool writtenByte(const MemoryImage& image, std::uint64_t address, unsigned char* value)
{
    const ImagePage* page = findPage(image, static_cast<std::size_t>(address >> PAGE_SHIFT));
    auto offset = static_cast<std::size_t>(address & PAGE_MASK);
    if (page == nullptr || page->written == nullptr || !bitSet(page->written, offset)) {
        return false;
    }
    *value = page->bytes[offset];
    return true;
}

// Every written byte from `from` on differs: the read-back lacks it.
void noteMissing(Differences& found, const MemoryImage& image, std::uint64_t from)
{
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    for (; nextWrittenRun(image, from, &first, &end); from = end) {
        for (std::uint64_t address = first; address < end; ++address) {
            noteByte(found, address, true);
        }
    }
}

}  // namespace

int compareWithImage(const MemoryImage& image, const MemoryImage& readBack)
{
    Differences found{image.windowStart, 0, 0, false, 0, 0};
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    for (std::uint64_t from = 0; nextWrittenRun(image, from, &first, &end); from = end) {
        for (std::uint64_t address = first; address < end; ++address) {
            unsigned char expected = 0;
            unsigned char got = 0;
            static_cast<void>(writtenByte(image, address, &expected));
            noteByte(found, address, !writtenByte(readBack, address, &got) || got != expected);
        }
    }
    return finish(found);
}

int compareWithDump(InputState& input, const MemoryImage& image, const char* path)
{
    Differences found{image.windowStart, 0, 0, false, 0, 0};
    // A byte's place in the dump is its image address.
    std::uint64_t size = 0;
    int rc = readRawInput(input, path, &size,
                          [&](const unsigned char* bytes, std::size_t count, std::uint64_t position) {
                              for (std::size_t k = 0; k < count && position + k < image.windowSize; ++k) {
                                  unsigned char expected = 0;
                                  if (writtenByte(image, position + k, &expected)) {
                                      noteByte(found, position + k, bytes[k] != expected);
                                  }
                              }
                              return RESULT_OK;
                          });
    if (rc != RESULT_OK) {
        return rc;
    }
    noteMissing(found, image, size);
    return finish(found);
}
