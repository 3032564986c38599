// Kernels: the portable ones, the x86-64 ones, and the choice among them.
#include "hex_vector.h"

#include <cstring>

#include "record_decoder.h"

#if defined(ROMCAST_X86_KERNELS)
#include <immintrin.h>
// glibc's header is C: Clang's C++ knows no _Bool in it, so Clang builds ask the
// processor through the compiler's own check.
#if defined(__GLIBC__) && !defined(__clang__) && __has_include(<sys/platform/x86.h>)
#define ROMCAST_GLIBC_CPU_FEATURES 1
#include <sys/platform/x86.h>
#endif
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

// What a run's records need of its page, kept apart from the RecordRun so that the
// compiler knows the stores into the page leave it unchanged.
struct RunPage {
    unsigned char* bytes;
    std::uint64_t offsetBias;
    std::uint64_t lastOffset;
};

// The offset in the page of a record whose first four decoded bytes, in memory order,
// are `header`: count, load address (high byte first) and type.
inline std::uint64_t recordOffset(std::uint32_t header, const RunPage& page)
{
    return (__builtin_bswap32(header) >> 8 & 0xFFFF) + page.offsetBias;
}

// Stores the record at `line`, whose colon and line end were seen, when it is a data
// record of `count` bytes that the run takes: a count field of that value, four
// address digits, type 00, and data and checksum digits, the checksum completing the
// record's byte sum to 0, with its bytes landing on free bytes of the page. Returns
// whether it did, with the record's offset in the page in *offset; when it did not,
// the page is as it was. Reads no character after the checksum.
using RecordStore = bool (*)(const unsigned char* line, unsigned count, const RunPage& page,
                             std::uint64_t* offset);

// Stores the two records at `line`, whose first character is a colon and the 96 after
// it lie in the block, when both are data records of 16 bytes that a RecordStore
// would take one after the other, each ended by a line feed alone, the second
// landing right after the first. Returns whether it did, with the first record's
// offset in *offset; when it did not, the page is as it was.
using PairStore = bool (*)(const unsigned char* line, const RunPage& page, std::uint64_t* offset);

constexpr std::size_t PAIR_LENGTH = 88;  // two records of 16 bytes, each with its line feed
constexpr std::size_t PAIR_READ = 97;    // characters a PairStore reads from the first colon on

// A RecordStore that takes the header and the checksum one pair at a time, and the
// data field through a pair decoder straight into the page.
inline bool storeRecordWith(PairDecoder decodePairs, const unsigned char* line, unsigned count,
                            const RunPage& page, std::uint64_t* offset)
{
    unsigned addressHigh = pairValue(line + 3);
    unsigned addressLow = pairValue(line + 5);
    *offset = (addressHigh << 8 | addressLow) + page.offsetBias;
    // A count or type field with a character that is no digit is above 0xFF, and so
    // differs from the count and from 0.
    if ((addressHigh | addressLow) > 0xFF || pairValue(line + 1) != count || pairValue(line + 7) != 0 ||
        *offset > page.lastOffset || !allFree(page.bytes + *offset, count)) {
        return false;
    }
    unsigned char* target = page.bytes + *offset;
    unsigned checksum = pairValue(line + 9 + 2 * std::size_t{count});
    unsigned sum = count + addressHigh + addressLow + checksum;
    if ((decodePairs(line + 9, count, target, &sum) | checksum) > 0xFF || (sum & 0xFF) != 0) {
        std::memset(target, FREE_BYTE, count);  // every byte there was free
        return false;
    }
    return true;
}

bool storeRecordPortable(const unsigned char* line, unsigned count, const RunPage& page,
                         std::uint64_t* offset)
{
    return storeRecordWith(decodePairsPortable, line, count, page, offset);
}

// The records of a run stored since the last mark in the bitmap, bytes [start, end)
// of the page, which follow one another: each row of records is marked and counted
// once.
struct RunRows {
    unsigned char* written;  // the page's bitmap
    unsigned count;          // data bytes of a record
    std::uint64_t start;
    std::uint64_t end;
    std::size_t stored;     // records marked so far
    std::uint64_t highest;  // the highest offset of a record marked so far
};

// Marks the row in the bitmap, if it holds a record, and counts its records.
inline void markRow(RunRows& rows)
{
    if (rows.end == rows.start) {
        return;
    }
    setBits(rows.written, static_cast<std::size_t>(rows.start),
            static_cast<std::size_t>(rows.end - rows.start));
    rows.stored += static_cast<std::size_t>((rows.end - rows.start) / rows.count);
    rows.highest = rows.end - rows.count > rows.highest ? rows.end - rows.count : rows.highest;
}

