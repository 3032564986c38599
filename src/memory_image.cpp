// The memory image: pages, the page table and the bytes as they will be saved.
#include "memory_image.h"

#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
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

// What the page with the given number reads as where no one wrote: PAGE_SIZE bytes
// of 0xFF, or of the free pattern from the page's first address on.
const unsigned char* freePageBytes(const MemoryImage& image, std::uint64_t page)
{
    return image.freeBytes == nullptr ? FREE_PAGE.bytes
                                      : image.freeBytes + (page << PAGE_SHIFT) % image.freeWidth;
}

// The chunks that the window's pages fill.
std::size_t chunkCount(const MemoryImage& image)
{
    return (image.pageCount + PAGES_PER_CHUNK - 1) / PAGES_PER_CHUNK;
}

// Whether the pages are carved from blocks: in a window of more than one page.
bool carved(const MemoryImage& image)
{
    return image.pageCount > 1;
}

// A table of `count` null pointers to T, from the image's allocator; null when no
// memory is left.
template <typename T>
T** allocateNullTable(MemoryImage& image, std::size_t count)
{
    // A table of pointers, not of the records they point to.
    auto** table =
        static_cast<T**>(image.allocate(count * sizeof(T*)));  // NOLINT(bugprone-sizeof-expression)
    for (std::size_t i = 0; table != nullptr && i < count; ++i) {
        table[i] = nullptr;
    }
    return table;
}

// The blocks that the window's pages fill.
std::size_t blockCount(const MemoryImage& image)
{
    return (image.pageCount + PAGES_PER_BLOCK - 1) / PAGES_PER_BLOCK;
}

// The pages of the block with the given number: 256, or fewer in the window's last.
std::size_t blockPages(const MemoryImage& image, std::size_t block)
{
    std::size_t rest = image.pageCount - block * PAGES_PER_BLOCK;
    return rest < PAGES_PER_BLOCK ? rest : PAGES_PER_BLOCK;
}

// The bytes from address up to the next multiple of alignment, a power of two; 0 at one.
std::size_t bytesToBoundary(const void* address, std::size_t alignment)
{
    return static_cast<std::size_t>(-reinterpret_cast<std::uintptr_t>(address)) & (alignment - 1);
}

// The first page of a block: its first address aligned to CHUNK_SIZE, which the
// block has room for.
unsigned char* blockStart(unsigned char* block)
{
    return block + bytesToBoundary(block, CHUNK_SIZE);
}

// Allocates the block with the given number: room to align it, then its pages, then
// their bitmaps, in whole huge pages that Linux is asked to back it with. The bitmaps
// are had at once, in one call, as each is cleared when its page is taken; a block
// that fits one huge page, a window's of at most 1.75 MiB, is had whole. Returns the
// block, or null.
unsigned char* allocateBlock(MemoryImage& image, std::size_t number)
{
    std::size_t pages = blockPages(image, number);
    std::size_t used = pages * (PAGE_SIZE + BITMAP_SIZE);
    std::size_t huge = (used + CHUNK_SIZE - 1) / CHUNK_SIZE * CHUNK_SIZE;
    auto* block = static_cast<unsigned char*>(image.allocate(huge + CHUNK_SIZE));
    if (block == nullptr) {
        return nullptr;
    }
    unsigned char* start = blockStart(block);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: without huge pages the block is backed page by page as it is written.
    static_cast<void>(madvise(start, huge, MADV_HUGEPAGE));
#endif
    if (huge == CHUNK_SIZE) {
        populateMemory(start, used);
    } else {
        populateMemory(start + pages * PAGE_SIZE, pages * BITMAP_SIZE);
    }
    image.blocks[number] = block;
    return block;
}

// Places a page of the window and its bitmap in their block, which must be allocated.
void placeCarvedPage(const MemoryImage& image, std::size_t number, ImagePage& page)
{
    std::size_t block = number / PAGES_PER_BLOCK;
    std::size_t index = number % PAGES_PER_BLOCK;
    unsigned char* start = blockStart(image.blocks[block]);
    page.bytes = start + index * PAGE_SIZE;
    page.written = start + blockPages(image, block) * PAGE_SIZE + index * BITMAP_SIZE;
}

// Allocates the record of a chunk. Returns it, or null.
ImageChunk* allocateChunk(MemoryImage& image, std::size_t number)
{
    auto* chunk = static_cast<ImageChunk*>(image.allocate(sizeof(ImageChunk)));
    if (chunk == nullptr) {
        return nullptr;
    }
    *chunk = ImageChunk{};
    image.chunks[number] = chunk;
    return chunk;
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
    std::memcpy(&value, bits + 8 * word, sizeof value);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    value = __builtin_bswap64(value);
#endif
    return value;
}

void storeWord(unsigned char* bits, std::size_t word, std::uint64_t value)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    value = __builtin_bswap64(value);
#endif
    std::memcpy(bits + 8 * word, &value, sizeof value);
}

