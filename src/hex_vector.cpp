// Kernels: the portable ones, the x86-64 ones, and the choice among them.
#include "hex_vector.h"

#include <cstring>

#include "record_decoder.h"

#if defined(ROMCAST_X86_KERNELS)
#include <immintrin.h>
#endif

unsigned decodePairsPortable(const unsigned char* text, unsigned count, unsigned char* bytes, unsigned* sum)
{
    unsigned decoded = 0;  // every pair's value or'ed in: above 0xFF once a character was no digit
    unsigned total = *sum;
    for (std::size_t k = 0; k < count; ++k) {
        unsigned value =
            static_cast<unsigned>(HEX_DIGITS.value[text[2 * k]]) << 4 | HEX_DIGITS.value[text[2 * k + 1]];
        decoded |= value;
        total += value;
        bytes[k] = static_cast<unsigned char>(value);
    }
    *sum = total;
    return decoded & ~0xFFU;
}

namespace {

// Decodes the record at `line`, whose colon and line end were seen, when it is a data
// record of `count` bytes: a count field of that value, four address digits, type
// 00, and data and checksum digits, the checksum completing the record's byte sum to
// 0. Then *address is the load address, data[0, count) the data bytes, and the
// result 0; else the result is not 0, and *address and data are unspecified. Reads
// no character after the checksum.
using RecordDecoder = unsigned (*)(const unsigned char* line, unsigned count, unsigned* address,
                                   unsigned char* data);

// A RecordDecoder that takes the header and the checksum one pair at a time, and the
// data field through a pair decoder.
inline unsigned decodeRecordWith(PairDecoder decodePairs, const unsigned char* line, unsigned count,
                                 unsigned* address, unsigned char* data)
{
    unsigned addressHigh = pairValue(line + 3);
    unsigned addressLow = pairValue(line + 5);
    unsigned checksum = pairValue(line + 9 + 2 * std::size_t{count});
    unsigned sum = count + addressHigh + addressLow + checksum;
    unsigned digits = decodePairs(line + 9, count, data, &sum) | addressHigh | addressLow | checksum;
    *address = addressHigh << 8 | addressLow;
    // A count or type field with a character that is no digit is above 0xFF, and so
    // differs from the count and from 0.
    return (pairValue(line + 1) ^ count) | pairValue(line + 7) | (digits & ~0xFFU) | (sum & 0xFF);
}

unsigned decodeRecordPortable(const unsigned char* line, unsigned count, unsigned* address,
                              unsigned char* data)
{
    return decodeRecordWith(decodePairsPortable, line, count, address, data);
}

// The run's loop for records of `count` bytes, the same for every kernel set.
inline std::size_t storeRecordsOf(RecordRun& run, RecordDecoder decode, unsigned count)
{
    const std::size_t length = 2 * std::size_t{count} + 11;  // a record without its line end
    const unsigned char* const first = run.line;
    const auto available = static_cast<std::size_t>(run.end - first);
    // A record is looked at only when its line end lies in the block: from before `limit`.
    const std::size_t limit = available > length ? available - length : 0;
    unsigned char* const bytes = run.bytes;
    unsigned char* const written = run.written;
    const std::uint64_t offsetBias = run.offsetBias;
    const std::uint64_t lastOffset = run.lastOffset;
    std::size_t at = 0;  // the line's position after first
    std::uint64_t highest = 0;
    std::size_t stored = 0;
    bool carriageReturn = false;
    while (at < limit) {
        const unsigned char* line = first + at;
        if (line[0] != ':') {
            break;
        }
        std::size_t next = at + length + 1;  // after the line end's first character
        bool lastOfRun = false;
        if (line[length] != '\n') {
            if (line[length] != '\r') {
                break;
            }
            // The line feed after a carriage return, when the block holds it, is part
            // of the line end; else the record ends the run.
            if (next < available && first[next] == '\n') {
                ++next;
            } else {
                lastOfRun = true;
            }
        }
        unsigned char data[255];
        unsigned address = 0;
        if (decode(line, count, &address, data) != 0) {
            break;
        }
        std::uint64_t offset = address + offsetBias;
        if (offset > lastOffset || !allFree(bytes + offset, count)) {
            break;
        }
        std::memcpy(bytes + offset, data, count);
        markRecord(written, static_cast<std::size_t>(offset), count);
        highest = offset > highest ? offset : highest;
        ++stored;
        at = next;
        if (lastOfRun) {
            carriageReturn = true;
            break;
        }
    }
    run.line = first + at;
    run.highestOffset = highest;
    run.carriageReturn = carriageReturn;
    return stored;
}

// The run's loop, the same for every kernel set: each set's storeRun is this with its
// own record decoder inlined (flatten), so that no record costs a call, and with the
// common counts made constants, so that the decoder, the free test and the bitmap's
// mark take the fewest instructions.
inline std::size_t storeRecords(RecordRun& run, RecordDecoder decode)
{
    if (run.count == 16) {
        return storeRecordsOf(run, decode, 16);
    }
    if (run.count == 32) {
        return storeRecordsOf(run, decode, 32);
    }
    return storeRecordsOf(run, decode, run.count);
}

}  // namespace