// Adds `bytes` stored from `offset` on: to the row where they follow it, else to a
// new row, after the one before is marked.
inline void addToRow(RunRows& rows, std::uint64_t offset, std::uint64_t bytes)
{
    if (offset != rows.end) {
        markRow(rows);
        rows.start = offset;
    }
    rows.end = offset + bytes;
}

// The line after the record of `length` characters at `line`: after its line feed,
// or its carriage return and line feed. Null for any other line end, and for a
// carriage return that no line feed follows in the block: those are left to the
// record-by-record path.
inline const unsigned char* nextLine(const unsigned char* line, std::size_t length, const unsigned char* end)
{
    const unsigned char* next = line + length + 1;
    if (line[length] == '\n') {
        return next;
    }
    return line[length] == '\r' && next != end && *next == '\n' ? next + 1 : nullptr;
}

// The run's loop for records of `count` bytes, the same for every kernel set; with a
// PairStore (records of 16 bytes), two records at a time where it takes them.
inline std::size_t storeRecordsOf(RecordRun& run, RecordStore store, unsigned count, PairStore pair = nullptr)
{
    const std::size_t length = 2 * std::size_t{count} + 11;  // a record without its line end
    const unsigned char* line = run.line;
    const unsigned char* const end = run.end;
    // A record is looked at only when its line end lies in the block: when it begins
    // before `last`; a pair, when it begins before `pairLast`.
    const unsigned char* const last = static_cast<std::size_t>(end - line) > length ? end - length : line;
    const unsigned char* const pairLast =
        static_cast<std::size_t>(end - line) > PAIR_READ ? end - PAIR_READ : line;
    const RunPage page{run.bytes, run.offsetBias, run.lastOffset};
    RunRows rows{run.written, count, 0, 0, 0, 0};
    while (line < last && line[0] == ':') {
        std::uint64_t offset = 0;
        if (pair != nullptr && line < pairLast && pair(line, page, &offset)) {
            addToRow(rows, offset, 2 * std::uint64_t{count});
            line += PAIR_LENGTH;
            continue;
        }
        const unsigned char* next = nextLine(line, length, end);
        if (next == nullptr || !store(line, count, page, &offset)) {
            break;
        }
        addToRow(rows, offset, count);
        line = next;
    }
    markRow(rows);
    run.line = line;
    run.highestOffset = rows.highest;
    return rows.stored;
}

// The run's loop, the same for every kernel set: each set's storeRun is this with its
// own RecordStore inlined (flatten), so that no record costs a call, and with the
// common counts made constants, so that decoding, the free test and the bitmap's mark
// take the fewest instructions.
inline std::size_t storeRecords(RecordRun& run, RecordStore store, PairStore pair = nullptr)
{
    if (run.count == 16) {
        return storeRecordsOf(run, store, 16, pair);
    }
    if (run.count == 32) {
        return storeRecordsOf(run, store, 32);
    }
    return storeRecordsOf(run, store, run.count);
}

}  // namespace

__attribute__((flatten)) std::size_t storeRunPortable(RecordRun& run)
{
    return storeRecords(run, storeRecordPortable);
}

#if defined(ROMCAST_X86_KERNELS)

