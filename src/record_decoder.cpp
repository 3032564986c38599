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
    std::uint64_t offset = start & PAGE_MASK;
    if (start >= image.windowSize || image.windowSize - start < count || offset + count > PAGE_SIZE) {
        return LINE_NOT_REGULAR;
    }
    unsigned char* page = image.pages[start >> PAGE_SHIFT];
    if (page == nullptr) {
        return LINE_NOT_REGULAR;
    }

    unsigned char* target = page + offset;
    if (!allFree(target, count)) {
        return LINE_NOT_REGULAR;
    }
    const unsigned char* data = line + 9;
    unsigned checksum = pairValue(data + std::size_t{2} * count);
    unsigned sum = count + addressHigh + addressLow;
    if ((input.decodePairs(data, count, target, &sum) | checksum) > 0xFF) {
        std::memset(target, FREE_BYTE, count);  // every byte there was free
        return LINE_NOT_REGULAR;
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
