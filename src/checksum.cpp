// The checksum catalogue and the CRC routine that serves every CRC in it.
#include "checksum.h"

#include <cstring>

enum ChecksumKind {
    KIND_CRC,    // a CRC with the entry's parameters
    KIND_SUM8,   // the byte that brings the 8-bit sum of the range and itself to zero
    KIND_SUM16,  // the sum of the range's bytes modulo 65,536
};

// A CRC in the terms of the usual catalogue of parametrised CRCs, which gives the
// polynomial and the initial value as the unreflected algorithm holds them.
struct CrcParameters {
    unsigned bits;             // register width: 16 or 32
    std::uint32_t polynomial;  // most significant term first, the x^bits term left out
    std::uint32_t initial;     // the register before the first byte
    bool reflectIn;            // each byte enters least significant bit first
    bool reflectOut;           // the register is bit-reversed before the final XOR
    std::uint32_t finalXor;    // XORed into the result; no wider than the register
};

struct ChecksumAlgorithm {
    const char* name;   // as the user types it, without "-be"
    unsigned width;     // bytes in the image: 1, 2 or 4
    ChecksumKind kind;  // how the value is computed
    CrcParameters crc;  // KIND_CRC only
    bool wordReversed;  // the range is fed as 32-bit little-endian words, most significant byte
                        // first; unreflected CRCs only
};

