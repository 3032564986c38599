// Decoding of hexadecimal text in bulk: the data field of one record (pairs of digits
// checked, turned into bytes and summed for the checksum), and a run of data records
// of one shape stored into one page of the image. One set of kernels per instruction
// set, each with the portable set's contract; chooseKernels picks, once, the fastest
// that the processor has. Owns no state.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes `count` pairs of hexadecimal digits (either case) from the 2 * count
// characters at text into bytes[0, count), and adds every byte to *sum. Reads no
// character beyond them. Returns 0 when every character was a digit; else a value
// above 0xFF, with what bytes and *sum then hold unspecified.
using PairDecoder = unsigned (*)(const unsigned char* text, unsigned count, unsigned char* bytes,
                                 unsigned* sum);

// Consecutive lines of a HEX input that the reader hands over to be stored while each
// is a data record of the run's shape landing in the run's page: a colon, a count
// field of the run's count, four address digits, type 00, 2 * count data digits and
// two checksum digits whose byte completes the record's byte sum to 0, then a line
// feed, or a carriage return and a line feed, that lie before `end`, with every data
// byte landing on a byte of the page that holds 0xFF. Such a record passes every check
// of the reader.
struct RecordRun {
    // Set by the caller.
    const unsigned char* line;  // the first line; on return, where reading goes on
    const unsigned char* end;   // the end of the input block: nothing at or after it is read
    unsigned count;             // data bytes of every record of the run, 1 to 255
    unsigned char* bytes;       // the page's bytes
    unsigned char* written;     // the page's bitmap of written bytes (memory_image)
    std::uint64_t offsetBias;   // a load address plus this, modulo 2^64, is the record's offset
                                // in the page
    std::uint64_t lastOffset;   // the highest offset at which count bytes lie in the page and
                                // in the window
    // Set by the run.
    std::uint64_t highestOffset;  // the highest offset of a record stored; 0 when none was
};

// Stores records from run.line on, one after another, and stops before the first line
// that is not one of the run's or whose line end the block does not hold whole: a line
// feed, or a carriage return and a line feed. Each record's data goes to
// bytes[offset, offset + count) and its bits are set in written. Returns the records
// stored; nothing of a line that is not stored is changed.
using RunStore = std::size_t (*)(RecordRun& run);

// The kernels of one instruction set.
struct KernelSet {
    const char* name;  // "portable", "sse2", "avx2"
    PairDecoder decodePairs;
    RunStore storeRun;
};

// Any processor: one pair at a time through the digit table.
unsigned decodePairsPortable(const unsigned char* text, unsigned count, unsigned char* bytes, unsigned* sum);
std::size_t storeRunPortable(RecordRun& run);

#if defined(__GNUC__) && defined(__x86_64__)
#define ROMCAST_X86_KERNELS 1
// Every x86-64 processor: eight pairs per step.
unsigned decodePairsSse2(const unsigned char* text, unsigned count, unsigned char* bytes, unsigned* sum);
std::size_t storeRunSse2(RecordRun& run);
// Sixteen pairs per step; only for a processor that has AVX2.
unsigned decodePairsAvx2(const unsigned char* text, unsigned count, unsigned char* bytes, unsigned* sum);
std::size_t storeRunAvx2(RecordRun& run);
#endif

// The fastest kernels that this processor runs; the portable ones in a build
// configured with ROMCAST_SCALAR_DECODE.
KernelSet chooseKernels();

// Fills list with the kernel sets that this processor runs, the portable one first,
// and returns how many there are: at most room.
std::size_t availableKernels(KernelSet* list, std::size_t room);
