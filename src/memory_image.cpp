// The memory image: pages, the page table and the bytes as they will be saved.
#include "memory_image.h"

#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

// The number of chunks the window's pages fill.
std::size_t chunkCount(const MemoryImage& image)
{
    return (image.pageCount + PAGES_PER_CHUNK - 1) / PAGES_PER_CHUNK;
}

// The first page of a chunk's block: the block's first address aligned to the chunk's
// size, which the block has room for.
unsigned char* chunkStart(unsigned char* block)
{
    auto misalignment = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(block) & (CHUNK_SIZE - 1));
    return block + (misalignment == 0 ? 0 : CHUNK_SIZE - misalignment);
}

// Allocates the block for a chunk and asks Linux to back the chunk with a huge page.
// Returns the chunk's first page, or null.
unsigned char* allocateChunk(MemoryImage& image, std::size_t chunk)
{
    auto* block = static_cast<unsigned char*>(image.allocate(2 * CHUNK_SIZE));
    if (block == nullptr) {
        return nullptr;
    }
    image.chunks[chunk] = block;
    unsigned char* start = chunkStart(block);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: without huge pages the chunk is backed page by page as it is written.
    static_cast<void>(madvise(start, CHUNK_SIZE, MADV_HUGEPAGE));
#endif
    return start;
}

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
    if (image.pageCount > PAGES_PER_CHUNK) {
        std::size_t chunks = chunkCount(image);
        image.chunks = static_cast<unsigned char**>(image.allocate(chunks * sizeof(unsigned char*)));
        if (image.chunks == nullptr) {
            return RESULT_NO_MEMORY;
        }
        for (std::size_t i = 0; i < chunks; ++i) {
            image.chunks[i] = nullptr;
        }
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
    if (image.chunks != nullptr) {
        for (std::size_t i = 0; i < chunkCount(image); ++i) {
            std::free(image.chunks[i]);
        }
    } else {
        for (std::size_t i = 0; i < image.pageCount && image.pages != nullptr; ++i) {
            std::free(image.pages[i]);
        }
    }
    std::free(image.chunks);
    image.chunks = nullptr;
    std::free(image.pages);
    image.pages = nullptr;
    image.pageCount = 0;
    releaseRuns(image.runs);
    releaseRuns(image.allRuns);
    releaseRuns(image.overlaps);
}

unsigned char* allocatePage(MemoryImage& image, std::size_t page)
{
    unsigned char* bytes = nullptr;
    if (image.chunks == nullptr) {
        bytes = static_cast<unsigned char*>(image.allocate(PAGE_SIZE));
    } else {
        std::size_t chunk = page / PAGES_PER_CHUNK;
        unsigned char* start =
            image.chunks[chunk] != nullptr ? chunkStart(image.chunks[chunk]) : allocateChunk(image, chunk);
        bytes = start == nullptr ? nullptr : start + (page % PAGES_PER_CHUNK) * PAGE_SIZE;
    }
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
    std::uint64_t page = address >> PAGE_SHIFT;
    std::uint64_t available = PAGE_SIZE - offset;
    const unsigned char* bytes = FREE_PAGE.bytes + offset;
    if (page < image.pageCount && image.pages[page] != nullptr) {
        bytes = image.pages[page] + offset;
        // Pages of one chunk lie side by side: a large image is handed on in a few long pieces.
        for (std::uint64_t next = page + 1; available < *count && next < image.pageCount &&
                                            image.pages[next] == image.pages[next - 1] + PAGE_SIZE;
             ++next) {
            available += PAGE_SIZE;
        }
    }
    if (*count > available) {
        *count = available;
    }
    return bytes;
}