namespace {

// Whether the processor runs AVX2 and the system saves its 256-bit registers.
#if defined(ROMCAST_GLIBC_CPU_FEATURES)
// The C library read the processor's features when the process started: asking it
// again costs no cpuid instruction, which a virtual machine may trap at some cost.
bool processorHasAvx2()
{
    return CPU_FEATURE_ACTIVE(AVX2);
}
#else
bool processorHasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

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

// The 32 characters at text as sixteen pairs, each pair's byte in a 16-bit lane; each
// byte of *classes becomes its character's class, which is 0 for a character that is
// no digit. Compiled for AVX2 alone, like its callers.
__attribute__((target("avx2"), always_inline)) inline __m256i pairLanesAvx2(const unsigned char* text,
                                                                            __m256i* classes)
{
    // Tables indexed by a character's high or low four bits, the same 16 entries in
    // both 128-bit halves. A character is a digit exactly when the classes of its two
    // halves share a bit: bit 0 for '0' to '9' (0x30 to 0x39), bit 1 for 'A' to 'F'
    // and 'a' to 'f' (0x41 to 0x46 and 0x61 to 0x66).
    const __m256i highClass = _mm256_setr_epi8(0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                               0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i lowClass = _mm256_setr_epi8(1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0,  //
                                              1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0);
    // Added to a digit, by its high four bits, for its value: -0x30 ('0' to '9'), -0x37
    // ('A' is 0x41, 10), -0x57 ('a' is 0x61, 10).
    const __m256i valueOffset =
        _mm256_setr_epi8(0, 0, 0, -0x30, -0x37, 0, -0x57, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                         0, 0, 0, -0x30, -0x37, 0, -0x57, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    __m256i characters = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
    // High bits, shifted in 16-bit lanes: the neighbour's bits that come down are
    // masked off. A byte from 0x80 up has high bits 8 to 15, which every table maps to 0.
    __m256i high = _mm256_and_si256(_mm256_srli_epi16(characters, 4), _mm256_set1_epi8(0x0F));
    // The character itself indexes the low table by its low four bits; from 0x80 up,
    // its top bit makes the class 0.
    *classes =
        _mm256_and_si256(_mm256_shuffle_epi8(highClass, high), _mm256_shuffle_epi8(lowClass, characters));
    // Each digit's value, 0 to 15, in its byte; other characters' bytes do not matter.
    __m256i nibbles = _mm256_add_epi8(characters, _mm256_shuffle_epi8(valueOffset, high));
    // Each 16-bit lane becomes first * 16 + second: the pair's byte, at most 0xFF for
    // digits.
    return _mm256_maddubs_epi16(nibbles, _mm256_set1_epi16(0x0110));
}

// The 32 characters at text as sixteen bytes; each byte of *least keeps the least of
// its value and the class of its character there.
__attribute__((target("avx2"), always_inline)) inline __m128i sixteenPairsAvx2(const unsigned char* text,
                                                                               __m256i* least)
{
    __m256i classes;
    __m256i pairs = pairLanesAvx2(text, &classes);
    *least = _mm256_min_epu8(*least, classes);
    // The eight lanes of each half packed into sixteen bytes, in order.
    return _mm_packus_epi16(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
}

// The sum of the two 64-bit lanes, each a sum of bytes that psadbw made.
inline unsigned halvesSum(__m128i sums)
{
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_add_epi64(sums, _mm_srli_si128(sums, 8))));
}

// Whether a lane of classes that pairLanesAvx2 kept is 0: a character was no digit.
__attribute__((target("avx2"), always_inline)) inline bool anyNoDigit(__m256i classes)
{
    __m256i zeros = _mm256_cmpeq_epi8(classes, _mm256_setzero_si256());
    return _mm256_testz_si256(zeros, zeros) == 0;
}

// Any count, sixteen pairs per step and the rest one by one; kept apart, so that the
// path of the common records needs no stack frame.
__attribute__((target("avx2"), noinline)) unsigned decodeAnyAvx2(const unsigned char* text, unsigned count,
                                                                 unsigned char* bytes, unsigned* sum)
{
    __m256i classes = _mm256_set1_epi8(-1);
    __m128i sums = _mm_setzero_si128();  // two sums of eight bytes each
    std::size_t done = 0;
    for (; done + 16 <= count; done += 16) {
        __m128i decoded = sixteenPairsAvx2(text + 2 * done, &classes);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + done), decoded);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(decoded, _mm_setzero_si128()));
    }
    *sum += halvesSum(sums);
    if (anyNoDigit(classes)) {
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
    __m256i classes = _mm256_set1_epi8(-1);
    __m128i decoded = sixteenPairsAvx2(text, &classes);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), decoded);
    __m128i sums = _mm_sad_epu8(decoded, _mm_setzero_si128());
    if (count == 32) {
        decoded = sixteenPairsAvx2(text + 32, &classes);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + 16), decoded);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(decoded, _mm_setzero_si128()));
    }
    *sum += halvesSum(sums);
    return anyNoDigit(classes) ? NOT_HEX : 0;
}

namespace {

bool storeRecordSse2(const unsigned char* line, unsigned count, const RunPage& page, std::uint64_t* offset)
{
    return storeRecordWith(decodePairsSse2, line, count, page, offset);
}

// Two 256-bit registers of pair lanes packed into 32 bytes in order: the pack
// interleaves their 128-bit halves (first's low, second's low, first's high, second's
// high), and the permutation puts the second and third quarter in place.
__attribute__((target("avx2"), always_inline)) inline __m256i packLanesAvx2(__m256i first, __m256i second)
{
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
}

// The 32 page bytes at target with each bit inverted: a lane is not 0 where a byte is
// not free (0xFF).
__attribute__((target("avx2"), always_inline)) inline __m256i takenLanesAvx2(const unsigned char* target)
{
    return _mm256_andnot_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(target)),
                               _mm256_set1_epi8(-1));
}

