// Unit tests of the converter's pieces.
//   HexDecode   the two field decoders on digits, partial fields and the line's end; a
//               first line that makes a file S-records;
//               every pair decoder of this processor against the portable one; where a
//               run of records stops and what it stores, with every run kernel of this
//               processor against the portable one
//   OutputPath  the ".bin" path: extension, directory, drive, double-byte characters
//   Memory      no memory for the image (status 5) or for the output path (status 2)
//   Options     the number parser of --offset, --size and field values, and what the
//               walk fills in, fills, fields and exclusions included
//   Runs        the address map's runs: merged across records and inputs, in address order;
//               how full a window is
//   Checksum    each algorithm on known data, any split of the range into chunks, long
//               runs of a repeated pattern against their bytes, the names as typed, and
//               the byte order of the stored value
//   Elf         the segments of ELF files built here in both classes and byte orders and
//               of the toolchains' files in tests/firmware; which addresses load; a table
//               of malformed files with their messages; read failures passed on
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "address_map.h"
#include "binary_writer.h"
#include "checksum.h"
#include "conversion_state.h"
#include "elf_format.h"
#include "hex_reader.h"
#include "hex_vector.h"
#include "options.h"
#include "srec_reader.h"

namespace {

struct FieldCase {
    const char* line;
    std::size_t position;
    unsigned value;
};

std::unique_ptr<InputState> inputWithLine(const char* text, std::size_t length)
{
    auto input = std::make_unique<InputState>();
    std::memset(input->lineBuffer, '5', sizeof input->lineBuffer);  // stale characters of earlier lines
    std::memcpy(input->lineBuffer, text, length);
    input->lineLength = length;
    return input;
}

TEST(HexDecode, PairReadsLeadingDigitsOnly)
{
    const FieldCase cases[] = {
        {"0aF", 1, 0xAF},  // either case
        {"1G", 0, 0x01},   // stops at the first character that is no digit
        {"G1", 0, 0},      // no leading digit
        {" 5", 0, 0},      // no blank before the digits
        {"+5", 0, 0},      // no sign
        {"0x1", 0, 0},     // no second prefix
        {"12", 1, 0x02},   // the line ends after one digit
        {"12", 2, 0},      // a field that begins at the line's end
        {"12", 7, 0},      // far past the end: never an earlier line's characters
    };
    for (const FieldCase& c : cases) {
        EXPECT_EQ(decodeHexPair(*inputWithLine(c.line, std::strlen(c.line)), c.position), c.value) << c.line;
    }
    EXPECT_EQ(decodeHexPair(*inputWithLine("\0"
                                           "5",
                                           2),
                            0),
              0u);  // NUL is no digit and ends nothing
}

TEST(HexDecode, AFirstLineIsAnSRecordOnlyWhenWellFormed)
{
    struct LineCase {
        const char* line;
        bool sRecord;
    };
    const LineCase cases[] = {
        {"S00600004844521B", true},  // a header
        {"S1130000285F245F2212226A000424290008237C2A", true},
        {"S2080100001122334415", true},  // the checksum is not looked at: its message comes later
        {"S3090800000000010203E8", true},
        {"S9030000FC", false},                             // a termination first: no data can follow
        {"S5030003F9", false},                             // a count first
        {"S1130000285F245F2212226A0004242900082", false},  // shorter than its count
        {"S10300FC", false},                               // no room for the address and the checksum
        {"S1040000G2E9", false},                           // a character that is no digit
        {"s107000000010203F2", false},                     // lower case start mark
        {":0100000012ED", false},                          // Intel HEX
        {"S", false},
    };
    for (const LineCase& c : cases) {
        EXPECT_EQ(looksLikeSRecord(c.line, std::strlen(c.line)), c.sRecord) << c.line;
    }
}

TEST(HexDecode, WordSkipsCharactersThatAreNoDigits)
{
    const FieldCase cases[] = {
        {"FfFf", 0, 0xFFFF},
        {"1G00", 0, 0x1000},  // the digits keep their weights
        {"12G4", 0, 0x1204},
        {"ab", 0, 0xAB00},  // past the end adds nothing
    };
    for (const FieldCase& c : cases) {
        EXPECT_EQ(decodeHexWord(*inputWithLine(c.line, std::strlen(c.line)), c.position), c.value) << c.line;
    }
}

struct CharacterCase {
    char c;
    bool digit;
};

// Decodes the field with every pair decoder that this processor runs and checks each
// against the portable one: the same bytes and sum where every character is a digit,
// a failure where one is not, and no byte stored past the field.
void expectDecodersAgree(const KernelSet* decoders, std::size_t decoderCount,
                         const std::vector<unsigned char>& field, bool digitsOnly, const std::string& what)
{
    auto count = static_cast<unsigned>(field.size() / 2);
    unsigned char expected[256];
    unsigned expectedSum = 7;
    unsigned expectedRc = decodePairsPortable(field.data(), count, expected, &expectedSum);
    ASSERT_EQ(expectedRc == 0, digitsOnly) << what;
    for (std::size_t d = 0; d < decoderCount; ++d) {
        unsigned char bytes[257];
        std::memset(bytes, 0xAA, sizeof bytes);
        unsigned sum = 7;
        unsigned rc = decoders[d].decodePairs(field.data(), count, bytes, &sum);
        if (digitsOnly) {
            EXPECT_EQ(rc, 0u) << decoders[d].name << ", " << what;
            EXPECT_EQ(sum, expectedSum) << decoders[d].name << ", " << what;
            EXPECT_EQ(std::memcmp(bytes, expected, count), 0) << decoders[d].name << ", " << what;
        } else {
            EXPECT_GT(rc, 0xFFu) << decoders[d].name << ", " << what;
        }
        EXPECT_EQ(bytes[count], 0xAA) << decoders[d].name << ", " << what << ": a byte stored past the field";
    }
}

// The counts lie around each step of the vector kernels (8 and 16 pairs); the
// characters that are no digits lie beside the ranges of digits, or become digits
// when a kernel's tests drop a bit.
TEST(HexDecode, EveryPairDecoderAgreesWithThePortableOne)
{
    KernelSet decoders[4];
    std::size_t decoderCount = availableKernels(decoders, 4);
    ASSERT_GE(decoderCount, 1u);
    EXPECT_STREQ(decoders[0].name, "portable");
    // The ends of each range of digits; the characters beside them; '0' less its 0x20
    // bit; '0', 'A' and 'f' with the top bit set; a blank, NUL and the line ends.
    const CharacterCase characters[] = {
        {'0', true},     {'9', true},  {'A', true},     {'F', true},     {'a', true},
        {'f', true},     {'/', false}, {':', false},    {'@', false},    {'G', false},
        {'`', false},    {'g', false}, {'\x10', false}, {'\xB0', false}, {'\xC1', false},
        {'\xE6', false}, {' ', false}, {'\0', false},   {'\n', false},   {'\r', false},
    };
    const unsigned counts[] = {1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 255};
    const char digits[] = "0123456789abcdefABCDEF";
    for (unsigned count : counts) {
        // Exactly the field's characters, so that ASan catches a read beyond them.
        std::vector<unsigned char> field(2 * std::size_t{count});
        for (std::size_t i = 0; i < field.size(); ++i) {
            field[i] = static_cast<unsigned char>(digits[(i * 7 + count) % 22]);
        }
        std::string what = "count " + std::to_string(count);
        expectDecodersAgree(decoders, decoderCount, field, true, what);
        for (std::size_t position = 0; position < field.size(); ++position) {
            for (const CharacterCase& c : characters) {
                std::vector<unsigned char> changed = field;
                changed[position] = static_cast<unsigned char>(c.c);
                expectDecodersAgree(
                    decoders, decoderCount, changed, c.digit,
                    what + ", character " + std::to_string(c.c & 0xFF) + " at " + std::to_string(position));
            }
        }
    }
    unsigned char bytes[2];
    unsigned sum = 1;
    EXPECT_EQ(decodePairsPortable(reinterpret_cast<const unsigned char*>("1aF0"), 2, bytes, &sum), 0u);
    EXPECT_EQ(bytes[0], 0x1A);
    EXPECT_EQ(bytes[1], 0xF0);
    EXPECT_EQ(sum, 0x10Bu);
}

// A data record of `count` bytes at the load address, without its line end: byte k of
// its data is first + k * step, and the type field is `type`.
std::string dataRecord(unsigned count, unsigned address, unsigned first, unsigned step = 1, unsigned type = 0)
{
    std::vector<unsigned> fields = {count, address >> 8, address & 0xFF, type};
    for (unsigned k = 0; k < count; ++k) {
        fields.push_back((first + k * step) & 0xFF);
    }
    unsigned sum = 0;
    for (unsigned field : fields) {
        sum += field;
    }
    fields.push_back((0x100 - (sum & 0xFF)) & 0xFF);
    std::string text = ":";
    char pair[3];
    for (unsigned field : fields) {
        std::snprintf(pair, sizeof pair, "%02X", field);
        text += pair;
    }
    return text;
}

// The run's page: offset = load address - 0x100, and the page and the window end at
// offset 0x1000; the byte at offset 0x180 holds a byte stored before.
constexpr std::size_t RUN_PAGE = 0x1000;
constexpr std::uint64_t RUN_BIAS = ~std::uint64_t{0} - 0xFF;  // - 0x100 modulo 2^64

struct RunResult {
    std::size_t stored;
    std::size_t rest;  // characters of the text after where reading goes on
    std::uint64_t highestOffset;
    std::vector<unsigned char> bytes;
    std::vector<unsigned char> written;
};

RunResult storeRunWith(RunStore storeRun, const std::string& text, unsigned count)
{
    // Exactly the text's characters, so that ASan catches a read beyond the block.
    std::vector<unsigned char> block(text.begin(), text.end());
    RunResult result{0, 0, 0, std::vector<unsigned char>(RUN_PAGE, 0xFF),
                     std::vector<unsigned char>(RUN_PAGE / 8, 0)};
    result.bytes[0x180] = 0x00;
    RecordRun run{};
    run.line = block.data();
    run.end = block.data() + block.size();
    run.count = count;
    run.bytes = result.bytes.data();
    run.written = result.written.data();
    run.offsetBias = RUN_BIAS;
    run.lastOffset = RUN_PAGE - count;
    result.stored = storeRun(run);
    result.rest = static_cast<std::size_t>(run.end - run.line);
    result.highestOffset = result.stored > 0 ? run.highestOffset : 0;
    return result;
}

void expectRunsAgree(const KernelSet* kernels, std::size_t kernelCount, const std::string& text,
                     unsigned count, const std::string& what)
{
    RunResult expected = storeRunWith(kernels[0].storeRun, text, count);
    for (std::size_t k = 1; k < kernelCount; ++k) {
        RunResult got = storeRunWith(kernels[k].storeRun, text, count);
        EXPECT_EQ(got.stored, expected.stored) << kernels[k].name << ", " << what;
        EXPECT_EQ(got.rest, expected.rest) << kernels[k].name << ", " << what;
        EXPECT_EQ(got.highestOffset, expected.highestOffset) << kernels[k].name << ", " << what;
        EXPECT_TRUE(got.bytes == expected.bytes) << kernels[k].name << ", " << what << ": the page differs";
        EXPECT_TRUE(got.written == expected.written)
            << kernels[k].name << ", " << what << ": the bitmap differs";
    }
}

struct RunCase {
    const char* what;
    unsigned count;
    std::string text;
    std::size_t stored;
    std::size_t rest;
    std::size_t bits;  // bits set in the bitmap
};

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return std::tolower(c); });
    return text;
}

