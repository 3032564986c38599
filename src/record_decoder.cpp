// The reader's fast path: data records of the common shape, read in place.
#include "record_decoder.h"

#include <cstdio>
#include <cstring>

namespace {

// Steps over the line feed of a line end whose carriage return was taken, as
// beginLine does; false when what follows must go through beginLine: another
// carriage return, the end of the block, or a carriage return alone.
bool takeLineFeed(InputState& input)
{
    if (!input.carriageReturnPending) {
        return true;
    }
    if (input.blockStart == input.blockEnd || input.inputBlock[input.blockStart] != '\n') {
        return false;
    }
    ++input.blockStart;
    input.carriageReturnPending = false;
    return true;
}

// Stores the run of records that begins at blockStart in the page of the record
// before it, and counts what it stored as the record-by-record path would.
void storeRecordRun(InputState& input, MemoryImage& image, const KernelSet& kernels)
{
    const ImagePage& page = *input.recordPage;
    const auto* line = reinterpret_cast<const unsigned char*>(input.inputBlock + input.blockStart);
    if (page.earlier != nullptr || input.blockEnd - input.blockStart < 3) {
        return;  // a page that an earlier input wrote into takes the record-by-record path
    }
    unsigned count = pairValue(line + 1);
    std::uint64_t pageStart = input.recordPageNumber << PAGE_SHIFT;
    std::uint64_t limit = image.windowSize - pageStart < PAGE_SIZE ? image.windowSize - pageStart : PAGE_SIZE;
    if (count == 0 || count > limit) {  // above 0xFF when a character is no digit
        return;
    }
    RecordRun run{};
    run.line = line;
    run.end = reinterpret_cast<const unsigned char*>(input.inputBlock + input.blockEnd);
    run.count = count;
    run.bytes = page.bytes;
    run.written = page.written;
    // The offset of a record in the page: base + load address - window start - page
    // start, which wraps far above the page below it.
    run.offsetBias = std::uint64_t{input.addressBase} - image.windowStart - pageStart;
    run.lastOffset = limit - count;
    std::size_t stored = kernels.storeRun(run);
    if (stored == 0) {
        return;
    }
    // Its last line end was a line feed: no carriage return is pending.
    input.blockStart =
        static_cast<std::size_t>(run.line - reinterpret_cast<const unsigned char*>(input.inputBlock));
    input.lineCount += static_cast<std::uint32_t>(stored);
    image.byteCount += stored * count;
    auto last = static_cast<std::uint32_t>(pageStart + run.highestOffset + count - 1);
    if (last > image.highestAddress) {
        image.highestAddress = last;
    }
}

}  // namespace

int storeRegularRecord(InputState& input, MemoryImage& image, const KernelSet& kernels)
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
    if ((kernels.decodePairs(data, count, target, &sum) | checksum) > 0xFF) {
        std::memset(target, FREE_BYTE, count);  // every byte there was free
        return LINE_NOT_REGULAR;
    }
    markRecord(page.written, offset, count);
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

int storeRegularRecords(InputState& input, MemoryImage& image, const KernelSet& kernels)
{
    int rc = storeRegularRecord(input, image, kernels);
    if (rc != RESULT_OK) {
        return rc;
    }
    while (takeLineFeed(input)) {
        storeRecordRun(input, image, kernels);  // leaves no carriage return pending
        // The line that ended the run: in another page, with a checksum to report, of
        // another count, after a lone carriage return, or no such record at all.
        rc = storeRegularRecord(input, image, kernels);
        if (rc != RESULT_OK) {
            return rc == LINE_NOT_REGULAR ? RESULT_OK : rc;
        }
    }
    return RESULT_OK;
}

int reportChecksum(const InputState& input, unsigned read, unsigned calculated)
{
    beginLineFault(input);
    static_cast<void>(std::fprintf(input.messages.stream,
                                   "Checksum error in hex line %lu ! Read: 0x%02X  Calculated: 0x%02X\n",
                                   static_cast<unsigned long>(input.lineCount), read, calculated));
    return input.strictRecords ? RESULT_READ_FAILED : RESULT_OK;
}