// The low byte of the sum of the sixteen bytes.
__attribute__((target("avx2"), always_inline)) inline unsigned byteSum(__m128i bytes)
{
    __m128i sums = _mm_sad_epu8(bytes, _mm_setzero_si128());  // two sums of eight bytes each
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_add_epi64(sums, _mm_srli_si128(sums, 8)))) & 0xFF;
}

// The record store of the AVX2 kernels. A record of 16 or 32 bytes is decoded whole,
// from the count field to the checksum, in 32-character steps, and every character
// and the free bytes are checked together; any other count takes the header pair by
// pair.
__attribute__((target("avx2"))) inline bool storeRecordAvx2(const unsigned char* line, unsigned count,
                                                            const RunPage& page, std::uint64_t* offset)
{
    if (count != 16 && count != 32) {
        return storeRecordWith(decodePairsAvx2, line, count, page, offset);
    }
    __m256i classes;  // the least class of each byte lane's characters
    __m256i more;
    __m256i bytes;  // count, address (2), type and data 0 to 11; then as the count says
    __m128i tail;   // the last pairs, the checksum last
    if (count == 16) {
        // The 42 characters after the colon are 21 pairs: count, address (2), type,
        // 16 data bytes, checksum. Two steps that overlap cover them: pairs 0 to 15
        // from character 1, pairs 5 to 20 from character 11.
        __m256i first = pairLanesAvx2(line + 1, &classes);
        bytes = packLanesAvx2(first, pairLanesAvx2(line + 11, &more));
        classes = _mm256_min_epu8(classes, more);
        tail = _mm256_extracti128_si256(bytes, 1);  // data 1 to 15, checksum
    } else {
        // 37 pairs: count, address (2), type, 32 data bytes, checksum. Pairs 0 to 15
        // from character 1, 16 to 31 from character 33, and 21 to 36 from 43.
        __m256i first = pairLanesAvx2(line + 1, &classes);
        bytes = packLanesAvx2(first, pairLanesAvx2(line + 33, &more));
        classes = _mm256_min_epu8(classes, more);
        __m256i lastLanes = pairLanesAvx2(line + 43, &more);
        classes = _mm256_min_epu8(classes, more);
        tail = _mm_packus_epi16(_mm256_castsi256_si128(lastLanes),
                                _mm256_extracti128_si256(lastLanes, 1));  // data 17 to 31, checksum
    }
    __m128i head = _mm256_castsi256_si128(bytes);
    auto header = static_cast<std::uint32_t>(_mm_cvtsi128_si32(head));  // count in the low byte
    *offset = recordOffset(header, page);
    if (*offset > page.lastOffset) {
        return false;
    }
    unsigned char* target = page.bytes + *offset;
    // A byte lane is invalid where a character's class is 0, or where a bit of a page
    // byte is clear.
    __m256i invalid = _mm256_cmpeq_epi8(classes, _mm256_setzero_si256());
    unsigned sum = 0;
    if (count == 16) {
        invalid = _mm256_or_si256(
            invalid, _mm256_castsi128_si256(_mm_andnot_si128(
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(target)), _mm_set1_epi8(-1))));
        // Every byte once, added modulo 256: head's first five and all of tail.
        const __m128i firstFive = _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        sum = byteSum(_mm_add_epi8(_mm_and_si128(head, firstFive), tail));
    } else {
        invalid = _mm256_or_si256(invalid, takenLanesAvx2(target));
        // Every byte once, added modulo 256: head, the upper half, and tail from data 28 on.
        const __m128i lastFive = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1, -1);
        sum = byteSum(_mm_add_epi8(_mm_add_epi8(head, _mm256_extracti128_si256(bytes, 1)),
                                   _mm_and_si128(tail, lastFive)));
    }
    if (_mm256_testz_si256(invalid, invalid) == 0 || (header & 0xFF0000FF) != count || sum != 0) {
        return false;
    }
    if (count == 16) {
        // Data 0 moves from byte 4 of head to byte 15, then in front of tail's first 15.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target),
                         _mm_alignr_epi8(tail, _mm_slli_si128(head, 11), 15));
    } else {
        // Data 0 to 15: head from byte 4 on, then the upper half's first four. Data 16
        // to 31: the upper half's byte 4 moved to byte 15, then in front of tail's first 15.
        __m128i middle = _mm256_extracti128_si256(bytes, 1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target), _mm_alignr_epi8(middle, head, 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 16),
                         _mm_alignr_epi8(tail, _mm_slli_si128(middle, 11), 15));
    }
    return true;
}

