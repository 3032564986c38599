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
// The block has room for the chunk aligned, and for its pages' bitmaps after it.
// Returns the chunk's first page, or null.
unsigned char* allocateChunk(MemoryImage& image, std::size_t chunk)
{
    auto* block = static_cast<unsigned char*>(image.allocate(2 * CHUNK_SIZE + PAGES_PER_CHUNK * BITMAP_SIZE));
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

// The first and the last 64-bit word of a bitmap that bits [first, first + count)
// touch, and the masks of those bits in each; count is 1 or more.
struct BitSpan {
    std::size_t firstWord;
    std::size_t lastWord;
    std::uint64_t firstMask;
    std::uint64_t lastMask;
};

BitSpan bitSpan(std::size_t first, std::size_t count)
{
    std::size_t last = first + count - 1;
    BitSpan span{first / 64, last / 64, ~std::uint64_t{0} << (first % 64),
                 ~std::uint64_t{0} >> (63 - last % 64)};
    if (span.firstWord == span.lastWord) {
        span.firstMask &= span.lastMask;
    }
    return span;
}

// Bitmaps are kept as bytes, bit n % 8 of byte n / 8, and read and written in
// little-endian words of 64 bits so that bit n of the word is byte n of the page.
std::uint64_t loadWord(const unsigned char* bits, std::size_t word)
{
    std::uint64_t value = 0;
    for (unsigned k = 0; k < 8; ++k) {
        value |= std::uint64_t{bits[8 * word + k]} << (8 * k);
    }
    return value;
}

void storeWord(unsigned char* bits, std::size_t word, std::uint64_t value)
{
    for (unsigned k = 0; k < 8; ++k) {
        bits[8 * word + k] = static_cast<unsigned char>(value >> (8 * k));
    }
}

// The highest bit set in a page's bitmap plus one, or 0 when none is.
std::size_t bitsEnd(const unsigned char* bits)
{
    for (std::size_t word = BITMAP_SIZE / 8; word-- > 0;) {
        std::uint64_t value = loadWord(bits, word);
        if (value != 0) {
            return 64 * word + 64 - static_cast<std::size_t>(__builtin_clzll(value));
        }
    }
    return 0;
}

// The first bit from n on within a page's bitmap that equals `set`, or PAGE_SIZE.
std::size_t nextBit(const unsigned char* bits, std::size_t n, bool set)
{
    std::uint64_t flip = set ? 0 : ~std::uint64_t{0};
    for (std::size_t word = n / 64; word < BITMAP_SIZE / 8; ++word) {
        std::uint64_t value = (loadWord(bits, word) ^ flip) &
                              (word == n / 64 ? ~std::uint64_t{0} << (n % 64) : ~std::uint64_t{0});
        if (value != 0) {
            return 64 * word + static_cast<std::size_t>(__builtin_ctzll(value));
        }
    }
    return PAGE_SIZE;
}

}  // namespace