__attribute__((flatten)) std::size_t storeRunPortable(RecordRun& run)
{
    return storeRecords(run, decodeRecordPortable);
}

#if defined(ROMCAST_X86_KERNELS)

namespace {

#if defined(ROMCAST_SCALAR_DECODE)
constexpr bool PORTABLE_ONLY = true;  // the build forces the portable decoder
#else
constexpr bool PORTABLE_ONLY = false;
#endif

// The 16 characters at text as eight bytes, in the low half; lanes of *valid whose
// character was no digit become 0.
inline __m128i eightPairsSse2(const unsigned char* text, __m128i* valid)
{
    __m128i characters = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    // '0' to '9' become 0 to 9, and 'a' to 'f' (or 'A' to 'F', by setting the 0x20
    // bit) become 0 to 5; every other character lands above 9, or above 5, as an
    // unsigned byte. min(x, limit) == x tests x <= limit.
    __m128i digit = _mm_sub_epi8(characters, _mm_set1_epi8('0'));
    __m128i letter = _mm_sub_epi8(_mm_or_si128(characters, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
    __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
    *valid = _mm_and_si128(*valid, _mm_or_si128(isDigit, isLetter));
    // Each character's value, 0 to 15, in its own byte.
    __m128i nibbles = _mm_or_si128(_mm_and_si128(isDigit, digit),
                                   _mm_and_si128(isLetter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
    // A 16-bit lane holds one pair, its first character in the low byte: that one
    // moves up four bits, the second down into the low byte beside it.
    __m128i pairs = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0xFF)), 4),
                                 _mm_srli_epi16(nibbles, 8));
    // The eight lanes, each at most 0xFF, packed into eight bytes.
    return _mm_packus_epi16(pairs, _mm_setzero_si128());
}

// The 32 characters at text as sixteen pairs, each pair's byte in a 16-bit lane;
// lanes of *invalid whose character was no digit become 0xFF. Compiled for AVX2 alone,
// like its callers.
__attribute__((target("avx2"), always_inline)) inline __m256i pairLanesAvx2(const unsigned char* text,
                                                                            __m256i* invalid)
{
    // Tables indexed by a character's high or low four bits, the same 16 entries in
    // both 128-bit halves. A character is a digit exactly when the classes of its two
    // halves share a bit: bit 0 for '0' to '9' (0x30 to 0x39), bit 1 for 'A' to 'F'
    // and 'a' to 'f' (0x41 to 0x46 and 0x61 to 0x66).
    const __m256i highClass = _mm256_setr_epi8(0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                               0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i lowClass = _mm256_setr_epi8(1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0,  //
                                              1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0);
    // Added to a letter's low four bits for its value ('A' is 0x41: 1 + 9 = 10).
    const __m256i letterValue = _mm256_setr_epi8(0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                                 0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i lowBits = _mm256_set1_epi8(0x0F);
    __m256i characters = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
    // High bits, shifted in 16-bit lanes: the neighbour's bits that come down are
    // masked off. A byte from 0x80 up has high bits 8 to 15, which every table maps to 0.
    __m256i high = _mm256_and_si256(_mm256_srli_epi16(characters, 4), lowBits);
    __m256i low = _mm256_and_si256(characters, lowBits);
    __m256i classes =
        _mm256_and_si256(_mm256_shuffle_epi8(highClass, high), _mm256_shuffle_epi8(lowClass, low));
    *invalid = _mm256_or_si256(*invalid, _mm256_cmpeq_epi8(classes, _mm256_setzero_si256()));
    __m256i nibbles = _mm256_add_epi8(low, _mm256_shuffle_epi8(letterValue, high));
    // Each 16-bit lane becomes first * 16 + second: the pair's byte, at most 0xFF.
    return _mm256_maddubs_epi16(nibbles, _mm256_set1_epi16(0x0110));
}

// The 32 characters at text as sixteen bytes; lanes of *invalid whose character was
// no digit become 0xFF.
__attribute__((target("avx2"), always_inline)) inline __m128i sixteenPairsAvx2(const unsigned char* text,
                                                                               __m256i* invalid)
{
    __m256i pairs = pairLanesAvx2(text, invalid);
    // The eight lanes of each half packed into sixteen bytes, in order.
    return _mm_packus_epi16(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
}

// The sum of the two 64-bit lanes, each a sum of bytes that psadbw made.
inline unsigned halvesSum(__m128i sums)
{
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_add_epi64(sums, _mm_srli_si128(sums, 8))));
}

// Any count, sixteen pairs per step and the rest one by one; kept apart, so that the
// path of the common records needs no stack frame.
__attribute__((target("avx2"), noinline)) unsigned decodeAnyAvx2(const unsigned char* text, unsigned count,
                                                                 unsigned char* bytes, unsigned* sum)
{
    __m256i invalid = _mm256_setzero_si256();
    __m128i sums = _mm_setzero_si128();  // two sums of eight bytes each
    std::size_t done = 0;
    for (; done + 16 <= count; done += 16) {
        __m128i decoded = sixteenPairsAvx2(text + 2 * done, &invalid);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + done), decoded);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(decoded, _mm_setzero_si128()));
    }
    *sum += halvesSum(sums);
    if (_mm256_testz_si256(invalid, invalid) == 0) {
        return NOT_HEX;
    }
    if (done < count) {
        return decodePairsPortable(text + 2 * done, count - static_cast<unsigned>(done), bytes + done, sum);
    }
    return 0;
}

}  // namespace