// The pair store of the AVX2 kernels. With a line feed alone after each record, two
// records of 16 bytes take 88 characters, an even number: the pairs read from the
// first record's character 1 on are the 21 pairs of its fields, then one pair of its
// line feed and the second colon, then the 21 pairs of the second record's fields.
// Three 32-character steps decode all 43, where the two records alone take four.
__attribute__((target("avx2"), always_inline)) inline bool storePairAvx2(const unsigned char* line,
                                                                         const RunPage& page,
                                                                         std::uint64_t* offset)
{
    if (line[43] != '\n' || line[44] != ':' || line[87] != '\n') {
        return false;
    }
    // Characters that are no digits and need not be: the line feed and colon between
    // the records (characters 43 and 44, lanes 10 and 11 of the second step), and
    // whatever follows the second record's checksum (characters 87 to 96, lanes 22 to
    // 31 of the third).
    const __m256i between = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, 0, 0, 0, 0,  //
                                             0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i after = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                           0, 0, 0, 0, 0, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    __m256i classes;
    __m256i more;
    // Pairs 0 to 31 from characters 1 to 64, and pairs 32 to 47 from 65 to 96.
    __m256i first = pairLanesAvx2(line + 1, &classes);
    __m256i bytes = packLanesAvx2(first, pairLanesAvx2(line + 33, &more));
    classes = _mm256_min_epu8(classes, _mm256_or_si256(more, between));
    __m256i third = pairLanesAvx2(line + 65, &more);
    classes = _mm256_min_epu8(classes, _mm256_or_si256(more, after));
    // Pairs 0 to 15: the first record's count, address, type and data 0 to 11. Pairs
    // 16 to 31: its data 12 to 15 and checksum, the pair between, then the second
    // record's count, address, type and data 0 to 5. Pairs 32 to 47: its data 6 to 15
    // and checksum, then characters of the line after it.
    __m128i low = _mm256_castsi256_si128(bytes);
    __m128i high = _mm256_extracti128_si256(bytes, 1);
    __m128i rest = _mm_packus_epi16(_mm256_castsi256_si128(third), _mm256_extracti128_si256(third, 1));
    // Count, address and type: pairs 0 to 3, and 22 to 25.
    auto header = static_cast<std::uint32_t>(_mm_cvtsi128_si32(low));
    auto nextHeader = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(high, 6)));
    *offset = recordOffset(header, page);
    std::uint64_t nextOffset = recordOffset(nextHeader, page);
    if (*offset > page.lastOffset || nextOffset != *offset + 16 || nextOffset > page.lastOffset) {
        return false;
    }
    unsigned char* target = page.bytes + *offset;
    // A byte lane is invalid where a character's class is 0, or where a bit of one
    // of the 32 page bytes that both records land on is clear.
    __m256i invalid =
        _mm256_or_si256(_mm256_cmpeq_epi8(classes, _mm256_setzero_si256()), takenLanesAvx2(target));
    // Each record's bytes added modulo 256: pairs 0 to 20, and pairs 22 to 42.
    const __m128i firstFive = _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i lastTen = _mm_setr_epi8(0, 0, 0, 0, 0, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i firstEleven = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0);
    unsigned sum = byteSum(_mm_add_epi8(low, _mm_and_si128(high, firstFive)));
    unsigned nextSum = byteSum(_mm_add_epi8(_mm_and_si128(high, lastTen), _mm_and_si128(rest, firstEleven)));
    if (_mm256_testz_si256(invalid, invalid) == 0 || (header & 0xFF0000FF) != 16 ||
        (nextHeader & 0xFF0000FF) != 16 || (sum | nextSum) != 0) {
        return false;
    }
    // The first record's data: pairs 4 to 19; the second's: pairs 26 to 41.
    __m128i data = _mm_alignr_epi8(high, low, 4);
    __m128i nextData = _mm_alignr_epi8(rest, high, 10);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target), _mm256_set_m128i(nextData, data));
    return true;
}

}  // namespace

__attribute__((flatten)) std::size_t storeRunSse2(RecordRun& run)
{
    return storeRecords(run, storeRecordSse2);
}

__attribute__((target("avx2"), flatten)) std::size_t storeRunAvx2(RecordRun& run)
{
    return storeRecords(run, storeRecordAvx2, storePairAvx2);
}

#endif

KernelSet chooseKernels()
{
#if defined(ROMCAST_X86_KERNELS)
    if (!PORTABLE_ONLY) {
        return processorHasAvx2() ? KernelSet{"avx2", decodePairsAvx2, storeRunAvx2}
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
    if (!processorHasAvx2()) {
        --usable;  // AVX2, the last
    }
#endif
    std::size_t count = 0;
    for (std::size_t k = 0; k < usable && count < room; ++k) {
        list[count++] = all[k];
    }
    return count;
}
