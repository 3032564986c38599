// The reader's fast path: data records of the common shape, read in place.
#include "record_decoder.h"

#include <cstdio>
#include <cstring>

namespace {

// The two hexadecimal digits at text as a byte; above 0xFF when either is no digit.
unsigned pairValue(const unsigned char* text)
{
    return static_cast<unsigned>(HEX_DIGITS.value[text[0]]) << 4 | HEX_DIGITS.value[text[1]];
}

// Whether all count bytes are free; sixteen at a time, as records hold 16 or 32.
bool allFree(const unsigned char* bytes, unsigned count)
{
    std::uint64_t all = ~std::uint64_t{0};
    unsigned k = 0;
    for (; k + 16 <= count; k += 16) {
        std::uint64_t words[2];
        std::memcpy(words, bytes + k, sizeof words);
        all &= words[0] & words[1];
    }
    for (; k < count; ++k) {
        all &= 0xFFFFFFFFFFFFFF00U | bytes[k];
    }
    return all == ~std::uint64_t{0};
}

// Sets all bits of n bytes of a bitmap: one store for the common records of 16
// and 32 bytes.
void markWholeBytes(unsigned char* bits, std::size_t n)
{
    const std::uint32_t ones = ~std::uint32_t{0};
    if (n == 2) {
        std::memcpy(bits, &ones, 2);
    } else if (n == 4) {
        std::memcpy(bits, &ones, 4);
    } else {
        std::memset(bits, 0xFF, n);
    }
}

}  // namespace

int storeRegularRecord(HexInput& input, MemoryImage& image)
{
    const auto* line = reinterpret_cast<const unsigned char*>(input.inputBlock + input.blockStart);
    std::size_t available = input.blockEnd - input.blockStart;
    if (available < 12 || line[0] != ':') {  // 12: the shortest record and its line end
        return LINE_NOT_REGULAR;
    }
    unsigned count = pairValue(line + 1);
    std::size_t length = 2 * static_cast<std::size_t>(count) + 11;
    // The longest record (521 characters) and the first character of its line end
    // fit in one piece, so such a line is never split.
    if (count > 0xFF || length >= available || (line[length] != '\n' && line[length] != '\r')) {
        return LINE_NOT_REGULAR;
    }
    unsigned addressHigh = pairValue(line + 3);
    unsigned addressLow = pairValue(line + 5);
    unsigned type = pairValue(line + 7);
    // Only data records, and only when the address is all digits.
    if ((type | ((addressHigh | addressLow) & ~0xFFU)) != 0 || count == 0) {
        return LINE_NOT_REGULAR;
    }
    std::uint64_t first = std::uint64_t{input.addressBase} + std::uint64_t{addressHigh} * 256 + addressLow;
    // The record must lie in the window whole, within one page that was written before.
    std::uint64_t start = first - image.windowStart;  // below the window it wraps far above
    auto offset = static_cast<std::size_t>(start & PAGE_MASK);
    if (start >= image.windowSize || image.windowSize - start < count || offset + count > PAGE_SIZE) {
        return LINE_NOT_REGULAR;
    }
    // The first record in a page of this input takes the field-by-field path, which
    // takes the page; records in a row mostly stay in the page of the one before.
    if (input.recordPage == nullptr || start >> PAGE_SHIFT != input.recordPageNumber) {
        ImageChunk* chunk = image.chunks[start >> CHUNK_SHIFT];
        if (chunk == nullptr ||
            chunk->pages[(start >> PAGE_SHIFT) % PAGES_PER_CHUNK].input != image.inputNumber) {
            return LINE_NOT_REGULAR;
        }
        input.recordPage = &chunk->pages[(start >> PAGE_SHIFT) % PAGES_PER_CHUNK];
        input.recordPageNumber = start >> PAGE_SHIFT;
    }
    ImagePage& page = *input.recordPage;
    unsigned char* target = page.bytes + offset;
    if (!allFree(target, count) ||
        (page.earlier != nullptr && firstSetBit(page.earlier, offset, count) != offset + count)) {
        return LINE_NOT_REGULAR;
    }
    const unsigned char* data = line + 9;
    unsigned checksum = pairValue(data + std::size_t{2} * count);
    unsigned sum = count + addressHigh + addressLow;
    if ((input.decodePairs(data, count, target, &sum) | checksum) > 0xFF) {
        std::memset(target, FREE_BYTE, count);  // every byte there was free
        return LINE_NOT_REGULAR;
    }
    if ((offset | count) % 8 == 0) {
        markWholeBytes(page.written + offset / 8, count / 8);  // the common record: whole bytes of bits
    } else {
        setBits(page.written, offset, count);
    }
    ++input.lineCount;
    input.blockStart += length;
    takeLineEnd(input, length, available);
    auto last = static_cast<std::uint32_t>(start + count - 1);
    if (last > image.highestAddress) {
        image.highestAddress = last;
    }
    image.byteCount += count;
    return compareChecksum(input, checksum, sum);
}

int reportChecksum(const HexInput& input, unsigned read, unsigned calculated)
{
    beginLineFault(input);
    std::printf("Checksum error in hex line %lu ! Read: 0x%02X  Calculated: 0x%02X\n",
                static_cast<unsigned long>(input.lineCount), read, calculated);
    return input.strictRecords ? RESULT_READ_FAILED : RESULT_OK;
}