unsigned decodePairsSse2(const unsigned char* text, unsigned count, unsigned char* bytes, unsigned* sum)
{
    __m128i valid = _mm_set1_epi8(-1);
    __m128i sums = _mm_setzero_si128();  // two sums of eight bytes each
    std::size_t done = 0;
    // Sixteen pairs per pass: a record of 16 or 32 bytes leaves no rest.
    for (; done + 16 <= count; done += 16) {
        __m128i low = eightPairsSse2(text + 2 * done, &valid);
        __m128i high = eightPairsSse2(text + 2 * done + 16, &valid);
        __m128i decoded = _mm_unpacklo_epi64(low, high);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + done), decoded);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(decoded, _mm_setzero_si128()));
    }
    *sum += halvesSum(sums);
    if (_mm_movemask_epi8(valid) != 0xFFFF) {
        return NOT_HEX;
    }
    if (done < count) {
        return decodePairsPortable(text + 2 * done, count - static_cast<unsigned>(done), bytes + done, sum);
    }
    return 0;
}

// Compiled for AVX2 alone, so that the rest of the program runs on any x86-64.
__attribute__((target("avx2"))) unsigned decodePairsAvx2(const unsigned char* text, unsigned count,
                                                         unsigned char* bytes, unsigned* sum)
{
    if (count != 16 && count != 32) {
        return decodeAnyAvx2(text, count, bytes, sum);
    }
    // The common records, of 16 or 32 bytes, in one or two steps.
    __m256i invalid = _mm256_setzero_si256();
    __m128i decoded = sixteenPairsAvx2(text, &invalid);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), decoded);
    __m128i sums = _mm_sad_epu8(decoded, _mm_setzero_si128());
    if (count == 32) {
        decoded = sixteenPairsAvx2(text + 32, &invalid);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + 16), decoded);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(decoded, _mm_setzero_si128()));
    }
    *sum += halvesSum(sums);
    return _mm256_testz_si256(invalid, invalid) != 0 ? 0 : NOT_HEX;
}

namespace {

unsigned decodeRecordSse2(const unsigned char* line, unsigned count, unsigned* address, unsigned char* data)
{
    return decodeRecordWith(decodePairsSse2, line, count, address, data);
}

// Two 256-bit registers of pair lanes packed into 32 bytes in order: the pack
// interleaves their 128-bit halves (first's low, second's low, first's high, second's
// high), and the permutation puts the second and third eighth in place.
__attribute__((target("avx2"), always_inline)) inline __m256i packLanesAvx2(__m256i first, __m256i second)
{
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
}

// The header's four bytes (count, address high and low, type) as the low four bytes
// of head: the load address, and 0 when the count is `count` and the type 00.
__attribute__((target("avx2"), always_inline)) inline unsigned takeHeader(__m128i head, unsigned count,
                                                                          unsigned* address)
{
    auto header = static_cast<std::uint32_t>(_mm_cvtsi128_si32(head));  // count in the low byte
    *address = __builtin_bswap32(header) >> 8 & 0xFFFF;
    return (header & 0xFF0000FF) ^ count;
}

// The sum of the bytes, modulo 256, of the four 64-bit sums that psadbw made.
__attribute__((target("avx2"), always_inline)) inline unsigned sumsLowByte(__m256i sums)
{
    __m128i two = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_add_epi64(two, _mm_srli_si128(two, 8)))) & 0xFF;
}

