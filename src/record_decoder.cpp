// The reader's fast path: data records of the common shape, read in place.
#include "record_decoder.h"

#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The two hexadecimal digits at text as a byte; above 0xFF when either is no digit.
unsigned pairValue(const unsigned char* text)
{
    return static_cast<unsigned>(HEX_DIGITS.value[text[0]]) << 4 | HEX_DIGITS.value[text[1]];
}

#if defined(__SSE2__)
// The bytes spelled by the 16 characters at text, one in the low half of each 16-bit
// lane; *valid gets 0xFFFF when every character was a digit. Digits are '0' to '9'
// and, after setting the lower-case bit, 'a' to 'f'; each range is one unsigned compare.
__m128i pairsOfSixteen(const unsigned char* text, int* valid)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i characters = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    __m128i digit = _mm_sub_epi8(characters, _mm_set1_epi8('0'));
    __m128i letter = _mm_sub_epi8(_mm_or_si128(characters, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    __m128i isDigit = _mm_cmpeq_epi8(_mm_subs_epu8(digit, _mm_set1_epi8(9)), zero);
    __m128i isLetter = _mm_cmpeq_epi8(_mm_subs_epu8(letter, _mm_set1_epi8(5)), zero);
    __m128i nibbles = _mm_or_si128(_mm_and_si128(isDigit, digit),
                                   _mm_and_si128(isLetter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
    *valid = _mm_movemask_epi8(_mm_or_si128(isDigit, isLetter));
    // Each 16-bit lane holds a pair, its first character in the low byte.
    return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0xFF)), 4),
                        _mm_srli_epi16(nibbles, 8));
}

// Decodes 32 characters from text into 16 bytes and adds them to *sum; returns
// NOT_HEX when a character was no digit, else 0.
unsigned decodeSixteenPairs(const unsigned char* text, unsigned char* bytes, unsigned* sum)
{
    int validLow = 0;
    int validHigh = 0;
    __m128i low = pairsOfSixteen(text, &validLow);
    __m128i high = pairsOfSixteen(text + 16, &validHigh);
    __m128i packed = _mm_packus_epi16(low, high);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), packed);
    __m128i halves = _mm_sad_epu8(packed, _mm_setzero_si128());  // the sum of each 8 bytes
    *sum += static_cast<unsigned>(_mm_cvtsi128_si32(_mm_add_epi32(halves, _mm_srli_si128(halves, 8))));
    return (validLow & validHigh) == 0xFFFF ? 0 : NOT_HEX;
}
#endif

// Decodes count pairs of digits from text into bytes and adds them to *sum; returns
// a value above 0xFF when a character was no digit.
unsigned decodePairs(const unsigned char* text, unsigned count, unsigned char* bytes, unsigned* sum)
{
    unsigned decoded = 0;
    std::size_t k = 0;
#if defined(__SSE2__)
    for (; k + 16 <= count; k += 16) {
        decoded |= decodeSixteenPairs(text + 2 * k, bytes + k, sum);
    }
#endif
    unsigned total = *sum;
    for (; k < count; ++k) {
        unsigned value = pairValue(text + 2 * k);
        decoded |= value;
        total += value;
        bytes[k] = static_cast<unsigned char>(value);
    }
    *sum = total;
    return decoded;
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
    if ((decodePairs(data, count, target, &sum) | checksum) > 0xFF) {
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