namespace {

// CRC rows: {bits, polynomial, initial, reflectIn, reflectOut, finalXor}.
constexpr ChecksumAlgorithm CATALOGUE[] = {
    {"crc32", 4, KIND_CRC, {32, 0x04C11DB7, 0xFFFFFFFF, true, true, 0xFFFFFFFF}, false},   // zlib, Ethernet
    {"crc32c", 4, KIND_CRC, {32, 0x1EDC6F41, 0xFFFFFFFF, true, true, 0xFFFFFFFF}, false},  // Castagnoli
    {"crc32-mpeg2", 4, KIND_CRC, {32, 0x04C11DB7, 0xFFFFFFFF, false, false, 0}, false},
    // The STM32 CRC unit after reset: CRC-32/MPEG-2 over words written to its data register.
    {"stm32", 4, KIND_CRC, {32, 0x04C11DB7, 0xFFFFFFFF, false, false, 0}, true},
    {"crc16-ccitt", 2, KIND_CRC, {16, 0x1021, 0xFFFF, false, false, 0}, false},  // CRC-16/IBM-3740
    {"crc16-xmodem", 2, KIND_CRC, {16, 0x1021, 0, false, false, 0}, false},
    {"crc16-modbus", 2, KIND_CRC, {16, 0x8005, 0xFFFF, true, true, 0}, false},
    {"sum8", 1, KIND_SUM8, {}, false},
    {"sum16", 2, KIND_SUM16, {}, false},
};

// Whether CHECKSUM_NAMES lists the catalogue's names in its order, ", " between them.
constexpr bool namesListCatalogue()
{
    std::size_t position = 0;
    for (const ChecksumAlgorithm& algorithm : CATALOGUE) {
        if (position != 0) {
            if (CHECKSUM_NAMES[position] != ',' || CHECKSUM_NAMES[position + 1] != ' ') {
                return false;
            }
            position += 2;
        }
        for (const char* c = algorithm.name; *c != '\0'; ++c, ++position) {
            if (CHECKSUM_NAMES[position] != *c) {
                return false;
            }
        }
    }
    return CHECKSUM_NAMES[position] == '\0';
}
static_assert(namesListCatalogue(), "CHECKSUM_NAMES must list the catalogue");

std::uint32_t reflect(std::uint32_t value, unsigned bits)
{
    std::uint32_t reversed = 0;
    for (unsigned k = 0; k < bits; ++k) {
        reversed = reversed << 1 | (value >> k & 1);
    }
    return reversed;
}

std::uint32_t loadLittleEndian(const unsigned char* bytes)
{
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

std::uint32_t loadBigEndian(const unsigned char* bytes)
{
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 |
           std::uint32_t{bytes[3]};
}

// The register change for a byte leaving a reflected register, bit by bit: the
// polynomial reflected, the register shifting towards its low end.
std::uint32_t reflectedEntry(unsigned byte, std::uint32_t polynomial)
{
    std::uint32_t reg = byte;
    for (int bit = 0; bit < 8; ++bit) {
        reg = (reg & 1) != 0 ? reg >> 1 ^ polynomial : reg >> 1;
    }
    return reg;
}

// The same for an unreflected register in the high bits, the polynomial beside it.
std::uint32_t unreflectedEntry(unsigned byte, std::uint32_t polynomial)
{
    std::uint32_t reg = byte << 24;
    for (int bit = 0; bit < 8; ++bit) {
        reg = (reg & 0x80000000) != 0 ? reg << 1 ^ polynomial : reg << 1;
    }
    return reg;
}

// A reflected register sits in the low bits and takes a byte at its low end; an
// unreflected one sits in the high bits, whatever its width, and takes a byte at
// its high end. Either way the table's slice 0 gives the change for the byte that
// leaves the register, and a word of four bytes is the XOR of four slices.

std::uint32_t reflectedByte(const std::uint32_t (*table)[256], std::uint32_t reg, unsigned char byte)
{
    return reg >> 8 ^ table[0][(reg ^ byte) & 0xFF];
}

std::uint32_t unreflectedByte(const std::uint32_t (*table)[256], std::uint32_t reg, unsigned char byte)
{
    return reg << 8 ^ table[0][(reg >> 24 ^ byte) & 0xFF];
}

// combined: the register XOR four bytes, the first of them in the low byte.
std::uint32_t reflectedWord(const std::uint32_t (*table)[256], std::uint32_t combined)
{
    return table[3][combined & 0xFF] ^ table[2][combined >> 8 & 0xFF] ^ table[1][combined >> 16 & 0xFF] ^
           table[0][combined >> 24];
}

// combined: the register XOR four bytes, the first of them in the high byte.
std::uint32_t unreflectedWord(const std::uint32_t (*table)[256], std::uint32_t combined)
{
    return table[3][combined >> 24] ^ table[2][combined >> 16 & 0xFF] ^ table[1][combined >> 8 & 0xFF] ^
           table[0][combined & 0xFF];
}

// The register after count bytes from reg.
std::uint32_t crcOfBytes(const ChecksumRun* run, std::uint32_t reg, const unsigned char* bytes,
                         std::size_t count)
{
    std::size_t k = 0;
    if (run->algorithm->crc.reflectIn) {
        for (; k + 4 <= count; k += 4) {
            reg = reflectedWord(run->table, reg ^ loadLittleEndian(bytes + k));
        }
        for (; k < count; ++k) {
            reg = reflectedByte(run->table, reg, bytes[k]);
        }
    } else {
        for (; k + 4 <= count; k += 4) {
            reg = unreflectedWord(run->table, reg ^ loadBigEndian(bytes + k));
        }
        for (; k < count; ++k) {
            reg = unreflectedByte(run->table, reg, bytes[k]);
        }
    }
    return reg;
}

// Feeding a little-endian word most significant byte first is the unreflected word
// step on the word as loaded little-endian. The register after the whole words of
// count bytes from reg.
std::uint32_t crcOfWords(const ChecksumRun* run, std::uint32_t reg, const unsigned char* bytes,
                         std::size_t count)
{
    for (std::size_t k = 0; k + 4 <= count; k += 4) {
        reg = unreflectedWord(run->table, reg ^ loadLittleEndian(bytes + k));
    }
    return reg;
}

// A word split between chunks waits in run->pending.
void feedWords(ChecksumRun* run, const unsigned char* bytes, std::size_t count)
{
    std::uint32_t reg = run->value;
    std::size_t pending = run->byteCount % 4;
    std::size_t k = 0;
    if (pending != 0) {
        k = count < 4 - pending ? count : 4 - pending;
        std::memcpy(run->pending + pending, bytes, k);
        if (pending + k == 4) {
            reg = crcOfWords(run, reg, run->pending, 4);
        }
    }
    std::size_t whole = (count - k) / 4 * 4;
    reg = crcOfWords(run, reg, bytes + k, whole);
    k += whole;
    if (k < count) {  // only when the pending word was completed or there was none
        std::memcpy(run->pending, bytes + k, count - k);
    }
    run->value = reg;
}

// Runs shorter than this are materialised and fed: folding them would cost more. A
// folded run must hold the up to 3 bytes that complete a pending word.
constexpr std::uint64_t SHORTEST_FOLD = 256;

// The longest block that repeats a pattern: lcm(7, 4) bytes, for stm32's words.
constexpr unsigned LONGEST_BLOCK = 28;

// The register change of a block of bytes, affine over GF(2): reg -> L(reg) ^ constant,
// where column j of L is the image of bit j alone. The columns cover all 32 bits, those
// a 16-bit register leaves unused included: no register sets them, so their columns
// never take part.
struct AffineStep {
    std::uint32_t columns[32];  // L, column j the image of 1 << j
    std::uint32_t constant;     // the register after the block from zero
};

std::uint32_t applyLinear(const std::uint32_t* columns, std::uint32_t value)
{
    std::uint32_t result = 0;
    for (unsigned j = 0; j < 32; ++j) {
        result ^= columns[j] & (0 - (value >> j & 1));
    }
    return result;
}

std::uint32_t applyStep(const AffineStep& step, std::uint32_t reg)
{
    return applyLinear(step.columns, reg) ^ step.constant;
}

// The step for the block taken twice: reg -> L(L(reg) ^ c) ^ c = L^2(reg) ^ (L(c) ^ c).
void doubleStep(AffineStep* step)
{
    std::uint32_t squared[32];
    for (unsigned j = 0; j < 32; ++j) {
        squared[j] = applyLinear(step->columns, step->columns[j]);
    }
    step->constant = applyStep(*step, step->constant);
    std::memcpy(step->columns, squared, sizeof squared);
}

// The register after a block fed as the run feeds it; the words of stm32 must be whole.
std::uint32_t crcOfBlock(const ChecksumRun* run, std::uint32_t reg, const unsigned char* block,
                         unsigned length)
{
    return run->algorithm->wordReversed ? crcOfWords(run, reg, block, length)
                                        : crcOfBytes(run, reg, block, length);
}

// Feeds count bytes of the pattern from its byte phase on, materialised. The chunks
// are whole periods, so that each starts where the buffer does.
void feedPattern(ChecksumRun* run, const unsigned char* pattern, unsigned width, unsigned phase,
                 std::size_t count)
{
    unsigned char buffer[64];
    for (unsigned k = 0; k < sizeof buffer; ++k) {
        buffer[k] = pattern[(phase + k) % width];
    }
    std::size_t periods = sizeof buffer - sizeof buffer % width;
    for (; count > periods; count -= periods) {
        feedChecksum(run, buffer, periods);
    }
    feedChecksum(run, buffer, count);
}

// A sum over whole periods: each period of width bytes, wherever it starts, holds
// every byte of the pattern once.
void addRepeatedSum(ChecksumRun* run, const unsigned char* pattern, unsigned width, unsigned phase,
                    std::uint64_t count)
{
    std::uint64_t period = 0;
    for (unsigned k = 0; k < width; ++k) {
        period += pattern[k];
    }
    std::uint64_t partial = 0;
    for (unsigned k = 0; k < count % width; ++k) {
        partial += pattern[(phase + k) % width];
    }
    // Wrapping modulo 2^64 leaves the low 32 bits right.
    run->value += static_cast<std::uint32_t>(count / width * period + partial);
    run->byteCount += count;
}

}  // namespace

const ChecksumAlgorithm* findChecksum(const char* name, bool* bigEndian)
{
    std::size_t length = std::strlen(name);
    *bigEndian = length > 3 && std::strcmp(name + length - 3, "-be") == 0;
    if (*bigEndian) {
        length -= 3;
    }
    for (const ChecksumAlgorithm& algorithm : CATALOGUE) {
        if (std::strlen(algorithm.name) == length && std::strncmp(algorithm.name, name, length) == 0) {
            return &algorithm;
        }
    }
    *bigEndian = false;
    return nullptr;
}

const char* checksumName(const ChecksumAlgorithm* algorithm)
{
    return algorithm->name;
}

unsigned checksumWidth(const ChecksumAlgorithm* algorithm)
{
    return algorithm->width;
}

bool checksumTakesWords(const ChecksumAlgorithm* algorithm)
{
    return algorithm->wordReversed;
}

void startChecksum(ChecksumRun* run, const ChecksumAlgorithm* algorithm)
{
    run->algorithm = algorithm;
    run->value = 0;
    run->byteCount = 0;
    if (algorithm->kind != KIND_CRC) {
        return;
    }
    const CrcParameters& crc = algorithm->crc;
    unsigned unused = 32 - crc.bits;  // low bits of an unreflected register
    std::uint32_t polynomial = crc.reflectIn ? reflect(crc.polynomial, crc.bits) : crc.polynomial << unused;
    for (unsigned byte = 0; byte < 256; ++byte) {
        run->table[0][byte] =
            crc.reflectIn ? reflectedEntry(byte, polynomial) : unreflectedEntry(byte, polynomial);
    }
    for (int slice = 1; slice < 4; ++slice) {
        for (unsigned byte = 0; byte < 256; ++byte) {
            std::uint32_t previous = run->table[slice - 1][byte];
            run->table[slice][byte] = crc.reflectIn ? reflectedByte(run->table, previous, 0)
                                                    : unreflectedByte(run->table, previous, 0);
        }
    }
    run->value = crc.reflectIn ? reflect(crc.initial, crc.bits) : crc.initial << unused;
}

void feedChecksum(ChecksumRun* run, const unsigned char* bytes, std::size_t count)
{
    const ChecksumAlgorithm* algorithm = run->algorithm;
    if (algorithm->kind != KIND_CRC) {
        std::uint32_t sum = run->value;
        for (std::size_t k = 0; k < count; ++k) {
            sum += bytes[k];
        }
        run->value = sum;
    } else if (algorithm->wordReversed) {
        feedWords(run, bytes, count);
    } else {
        run->value = crcOfBytes(run, run->value, bytes, count);
    }
    run->byteCount += count;
}

void feedRepeated(ChecksumRun* run, const unsigned char* pattern, unsigned width, unsigned phase,
                  std::uint64_t count)
{
    phase %= width;
    const ChecksumAlgorithm* algorithm = run->algorithm;
    if (algorithm->kind != KIND_CRC) {
        addRepeatedSum(run, pattern, width, phase, count);
        return;
    }
    if (count < SHORTEST_FOLD) {
        feedPattern(run, pattern, width, phase, static_cast<std::size_t>(count));
        return;
    }
    unsigned length = width;
    if (algorithm->wordReversed) {
        // The blocks must start on a word and hold whole words.
        unsigned head = (4 - run->byteCount % 4) % 4;
        feedPattern(run, pattern, width, phase, head);
        phase = (phase + head) % width;
        count -= head;
        while (length % 4 != 0) {
            length += width;
        }
    }
    unsigned char block[LONGEST_BLOCK];
    for (unsigned k = 0; k < length; ++k) {
        block[k] = pattern[(phase + k) % width];
    }
    AffineStep step;
    step.constant = crcOfBlock(run, 0, block, length);
    for (unsigned j = 0; j < 32; ++j) {
        step.columns[j] = crcOfBlock(run, std::uint32_t{1} << j, block, length) ^ step.constant;
    }
    // Square and multiply: the step doubles for each bit of the block count, and is
    // applied where the bit is set; the powers of one step commute.
    std::uint32_t reg = run->value;
    for (std::uint64_t blocks = count / length; blocks != 0; blocks >>= 1) {
        if ((blocks & 1) != 0) {
            reg = applyStep(step, reg);
        }
        if (blocks > 1) {
            doubleStep(&step);
        }
    }
    run->value = reg;
    run->byteCount += count - count % length;
    // A block ends where the pattern ends, so the rest begins as the block does.
    feedChecksum(run, block, static_cast<std::size_t>(count % length));
}

std::uint32_t finishChecksum(const ChecksumRun* run)
{
    const ChecksumAlgorithm* algorithm = run->algorithm;
    if (algorithm->kind == KIND_SUM8) {
        return (0x100 - (run->value & 0xFF)) & 0xFF;
    }
    if (algorithm->kind == KIND_SUM16) {
        return run->value & 0xFFFF;
    }
    const CrcParameters& crc = algorithm->crc;
    std::uint32_t reg = crc.reflectIn ? run->value : run->value >> (32 - crc.bits);
    // A reflected register already holds the reflected value.
    if (crc.reflectIn != crc.reflectOut) {
        reg = reflect(reg, crc.bits);
    }
    return reg ^ crc.finalXor;
}

void storeChecksum(std::uint32_t value, unsigned width, bool bigEndian, unsigned char* out)
{
    for (unsigned k = 0; k < width; ++k) {
        unsigned shift = 8 * (bigEndian ? width - 1 - k : k);
        out[k] = static_cast<unsigned char>(value >> shift);
    }
}
