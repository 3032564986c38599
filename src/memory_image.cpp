// The memory image: pages, the page table and the bytes as they will be saved.
#include "memory_image.h"

#include <cstring>

namespace {

struct FreePage {
    unsigned char bytes[PAGE_SIZE];
};

constexpr FreePage makeFreePage()
{
    FreePage page{};
    // A loop: std::fill is constexpr only from C++20.
    for (std::size_t i = 0; i < PAGE_SIZE; ++i) {
        page.bytes[i] = FREE_BYTE;
    }
    return page;
}

// What a page never written holds, and what lies past the window.
constexpr FreePage FREE_PAGE = makeFreePage();

}  // namespace

int prepareImage(MemoryImage& image, std::uint32_t windowStart, std::uint64_t windowSize, bool crop)
{
    image.windowStart = windowStart;
    image.windowSize = windowSize < MAX_WINDOW - windowStart ? windowSize : MAX_WINDOW - windowStart;
    image.cropWindow = crop;
    image.pageCount = static_cast<std::size_t>((image.windowSize + PAGE_MASK) >> PAGE_SHIFT);
    image.pages = static_cast<unsigned char**>(image.allocate(image.pageCount * sizeof(unsigned char*)));
    if (image.pages == nullptr) {
        image.pageCount = 0;
        return RESULT_NO_MEMORY;
    }
    for (std::size_t i = 0; i < image.pageCount; ++i) {
        image.pages[i] = nullptr;
    }
    if (image.pageCount == 1 && allocatePage(image, 0) == nullptr) {
        return RESULT_NO_MEMORY;
    }
    return RESULT_OK;
}

void prepareMap(MemoryImage& image)
{
    image.windowStart = 0;
    image.windowSize = 0;  // every file address lies outside: the reader records runs instead
    image.mapping = true;
}

void releaseImage(MemoryImage& image)
{
    for (std::size_t i = 0; i < image.pageCount; ++i) {
        std::free(image.pages[i]);
    }
    std::free(image.pages);
    image.pages = nullptr;
    image.pageCount = 0;
    releaseRuns(image.runs);
    releaseRuns(image.allRuns);
    releaseRuns(image.overlaps);
}

unsigned char* allocatePage(MemoryImage& image, std::size_t page)
{
    auto* bytes = static_cast<unsigned char*>(image.allocate(PAGE_SIZE));
    if (bytes != nullptr) {
        std::memset(bytes, FREE_BYTE, PAGE_SIZE);
        image.pages[page] = bytes;
    }
    return bytes;
}

std::uint64_t dataEnd(const MemoryImage& image)
{
    for (std::size_t page = image.pageCount; page-- > 0;) {
        const unsigned char* bytes = image.pages[page];
        if (bytes == nullptr) {
            continue;
        }
        // Bytes of the last page past the window are never written, and stay 0xFF.
        for (std::size_t i = PAGE_SIZE; i-- > 0;) {
            if (bytes[i] != FREE_BYTE) {
                return (std::uint64_t{page} << PAGE_SHIFT) + i + 1;
            }
        }
    }
    return 0;
}

const unsigned char* imageBytes(const MemoryImage& image, std::uint64_t address, std::uint64_t* count)
{
    std::uint64_t offset = address & PAGE_MASK;
    if (*count > PAGE_SIZE - offset) {
        *count = PAGE_SIZE - offset;
    }
    std::uint64_t page = address >> PAGE_SHIFT;
    if (page < image.pageCount && image.pages[page] != nullptr) {
        return image.pages[page] + offset;
    }
    return FREE_PAGE.bytes + offset;
}
