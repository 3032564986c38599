// The image as the chips take it: padding unit, byte swap and split.
#include "image_layout.h"

#include <cstring>

std::uint64_t layoutUnit(unsigned swapWidth, unsigned splitCount, unsigned splitWidth)
{
    std::uint64_t split = std::uint64_t{splitCount} * splitWidth;
    // Both are powers of two, so the larger is a multiple of the smaller.
    return split > swapWidth ? split : swapWidth;
}

void swapWords(const unsigned char* bytes, std::size_t count, unsigned width, unsigned char* out)
{
    for (std::size_t word = 0; word < count; word += width) {
        for (unsigned k = 0; k < width; ++k) {
            out[word + k] = bytes[word + width - 1 - k];
        }
    }
}

void splitUnits(const unsigned char* bytes, std::size_t count, unsigned parts, unsigned width,
                unsigned char* out)
{
    std::size_t partLength = count / parts;
    std::size_t row = std::size_t{parts} * width;
    for (std::size_t start = 0, at = 0; start < count; start += row, at += width) {
        for (unsigned part = 0; part < parts; ++part) {
            std::memcpy(out + part * partLength + at, bytes + start + std::size_t{part} * width, width);
        }
    }
}