int prepareImage(MemoryImage& image, std::uint32_t windowStart, std::uint64_t windowSize, bool crop)
{
    image.windowStart = windowStart;
    image.windowSize = windowSize < MAX_WINDOW - windowStart ? windowSize : MAX_WINDOW - windowStart;
    image.cropWindow = crop;
    image.pageCount = static_cast<std::size_t>((image.windowSize + PAGE_MASK) >> PAGE_SHIFT);
    image.pages = static_cast<ImagePage*>(image.allocate(image.pageCount * sizeof(ImagePage)));
    if (image.pages == nullptr) {
        image.pageCount = 0;
        return RESULT_NO_MEMORY;
    }
    for (std::size_t i = 0; i < image.pageCount; ++i) {
        image.pages[i] = ImagePage{};
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
    for (std::size_t i = 0; i < image.pageCount && image.pages != nullptr; ++i) {
        std::free(image.pages[i].earlier);
        if (image.chunks == nullptr) {
            std::free(image.pages[i].bytes);  // its bitmap lies in the same block
        }
    }
    if (image.chunks != nullptr) {
        for (std::size_t i = 0; i < chunkCount(image); ++i) {
            std::free(image.chunks[i]);
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

ImagePage* allocatePage(MemoryImage& image, std::size_t page)
{
    unsigned char* bytes = nullptr;
    unsigned char* written = nullptr;
    if (image.chunks == nullptr) {
        bytes = static_cast<unsigned char*>(image.allocate(PAGE_SIZE + BITMAP_SIZE));
        written = bytes == nullptr ? nullptr : bytes + PAGE_SIZE;
    } else {
        std::size_t chunk = page / PAGES_PER_CHUNK;
        std::size_t index = page % PAGES_PER_CHUNK;
        unsigned char* start =
            image.chunks[chunk] != nullptr ? chunkStart(image.chunks[chunk]) : allocateChunk(image, chunk);
        if (start != nullptr) {
            bytes = start + index * PAGE_SIZE;
            written = start + CHUNK_SIZE + index * BITMAP_SIZE;
        }
    }
    if (bytes == nullptr) {
        return nullptr;
    }
    std::memset(bytes, FREE_BYTE, PAGE_SIZE);
    std::memset(written, 0, BITMAP_SIZE);
    image.pages[page].bytes = bytes;
    image.pages[page].written = written;
    return &image.pages[page];
}

ImagePage* takePage(MemoryImage& image, std::size_t number)
{
    ImagePage* page = &image.pages[number];
    if (page->bytes == nullptr && allocatePage(image, number) == nullptr) {
        return nullptr;
    }
    if (page->input != 0) {
        // Another input wrote here: what it wrote stays apart from what this one writes.
        if (page->earlier == nullptr) {
            page->earlier = static_cast<unsigned char*>(image.allocate(BITMAP_SIZE));
            if (page->earlier == nullptr) {
                return nullptr;
            }
        }
        std::memcpy(page->earlier, page->written, BITMAP_SIZE);
    }
    page->input = image.inputNumber;
    return page;
}

void setBits(unsigned char* bits, std::size_t first, std::size_t count)
{
    BitSpan span = bitSpan(first, count);
    storeWord(bits, span.firstWord, loadWord(bits, span.firstWord) | span.firstMask);
    if (span.lastWord != span.firstWord) {
        for (std::size_t word = span.firstWord + 1; word < span.lastWord; ++word) {
            storeWord(bits, word, ~std::uint64_t{0});
        }
        storeWord(bits, span.lastWord, loadWord(bits, span.lastWord) | span.lastMask);
    }
}

std::size_t firstSetBit(const unsigned char* bits, std::size_t first, std::size_t count)
{
    BitSpan span = bitSpan(first, count);
    for (std::size_t word = span.firstWord; word <= span.lastWord; ++word) {
        std::uint64_t mask = ~std::uint64_t{0};
        if (word == span.firstWord) {
            mask = span.firstMask;
        } else if (word == span.lastWord) {
            mask = span.lastMask;
        }
        std::uint64_t value = loadWord(bits, word) & mask;
        if (value != 0) {
            return 64 * word + static_cast<std::size_t>(__builtin_ctzll(value));
        }
    }
    return first + count;
}

bool bytesFree(const ImagePage& page, std::uint64_t address, std::size_t count, std::uint64_t* taken)
{
    auto offset = static_cast<std::size_t>(address & PAGE_MASK);
    std::size_t first = offset + count;
    if (page.earlier != nullptr) {
        first = firstSetBit(page.earlier, offset, count);
    }
    for (std::size_t i = offset; i < first; ++i) {
        if (page.bytes[i] != FREE_BYTE) {
            first = i;
            break;
        }
    }
    *taken = (address & ~PAGE_MASK) + first;
    return first == offset + count;
}

std::uint64_t dataEnd(const MemoryImage& image)
{
    for (std::size_t page = image.pageCount; page-- > 0;) {
        const unsigned char* bytes = image.pages[page].bytes;
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

std::uint64_t writtenEnd(const MemoryImage& image)
{
    for (std::size_t page = image.pageCount; page-- > 0;) {
        if (image.pages[page].written != nullptr) {
            std::size_t end = bitsEnd(image.pages[page].written);
            if (end != 0) {
                return (std::uint64_t{page} << PAGE_SHIFT) + end;
            }
        }
    }
    return 0;
}

bool nextWrittenRun(const MemoryImage& image, std::uint64_t from, std::uint64_t* first, std::uint64_t* end)
{
    auto page = static_cast<std::size_t>(from >> PAGE_SHIFT);
    auto n = static_cast<std::size_t>(from & PAGE_MASK);
    const unsigned char* bits = nullptr;
    for (; page < image.pageCount; ++page, n = 0) {
        bits = image.pages[page].written;
        if (bits != nullptr && (n = nextBit(bits, n, true)) < PAGE_SIZE) {
            break;
        }
    }
    if (page >= image.pageCount) {
        return false;
    }
    *first = (std::uint64_t{page} << PAGE_SHIFT) + n;
    for (;;) {
        n = nextBit(bits, n, false);
        if (n < PAGE_SIZE) {
            *end = (std::uint64_t{page} << PAGE_SHIFT) + n;
            return true;
        }
        ++page;
        n = 0;
        if (page >= image.pageCount || (bits = image.pages[page].written) == nullptr) {
            *end = std::uint64_t{page} << PAGE_SHIFT;  // no bit past the window is ever set
            return true;
        }
    }
}

int markWritten(MemoryImage& image, std::uint64_t address, std::uint64_t count)
{
    while (count > 0) {
        std::uint64_t offset = address & PAGE_MASK;
        std::uint64_t here = count < PAGE_SIZE - offset ? count : PAGE_SIZE - offset;
        ImagePage* page = pageAt(image, address);
        if (page == nullptr) {
            return RESULT_NO_MEMORY;
        }
        setBits(page->written, static_cast<std::size_t>(offset), static_cast<std::size_t>(here));
        address += here;
        count -= here;
    }
    return RESULT_OK;
}

const unsigned char* imageBytes(const MemoryImage& image, std::uint64_t address, std::uint64_t* count)
{
    std::uint64_t offset = address & PAGE_MASK;
    std::uint64_t page = address >> PAGE_SHIFT;
    std::uint64_t available = PAGE_SIZE - offset;
    const unsigned char* bytes = FREE_PAGE.bytes + offset;
    if (page < image.pageCount && image.pages[page].bytes != nullptr) {
        bytes = image.pages[page].bytes + offset;
        // Pages of one chunk lie side by side: a large image is handed on in a few long pieces.
        for (std::uint64_t next = page + 1;
             available < *count && next < image.pageCount &&
             image.pages[next].bytes == image.pages[next - 1].bytes + PAGE_SIZE;
             ++next) {
            available += PAGE_SIZE;
        }
    }
    if (*count > available) {
        *count = available;
    }
    return bytes;
}
