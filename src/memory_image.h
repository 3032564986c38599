// The memory image: the window of file addresses that the output holds. Its bytes
// live in 64 KiB pages, allocated on their first write and filled with 0xFF, each
// with a bitmap of the bytes that were written, so that memory grows with the data
// stored, never with the window; for the address map the data's addresses go to a
// run list instead. Owns the chunk records that hold the pages, the pages, their
// bitmaps, the blocks that hold them in a large window, and the runs.
#pragma once

#include "address_map.h"
#include "results.h"

constexpr unsigned PAGE_SHIFT = 16;
constexpr std::uint64_t PAGE_SIZE = std::uint64_t{1} << PAGE_SHIFT;
constexpr std::uint64_t PAGE_MASK = PAGE_SIZE - 1;

// The window's pages are kept by chunks of 32, 2 MiB of image addresses, each with
// a record allocated on the chunk's first write, so that even a window of 4 GiB
// costs a table of a few KiB. In a window of more than one page, the pages are
// carved from blocks of up to 256 pages, 16 MiB of image addresses, each allocated
// on the first write into it, with the pages' bitmaps after them, aligned to 2 MiB
// in memory: a huge page of x86-64 and AArch64, which Linux backs such a block with
// where it can. A large image then costs a few dozen page faults instead of
// thousands, and a few calls for its memory; under a hypervisor that shadows the
// page tables, each small page would also cost a fault of the host on its first
// touch, even one the system had in advance.
constexpr unsigned CHUNK_SHIFT = 21;
constexpr std::size_t PAGES_PER_CHUNK = std::size_t{1} << (CHUNK_SHIFT - PAGE_SHIFT);
constexpr std::uint64_t CHUNK_SIZE = std::uint64_t{1} << CHUNK_SHIFT;
constexpr std::uint64_t MAX_WINDOW = std::uint64_t{1} << 32;  // the whole 32-bit file address space

// The highest file address: a record that runs past it has no place in any window.
constexpr std::uint64_t MAX_FILE_ADDRESS = 0xFFFFFFFF;

// Marks a file address that lies outside the window.
constexpr std::uint64_t OUTSIDE_WINDOW = ~std::uint64_t{0};

// A page's bitmap of written bytes: bit n % 8 of byte n / 8 stands for byte n of the page.
constexpr std::size_t BITMAP_SIZE = PAGE_SIZE / 8;

// The pages of a block: as many as their bitmaps take to fill CHUNK_SIZE.
constexpr std::size_t PAGES_PER_BLOCK = CHUNK_SIZE / BITMAP_SIZE;

// One page of the window. Within one input a data byte 0xFF may be written over, as
// files in the field rely on; a byte that an earlier input wrote may not, 0xFF or
// not. `earlier` tells those bytes apart from the current input's own.
struct ImagePage {
    unsigned char* bytes = nullptr;    // PAGE_SIZE bytes, 0xFF where nothing was written; null
                                       // for a page never written
    unsigned char* written = nullptr;  // BITMAP_SIZE bytes: the bytes that an input, a checksum
                                       // or padding wrote, 0xFF included; set with bytes
    unsigned char* earlier = nullptr;  // the bits of `written` before input number `input` took
                                       // the page, or null when no earlier input wrote into it
    std::uint32_t input = 0;           // number of the last input that wrote into the page, 1 up;
                                       // 0 for none
};

struct ImageChunk {
    ImagePage pages[PAGES_PER_CHUNK];  // its pages, by their number within the chunk
};

struct MemoryImage {
    // An entry per chunk the window spans (1 to 2,048), null for a chunk never written.
    ImageChunk** chunks = nullptr;
    // A window of more than one page: an entry per 256 pages, the block that holds
    // them and their bitmaps; null while none of them was written.
    unsigned char** blocks = nullptr;
    std::size_t pageCount = 0;  // pages the window spans, 1 to 65,536; 0 while mapping
    // File address windowStart + n is image address n, for n below windowSize (1 to
    // 2^32; 0 while mapping). File addresses count the bases of address records; the
    // window ends at 2^32 at the latest.
    std::uint32_t windowStart = 0;
    std::uint64_t windowSize = 0;
    bool cropWindow = false;        // data outside the window is skipped; else it fails the read
    bool mapping = false;           // data is recorded in runs, wherever it lies, and not stored
    bool readBack = false;          // the image is a read-back to compare with: with cropWindow, an
                                    // input without data in the window is no fault
    std::uint32_t inputNumber = 0;  // number of the input being read, 1 up; 0 before the first
    RunList runs;                   // mapping: the runs of the input being read
    RunList allRuns;                // mapping: the runs of the inputs read before it
    RunList overlaps;               // mapping: addresses written more than once, in the input or all inputs

    // Counters over every input read into the image.
    std::uint64_t byteCount = 0;       // data bytes stored (mapping: recorded)
    std::uint32_t highestAddress = 0;  // highest image address that received a data byte
    std::uint64_t skippedCount = 0;    // data bytes outside the window that cropWindow skipped

    // What a byte no one wrote reads as in the saved image: 0xFF, or the pattern of
    // a fill without a range, repeated from image address 0.
    unsigned char* freeBytes = nullptr;  // PAGE_SIZE + freeWidth bytes of the pattern from its
                                         // first byte on; null while it is 0xFF
    unsigned freeWidth = 1;              // bytes of the pattern, 1 to 8

    MemoryAllocator allocate = std::malloc;  // source of the pages, the page table and the runs
};