// The bitmap of the page with the given number, or null while it was never written.
const unsigned char* writtenBits(const MemoryImage& image, std::size_t page)
{
    const ImagePage* record = findPage(image, page);
    return record == nullptr ? nullptr : record->written;
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

void populateMemory(void* start, std::size_t size)
{
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // Only whole pages of the host, whose size the C library knows without a system call.
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) {
        return;
    }
    auto page = static_cast<std::size_t>(pageSize);
    std::size_t skipped = bytesToBoundary(start, page);
    std::size_t length = size > skipped ? (size - skipped) / page * page : 0;
    if (length > 0) {
        static_cast<void>(madvise(static_cast<unsigned char*>(start) + skipped, length, MADV_POPULATE_WRITE));
    }
#else
    static_cast<void>(start);
    static_cast<void>(size);
#endif
}

int prepareImage(MemoryImage& image, std::uint32_t windowStart, std::uint64_t windowSize, bool crop)
{
    image.windowStart = windowStart;
    image.windowSize = windowSize < MAX_WINDOW - windowStart ? windowSize : MAX_WINDOW - windowStart;
    image.cropWindow = crop;
    image.pageCount = static_cast<std::size_t>((image.windowSize + PAGE_MASK) >> PAGE_SHIFT);
    image.chunks = allocateNullTable<ImageChunk>(image, chunkCount(image));
    if (image.chunks == nullptr) {
        image.pageCount = 0;
        return RESULT_NO_MEMORY;
    }
    if (carved(image) &&
        (image.blocks = allocateNullTable<unsigned char>(image, blockCount(image))) == nullptr) {
        return RESULT_NO_MEMORY;
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
    for (std::size_t i = 0; i < chunkCount(image); ++i) {
        ImageChunk* chunk = image.chunks[i];
        if (chunk == nullptr) {
            continue;
        }
        for (ImagePage& page : chunk->pages) {
            std::free(page.earlier);
            if (!carved(image)) {
                std::free(page.bytes);  // its bitmap lies in the same allocation
            }
        }
        std::free(chunk);
    }
    std::free(static_cast<void*>(image.chunks));
    image.chunks = nullptr;
    if (image.blocks != nullptr) {
        for (std::size_t i = 0; i < blockCount(image); ++i) {
            std::free(image.blocks[i]);
        }
        std::free(static_cast<void*>(image.blocks));
        image.blocks = nullptr;
    }
    image.pageCount = 0;
    std::free(image.freeBytes);
    image.freeBytes = nullptr;
    releaseRuns(image.runs);
    releaseRuns(image.allRuns);
    releaseRuns(image.overlaps);
}

ImagePage* allocatePage(MemoryImage& image, std::size_t number)
{
    ImageChunk* chunk = image.chunks[number / PAGES_PER_CHUNK];
    if (chunk == nullptr && (chunk = allocateChunk(image, number / PAGES_PER_CHUNK)) == nullptr) {
        return nullptr;
    }
    ImagePage& page = chunk->pages[number % PAGES_PER_CHUNK];
    if (carved(image)) {
        if (image.blocks[number / PAGES_PER_BLOCK] == nullptr &&
            allocateBlock(image, number / PAGES_PER_BLOCK) == nullptr) {
            return nullptr;
        }
        placeCarvedPage(image, number, page);
    } else {
        page.bytes = static_cast<unsigned char*>(image.allocate(PAGE_SIZE + BITMAP_SIZE));
        if (page.bytes == nullptr) {
            return nullptr;
        }
        populateMemory(page.bytes, PAGE_SIZE + BITMAP_SIZE);  // all of it is written below
        page.written = page.bytes + PAGE_SIZE;
    }
    if (image.freeBytes == nullptr) {
        std::memset(page.bytes, FREE_BYTE, PAGE_SIZE);
    } else {
        std::memcpy(page.bytes, freePageBytes(image, number), PAGE_SIZE);
    }
    std::memset(page.written, 0, BITMAP_SIZE);
    return &page;
}

ImagePage* takePage(MemoryImage& image, std::size_t number)
{
    ImagePage* page = findPage(image, number);
    if ((page == nullptr || page->bytes == nullptr) && (page = allocatePage(image, number)) == nullptr) {
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

std::uint64_t dataEnd(const MemoryImage& image)
{
    for (std::size_t page = image.pageCount; page-- > 0;) {
        const ImagePage* record = findPage(image, page);
        if (record == nullptr || record->bytes == nullptr) {
            continue;
        }
        // A byte after the last one written, and so any past the window, is free;
        // one before it may hold the free pattern.
        const unsigned char* bytes = record->bytes;
        for (std::size_t i = bitsEnd(record->written); i-- > 0;) {
            if (bytes[i] != FREE_BYTE && bitSet(record->written, i)) {
                return (std::uint64_t{page} << PAGE_SHIFT) + i + 1;
            }
        }
    }
    return 0;
}

std::uint64_t writtenEnd(const MemoryImage& image)
{
    for (std::size_t page = image.pageCount; page-- > 0;) {
        const ImagePage* record = findPage(image, page);
        if (record != nullptr && record->written != nullptr) {
            std::size_t end = bitsEnd(record->written);
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
        bits = writtenBits(image, page);
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
        if (page >= image.pageCount || (bits = writtenBits(image, page)) == nullptr) {
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
    const unsigned char* bytes = freePageBytes(image, page) + offset;
    const ImagePage* record =
        page < image.pageCount ? findPage(image, static_cast<std::size_t>(page)) : nullptr;
    if (record != nullptr && record->bytes != nullptr) {
        bytes = record->bytes + offset;
        // Pages of one chunk lie side by side: a large image is handed on in a few long pieces.
        const unsigned char* last = record->bytes;
        for (std::uint64_t next = page + 1; available < *count && next < image.pageCount; ++next) {
            const ImagePage* following = findPage(image, static_cast<std::size_t>(next));
            if (following == nullptr || following->bytes != last + PAGE_SIZE) {
                break;
            }
            last = following->bytes;
            available += PAGE_SIZE;
        }
    }
    if (*count > available) {
        *count = available;
    }
    return bytes;
}

std::uint64_t unwrittenSpan(const MemoryImage& image, std::uint64_t address, std::uint64_t end)
{
    std::uint64_t at = address;
    while (at < end) {
        std::uint64_t page = at >> PAGE_SHIFT;
        if (page < image.pageCount) {
            const ImagePage* record = findPage(image, static_cast<std::size_t>(page));
            if (record != nullptr && record->bytes != nullptr) {
                break;
            }
        }
        if (page >= image.pageCount) {
            at = end;  // past the window nothing is written
            break;
        }
        // A chunk never written holds no written page: it is passed whole.
        std::uint64_t step = image.chunks[page / PAGES_PER_CHUNK] == nullptr
                                 ? CHUNK_SIZE - (at & (CHUNK_SIZE - 1))
                                 : PAGE_SIZE - (at & PAGE_MASK);
        at = end - at < step ? end : at + step;
    }
    return at - address;
}

std::uint64_t clearWritten(MemoryImage& image, std::uint64_t first, std::uint64_t end)
{
    std::uint64_t cleared = 0;
    for (std::uint64_t at = first; at < end;) {
        std::uint64_t offset = at & PAGE_MASK;
        std::uint64_t here = end - at < PAGE_SIZE - offset ? end - at : PAGE_SIZE - offset;
        ImagePage* page = at >> PAGE_SHIFT < image.pageCount
                              ? findPage(image, static_cast<std::size_t>(at >> PAGE_SHIFT))
                              : nullptr;
        if (page != nullptr && page->bytes != nullptr) {
            for (std::size_t i = static_cast<std::size_t>(offset); i < offset + here; ++i) {
                if (bitSet(page->written, i)) {
                    page->written[i >> 3] =
                        static_cast<unsigned char>(page->written[i >> 3] & ~(1U << (i & 7)));
                    page->bytes[i] = FREE_BYTE;
                    ++cleared;
                }
            }
        }
        at += here;
    }
    return cleared;
}

void fillUnwritten(ImagePage& page, std::size_t first, std::size_t count, const unsigned char* source)
{
    // A bitmap word at a time: most words are all written or none.
    std::size_t end = first + count;
    for (std::size_t i = first; i < end;) {
        std::size_t word = i / 64;
        std::size_t wordEnd = (word + 1) * 64 < end ? (word + 1) * 64 : end;
        std::uint64_t bits = loadWord(page.written, word);
        if (bits == ~std::uint64_t{0}) {
            i = wordEnd;
            continue;
        }
        if (bits == 0) {
            std::memcpy(page.bytes + i, source + i, wordEnd - i);
            i = wordEnd;
            continue;
        }
        for (; i < wordEnd; ++i) {
            if ((bits >> (i % 64) & 1) == 0) {
                page.bytes[i] = source[i];
            }
        }
    }
}

int setFreePattern(MemoryImage& image, const unsigned char* pattern, unsigned width)
{
    auto* bytes = static_cast<unsigned char*>(image.allocate(PAGE_SIZE + width));
    if (bytes == nullptr) {
        return RESULT_NO_MEMORY;
    }
    fillPattern(bytes, PAGE_SIZE + width, pattern, width);
    std::free(image.freeBytes);
    image.freeBytes = bytes;
    image.freeWidth = width;
    for (std::size_t number = 0; number < image.pageCount; ++number) {
        ImagePage* page = findPage(image, number);
        if (page == nullptr) {
            number += PAGES_PER_CHUNK - 1 - number % PAGES_PER_CHUNK;  // a chunk never written
            continue;
        }
        if (page->bytes != nullptr) {
            fillUnwritten(*page, 0, PAGE_SIZE, freePageBytes(image, number));
        }
    }
    return RESULT_OK;
}

void fillPattern(unsigned char* bytes, std::size_t count, const unsigned char* pattern, unsigned width)
{
    std::size_t done = count < width ? count : width;
    std::memcpy(bytes, pattern, done);
    // Each copy doubles what is there, which is whole periods of the pattern.
    while (done < count) {
        std::size_t step = count - done < done ? count - done : done;
        std::memcpy(bytes + done, bytes, step);
        done += step;
    }
}
