// The image as the chips take it: padding unit, byte swap and split.
#include "image_layout.h"

#include <cstdio>
#include <cstring>

namespace {

// The checksum of image bytes first to last (a range that is empty when last is
// first - 1), taken as they will be saved.
std::uint32_t checksumOf(const MemoryImage& image, const ChecksumAlgorithm* algorithm, std::uint64_t first,
                         std::uint64_t end)
{
    ChecksumRun run;
    startChecksum(&run, algorithm);
    for (std::uint64_t address = first; address < end;) {
        std::uint64_t count = end - address;
        const unsigned char* bytes = imageBytes(image, address, &count);
        feedChecksum(&run, bytes, static_cast<std::size_t>(count));
        address += count;
    }
    return finishChecksum(&run);
}

// The address of the first byte of the width bytes from `at` that is not 0xFF, or
// at + width when all are free.
std::uint64_t firstTaken(const MemoryImage& image, std::uint64_t at, unsigned width)
{
    for (std::uint64_t address = at; address < at + width; ++address) {
        std::uint64_t count = 1;
        if (*imageBytes(image, address, &count) != FREE_BYTE) {
            return address;
        }
    }
    return at + width;
}

// Places one checksum: finds its address, checks that it is free, computes and stores it.
int placeChecksum(MemoryImage& image, ChecksumRequest& request, std::uint64_t inputsEnd,
                  std::uint64_t* keptLength, std::FILE* messages)
{
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
    std::uint64_t taken = firstTaken(image, at, width);
    if (taken < at + width) {
        static_cast<void>(
            std::fprintf(messages, "\nChecksum %s at 0x%08llX would overwrite data at 0x%08llX !\n", name,
                         static_cast<unsigned long long>(at), static_cast<unsigned long long>(taken)));
        return RESULT_READ_FAILED;
    }
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    checksumRange(request, at, inputsEnd, &first, &end);
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
    request.placedAt = static_cast<std::uint32_t>(at);
    unsigned char bytes[4];
    storeChecksum(request.value, width, request.bigEndian, bytes);
    for (unsigned k = 0; k < width; ++k) {
        ImagePage* page = pageAt(image, at + k);
        if (page == nullptr) {
            return RESULT_NO_MEMORY;
        }
        auto offset = static_cast<std::size_t>((at + k) & PAGE_MASK);
        page->bytes[offset] = bytes[k];
        setBit(page->written, offset);
    }
    if (at + width > *keptLength) {
        *keptLength = at + width;
    }
    return RESULT_OK;
}

}  // namespace

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

int placeChecksums(MemoryImage& image, ChecksumRequest* requests, int count, std::uint64_t* keptLength,
                   std::FILE* messages)
{
    // A range that ends at "end" ends with what the inputs wrote, never with an earlier checksum.
    std::uint64_t inputsEnd = writtenEnd(image);
    for (int i = 0; i < count; ++i) {
        int rc = placeChecksum(image, requests[i], inputsEnd, keptLength, messages);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    return RESULT_OK;
}

int alignRuns(MemoryImage& image, std::uint64_t align)
{
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    for (std::uint64_t from = 0; align > 1 && nextWrittenRun(image, from, &first, &end);) {
        std::uint64_t blockStart = first & ~(align - 1);
        from = alignedLength(image, end, align);
        int rc = markWritten(image, blockStart, from - blockStart);
        if (rc != RESULT_OK) {
            return rc;
        }
    }
    return RESULT_OK;
}

std::uint64_t alignedLength(const MemoryImage& image, std::uint64_t length, std::uint64_t align)
{
    std::uint64_t rounded = (length + align - 1) & ~(align - 1);
    return rounded < image.windowSize ? rounded : image.windowSize;
}

std::uint64_t layoutUnit(unsigned swapWidth, unsigned splitCount, unsigned splitWidth)
{
    std::uint64_t split = std::uint64_t{splitCount} * splitWidth;
    // Both are powers of two, so the larger is a multiple of the smaller.
    return split > swapWidth ? split : swapWidth;
}

void swapWords(const unsigned char* bytes, std::size_t count, unsigned width, unsigned char* out)
{
    if (width == 2) {
        for (std::size_t k = 0; k < count; k += 2) {
            out[k] = bytes[k + 1];
            out[k + 1] = bytes[k];
        }
        return;
    }
    for (std::size_t k = 0; k < count; k += 4) {
        out[k] = bytes[k + 3];
        out[k + 1] = bytes[k + 2];
        out[k + 2] = bytes[k + 1];
        out[k + 3] = bytes[k];
    }
}

namespace {

// Gathers every parts-th unit of `width` bytes from `from` into `to`, perPart of them.
void gatherUnits(const unsigned char* from, std::size_t perPart, unsigned parts, unsigned width,
                 unsigned char* to)
{
    std::size_t stride = std::size_t{parts} * width;
    switch (width) {
    case 1:
        for (std::size_t i = 0; i < perPart; ++i) {
            to[i] = from[i * stride];
        }
        break;
    case 2:
        for (std::size_t i = 0; i < perPart; ++i) {
            std::memcpy(to + 2 * i, from + i * stride, 2);
        }
        break;
    default:
        for (std::size_t i = 0; i < perPart; ++i) {
            std::memcpy(to + 4 * i, from + i * stride, 4);
        }
        break;
    }
}

}  // namespace

namespace {

// The first address of the part at or after the byte at image address `address`:
// within its unit when the unit is the part's, else at the start of the part's next unit.
std::uint64_t partAddressFrom(std::uint64_t address, unsigned parts, unsigned width, unsigned part)
{
    std::uint64_t unit = address / width;
    std::uint64_t offset = address % width;
    unsigned turn = static_cast<unsigned>(unit % parts);
    if (turn != part) {
        unit += (part + parts - turn) % parts;
        offset = 0;
    }
    return unit / parts * width + offset;
}

}  // namespace

int takePart(const MemoryImage& image, unsigned parts, unsigned width, unsigned part, MemoryImage& out)
{
    std::uint64_t stride = std::uint64_t{parts} * width;
    int rc = prepareImage(out, 0, (image.windowSize + stride - 1) / stride * width, false);
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    for (std::uint64_t from = 0; rc == RESULT_OK && nextWrittenRun(image, from, &first, &end); from = end) {
        // The image addresses grow with the part's, so a run's bytes of the part lie side by side.
        std::uint64_t partEnd = partAddressFrom(end, parts, width, part);
        std::uint64_t at = partAddressFrom(first, parts, width, part);
        if (at < partEnd) {
            rc = markWritten(out, at, partEnd - at);
        }
        for (; rc == RESULT_OK && at < partEnd; ++at) {
            std::uint64_t source = (at / width * parts + part) * width + at % width;
            std::uint64_t one = 1;
            findPage(out, static_cast<std::size_t>(at >> PAGE_SHIFT))->bytes[at & PAGE_MASK] =
                *imageBytes(image, source, &one);
        }
    }
    return rc;
}

void splitUnits(const unsigned char* bytes, std::size_t count, unsigned parts, unsigned width,
                unsigned char* out)
{
    std::size_t partLength = count / parts;
    for (unsigned part = 0; part < parts; ++part) {
        gatherUnits(bytes + std::size_t{part} * width, partLength / width, parts, width,
                    out + part * partLength);
    }
}
