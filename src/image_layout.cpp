// The image as the chips take it: padding unit, byte swap and split.
#include "image_layout.h"

#include <cstdio>
#include <cstring>

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