TEST(HexDecode, RunStopsAtTheFirstRecordItCannotTake)
{
    const std::string r100 = dataRecord(16, 0x100, 0);
    const std::string r110 = dataRecord(16, 0x110, 0x10);
    std::string badChecksum = r110;
    badChecksum[42] = badChecksum[42] == '0' ? '1' : '0';
    const std::string r120 = dataRecord(16, 0x120, 0x20);
    const RunCase cases[] = {
        {"records in a row, LF", 16, r100 + "\n" + r110 + "\n" + r120 + "\n", 3, 0, 48},
        {"two in a row, the second over the first", 16, r100 + "\n" + r100 + "\n" + r120 + "\n", 1, 88, 16},
        {"two in a row, the second apart", 16, r100 + "\n" + r120 + "\n" + r110 + "\n", 3, 0, 48},
        {"two in a row, the second's checksum failing", 16, r100 + "\n" + badChecksum + "\n" + r120 + "\n", 1,
         88, 16},
        {"CR LF", 16, r100 + "\r\n" + r110 + "\r\n", 2, 0, 32},
        {"out of order, apart", 16, dataRecord(16, 0x150, 0) + "\n" + r100 + "\n", 2, 0, 32},
        {"lower-case digits", 16, lowerCase(r100) + "\n" + r110 + "\n", 2, 0, 32},
        {"32 bytes", 32, dataRecord(32, 0x100, 0x80) + "\n" + dataRecord(32, 0x120, 0x7F, 3) + "\n", 2, 0,
         64},
        {"a count field in either case", 26,
         dataRecord(26, 0x100, 0) + "\n" + lowerCase(dataRecord(26, 0x11A, 0)) + "\n", 2, 0, 52},
        {"an unaligned record", 16, dataRecord(16, 0x103, 0) + "\n", 1, 0, 16},
        {"0xFF data written over", 16, dataRecord(16, 0x100, 0xFF, 0) + "\n" + r100 + "\n", 2, 0, 16},
        // Where it stops: the line is left whole for the record-by-record path.
        {"no line end in the block", 16, r100 + "\n" + r110, 1, 43, 16},
        {"a line end that is no line end", 16, r100 + "\n" + r110 + "\t\n", 1, 45, 16},
        {"a carriage return alone", 16, r100 + "\n" + r110 + "\r" + r120 + "\n", 1, 88, 16},
        {"a carriage return last in the block", 16, r100 + "\r\n" + r110 + "\r", 1, 44, 16},
        {"CR CR LF", 16, r100 + "\n" + r110 + "\r\r\n", 1, 46, 16},
        {"a failing checksum", 16, r100 + "\n" + badChecksum + "\n" + r110 + "\n", 1, 88, 16},
        {"a no-digit in the address", 16, r100 + "\n:1001G000" + r110.substr(9) + "\n", 1, 44, 16},
        {"another count", 16, r100 + "\n" + dataRecord(32, 0x110, 0) + "\n", 1, 76, 16},
        {"another type", 16, r100 + "\n" + dataRecord(16, 0x110, 0, 1, 2) + "\n", 1, 44, 16},
        {"a record below the page", 16, r100 + "\n" + dataRecord(16, 0xF8, 0) + "\n", 1, 44, 16},
        {"the last record that fits the page", 16,
         dataRecord(16, 0x10F0, 0) + "\n" + dataRecord(16, 0x10F1, 0) + "\n", 1, 44, 16},
        {"a byte stored before", 16, r100 + "\n" + dataRecord(16, 0x278, 0) + "\n", 1, 44, 16},
        {"a byte of the run's own", 16, r100 + "\n" + dataRecord(16, 0x108, 0) + "\n", 1, 44, 16},
        {"no colon", 16, r100 + "\n" + r110.substr(1) + ":\n", 1, 44, 16},
    };
    KernelSet kernels[4];
    std::size_t kernelCount = availableKernels(kernels, 4);
    ASSERT_GE(kernelCount, 1u);
    EXPECT_STREQ(kernels[0].name, "portable");
    for (const RunCase& c : cases) {
        RunResult run = storeRunWith(kernels[0].storeRun, c.text, c.count);
        EXPECT_EQ(run.stored, c.stored) << c.what;
        EXPECT_EQ(run.rest, c.rest) << c.what;
        std::size_t bits = 0;
        for (unsigned char byte : run.written) {
            bits += static_cast<std::size_t>(__builtin_popcount(byte));
        }
        EXPECT_EQ(bits, c.bits) << c.what;
        expectRunsAgree(kernels, kernelCount, c.text, c.count, c.what);
    }
    // What a record stores, and where its bits go: from offset 3 of the page on.
    RunResult unaligned = storeRunWith(kernels[0].storeRun, dataRecord(16, 0x103, 0xF0) + "\n", 16);
    EXPECT_EQ(unaligned.bytes[3], 0xF0);
    EXPECT_EQ(unaligned.bytes[18], 0xFF);
    EXPECT_EQ(unaligned.bytes[19], 0xFF);  // past the record
    EXPECT_EQ(unaligned.written[0], 0xF8);
    EXPECT_EQ(unaligned.written[1], 0xFF);
    EXPECT_EQ(unaligned.written[2], 0x07);
    EXPECT_EQ(unaligned.highestOffset, 3u);
}

