// Binary image writer: output path, trimming of the image, and the write.
#include "binary_writer.h"

#include <cstring>
#include <cwchar>

#include "file_replace.h"

namespace {

constexpr char OUTPUT_EXTENSION[] = ".bin";

// Length of the path before its extension: the last "." that lies after the drive
// and the directory, or the whole path when there is none.
std::size_t stemLength(const char* path)
{
    std::size_t length = std::strlen(path);
    std::size_t extension = length;
    std::mbstate_t shift{};
    std::size_t character = 0;
    for (std::size_t i = 0; i < length; ++character) {
        std::size_t bytes = std::mbrlen(path + i, length - i, &shift);
        if (bytes == static_cast<std::size_t>(-1) || bytes == static_cast<std::size_t>(-2) || bytes == 0) {
            bytes = 1;  // not a character of this locale: taken as a byte of its own
            shift = std::mbstate_t{};
        }
        if (bytes == 1) {
            char c = path[i];
            bool drive = character == 1 && c == ':';
            if (drive || c == '/' || c == '\\') {
                extension = length;  // a dot before the directory's end starts no extension
            } else if (c == '.') {
                extension = i;
            }
        }
        i += bytes;
    }
    return extension;
}

// The saved length: one past the highest address above 0 whose byte is not 0xFF,
// so trailing 0xFF data is cut like fill and the file is never empty.
std::uint32_t savedLength(const unsigned char* image)
{
    std::uint32_t address = IMAGE_SIZE - 1;
    while (image[address] == FREE_BYTE && address > 0) {
        --address;
    }
    return address + 1;
}

}  // namespace

char* composeOutputPath(const ConversionState& state, const char* path)
{
    std::size_t stem = stemLength(path);
    auto* outputPath = static_cast<char*>(state.allocate(stem + sizeof OUTPUT_EXTENSION));
    if (outputPath != nullptr) {
        std::memcpy(outputPath, path, stem);
        std::memcpy(outputPath + stem, OUTPUT_EXTENSION, sizeof OUTPUT_EXTENSION);
    }
    return outputPath;
}

int writeBinaryFile(ConversionState& state, const char* path)
{
    state.address = state.fixedSize ? state.windowSize : savedLength(state.image);
    char* derived = nullptr;
    if (state.outputPath == nullptr) {
        derived = composeOutputPath(state, path);
        if (derived == nullptr) {
            std::printf("\nNot enough memory !\n");
            return RESULT_WRITE_FAILED;
        }
    }
    int rc = replaceFile(state, derived != nullptr ? derived : state.outputPath, state.image, state.address);
    std::free(derived);
    return rc;
}