// The record decoder of the AVX2 kernels. Records of 16 and 32 bytes are decoded
// whole, in 32-character steps from the count field on, and checked together: every
// character a digit, the count and the type, and the byte sum. Any other count takes
// the header pair by pair.
__attribute__((target("avx2"))) inline unsigned decodeRecordAvx2(const unsigned char* line, unsigned count,
                                                                 unsigned* address, unsigned char* data)
{
    const __m256i zero = _mm256_setzero_si256();
    __m256i invalid = zero;
    if (count == 16) {
        // The 42 characters after the colon are 21 pairs: count, address (2), type,
        // 16 data bytes, checksum. Two steps that overlap cover them: pairs 0 to 15
        // from character 1, pairs 5 to 20 from character 11.
        __m256i bytes = packLanesAvx2(pairLanesAvx2(line + 1, &invalid), pairLanesAvx2(line + 11, &invalid));
        __m128i head = _mm256_castsi256_si128(bytes);       // count to type, data 0 to 11
        __m128i tail = _mm256_extracti128_si256(bytes, 1);  // data 1 to 15, checksum
        // Data 0 moves from byte 4 of head to byte 15, then in front of tail's first 15.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(data),
                         _mm_alignr_epi8(tail, _mm_slli_si128(head, 11), 15));
        // Every byte once: head's first five and all of tail.
        const __m256i once = _mm256_setr_epi8(-1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                              -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
        unsigned sum = sumsLowByte(_mm256_sad_epu8(_mm256_and_si256(bytes, once), zero));
        return takeHeader(head, count, address) | sum |
               static_cast<unsigned>(_mm256_testz_si256(invalid, invalid) == 0);
    }
    if (count == 32) {
        // 37 pairs after the colon: count, address (2), type, 32 data bytes, checksum.
        // Pairs 0 to 15 from character 1, 16 to 31 from character 33, and 21 to 36
        // from character 43.
        __m256i bytes = packLanesAvx2(pairLanesAvx2(line + 1, &invalid), pairLanesAvx2(line + 33, &invalid));
        __m256i lastLanes = pairLanesAvx2(line + 43, &invalid);
        __m128i head = _mm256_castsi256_si128(bytes);         // count to type, data 0 to 11
        __m128i middle = _mm256_extracti128_si256(bytes, 1);  // data 12 to 27
        __m128i tail = _mm_packus_epi16(_mm256_castsi256_si128(lastLanes),
                                        _mm256_extracti128_si256(lastLanes, 1));  // data 17 to 31, checksum
        // Data 0 to 15: head from byte 4 and middle's first four. Data 16 to 31:
        // middle's byte 4 moved to byte 15, then in front of tail's first 15.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(data), _mm_alignr_epi8(middle, head, 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(data + 16),
                         _mm_alignr_epi8(tail, _mm_slli_si128(middle, 11), 15));
        // Every byte once: all of head and middle, and tail from data 28 on.
        const __m128i tailOnce = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1, -1);
        __m256i sums = _mm256_add_epi64(
            _mm256_sad_epu8(bytes, zero),
            _mm256_castsi128_si256(_mm_sad_epu8(_mm_and_si128(tail, tailOnce), _mm_setzero_si128())));
        return takeHeader(head, count, address) | sumsLowByte(sums) |
               static_cast<unsigned>(_mm256_testz_si256(invalid, invalid) == 0);
    }
    return decodeRecordWith(decodePairsAvx2, line, count, address, data);
}

}  // namespace

__attribute__((flatten)) std::size_t storeRunSse2(RecordRun& run)
{
    return storeRecords(run, decodeRecordSse2);
}

__attribute__((target("avx2"), flatten)) std::size_t storeRunAvx2(RecordRun& run)
{
    return storeRecords(run, decodeRecordAvx2);
}

#endif

KernelSet chooseKernels()
{
#if defined(ROMCAST_X86_KERNELS)
    // What the processor reports is read once per process; AVX2 counts only where
    // the system also saves the 256-bit registers.
    __builtin_cpu_init();
    if (!PORTABLE_ONLY) {
        return __builtin_cpu_supports("avx2") ? KernelSet{"avx2", decodePairsAvx2, storeRunAvx2}
                                              : KernelSet{"sse2", decodePairsSse2, storeRunSse2};
    }
#endif
    return KernelSet{"portable", decodePairsPortable, storeRunPortable};
}

std::size_t availableKernels(KernelSet* list, std::size_t room)
{
    const KernelSet all[] = {
        {"portable", decodePairsPortable, storeRunPortable},
#if defined(ROMCAST_X86_KERNELS)
        {"sse2", decodePairsSse2, storeRunSse2},
        {"avx2", decodePairsAvx2, storeRunAvx2},
#endif
    };
    std::size_t usable = sizeof all / sizeof all[0];
#if defined(ROMCAST_X86_KERNELS)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) {
        --usable;  // AVX2, the last
    }
#endif
    std::size_t count = 0;
    for (std::size_t k = 0; k < usable && count < room; ++k) {
        list[count++] = all[k];
    }
    return count;
}