// Every character of the second and third of four records replaced in turn, at
// every count around the vector kernels' steps: every run kernel stops where the
// portable one stops and stores what it stores. The second and third follow one
// another with line feeds, as the two records that the AVX2 kernels take together.
TEST(HexDecode, EveryRunKernelAgreesWithThePortableOne)
{
    KernelSet kernels[4];
    std::size_t kernelCount = availableKernels(kernels, 4);
    const char replacements[] = {'0', '9', 'A',    'F', 'a',  'f',  '/', ':',
                                 'G', 'g', '\xB0', ' ', '\0', '\n', '\r'};
    const unsigned counts[] = {1, 15, 16, 17, 32, 33, 255};
    for (unsigned count : counts) {
        std::string records[] = {
            dataRecord(count, 0x100, 0x31, 7) + "\r\n",
            dataRecord(count, 0x100 + count, 0xC5, 11) + "\n",
            dataRecord(count, 0x100 + 2 * count, 0x5A, 3) + "\n",
            dataRecord(count, 0x200 + 3 * count, 0, 1) + "\n",
        };
        std::string what = "count " + std::to_string(count);
        expectRunsAgree(kernels, kernelCount, records[0] + records[1] + records[2] + records[3], count, what);
        for (std::size_t changedRecord = 1; changedRecord <= 2; ++changedRecord) {
            const std::string& record = records[changedRecord];
            for (std::size_t position = 0; position < record.size(); ++position) {
                for (char c : replacements) {
                    std::string text;
                    for (std::size_t k = 0; k < 4; ++k) {
                        text += records[k];
                        if (k == changedRecord) {
                            text[text.size() - record.size() + position] = c;
                        }
                    }
                    expectRunsAgree(kernels, kernelCount, text, count,
                                    what + ", record " + std::to_string(changedRecord + 1) + ", character " +
                                        std::to_string(c & 0xFF) + " at " + std::to_string(position));
                }
            }
        }
    }
}

std::string outputPathFor(const char* input)
{
    char* path = composeOutputPath(std::malloc, input);
    std::string result = path;
    std::free(path);
    return result;
}