// Sets up an empty image for the window, cut at 2^32: the chunk table, and the page
// itself when the window fits in one, so that a 64 KiB image is had before anything
// is read. Returns RESULT_OK or RESULT_NO_MEMORY.
int prepareImage(MemoryImage& image, std::uint32_t windowStart, std::uint64_t windowSize, bool crop);

// Sets up an image that records where data lies instead of storing it.
void prepareMap(MemoryImage& image);

// Frees every page, chunk, the chunk table and the runs; safe to call twice.
void releaseImage(MemoryImage& image);

// The image address of a data byte at a file address (base plus load address plus
// its place in the record), or OUTSIDE_WINDOW. The one window test of the reader.
inline std::uint64_t imageAddress(const MemoryImage& image, std::uint64_t fileAddress)
{
    std::uint64_t relative = fileAddress - image.windowStart;  // below the window it wraps far above
    return relative < image.windowSize ? relative : OUTSIDE_WINDOW;
}

// The record of the page with the given number, or null while its chunk was never
// written; its bytes are null while the page was never written.
inline ImagePage* findPage(const MemoryImage& image, std::size_t page)
{
    ImageChunk* chunk = image.chunks[page / PAGES_PER_CHUNK];
    return chunk == nullptr ? nullptr : &chunk->pages[page % PAGES_PER_CHUNK];
}

// Allocates the page with the given number, with no byte written and each reading
// as a byte no one wrote does (0xFF, or the free pattern), and its chunk's record or
// block where they are not there yet. Returns it, or null when no memory is left.
ImagePage* allocatePage(MemoryImage& image, std::size_t number);

// The page that holds an image address inside the window, allocated on first use;
// null when no memory is left.
inline ImagePage* pageAt(MemoryImage& image, std::uint64_t address)
{
    ImagePage* page = findPage(image, static_cast<std::size_t>(address >> PAGE_SHIFT));
    return page != nullptr && page->bytes != nullptr
               ? page
               : allocatePage(image, static_cast<std::size_t>(address >> PAGE_SHIFT));
}

// Makes the page the current input's: allocated, and with the bits that earlier
// inputs wrote kept in `earlier`. Returns it, or null when no memory is left.
ImagePage* takePage(MemoryImage& image, std::size_t number);

// The page that holds an image address inside the window, taken by the input being
// read; null when no memory is left.
inline ImagePage* inputPageAt(MemoryImage& image, std::uint64_t address)
{
    ImagePage* page = findPage(image, static_cast<std::size_t>(address >> PAGE_SHIFT));
    return page != nullptr && page->input == image.inputNumber
               ? page
               : takePage(image, static_cast<std::size_t>(address >> PAGE_SHIFT));
}

// Whether bit n of a bitmap is set.
inline bool bitSet(const unsigned char* bits, std::size_t n)
{
    return (bits[n >> 3] >> (n & 7) & 1) != 0;
}

// Sets bit n of a bitmap.
inline void setBit(unsigned char* bits, std::size_t n)
{
    bits[n >> 3] = static_cast<unsigned char>(bits[n >> 3] | 1U << (n & 7));
}

// Sets the bits of count bytes (1 or more) from byte `first` of a page.
void setBits(unsigned char* bits, std::size_t first, std::size_t count);

// The first of count bits from `first` that is set, or first + count when none is.
std::size_t firstSetBit(const unsigned char* bits, std::size_t first, std::size_t count);

// The image address after the last byte written that is not 0xFF; 0 when there is none.
std::uint64_t dataEnd(const MemoryImage& image);

// The image address after the last byte written, 0xFF included; 0 when there is none.
std::uint64_t writtenEnd(const MemoryImage& image);

// Finds the first run of written bytes at or after image address `from`: *first is
// its first address and *end the address after its last; runs across pages are one.
// Returns false when no byte from `from` on was written.
bool nextWrittenRun(const MemoryImage& image, std::uint64_t from, std::uint64_t* first, std::uint64_t* end);

// Marks count bytes from an image address as written, allocating their pages; their
// values stay as they are (0xFF where nothing was written). Returns RESULT_OK or
// RESULT_NO_MEMORY.
int markWritten(MemoryImage& image, std::uint64_t address, std::uint64_t count);

// The bytes of the image from an address on, as they will be saved: a page's bytes,
// or what a byte no one wrote reads as for a page never written and past the window.
// *count is lowered to what lies there side by side: to the end of the page, or of
// the run of pages that follow it in memory.
const unsigned char* imageBytes(const MemoryImage& image, std::uint64_t address, std::uint64_t* count);

// The bytes from an address up to `end` at most that lie in pages never written, or
// past the window: 0 when the address's page was written.
std::uint64_t unwrittenSpan(const MemoryImage& image, std::uint64_t address, std::uint64_t end);

// Makes the bytes written from `first` up to, not including, `end` free again: they
// read 0xFF and their bits are cleared. Returns how many were written.
std::uint64_t clearWritten(MemoryImage& image, std::uint64_t first, std::uint64_t end);

// Writes source[i] into each byte i of the page from `first` on, count bytes, that
// was not written; the bitmap stays as it is.
void fillUnwritten(ImagePage& page, std::size_t first, std::size_t count, const unsigned char* source);

// Writes count bytes of the pattern of width bytes, repeated from its first byte.
void fillPattern(unsigned char* bytes, std::size_t count, const unsigned char* pattern, unsigned width);

// Makes the pattern of width bytes (1 to 8), repeated from image address 0, what
// every byte no one wrote reads as, in the pages written so far and in those
// allocated from now on. Returns RESULT_OK or RESULT_NO_MEMORY.
int setFreePattern(MemoryImage& image, const unsigned char* pattern, unsigned width);

