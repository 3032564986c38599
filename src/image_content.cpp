// What romcast writes into the image: exclusions, fields, checksums and fills.
#include "image_content.h"

#include <cstring>

namespace {

// The checksum of image bytes first up to end, taken as they will be saved. The
// pages never written read as a repeated pattern, folded in without visiting each
// byte, so a range of gigabytes around a few written bytes costs what they cost.
std::uint32_t checksumOf(const MemoryImage& image, const ChecksumAlgorithm* algorithm, std::uint64_t first,
                         std::uint64_t end)
{
    static const unsigned char FREE_PATTERN[1] = {FREE_BYTE};
    const unsigned char* pattern = image.freeBytes != nullptr ? image.freeBytes : FREE_PATTERN;
    ChecksumRun run;
    startChecksum(&run, algorithm);
    for (std::uint64_t address = first; address < end;) {
        std::uint64_t count = unwrittenSpan(image, address, end);
        if (count > 0) {
            feedRepeated(&run, pattern, image.freeWidth, static_cast<unsigned>(address % image.freeWidth),
                         count);
        } else {
            count = end - address;
            const unsigned char* bytes = imageBytes(image, address, &count);
            feedChecksum(&run, bytes, static_cast<std::size_t>(count));
        }
        address += count;
    }
    return finishChecksum(&run);
}

// The address of the first of count bytes from `at` that holds a byte other than
// 0xFF, or at + count when none does: a destination's test, made before any fill.
std::uint64_t firstTaken(const MemoryImage& image, std::uint64_t at, std::uint64_t count)
{
    for (std::uint64_t address = at; address < at + count; ++address) {
        std::uint64_t one = 1;
        if (*imageBytes(image, address, &one) != FREE_BYTE) {
            return address;
        }
    }
    return at + count;
}

// Stores count bytes at an image address and marks them written. Returns RESULT_OK
// or RESULT_NO_MEMORY.
int storeBytes(MemoryImage& image, std::uint64_t at, const unsigned char* bytes, std::uint64_t count)
{
    for (std::uint64_t k = 0; k < count; ++k) {
        ImagePage* page = pageAt(image, at + k);
        if (page == nullptr) {
            return RESULT_NO_MEMORY;
        }
        auto offset = static_cast<std::size_t>((at + k) & PAGE_MASK);
        page->bytes[offset] = bytes[k];
        setBit(page->written, offset);
    }
    return RESULT_OK;
}

void keep(std::uint64_t end, std::uint64_t* keptLength)
{
    if (end > *keptLength) {
        *keptLength = end;
    }
}

unsigned hexValue(char c)
{
    return c <= '9' ? static_cast<unsigned>(c - '0') : static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

// The number a field holds: typed, or measured on what the inputs wrote. Returns
// false, with a message, when there is nothing to measure or it does not fit.
bool fieldNumber(const FieldRequest& field, const DataExtent& extent, std::uint64_t* number,
                 std::FILE* messages)
{
    static const char* const NAMES[] = {"", "length", "first", "end"};
    *number = field.number;
    if (field.value == VALUE_GIVEN) {
        return true;
    }
    if (!extent.any && field.value != VALUE_LENGTH) {
        static_cast<void>(
            std::fprintf(messages, "\nField %s at 0x%08lX: no byte was written, so it has no %s !\n",
                         field.typeName, static_cast<unsigned long>(field.address), NAMES[field.value]));
        return false;
    }
    *number = field.value == VALUE_FIRST ? extent.first : extent.end;
    if (field.value == VALUE_LENGTH) {
        *number = extent.any ? extent.end - extent.first : 0;
    }
    if (field.width < 8 && *number >> (8 * field.width) != 0) {
        static_cast<void>(
            std::fprintf(messages, "\nField %s at 0x%08lX: %s is 0x%llX, more than %u bits hold !\n",
                         field.typeName, static_cast<unsigned long>(field.address), NAMES[field.value],
                         static_cast<unsigned long long>(*number), 8 * field.width));
        return false;
    }
    return true;
}

// Makes the field's bytes in out, which has room for field.size bytes.
void fieldBytes(const FieldRequest& field, std::uint64_t number, unsigned char* out)
{
    switch (field.type) {
    case FIELD_NUMBER:
        for (unsigned k = 0; k < field.width; ++k) {
            unsigned shift = 8 * (field.bigEndian ? field.width - 1 - k : k);
            out[k] = static_cast<unsigned char>(number >> shift);
        }
        break;
    case FIELD_BYTES:
        for (std::size_t k = 0; k < field.size; ++k) {
            out[k] = static_cast<unsigned char>(hexValue(field.data[2 * k]) << 4 |
                                                hexValue(field.data[2 * k + 1]));
        }
        break;
    default:  // FIELD_TEXT, FIELD_TEXT_Z: the NUL ends the text as typed
        std::memcpy(out, field.data, field.size);
        break;
    }
}

// Checks and stores one field.
int placeField(MemoryImage& image, FieldRequest& field, const DataExtent& extent, std::uint64_t* keptLength,
               std::FILE* messages)
{
    std::uint64_t taken = firstTaken(image, field.address, field.size);
    if (taken < field.address + field.size) {
        static_cast<void>(std::fprintf(messages, "\nField %s at 0x%08lX would overwrite data at 0x%08llX !\n",
                                       field.typeName, static_cast<unsigned long>(field.address),
                                       static_cast<unsigned long long>(taken)));
        return RESULT_READ_FAILED;
    }
    std::uint64_t number = 0;
    if (!fieldNumber(field, extent, &number, messages)) {
        return RESULT_READ_FAILED;
    }
    field.number = number;
    unsigned char bytes[MAX_PATTERN];
    int rc = RESULT_OK;
    if (field.type == FIELD_NUMBER) {
        fieldBytes(field, number, bytes);
        rc = storeBytes(image, field.address, bytes, field.size);
    } else {
        // A text of any length, a piece at a time.
        FieldRequest piece = field;
        for (std::size_t done = 0; rc == RESULT_OK && done < field.size; done += piece.size) {
            piece.size = field.size - done < sizeof bytes ? field.size - done : sizeof bytes;
            piece.data = field.data + (field.type == FIELD_BYTES ? 2 * done : done);
            fieldBytes(piece, 0, bytes);
            rc = storeBytes(image, field.address + done, bytes, piece.size);
        }
    }
    keep(field.address + field.size, keptLength);
    return rc;
}

// Finds, checks and reserves one checksum's destination.
int reserveChecksum(MemoryImage& image, ChecksumRequest* requests, int index, std::uint64_t* keptLength,
                    std::FILE* messages)
{
    ChecksumRequest& request = requests[index];
    const char* name = checksumName(request.algorithm);
    unsigned width = checksumWidth(request.algorithm);
    std::uint64_t at = request.destination;
    if (request.atEnd) {
        // After the last byte written, 0xFF data included, so that it never covers data.
        std::uint64_t end = writtenEnd(image);
        end = end > *keptLength ? end : *keptLength;
        at = (end + width - 1) / width * width;
        if (at + width > image.windowSize) {
            static_cast<void>(std::fprintf(
                messages,
                "\nNo room for checksum %s after the data: it needs 0x%08llX-0x%08llX, "
                "and the window ends at 0x%08llX !\n",
                name, static_cast<unsigned long long>(at), static_cast<unsigned long long>(at + width - 1),
                static_cast<unsigned long long>(image.windowSize - 1)));
            return RESULT_READ_FAILED;
        }
    }
    // An earlier destination is written but still reads 0xFF: its value comes later.
    for (int i = 0; i < index; ++i) {
        std::uint64_t other = requests[i].placedAt;
        if (other < at + width && at < other + checksumWidth(requests[i].algorithm)) {
            static_cast<void>(std::fprintf(
                messages, "\nChecksum %s at 0x%08llX would overwrite checksum %s at 0x%08llX !\n", name,
                static_cast<unsigned long long>(at), checksumName(requests[i].algorithm),
                static_cast<unsigned long long>(other)));
            return RESULT_READ_FAILED;
        }
    }
    std::uint64_t taken = firstTaken(image, at, width);
    if (taken < at + width) {
        static_cast<void>(
            std::fprintf(messages, "\nChecksum %s at 0x%08llX would overwrite data at 0x%08llX !\n", name,
                         static_cast<unsigned long long>(at), static_cast<unsigned long long>(taken)));
        return RESULT_READ_FAILED;
    }
    request.placedAt = static_cast<std::uint32_t>(at);
    keep(at + width, keptLength);
    return markWritten(image, at, width);
}

// Computes and stores one checksum at its reserved destination.
int computeChecksum(MemoryImage& image, ChecksumRequest& request, std::uint64_t inputsEnd,
                    std::FILE* messages)
{
    const char* name = checksumName(request.algorithm);
    unsigned width = checksumWidth(request.algorithm);
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    checksumRange(request, request.placedAt, inputsEnd, &first, &end);
    if (request.lastAtEnd && end <= first) {
        static_cast<void>(std::fprintf(
            messages, "\nChecksum %s: the range 0x%08llX-end is empty, the data ends before 0x%08llX !\n",
            name, static_cast<unsigned long long>(first), static_cast<unsigned long long>(end)));
        return RESULT_READ_FAILED;
    }
    if (request.lastAtEnd && checksumTakesWords(request.algorithm) && (end - first) % 4 != 0) {
        static_cast<void>(std::fprintf(
            messages,
            "\nChecksum %s takes whole 32-bit words, and 0x%08llX-end is %llu bytes, up to 0x%08llX !\n",
            name, static_cast<unsigned long long>(first), static_cast<unsigned long long>(end - first),
            static_cast<unsigned long long>(end - 1)));
        return RESULT_READ_FAILED;
    }
    request.value = checksumOf(image, request.algorithm, first, end);
    unsigned char bytes[4];
    storeChecksum(request.value, width, request.bigEndian, bytes);
    return storeBytes(image, request.placedAt, bytes, width);
}

// Puts a ranged fill's pattern into the bytes of its range that nothing wrote;
// `periods` holds PAGE_SIZE + fill.width bytes of the pattern from its first byte.
int fillRange(MemoryImage& image, const FillRequest& fill, const unsigned char* periods)
{
    std::uint64_t end = std::uint64_t{fill.last} + 1;
    for (std::uint64_t at = fill.first; at < end;) {
        std::uint64_t offset = at & PAGE_MASK;
        std::uint64_t here = end - at < PAGE_SIZE - offset ? end - at : PAGE_SIZE - offset;
        ImagePage* page = pageAt(image, at);
        if (page == nullptr) {
            return RESULT_NO_MEMORY;
        }
        // Byte i of the page takes the pattern's byte (page start + i - first) % width.
        std::uint64_t pageStart = at - offset;
        unsigned phase = static_cast<unsigned>(
            (pageStart % fill.width + fill.width - fill.first % fill.width) % fill.width);
        fillUnwritten(*page, static_cast<std::size_t>(offset), static_cast<std::size_t>(here),
                      periods + phase);
        setBits(page->written, static_cast<std::size_t>(offset), static_cast<std::size_t>(here));
        at += here;
    }
    return RESULT_OK;
}

}  // namespace

void excludeRanges(MemoryImage& image, const ExcludeRequest* requests, int count)
{
    bool changed = false;
    for (int i = 0; i < count; ++i) {
        std::uint64_t cleared = clearWritten(image, requests[i].first, std::uint64_t{requests[i].last} + 1);
        if (cleared == 0) {
            static_cast<void>(std::fflush(stdout));
            static_cast<void>(std::fprintf(stderr,
                                           "romcast: warning: --exclude=%s holds no byte that the inputs "
                                           "wrote\n",
                                           requests[i].text));
        }
        image.byteCount -= cleared;
        changed = changed || cleared > 0;
    }
    if (changed) {
        std::uint64_t end = writtenEnd(image);
        image.highestAddress = end > 0 ? static_cast<std::uint32_t>(end - 1) : 0;
    }
}

DataExtent measureData(const MemoryImage& image)
{
    DataExtent extent{false, 0, 0};
    std::uint64_t end = 0;
    extent.any = nextWrittenRun(image, 0, &extent.first, &end);
    extent.end = extent.any ? writtenEnd(image) : 0;
    return extent;
}

int placeFields(MemoryImage& image, FieldRequest* requests, int count, const DataExtent& extent,
                std::uint64_t* keptLength, std::FILE* messages)
{
    for (int i = 0; i < count; ++i) {
        int rc = placeField(image, requests[i], extent, keptLength, messages);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    return RESULT_OK;
}

int reserveChecksums(MemoryImage& image, ChecksumRequest* requests, int count, std::uint64_t* keptLength,
                     std::FILE* messages)
{
    for (int i = 0; i < count; ++i) {
        int rc = reserveChecksum(image, requests, i, keptLength, messages);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    return RESULT_OK;
}

int fillImage(MemoryImage& image, const FillRequest* requests, int count, std::uint64_t* keptLength)
{
    const FillRequest* everywhere = nullptr;
    unsigned char* periods = nullptr;
    int rc = RESULT_OK;
    for (int i = 0; i < count && rc == RESULT_OK; ++i) {
        if (!requests[i].rangeGiven) {
            everywhere = &requests[i];
            continue;
        }
        if (periods == nullptr) {
            periods = static_cast<unsigned char*>(image.allocate(PAGE_SIZE + MAX_PATTERN));
            if (periods == nullptr) {
                return RESULT_NO_MEMORY;
            }
        }
        fillPattern(periods, PAGE_SIZE + requests[i].width, requests[i].pattern, requests[i].width);
        rc = fillRange(image, requests[i], periods);
        keep(std::uint64_t{requests[i].last} + 1, keptLength);
    }
    std::free(periods);
    if (rc != RESULT_OK) {
        return rc;
    }
    return everywhere == nullptr ? RESULT_OK : setFreePattern(image, everywhere->pattern, everywhere->width);
}

int computeChecksums(MemoryImage& image, ChecksumRequest* requests, int count, std::uint64_t inputsEnd,
                     std::FILE* messages)
{
    for (int i = 0; i < count; ++i) {
        int rc = computeChecksum(image, requests[i], inputsEnd, messages);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    return RESULT_OK;
}

void checksumRange(const ChecksumRequest& request, std::uint64_t destination, std::uint64_t inputsEnd,
                   std::uint64_t* first, std::uint64_t* end)
{
    *first = 0;
    *end = destination;  // by default the range ends where the checksum begins
    if (request.rangeGiven) {
        *first = request.first;
        *end = std::uint64_t{request.last} + 1;
    }
    if (request.lastAtEnd) {
        *end = request.atEnd ? destination : inputsEnd;
    }
}