TEST(OutputPath, ExtensionReplacedDriveAndDirectoryKept)
{
    const char* cases[][2] = {
        {"prog.hex", "prog.bin"},
        {"prog", "prog.bin"},
        {"prog.ihx.txt", "prog.ihx.bin"},
        {"old.dir\\prog", "old.dir\\prog.bin"},  // a dot in the directory is no extension
        {"old.dir/prog", "old.dir/prog.bin"},
        {"a/b.hex", "a/b.bin"},  // no separator added after a slash
        {"C:prog.hex", "C:prog.bin"},
        {".:prog", ".:prog.bin"},  // a dot in the drive is no extension either
        {"C:\\work\\.hex", "C:\\work\\.bin"},
        {"prog.bin", "prog.bin"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(outputPathFor(c[0]), c[1]) << c[0];
    }
    std::string longName(5000, 'n');  // pieces are never cut, however long
    EXPECT_EQ(outputPathFor((std::string(300, 'd') + "/" + longName + ".hex").c_str()),
              std::string(300, 'd') + "/" + longName + ".bin");
}

TEST(OutputPath, SecondByteOfDoubleByteCharacterIsNoSeparator)
{
    std::string previous = std::setlocale(LC_CTYPE, nullptr);
    if (std::setlocale(LC_CTYPE, "zh_CN.GBK") == nullptr) {
        GTEST_SKIP() << "locale zh_CN.GBK is not available";
    }
    // 0x81 0x5C is one GBK character whose second byte has the value of a backslash.
    std::string inGbk = outputPathFor("x.\x81\\y");
    std::setlocale(LC_CTYPE, previous.c_str());
    EXPECT_EQ(inGbk, "x.bin");
    EXPECT_EQ(outputPathFor("x.\x81\\y"), "x.\x81\\y.bin");  // bytes on their own in the C locale
}

void* noMemory(std::size_t /*size*/)
{
    return nullptr;
}

// A 64 KiB image: a table of one chunk, its record, and one page with its bitmap.
void* memoryForTheImageOnly(std::size_t size)
{
    return size == IMAGE_SIZE + BITMAP_SIZE || size == sizeof(ImageChunk) || size == sizeof(ImageChunk*)
               ? std::malloc(size)
               : nullptr;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome runWith(MemoryAllocator allocate, const std::string& path)
{
    auto state = std::make_unique<ConversionState>();
    state->allocate = allocate;
    std::string program = "romcast";
    char* argv[] = {program.data(), const_cast<char*>(path.c_str()), nullptr};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Outcome run{runConverter(*state, 2, argv), "", ""};
    run.out = testing::internal::GetCapturedStdout();
    run.err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(state->image.chunks, nullptr);
    releaseResources(*state);  // a second release finds nothing to do
    return run;
}

TEST(Memory, NoImageEndsBeforeReading)
{
    Outcome run = runWith(noMemory, "prog.hex");
    EXPECT_EQ(run.status, RESULT_NO_MEMORY);
    EXPECT_EQ(run.err, "\nNot enough memory !\n");
    EXPECT_EQ(run.out.find("Reading"), std::string::npos);
}

TEST(Memory, NoOutputPathFailsTheWrite)
{
    std::string input = testing::TempDir() + "romcast_memory.hex";
    std::FILE* file = std::fopen(input.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_GT(std::fputs(":0100000012ED\n:00000001FF\n", file), 0);
    ASSERT_EQ(std::fclose(file), 0);

    Outcome run = runWith(memoryForTheImageOnly, input);
    std::string output = testing::TempDir() + "romcast_memory.bin";
    EXPECT_EQ(run.status, RESULT_WRITE_FAILED);
    EXPECT_NE(run.out.find("Reading " + input + "\n\nNot enough memory !\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "\nCan't write binary data file\n");
    EXPECT_EQ(std::fopen(output.c_str(), "rb"), nullptr);
    std::remove(input.c_str());
}

struct NumberCase {
    const char* text;
    bool allowSuffix;
    NumberResult result;
    std::uint64_t value;
};

TEST(Options, NumbersAreDecimalOrHexWithAnOptionalSuffix)
{
    const NumberCase cases[] = {
        {"0", false, NUMBER_OK, 0},
        {"0x08000000", false, NUMBER_OK, 0x08000000},
        {"0XfFfF", false, NUMBER_OK, 0xFFFF},
        {"4294967295", false, NUMBER_OK, 0xFFFFFFFF},
        {"0xFFFFFFFF", false, NUMBER_OK, 0xFFFFFFFF},
        {"0x000010", false, NUMBER_OK, 0x10},    // zeros after the prefix are digits
        {"010", false, NUMBER_LEADING_ZERO, 0},  // neither octal nor silently decimal
        {"08000000", false, NUMBER_LEADING_ZERO, 0},
        {"00", false, NUMBER_LEADING_ZERO, 0},
        {"4294967296", false, NUMBER_INVALID, 0},  // one past 32 bits
        {"99999999999999999999999", false, NUMBER_INVALID, 0},
        {"8K", true, NUMBER_OK, 8192},
        {"64k", true, NUMBER_OK, 65536},
        {"0x10K", true, NUMBER_OK, 16384},
        {"16M", true, NUMBER_OK, 16 << 20},
        {"1g", true, NUMBER_OK, 1 << 30},
        {"8K", false, NUMBER_INVALID, 0},  // no suffix for an address
        {"8KB", true, NUMBER_INVALID, 0},
        {"K", true, NUMBER_INVALID, 0},
        {"", false, NUMBER_INVALID, 0},
        {"0x", false, NUMBER_INVALID, 0},
        {"-1", false, NUMBER_INVALID, 0},
        {"+1", false, NUMBER_INVALID, 0},
        {" 1", false, NUMBER_INVALID, 0},
        {"1 ", false, NUMBER_INVALID, 0},
        {"0x1G", false, NUMBER_INVALID, 0},
    };
    for (const NumberCase& c : cases) {
        std::uint64_t value = 0;
        EXPECT_EQ(parseNumber(c.text, 0xFFFFFFFF, c.allowSuffix, &value), c.result) << c.text;
        if (c.result == NUMBER_OK) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    std::uint64_t value = 0;
    const std::uint64_t fourGiB = std::uint64_t{1} << 32;
    EXPECT_EQ(parseNumber("4G", fourGiB, true, &value), NUMBER_OK);  // the maximum holds after the suffix
    EXPECT_EQ(value, fourGiB);
    EXPECT_EQ(parseNumber("4097M", fourGiB, true, &value), NUMBER_INVALID);
    EXPECT_EQ(parseNumber("0x100000000", fourGiB, true, &value), NUMBER_OK);
    // A 64-bit field's value: the maximum is reached without overflowing, and one past it is refused.
    const std::uint64_t all = ~std::uint64_t{0};
    EXPECT_EQ(parseNumber("18446744073709551615", all, false, &value), NUMBER_OK);
    EXPECT_EQ(value, all);
    EXPECT_EQ(parseNumber("18446744073709551616", all, false, &value), NUMBER_INVALID);
    EXPECT_EQ(parseNumber("0x10000000000000000", all, false, &value), NUMBER_INVALID);
    EXPECT_EQ(parseNumber("36893488147419103231", all, false, &value),
              NUMBER_INVALID);  // wraps to below 2^64
}

// A command line that outlives the Options pointing into it.
struct CommandLine {
    std::vector<std::string> words;
    std::vector<char*> argv;
};

int parse(CommandLine& line, Options* options)
{
    for (std::string& word : line.words) {
        line.argv.push_back(word.data());
    }
    line.argv.push_back(nullptr);
    return parseOptions(static_cast<int>(line.words.size()), line.argv.data(), options);
}

TEST(Options, TheWalkTakesTheOperandsAndTheLastValue)
{
    CommandLine first{{"romcast", "a.hex", "--offset=1", "b.hex", "--offset", "0x20", "-q"}, {}};
    Options options;
    EXPECT_EQ(parse(first, &options), RESULT_OK);
    ASSERT_EQ(options.inputCount, 1);  // without -o, further operands are ignored
    EXPECT_STREQ(options.inputs[0].path, "a.hex");
    EXPECT_EQ(options.offset, 0x20u);
    EXPECT_TRUE(options.quiet);
    EXPECT_FALSE(options.fixedSize);
    EXPECT_EQ(options.size, IMAGE_SIZE);
    releaseOptions(&options);

    CommandLine second{
        {"romcast", "--size=8K", "--crop", "--strict", "-o", "x.bin", "x.hex", "-", "--", "-y"}, {}};
    Options again;
    EXPECT_EQ(parse(second, &again), RESULT_OK);  // a second walk in the same process starts afresh
    ASSERT_EQ(again.inputCount, 3);  // with -o every operand is an input, "-" and those after "--" too
    EXPECT_STREQ(again.inputs[1].path, "-");
    EXPECT_STREQ(again.inputs[2].path, "-y");
    EXPECT_TRUE(again.fixedSize && again.crop && again.strict);
    EXPECT_EQ(again.size, 8192u);
    releaseOptions(&again);
    releaseOptions(&again);  // a second release finds nothing to do

    // A fill's width is its digit pairs as typed, stored as a number: little-endian
    // unless -be. A field's size follows its type.
    CommandLine production{
        {"romcast", "--fill=0x003FFF", "--fill=0x4E71-be@0x10-0x1F", "--set=8:u16=end", "--set=0x20:strz=v1",
         "--set=0x30:bytes=0xC0FFEE", "--exclude=0x40-0x4F", "x.hex"},
        {}};
    Options image;
    ASSERT_EQ(parse(production, &image), RESULT_OK);
    ASSERT_EQ(image.fillCount, 2);
    EXPECT_EQ(image.fills[0].width, 3u);
    EXPECT_EQ(std::memcmp(image.fills[0].pattern, "\xFF\x3F\x00", 3), 0);
    EXPECT_FALSE(image.fills[0].rangeGiven);
    EXPECT_EQ(std::memcmp(image.fills[1].pattern, "\x4E\x71", 2), 0);
    EXPECT_EQ(image.fills[1].first, 0x10u);
    EXPECT_EQ(image.fills[1].last, 0x1Fu);
    ASSERT_EQ(image.fieldCount, 3);
    EXPECT_EQ(image.fields[0].value, VALUE_END);
    EXPECT_EQ(image.fields[0].size, 2u);
    EXPECT_EQ(image.fields[1].size, 3u);  // the text and its NUL
    EXPECT_EQ(image.fields[2].size, 3u);  // three digit pairs
    ASSERT_EQ(image.excludeCount, 1);
    EXPECT_EQ(image.excludes[0].last, 0x4Fu);
    releaseOptions(&image);
}

TEST(Runs, WindowUseCountsOnlyTheWindowAndKeepsTheFirstOfTheLargestFreeRuns)
{
    WindowUse use;
    startWindowUse(use, 0x1000, 0x100);  // 0x1000 to 0x10FF
    addWrittenRun(use, 0x0F00, 0x1010);  // from below the window: its 16 bytes in it count
    addWrittenRun(use, 0x1030, 0x1040);  // a free run of 0x20 before it
    addWrittenRun(use, 0x10E0, 0x1200);  // one of 0xA0 before it, and past the window
    addWrittenRun(use, 0x2000, 0x2001);  // after the window: nothing
    EXPECT_EQ(use.written, 0x10u + 0x10 + 0x20);
    EXPECT_EQ(use.largestFree, 0xA0u);
    EXPECT_EQ(use.largestFreeAt, 0x1040u);

    startWindowUse(use, 0, 0x40);  // two free runs of the same length: the first is named
    addWrittenRun(use, 0x10, 0x30);
    testing::internal::CaptureStdout();
    printWindowUse(use);
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
        "Use of 0x00000000-0x0000003F: 32 bytes written, 32 free (50.0% written), largest free run 16 at "
        "0x00000000\n");

    startWindowUse(use, 0, 3000);  // rounded down: 99.96% is not full
    addWrittenRun(use, 0, 2999);
    testing::internal::CaptureStdout();
    printWindowUse(use);
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
        "Use of 0x00000000-0x00000BB7: 2999 bytes written, 1 free (99.9% written), largest free run 1 at "
        "0x00000BB7\n");
}

TEST(Runs, RecordsMergeIntoRunsInAddressOrder)
{
    RunList list;
    const AddressRun records[] = {
        {0x100, 0x10F},
        {0x110, 0x11F},            // in order: the second extends the first
        {0x0, 0xF},                // before them
        {0x4, 0x7},                // inside that one: written twice
        {0x118, 0x127},            // overlapping the end: 0x118 to 0x11F written twice
        {0x128, 0x128},            // touching it
        {0xFFFFFFF0, 0xFFFFFFFF},  // up to the last address
        {0x20, 0x2F},              // apart
    };
    for (const AddressRun& record : records) {
        ASSERT_EQ(addRun(list, record.first, record.last - record.first + 1, std::malloc), RESULT_OK);
    }
    RunList overlaps;
    ASSERT_EQ(sortRuns(list, &overlaps, std::malloc), RESULT_OK);
    ASSERT_EQ(list.count, 4u);
    const AddressRun expected[] = {{0x0, 0xF}, {0x20, 0x2F}, {0x100, 0x128}, {0xFFFFFFF0, 0xFFFFFFFF}};
    for (std::size_t i = 0; i < list.count; ++i) {
        EXPECT_EQ(list.runs[i].first, expected[i].first) << i;
        EXPECT_EQ(list.runs[i].last, expected[i].last) << i;
    }
    ASSERT_EQ(overlaps.count, 2u);
    EXPECT_EQ(overlaps.runs[0].first, 0x4u);
    EXPECT_EQ(overlaps.runs[0].last, 0x7u);
    EXPECT_EQ(overlaps.runs[1].first, 0x118u);
    EXPECT_EQ(overlaps.runs[1].last, 0x11Fu);
    releaseRuns(overlaps);
    releaseRuns(list);
    EXPECT_EQ(addRun(list, 0x200, 1, noMemory), RESULT_NO_MEMORY);  // an empty list must allocate
    EXPECT_EQ(list.count, 0u);
}

const char* const CHECKSUM_ALGORITHMS[] = {"crc32",        "crc32c",      "crc32-mpeg2",
                                           "stm32",        "crc16-ccitt", "crc16-xmodem",
                                           "crc16-modbus", "sum8",        "sum16"};

// The algorithm's value over bytes fed in chunks of `chunk` bytes.
std::uint32_t checksumInChunks(const ChecksumAlgorithm* algorithm, const unsigned char* bytes,
                               std::size_t count, std::size_t chunk)
{
    ChecksumRun run;
    startChecksum(&run, algorithm);
    for (std::size_t k = 0; k < count; k += chunk) {
        feedChecksum(&run, bytes + k, std::min(chunk, count - k));
    }
    return finishChecksum(&run);
}

struct ChecksumCase {
    const char* name;
    std::string bytes;
    std::uint32_t value;
};

TEST(Checksum, KnownValues)
{
    const ChecksumCase cases[] = {
        // Each CRC's check value: its result over the nine characters "123456789".
        {"crc32", "123456789", 0xCBF43926},
        {"crc32c", "123456789", 0xE3069283},
        {"crc32-mpeg2", "123456789", 0x0376E6E7},
        {"crc16-ccitt", "123456789", 0x29B1},
        {"crc16-xmodem", "123456789", 0x31C3},
        {"crc16-modbus", "123456789", 0x4B37},
        {"sum8", "123456789", 0x23},     // '1' to '9' add up to 0x1DD, and 0x1DD + 0x23 = 0x200
        {"sum16", "123456789", 0x01DD},  // the same sum
        // stm32, with the values that srec_cat -STM32 gives for the same bytes.
        {"stm32", "\x78\x56\x34\x12", 0xDF8A8A2B},  // the word 0x12345678 written once to the data register
        {"stm32", "12345678", 0xFEFC54F9},
        {"stm32", "123456789", 0xFEFC54F9},  // a last word that is incomplete is left out
        // Empty ranges and sums that wrap.
        {"crc32", "", 0},  // the initial value, then the final XOR
        {"crc32-mpeg2", "", 0xFFFFFFFF},
        {"crc16-ccitt", "", 0xFFFF},
        {"sum8", "", 0},          // 0x100 - 0 is no byte
        {"sum8", "\x80\x80", 0},  // nor when the sum is 0x100
        {"sum8", "\xFF", 0x01},
        {"sum16", std::string(258, '\xFF'), 0x00FE},  // 258 * 0xFF = 0x100FE
    };
    for (const ChecksumCase& c : cases) {
        bool bigEndian = true;
        const ChecksumAlgorithm* algorithm = findChecksum(c.name, &bigEndian);
        ASSERT_NE(algorithm, nullptr) << c.name;
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.bytes.data());
        EXPECT_EQ(checksumInChunks(algorithm, bytes, c.bytes.size(), c.bytes.size() + 1), c.value)
            << c.name << " over " << c.bytes.size() << " bytes";
    }
}

TEST(Checksum, AnySplitOfTheRangeGivesTheSameValue)
{
    std::vector<unsigned char> data(1000);  // whole words, for stm32
    std::uint32_t seed = 1;
    for (unsigned char& byte : data) {
        seed = seed * 1103515245 + 12345;
        byte = static_cast<unsigned char>(seed >> 16);
    }
    for (const char* name : CHECKSUM_ALGORITHMS) {
        bool bigEndian = false;
        const ChecksumAlgorithm* algorithm = findChecksum(name, &bigEndian);
        ASSERT_NE(algorithm, nullptr) << name;
        std::uint32_t whole = checksumInChunks(algorithm, data.data(), data.size(), data.size());
        // Single bytes take the byte step only; 3 and 7 split words at every offset.
        for (std::size_t chunk : {1, 3, 7}) {
            EXPECT_EQ(checksumInChunks(algorithm, data.data(), data.size(), chunk), whole)
                << name << " in chunks of " << chunk;
        }
    }
}

// Pattern bytes for the runs: a width of 1 gives free bytes.
const unsigned char REPEATED[8] = {0xFF, 0x31, 0xA5, 0x00, 0x7E, 0xC3, 0x5A, 0x96};
// Fed before and after the runs, leaving stm32 a word to complete.
const unsigned char AROUND[3] = {0x12, 0x34, 0x56};

struct RepeatCase {
    unsigned width;       // the first `width` bytes of REPEATED
    unsigned phase;       // the pattern byte the run starts with
    std::uint64_t count;  // bytes in the run
    unsigned before;      // bytes of AROUND fed first: those stm32 has pending
};

TEST(Checksum, RepeatedPatternGivesTheValueOfItsBytes)
{
    const RepeatCase cases[] = {
        {1, 0, 0, 2},  // an empty run
        {1, 0, 1, 1},
        {2, 1, 3, 2},
        {3, 2, 4, 3},
        {4, 3, 5, 1},
        {5, 4, 63, 0},
        {7, 5, 200, 3},       // materialised in more than one chunk
        {1, 0, 4096 + 3, 1},  // folded; stm32 completes the pending word first
        {6, 5, 4096 + 3, 2},
        {7, 3, 100003, 3},  // stm32's longest block, 28 bytes
        {8, 6, 100003, 0},
        {3, 1, 4096, 0},            // whole blocks, none fed after them
        {5, 7, (3u << 20) + 5, 2},  // a phase past the width; 17 to 19 doublings
    };
    for (const RepeatCase& c : cases) {
        std::vector<unsigned char> bytes(AROUND, AROUND + c.before);
        for (std::uint64_t k = 0; k < c.count; ++k) {
            bytes.push_back(REPEATED[(c.phase + k) % c.width]);
        }
        bytes.insert(bytes.end(), AROUND, AROUND + 3);
        for (const char* name : CHECKSUM_ALGORITHMS) {
            bool bigEndian = false;
            const ChecksumAlgorithm* algorithm = findChecksum(name, &bigEndian);
            ChecksumRun run;
            startChecksum(&run, algorithm);
            feedChecksum(&run, AROUND, c.before);
            feedRepeated(&run, REPEATED, c.width, c.phase, c.count);
            feedChecksum(&run, AROUND, 3);
            EXPECT_EQ(finishChecksum(&run),
                      checksumInChunks(algorithm, bytes.data(), bytes.size(), bytes.size()))
                << name << ": " << c.count << " bytes of width " << c.width << " after " << c.before;
            EXPECT_EQ(run.byteCount, bytes.size());
        }
    }
}

TEST(Checksum, RepeatedPatternOverGigabytes)
{
    const std::uint64_t count = (std::uint64_t{1} << 31) + 5;
    // Free bytes: crc32 from another implementation; 255 * 5 is 0x4FB, and the 2^31
    // bytes before it add nothing to the low 16 bits of a sum.
    const ChecksumCase free[] = {{"crc32", "", 0xC641F1CF}, {"sum8", "", 0x05}, {"sum16", "", 0x04FB}};
    for (const ChecksumCase& c : free) {
        bool bigEndian = false;
        ChecksumRun run;
        startChecksum(&run, findChecksum(c.name, &bigEndian));
        feedRepeated(&run, REPEATED, 1, 0, count);
        EXPECT_EQ(finishChecksum(&run), c.value) << c.name;
    }
    // As two runs whose block counts set other bits, the first ending inside a word.
    const std::uint64_t first = (std::uint64_t{1} << 30) + 12345;
    for (const char* name : CHECKSUM_ALGORITHMS) {
        bool bigEndian = false;
        ChecksumRun whole;
        startChecksum(&whole, findChecksum(name, &bigEndian));
        ChecksumRun split = whole;
        feedRepeated(&whole, REPEATED, 7, 2, count);
        feedRepeated(&split, REPEATED, 7, 2, first);
        feedRepeated(&split, REPEATED, 7, (2 + first) % 7, count - first);
        EXPECT_EQ(finishChecksum(&split), finishChecksum(&whole)) << name;
    }
}

struct NameCase {
    const char* typed;
    const char* canonical;  // null for an unknown name
    bool bigEndian;
    unsigned width;
};

TEST(Checksum, NamesAreLowerCaseWithAnOptionalBigEndianSuffix)
{
    const NameCase cases[] = {
        {"crc32", "crc32", false, 4},
        {"crc32-be", "crc32", true, 4},
        {"crc32c-be", "crc32c", true, 4},  // a name that another name begins with
        {"crc16-modbus-be", "crc16-modbus", true, 2},
        {"stm32-be", "stm32", true, 4},
        {"sum8-be", "sum8", true, 1},  // accepted, though one byte has no order
        {"sum16", "sum16", false, 2},
        {"CRC32", nullptr, false, 0},  // lower case only
        {"crc32-BE", nullptr, false, 0},
        {"crc32-be-be", nullptr, false, 0},  // one suffix at most
        {"crc32-le", nullptr, false, 0},     // little-endian is the default, without a suffix
        {"crc", nullptr, false, 0},          // no abbreviations
        {"crc32 ", nullptr, false, 0},
        {"-be", nullptr, false, 0},
        {"", nullptr, false, 0},
    };
    for (const NameCase& c : cases) {
        bool bigEndian = !c.bigEndian;
        const ChecksumAlgorithm* algorithm = findChecksum(c.typed, &bigEndian);
        EXPECT_EQ(bigEndian, c.bigEndian) << c.typed;
        if (c.canonical == nullptr) {
            EXPECT_EQ(algorithm, nullptr) << c.typed;
            continue;
        }
        ASSERT_NE(algorithm, nullptr) << c.typed;
        EXPECT_STREQ(checksumName(algorithm), c.canonical);
        EXPECT_EQ(checksumWidth(algorithm), c.width) << c.typed;
    }
}

struct StoreCase {
    std::uint32_t value;
    unsigned width;
    bool bigEndian;
    unsigned char bytes[5];  // the stored value, then a byte that must stay 0xAA
};

TEST(Checksum, StoredInEitherByteOrderWithinItsWidth)
{
    const StoreCase cases[] = {
        {0xCBF43926, 4, false, {0x26, 0x39, 0xF4, 0xCB, 0xAA}},  // as srec_cat -crc32-little-endian writes it
        {0xCBF43926, 4, true, {0xCB, 0xF4, 0x39, 0x26, 0xAA}},
        {0x000029B1, 2, false, {0xB1, 0x29, 0xAA}},
        {0x000029B1, 2, true, {0x29, 0xB1, 0xAA}},
        {0x00000023, 1, true, {0x23, 0xAA}},
    };
    for (const StoreCase& c : cases) {
        unsigned char out[5];
        std::memset(out, 0xAA, sizeof out);
        storeChecksum(c.value, c.width, c.bigEndian, out);
        EXPECT_EQ(std::memcmp(out, c.bytes, c.width + 1), 0)
            << std::hex << c.value << (c.bigEndian ? " -be" : "");
    }
}

struct TestHeader {
    std::uint32_t type;
    std::uint64_t offset, virtualAddress, physicalAddress, fileSize;
};

void put(std::vector<unsigned char>& bytes, std::size_t at, unsigned width, std::uint64_t value,
         bool bigEndian)
{
    for (unsigned k = 0; k < width; ++k) {
        bytes[bigEndian ? at + width - 1 - k : at + k] = static_cast<unsigned char>(value >> (8 * k));
    }
}

// An ELF file of size bytes: the ELF header, program headers from byte 52 or 64 every
// `stride` bytes (0: the class's own size), and 0xA5 bytes after them.
std::vector<unsigned char> elfImage(bool elf64, bool bigEndian, const std::vector<TestHeader>& headers,
                                    std::size_t size, unsigned stride = 0)
{
    std::vector<unsigned char> bytes(size, 0xA5);
    unsigned word = elf64 ? 8 : 4;
    unsigned headerSize = elf64 ? 64 : 52;
    stride = stride != 0 ? stride : elf64 ? 56 : 32;
    std::fill_n(bytes.begin(), headerSize + headers.size() * stride, 0);
    const unsigned char magic[] = {0x7F, 'E', 'L', 'F'};
    std::copy(std::begin(magic), std::end(magic), bytes.begin());
    bytes[4] = elf64 ? 2 : 1;                                  // EI_CLASS
    bytes[5] = bigEndian ? 2 : 1;                              // EI_DATA
    bytes[6] = 1;                                              // EI_VERSION
    put(bytes, 16, 2, 2, bigEndian);                           // e_type ET_EXEC
    put(bytes, 20, 4, 1, bigEndian);                           // e_version
    put(bytes, 24, word, 0x08000101, bigEndian);               // e_entry
    put(bytes, 24 + word, word, headerSize, bigEndian);        // e_phoff
    put(bytes, headerSize - 12, 2, headerSize, bigEndian);     // e_ehsize
    put(bytes, headerSize - 10, 2, stride, bigEndian);         // e_phentsize
    put(bytes, headerSize - 8, 2, headers.size(), bigEndian);  // e_phnum
    for (std::size_t i = 0; i < headers.size(); ++i) {
        const TestHeader& h = headers[i];
        std::size_t at = headerSize + i * stride;
        put(bytes, at, 4, h.type, bigEndian);
        // ELF64 moves p_flags to byte 4; then p_offset, p_vaddr, p_paddr, p_filesz, p_memsz.
        const std::uint64_t fields[] = {h.offset, h.virtualAddress, h.physicalAddress, h.fileSize,
                                        h.fileSize};
        for (std::size_t f = 0; f < 5; ++f) {
            put(bytes, at + word + f * word, word, fields[f], bigEndian);
        }
    }
    return bytes;
}

// Two segments at flash addresses, one of them run in RAM; a PT_LOAD without file
// bytes (.bss); a note, which is no data. 592 bytes: the second segment ends the file.
constexpr std::uint32_t PT_LOAD = 1;
constexpr std::uint32_t PT_NOTE = 4;
const std::vector<TestHeader> FIRMWARE = {{PT_LOAD, 0x200, 0x08000000, 0x08000000, 0x40},
                                          {PT_LOAD, 0x240, 0x20000000, 0x08000040, 0x10},
                                          {PT_LOAD, 0x250, 0x20000010, 0x08000050, 0},
                                          {PT_NOTE, 0x200, 0, 0, 0x10}};

// A file served from memory, as pread serves a descriptor.
struct MemoryFile {
    std::vector<unsigned char> bytes;
    unsigned readsLeft = ~0u;  // reads that succeed before the next one fails
    bool askedPastEnd = false;
};

int readMemory(void* source, std::uint64_t offset, void* buffer, std::size_t size)
{
    auto* file = static_cast<MemoryFile*>(source);
    file->askedPastEnd =
        file->askedPastEnd || offset > file->bytes.size() || size > file->bytes.size() - offset;
    if (file->askedPastEnd || file->readsLeft-- == 0) {
        return RESULT_READ_FAILED;
    }
    std::memcpy(buffer, file->bytes.data() + offset, size);
    return RESULT_OK;
}

int readDescriptor(void* source, std::uint64_t offset, void* buffer, std::size_t size)
{
    ssize_t done = pread(*static_cast<int*>(source), buffer, size, static_cast<off_t>(offset));
    return done == static_cast<ssize_t>(size) ? RESULT_OK : RESULT_READ_FAILED;
}

struct Listing {
    int rc;  // openElfFile's result, or the first failing nextElfSegment's
    ElfFile elf;
    ElfFault fault;
    std::string text;                     // the fault's message
    std::vector<std::uint64_t> segments;  // index, address, offset and size of each
};

Listing listSegments(std::uint64_t fileSize, ElfReadAt readAt, void* source)
{
    Listing list{};
    list.rc = openElfFile(&list.elf, fileSize, readAt, source, &list.fault);
    unsigned index = 0;
    ElfSegment segment;
    while (list.rc == RESULT_OK &&
           (list.rc = nextElfSegment(list.elf, readAt, source, &index, &segment, &list.fault)) == RESULT_OK) {
        list.segments.insert(list.segments.end(),
                             {segment.index, segment.address, segment.offset, segment.size});
    }
    list.rc = list.rc == ELF_NO_MORE_SEGMENTS ? RESULT_OK : list.rc;
    char text[ELF_FAULT_TEXT];
    formatElfFault(list.fault, text, sizeof text);
    list.text = list.rc == RESULT_OK ? "" : text;
    return list;
}

Listing listSegments(MemoryFile& file)
{
    Listing list = listSegments(file.bytes.size(), readMemory, &file);
    EXPECT_FALSE(file.askedPastEnd);
    return list;
}

const std::vector<std::uint64_t> FIRMWARE_SEGMENTS = {0, 0x08000000, 0x200, 0x40, 1, 0x08000040, 0x240, 0x10};

TEST(Elf, SegmentsOfEveryClassAndByteOrder)
{
    for (int kind = 0; kind < 4; ++kind) {
        bool elf64 = (kind & 1) != 0;
        bool bigEndian = (kind & 2) != 0;
        // Big-endian tables with entries 64 bytes apart: e_phentsize is the stride.
        MemoryFile file{elfImage(elf64, bigEndian, FIRMWARE, 0x250, bigEndian ? 64 : 0)};
        Listing list = listSegments(file);
        EXPECT_EQ(list.text, "") << kind;
        EXPECT_EQ(list.segments, FIRMWARE_SEGMENTS) << kind;
        EXPECT_EQ(list.elf.segmentCount, 2u) << kind;
        EXPECT_TRUE(list.elf.elf64 == elf64 && list.elf.bigEndian == bigEndian) << kind;
        std::uint32_t start = 0;
        EXPECT_EQ(elfStartAddress(list.elf, &start, &list.fault), RESULT_OK);
        EXPECT_EQ(start, 0x08000101u) << kind;
    }
}

struct AddressCase {
    std::vector<TestHeader> headers;  // file bytes at 0x100 on
    std::vector<std::uint64_t> addresses;
};

TEST(Elf, VirtualAddressesLoadOnlyWhereNoPtLoadHasAPhysicalOne)
{
    const AddressCase cases[] = {
        // Every p_paddr 0, as older linkers wrote them: the virtual addresses load.
        {{{PT_LOAD, 0x100, 0x8000, 0, 16}, {PT_LOAD, 0x110, 0x9000, 0, 16}}, {0x8000, 0x9000}},
        // One p_paddr that is not 0 makes every p_paddr a load address, 0 included.
        {{{PT_LOAD, 0x100, 0x8000, 0x100, 16}, {PT_LOAD, 0x110, 0x9000, 0, 16}}, {0x100, 0}},
        // A PT_LOAD without file bytes counts among them; another type does not.
        {{{PT_LOAD, 0x100, 0x8000, 0, 16}, {PT_LOAD, 0x110, 0x9000, 0x200, 0}}, {0}},
        {{{PT_LOAD, 0x100, 0x8000, 0, 16}, {PT_NOTE, 0x110, 0x9000, 0x200, 16}}, {0x8000}},
    };
    for (const AddressCase& c : cases) {
        MemoryFile file{elfImage(true, false, c.headers, 0x120)};
        Listing list = listSegments(file);
        ASSERT_EQ(list.text, "");
        ASSERT_EQ(list.segments.size(), 4 * c.addresses.size());
        for (std::size_t i = 0; i < c.addresses.size(); ++i) {
            EXPECT_EQ(list.segments[4 * i + 1], c.addresses[i]) << c.addresses[0] << ", segment " << i;
        }
    }
}

struct Poke {  // a field of the test file overwritten, little-endian
    std::size_t at;
    unsigned width;
    std::uint64_t value;
};

struct MalformedCase {
    bool elf64;
    std::size_t size;  // the file cut to this many bytes; 0 for all 592
    Poke pokes[4];
    ElfFaultKind kind;    // ELF_FAULT_NONE: accepted, at the limit
    const char* message;  // or null: the kind alone is checked
};

TEST(Elf, MalformedFilesAreRefusedWithTheirFault)
{
    const MalformedCase cases[] = {
        {false, 4, {}, ELF_FAULT_HEADER_CUT, "The ELF identification takes 16 bytes, the file has 4 !"},
        {false, 15, {}, ELF_FAULT_HEADER_CUT, nullptr},
        {false, 51, {}, ELF_FAULT_HEADER_CUT, "The ELF header takes 52 bytes, the file has 51 !"},
        {true, 63, {}, ELF_FAULT_HEADER_CUT, nullptr},
        {false, 0, {{4, 1, 0}}, ELF_FAULT_CLASS, "EI_CLASS 0 is neither 1 (32-bit) nor 2 (64-bit) !"},
        {false, 20, {{4, 1, 3}}, ELF_FAULT_CLASS, nullptr},  // before the header's size is known
        {true, 0, {{5, 1, 3}}, ELF_FAULT_DATA, nullptr},
        {true, 0, {{6, 1, 2}}, ELF_FAULT_VERSION, nullptr},
        {false, 0, {{20, 4, 0}}, ELF_FAULT_NONE, nullptr},                 // e_version: not read
        {false, 0, {{42, 2, 31}}, ELF_FAULT_ENTRY_SIZE, nullptr},          // e_phentsize
        {true, 0, {{54, 2, 32}}, ELF_FAULT_ENTRY_SIZE, nullptr},           // e_phentsize of an ELF32 file
        {false, 0, {{44, 2, 0xFFFF}}, ELF_FAULT_EXTENDED_COUNT, nullptr},  // e_phnum PN_XNUM
        {false, 179, {}, ELF_FAULT_TABLE_PAST_END, nullptr},               // its last byte cut off
        {false, 0, {{44, 2, 18}}, ELF_FAULT_TABLE_PAST_END, nullptr},      // e_phnum
        {true, 0, {{54, 2, 0xFFFF}}, ELF_FAULT_TABLE_PAST_END, nullptr},   // e_phentsize
        {true,
         0,
         {{32, 8, 0xFFFFFFFFFFFFFF80}},
         ELF_FAULT_TABLE_PAST_END,  // e_phoff, its end past 2^64
         "Program header table lies past the end of the file: bytes 0xFFFFFFFFFFFFFF80-0x1000000000000005F "
         "of a file of 592 bytes !"},
        {false,
         591,
         {},
         ELF_FAULT_SEGMENT_PAST_END,  // header 1's last byte cut off
         "Program header 1 (PT_LOAD) lies past the end of the file: bytes 0x240-0x24F of a file of 591 bytes "
         "!"},
        {true, 0, {{128, 8, 0x251}}, ELF_FAULT_SEGMENT_PAST_END, nullptr},  // header 1's p_offset
        {true, 0, {{96, 8, ~0ull}}, ELF_FAULT_SEGMENT_PAST_END, nullptr},   // header 0's p_filesz: wraps
        {false, 0, {{64, 4, 0xFFFFFFC0}}, ELF_FAULT_NONE, nullptr},  // header 0's p_paddr: to 0xFFFFFFFF
        {false, 0, {{64, 4, 0xFFFFFFC1}}, ELF_FAULT_ADDRESS_PAST_4G, nullptr},
        {true, 0, {{144, 8, 0x100000000}}, ELF_FAULT_ADDRESS_PAST_4G, nullptr},  // header 1's p_paddr
        {true, 0, {{88, 8, ~0ull - 15}}, ELF_FAULT_ADDRESS_PAST_4G, nullptr},    // its last byte past 2^64
        // Every p_paddr 0: the virtual address is the one checked, and named.
        {false,
         0,
         {{64, 4, 0}, {96, 4, 0}, {128, 4, 0}, {92, 4, 0xFFFFFFF8}},
         ELF_FAULT_ADDRESS_PAST_4G,
         "Program header 1 (PT_LOAD) loads past 0xFFFFFFFF: addresses 0xFFFFFFF8-0x100000007 (p_vaddr) !"},
        {false, 0, {{52, 4, 0}, {84, 4, 6}}, ELF_FAULT_NO_LOADABLE_DATA, nullptr},  // headers 0, 1 no PT_LOAD
        {true, 0, {{96, 8, 0}, {152, 8, 0}}, ELF_FAULT_NO_LOADABLE_DATA, nullptr},  // nor with file bytes
        // An object file: no program headers, and e_phentsize 0 is no fault then.
        {true,
         0,
         {{56, 2, 0}, {54, 2, 0}},
         ELF_FAULT_NO_LOADABLE_DATA,
         "No loadable data: the file has no program headers !"},
    };
    for (const MalformedCase& c : cases) {
        MemoryFile file{elfImage(c.elf64, false, FIRMWARE, 0x250)};
        for (const Poke& poke : c.pokes) {
            put(file.bytes, poke.at, poke.width, poke.value, false);
        }
        file.bytes.resize(c.size != 0 ? c.size : file.bytes.size());
        Listing list = listSegments(file);
        std::string what = std::to_string(&c - cases);
        EXPECT_EQ(list.rc, c.kind == ELF_FAULT_NONE ? RESULT_OK : RESULT_READ_FAILED) << what;
        EXPECT_EQ(list.fault.kind, c.kind) << what << ": " << list.text;
        EXPECT_EQ(list.segments.empty(), c.kind != ELF_FAULT_NONE) << what;
        if (c.message != nullptr) {
            EXPECT_EQ(list.text, c.message);
        }
    }
}

TEST(Elf, ReadFailuresArePassedOn)
{
    // The ELF header, then each of the 4 program headers three times: to choose the
    // addresses, to check the segments, and as the caller lists them.
    for (unsigned reads = 0; reads < 13; ++reads) {
        MemoryFile file{elfImage(false, true, FIRMWARE, 0x250)};
        file.readsLeft = reads;
        Listing list = listSegments(file);
        EXPECT_EQ(list.fault.kind, ELF_FAULT_READ) << reads;
        EXPECT_EQ(list.fault.index, reads == 0 ? 0 : (reads - 1) % 4) << reads;
        if (reads < 2) {
            EXPECT_EQ(list.text, reads == 0 ? "Can't read bytes 0x0-0x3F of the file !"
                                            : "Can't read bytes 0x34-0x53 of the file !");
        }
    }
}

TEST(Elf, EntryPointPast4GiBFailsOnlyAsAStartAddress)
{
    MemoryFile file{elfImage(true, false, FIRMWARE, 0x250)};
    put(file.bytes, 24, 8, 0xFFFFFFFF80001000, false);  // e_entry
    Listing list = listSegments(file);
    EXPECT_EQ(list.segments, FIRMWARE_SEGMENTS);
    std::uint32_t start = 7;
    ASSERT_EQ(elfStartAddress(list.elf, &start, &list.fault), RESULT_READ_FAILED);
    EXPECT_EQ(start, 7u);
    char text[ELF_FAULT_TEXT];
    formatElfFault(list.fault, text, sizeof text);
    EXPECT_STREQ(text, "Entry point e_entry 0xFFFFFFFF80001000 lies past 0xFFFFFFFF !");
}

struct FirmwareCase {
    const char* name;
    std::uint32_t start;
    std::vector<std::uint64_t> segments;  // as readelf -l shows them: index, PhysAddr, Offset, FileSiz
};

TEST(Elf, ToolchainFilesListWhatReadelfShows)
{
    const FirmwareCase cases[] = {
        // .data after .text at its flash address; its RAM address and .bss are no data.
        {"cortexm_data.elf", 0x08000011, {0, 0x08000000, 0x1000, 0xC0, 1, 0x080000C0, 0x2000, 0x10}},
        // Header 1, the empty .data, has no file bytes; the EEPROM's data load at 0x810000.
        {"avr_blink.elf", 0, {0, 0x00000000, 0x94, 0xB8, 2, 0x00810000, 0x14C, 0x9}},
        {"m68k_rom.elf", 0x400, {0, 0x00000000, 0x74, 0x20, 1, 0x00000400, 0x94, 0x4C}},  // big-endian
        // ELF64: the data's run address 0x100000000 does not fit 32 bits; its load address does.
        {"elf64_blob.elf", 0x100000, {0, 0x00100000, 0xB0, 0x2B, 1, 0x0010002B, 0xDB, 0x10}},
    };
    for (const FirmwareCase& c : cases) {
        std::string path = std::string(ROMCAST_FIRMWARE_DIR) + "/" + c.name;
        int descriptor = open(path.c_str(), O_RDONLY);
        ASSERT_GE(descriptor, 0) << path;
        off_t size = lseek(descriptor, 0, SEEK_END);
        Listing list = listSegments(static_cast<std::uint64_t>(size), readDescriptor, &descriptor);
        close(descriptor);
        EXPECT_EQ(list.text, "") << c.name;
        EXPECT_EQ(list.segments, c.segments) << c.name;
        std::uint32_t start = 1;
        EXPECT_EQ(elfStartAddress(list.elf, &start, &list.fault), RESULT_OK) << c.name;
        EXPECT_EQ(start, c.start) << c.name;
    }
}

}  // namespace
