// Pair decoders: the portable one, the x86-64 kernels, and the choice among them.
#include "hex_vector.h"

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

// The 32 characters at text as sixteen bytes; lanes of *invalid whose character was
// no digit become 0xFF. Compiled for AVX2 alone, like its callers.
__attribute__((target("avx2"), always_inline)) inline __m128i sixteenPairsAvx2(const unsigned char* text,
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
    __m256i pairs = _mm256_maddubs_epi16(nibbles, _mm256_set1_epi16(0x0110));
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

#endif

PairDecoder choosePairDecoder()
{
#if defined(ROMCAST_X86_KERNELS)
    // What the processor reports is read once per process; AVX2 counts only where
    // the system also saves the 256-bit registers.
    __builtin_cpu_init();
    if (!PORTABLE_ONLY) {
        return __builtin_cpu_supports("avx2") ? decodePairsAvx2 : decodePairsSse2;
    }
#endif
    return decodePairsPortable;
}

std::size_t availablePairDecoders(NamedPairDecoder* list, std::size_t room)
{
    NamedPairDecoder all[] = {
        {"portable", decodePairsPortable},
#if defined(ROMCAST_X86_KERNELS)
        {"sse2", decodePairsSse2},
        {"avx2", decodePairsAvx2},
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
